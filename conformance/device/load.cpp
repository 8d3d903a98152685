// SPDX-License-Identifier: Apache-2.0
/* The clause on what the module does when it is loaded, before any call of
   the platform's: nothing. The contract has the module act only inside the
   platform's calls, and names the only lines it logs. */
#include "harness.h"

#include "backlight_backend.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

using namespace kit;

namespace
{

/* While the module loads, its standard output and error go to a file of
   this process, where what it wrote is counted; afterwards the judge's pipe
   gets the descriptors back, and the bytes, to show as evidence. */
int captured = -1;
int judge_output = -1;
int judge_error = -1;
int threads_before = 0;

int threads()
{
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr)
        return -1;
    int count = 0;
    while (const dirent* entry = readdir(tasks))
        count += entry->d_name[0] != '.';
    closedir(tasks);
    return count;
}

void watch_the_load()
{
    if (!backlight_backend::reset())
        kit_failure("the driver cannot be reset: " + std::string(strerror(errno)));
    threads_before = threads();
    if (threads_before < 1)
        kit_failure("cannot count the threads in /proc/self/task");
    fflush(nullptr);
    char name[] = "/work/module-output-at-load.XXXXXX";
    captured = mkostemp(name, O_CLOEXEC);
    if (captured >= 0)
        unlink(name);
    judge_output = fcntl(1, F_DUPFD_CLOEXEC, 3);
    judge_error = fcntl(2, F_DUPFD_CLOEXEC, 3);
    if (captured < 0 || judge_output < 0 || judge_error < 0 || dup2(captured, 1) < 0 ||
        dup2(captured, 2) < 0)
        kit_failure("cannot watch the module's output: " + std::string(strerror(errno)));
}

/* Gives the judge's pipe back to standard output and error and passes on
   what the module wrote meanwhile; returns how many bytes that was. */
size_t output_at_load()
{
    fflush(nullptr); /* what stdio still holds was written too */
    struct stat status;
    const off_t size = fstat(captured, &status) == 0 ? status.st_size : 0;
    if (dup2(judge_output, 1) < 0 || dup2(judge_error, 2) < 0)
        kit_failure("cannot give the judge its pipe back: " + std::string(strerror(errno)));
    char bytes[4096];
    for (off_t at = 0; at < size;) {
        const ssize_t got = pread(captured, bytes, sizeof bytes, at);
        if (got <= 0)
            break;
        for (ssize_t put = 0; put < got;) {
            const ssize_t written = write(1, bytes + put, static_cast<size_t>(got - put));
            if (written <= 0)
                break;
            put += written;
        }
        at += got;
    }
    return static_cast<size_t>(size);
}

std::string counted(size_t count, const char* one, const char* many)
{
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

} // namespace

CLAUSE_PREPARED(load_quiet, watch_the_load, "load.quiet", contract, 10,
                "the module did nothing when it was loaded: before any call it logged nothing, "
                "wrote nothing to the attribute or its descriptors, and started no thread")
{
    const size_t output = output_at_load();
    const std::vector<log_line> lines = take_log();
    const std::vector<int> levels = backlight_backend::take_levels();
    const int started = threads() - threads_before;

    std::string seen;
    const auto add = [&seen](const std::string& what) {
        seen += (seen.empty() ? "" : ", ") + what;
    };
    if (!lines.empty()) {
        std::string first = lines[0].text;
        if (!first.empty() && first.back() == '\n')
            first.pop_back();
        add("logged " + counted(lines.size(), "line", "lines") + " (" +
            (lines.size() == 1 ? "" : "the first ") + shown(first) + ")");
    }
    if (!levels.empty())
        add("wrote " + counted(levels.size(), "level", "levels") + " " + shown(levels) +
            " to the attribute");
    if (output > 0)
        add("wrote " + counted(output, "byte", "bytes") + " to its standard output and error");
    if (started > 0)
        add("started " + counted(static_cast<size_t>(started), "thread", "threads") +
            " (in /proc/self/task after the load)");
    if (!seen.empty())
        fail("when loaded, before any call, the module " + seen +
             "; the contract has it act only inside the platform's calls");
}
