// SPDX-License-Identifier: Apache-2.0
/*
 * lights-conformance-judge: the device half of lights-conformance. The
 * judge never loads a module. For each module and each clause it forks a
 * process of the clause's own, which loads the module and runs that one
 * clause (harness.cpp, and the clauses by area beside it), and it decides
 * the clause's verdict from what only it can see: how that process ended,
 * and the result page of shared memory it mapped before the fork
 * (result_page.h). Before it loads the module, the clause's process keeps
 * only its standard input (empty), output and error (a pipe to the judge)
 * and forgets this run's token, so nothing the module writes to a
 * descriptor can reach a verdict. What the module writes comes to the judge
 * through that pipe and is shown as evidence of a failure, never read as a
 * verdict.
 *
 * Its options, its lines to the host (each starts with the token the host
 * gives it on standard input) and its exit statuses are declared once, in
 * tools/pellix/protocol/judge.py; the build generates judge_protocol.h from
 * that declaration, and the host reads the same one.
 */
#include "harness.h"
#include "judge_protocol.h"
#include "result_page.h"

#include "backlight_backend.h"
#include "lumivane_records.h"
#include "pellix_driver.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <dirent.h>
#include <string>
#include <vector>

namespace
{

struct options {
    bool keep_going = false;
    bool contract_only = false;
    double time_scale = 1;
    std::vector<std::string> selected; /* empty: every clause */
    bool gdb = false;                  /* the one selected clause waits for gdbserver */
    std::vector<const char*> modules;

    bool runs(const kit::clause& one) const
    {
        if (one.rests_on == kit::kind::policy && contract_only)
            return false;
        return selected.empty() ||
               std::find(selected.begin(), selected.end(), one.id) != selected.end();
    }
};

/* This run's token; the clause's process forgets it before it loads the
   module. */
char token[JUDGE_TOKEN_MAX_LENGTH + 1];

/* One line to the host: the token, the kind, then the kind's fields, each
   at its declared index. The separator and newlines in a field become
   blanks, so a field is always one field. */
template <size_t count>
void say(const char* kind, const std::array<std::string, count>& fields)
{
    std::string line = std::string(token) + JUDGE_SEPARATOR + kind;
    for (std::string field : fields) {
        for (char& c : field) {
            if (strchr(JUDGE_SEPARATOR "\n\r", c) != nullptr)
                c = ' ';
        }
        line += JUDGE_SEPARATOR + field;
    }
    line += "\n";
    fputs(line.c_str(), stdout);
    fflush(stdout);
}

[[noreturn]] void kit_failure(const std::string& why)
{
    std::array<std::string, JUDGE_KIT_FIELDS> fields;
    fields[JUDGE_KIT_FIELD_WHY] = why;
    say(JUDGE_LINE_KIT, fields);
    fprintf(stderr, "lights-conformance-judge: %s\n", why.c_str());
    exit(JUDGE_EXIT_KIT);
}

double now()
{
    timespec at;
    clock_gettime(CLOCK_MONOTONIC, &at);
    return static_cast<double>(at.tv_sec) + static_cast<double>(at.tv_nsec) / 1e9;
}

/* The module's output as evidence: its start, quoted as C writes it. */
std::string output_evidence(const std::string& output, size_t total)
{
    if (total == 0)
        return "";
    std::string shown;
    for (const char c : output.substr(0, 160)) {
        if (c == '\n')
            shown += "\\n";
        else if (c == '\t')
            shown += "\\t";
        else if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F)
            shown += '?';
        else
            shown += c;
    }
    return " (the module wrote " + std::to_string(total) + " byte(s) of its own: \"" + shown +
           (total > 160 ? "...\")" : "\")");
}

/* ---- The driver the clauses stand on: its fault hook takes every errno,
   1 to 4095, and 0 for none, and refuses any other number with EINVAL,
   leaving no fault pending. A driver that does otherwise would make the
   fault clauses judge the driver rather than the module. */

bool attribute_takes(int level)
{
    const int fd = open(LUMIVANE_BRIGHTNESS_PATH, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const std::string text = std::to_string(level) + "\n";
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return written && backlight_backend::take_levels() == std::vector<int>{level};
}

void check_driver()
{
    if (!backlight_backend::reset())
        kit_failure("the backlight driver cannot be loaded and reset");
    for (const int error : {1, EIO, 4095}) {
        if (pellix_driver::fail_next_update(error) != 0)
            kit_failure("the driver's fault hook refuses errno " + std::to_string(error));
    }
    if (pellix_driver::fail_next_update(0) != 0 || !attribute_takes(22))
        kit_failure("the driver's fault hook does not clear with 0");
    for (const int refused : {-1, -EIO, 4096, 100000}) {
        if (pellix_driver::fail_next_update(refused) != EINVAL)
            kit_failure("the driver's fault hook takes " + std::to_string(refused) +
                        ", which no errno is");
    }
    if (!attribute_takes(45))
        kit_failure("a refused fault hook value left a fault pending");
    if (!backlight_backend::reset())
        kit_failure("the backlight driver cannot be reset");
}

/* ---- The clause's process. */

struct child {
    pid_t pid = -1;
    int output = -1;   /* the module's standard output and error */
    pid_t server = -1; /* gdbserver attached to it, under the debugger */
};

/* Forks the clause's process, in a process group of its own: standard
   input empty, standard output and error into a pipe, no other descriptor,
   no token; it runs the clause and never returns. */
child start(const kit::clause& one, const char* module, double scale, kit::result_page* page,
            bool debugged)
{
    int pipe_fds[2];
    child started;
    if (pipe2(pipe_fds, O_CLOEXEC) != 0)
        return started;
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        const int null = open("/dev/null", O_RDONLY);
        if (null < 0 || dup2(null, 0) < 0 || dup2(pipe_fds[1], 1) < 0 || dup2(pipe_fds[1], 2) < 0)
            _exit(127);
        closefrom(3);
        explicit_bzero(token, sizeof token);
        kit::run_clause(one, module, scale, page, debugged);
    }
    close(pipe_fds[1]);
    if (pid < 0) {
        close(pipe_fds[0]);
        return started;
    }
    started.pid = pid;
    started.output = pipe_fds[0];
    return started;
}

struct ending {
    int status = 0;
    bool timed_out = false;
    bool debugger_gone = false; /* gdbserver ended before the clause ran */
    std::string output;         /* its start */
    size_t output_bytes = 0;
};

/* Reads one chunk of the child's output into `end`; false at its end (or
   when nothing is there on a non-blocking descriptor). */
bool gather(int output, ending& end)
{
    char bytes[1024];
    const ssize_t got = read(output, bytes, sizeof bytes);
    if (got <= 0)
        return false;
    end.output_bytes += static_cast<size_t>(got);
    if (end.output.size() < 4096)
        end.output.append(bytes, static_cast<size_t>(got));
    return true;
}

/* Waits for the child, at most `seconds` (no limit when negative),
   gathering its output; then ends whatever of its process group is left. */
ending finish(const child& started, double seconds, const kit::result_page& page)
{
    ending end;
    pid_t server = started.server;
    const int process = static_cast<int>(syscall(SYS_pidfd_open, started.pid, 0));
    const double deadline = now() + seconds;
    bool exited = false;
    bool output_open = true;
    while (!exited) {
        pollfd watched[2] = {{process, POLLIN, 0}, {output_open ? started.output : -1, POLLIN, 0}};
        const double left = seconds < 0 ? 1 : deadline - now();
        if (left <= 0) {
            end.timed_out = true;
            kill(-started.pid, SIGKILL);
            break;
        }
        /* Without a process descriptor, look again every 10 ms. */
        int wait_ms = process < 0 ? 10 : seconds < 0 ? -1 : static_cast<int>(left * 1000) + 1;
        if (server >= 0 && (wait_ms < 0 || wait_ms > 100))
            wait_ms = 100; /* and look at gdbserver */
        if (poll(watched, 2, wait_ms) < 0 && errno != EINTR)
            break;
        if (output_open && (watched[1].revents & (POLLIN | POLLHUP)) != 0)
            output_open = gather(started.output, end);
        exited = waitpid(started.pid, &end.status, WNOHANG) == started.pid;
        /* A debugger's line that closed while the process still waits would
           leave it waiting for ever. */
        if (!exited && server >= 0 && waitpid(server, nullptr, WNOHANG) == server) {
            server = -1;
            if (__atomic_load_n(&page.stage, __ATOMIC_SEQ_CST) == kit::stage_awaiting_debugger) {
                end.debugger_gone = true;
                kill(-started.pid, SIGKILL);
            }
        }
    }
    if (server >= 0)
        waitpid(server, nullptr, 0); /* --once: it ends with the process */
    if (!exited)
        waitpid(started.pid, &end.status, 0);
    /* Anything the module started in the process group goes with it; what
       it wrote before is still counted. */
    kill(-started.pid, SIGKILL);
    fcntl(started.output, F_SETFL, O_NONBLOCK);
    while (output_open && gather(started.output, end)) {
    }
    if (process >= 0)
        close(process);
    close(started.output);
    return end;
}

/* ---- The debugger. */

/* The device node of the debugger's port, found by its name; "" when the
   device has none (the runner was not asked for the debugger). */
std::string debugger_port()
{
    const char* const ports = "/sys/class/virtio-ports";
    DIR* folder = opendir(ports);
    if (folder == nullptr)
        return "";
    std::string found;
    while (const dirent* entry = readdir(folder)) {
        if (entry->d_name[0] == '.')
            continue;
        char name[64] = "";
        const std::string path = std::string(ports) + "/" + entry->d_name + "/name";
        FILE* file = fopen(path.c_str(), "re");
        if (file == nullptr)
            continue;
        if (fgets(name, sizeof name, file) != nullptr) {
            name[strcspn(name, "\n")] = '\0';
            if (strcmp(name, JUDGE_GDB_PORT_NAME) == 0)
                found = std::string("/dev/") + entry->d_name;
        }
        fclose(file);
    }
    closedir(folder);
    return found;
}

/* Waits until the clause's process has loaded the module and waits for
   the debugger, or has ended (a module that cannot be loaded); true for
   the first. The process is left to be reaped by finish(). */
bool awaits_debugger(const child& started, const kit::result_page& page)
{
    while (__atomic_load_n(&page.stage, __ATOMIC_SEQ_CST) != kit::stage_awaiting_debugger) {
        siginfo_t info;
        info.si_pid = 0;
        if (waitid(P_PID, static_cast<id_t>(started.pid), &info, WEXITED | WNOHANG | WNOWAIT) !=
                0 ||
            info.si_pid != 0)
            return false;
        usleep(10000);
    }
    return true;
}

/* Attaches gdbserver to the clause's process over the debugger's port; it
   serves one debugger and ends with the process. Its words go to the
   judge's standard error, which the runner passes on as it comes. */
pid_t attach_gdbserver(const kit::clause& one, pid_t pid)
{
    const std::string port = debugger_port();
    if (port.empty())
        kit_failure("the device has no debugger port " JUDGE_GDB_PORT_NAME);
    fprintf(stderr,
            "lights-conformance-judge: %s: process %d has loaded the module and waits for the "
            "debugger, before the clause's first call into it\n",
            one.id, static_cast<int>(pid));
    fflush(nullptr);
    const pid_t server = fork();
    if (server == 0) {
        const int null = open("/dev/null", O_RDONLY);
        if (null < 0 || dup2(null, 0) < 0 || dup2(2, 1) < 0)
            _exit(127);
        const std::string id = std::to_string(pid);
        execl(JUDGE_GDBSERVER, "gdbserver", "--once", "--attach", port.c_str(), id.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    if (server < 0)
        kit_failure("cannot start gdbserver");
    return server;
}

/* ---- Verdicts. */

struct verdict {
    std::string outcome;
    std::string evidence;
    int signal = 0; /* that ended the clause's process */
    bool illegal_instruction = false;
};

verdict judge(const ending& end, const kit::result_page& page, double seconds)
{
    const std::string output = output_evidence(end.output, end.output_bytes);
    if (end.debugger_gone)
        return {JUDGE_VERDICT_COULD_NOT_RUN,
                "gdbserver ended before the clause ran: no debugger continued it"};
    if (end.timed_out)
        return {JUDGE_VERDICT_FAIL, "did not finish within " +
                                        std::to_string(static_cast<int>(seconds)) + " s" + output};
    if (page.stage == kit::stage_none)
        return {JUDGE_VERDICT_COULD_NOT_RUN, "the clause's process did not start (status " +
                                                 std::to_string(end.status) + ")" + output};
    if (WIFSIGNALED(end.status)) {
        const int signal = WTERMSIG(end.status);
        return {JUDGE_VERDICT_FAIL,
                std::string(page.stage == kit::stage_started ? "while loading, " : "") +
                    "the module ended the process with signal " + std::to_string(signal) + " (" +
                    strsignal(signal) + ")" + output,
                signal, signal == SIGILL};
    }
    if (page.stage != kit::stage_done || WEXITSTATUS(end.status) != 0)
        return {JUDGE_VERDICT_FAIL, "the process ended with status " +
                                        std::to_string(WEXITSTATUS(end.status)) +
                                        " before its result" + output};
    switch (page.outcome) {
    case kit::outcome_pass:
        return {JUDGE_VERDICT_PASS, ""};
    case kit::outcome_fail:
        return {JUDGE_VERDICT_FAIL, std::string(page.evidence) + output};
    case kit::outcome_could_not_run:
        return {JUDGE_VERDICT_COULD_NOT_RUN, page.evidence};
    default:
        return {JUDGE_VERDICT_FAIL, "the result page holds no outcome" + output};
    }
}

/* Runs the clauses on one module, each in a process of its own, and
   reports each verdict as it comes. */
void qualify(const options& given, size_t number, const char* module, kit::result_page* page)
{
    const std::string n = std::to_string(number);
    for (const kit::clause& one : kit::clauses()) {
        if (!given.runs(one))
            continue;
        memset(page, 0, sizeof *page);
        const double seconds = one.seconds * given.time_scale;
        const double began = now();
        const child started = start(one, module, given.time_scale, page, given.gdb);
        if (started.pid < 0)
            kit_failure("cannot start a clause's process");
        /* Under the debugger the clause has no time limit: a supplier
           stepping through the module is not a module that hangs. */
        child watched = started;
        if (given.gdb && awaits_debugger(started, *page))
            watched.server = attach_gdbserver(one, started.pid);
        const ending end = finish(watched, watched.server >= 0 ? -1 : seconds, *page);
        char took[32];
        snprintf(took, sizeof took, "%.3f", now() - began);
        const verdict decided = judge(end, *page, seconds);
        std::array<std::string, JUDGE_CLAUSE_FIELDS> line;
        line[JUDGE_CLAUSE_FIELD_MODULE] = n;
        line[JUDGE_CLAUSE_FIELD_CLAUSE] = one.id;
        line[JUDGE_CLAUSE_FIELD_VERDICT] = decided.outcome;
        line[JUDGE_CLAUSE_FIELD_PID] = std::to_string(started.pid);
        line[JUDGE_CLAUSE_FIELD_SECONDS] = took;
        line[JUDGE_CLAUSE_FIELD_SIGNAL] = std::to_string(decided.signal);
        line[JUDGE_CLAUSE_FIELD_EVIDENCE] = decided.evidence;
        say(JUDGE_LINE_CLAUSE, line);
        if (decided.illegal_instruction) {
            std::array<std::string, JUDGE_ILLEGAL_INSTRUCTION_FIELDS> illegal;
            illegal[JUDGE_ILLEGAL_INSTRUCTION_FIELD_MODULE] = n;
            illegal[JUDGE_ILLEGAL_INSTRUCTION_FIELD_CLAUSE] = one.id;
            say(JUDGE_LINE_ILLEGAL_INSTRUCTION, illegal);
        }
        /* A module that cannot be loaded gets no further clause. */
        if (decided.outcome != JUDGE_VERDICT_PASS &&
            (strcmp(one.id, JUDGE_LOAD_CLAUSE) == 0 || !given.keep_going))
            break;
    }
    std::array<std::string, JUDGE_DONE_FIELDS> done;
    done[JUDGE_DONE_FIELD_MODULE] = n;
    say(JUDGE_LINE_DONE, done);
}

int usage()
{
    fprintf(stderr, "usage: lights-conformance-judge " JUDGE_OPTION_LIST "\n"
                    "       lights-conformance-judge [" JUDGE_OPTION_KEEP_GOING
                    "] [" JUDGE_OPTION_CONTRACT_ONLY "] [" JUDGE_OPTION_TIME_SCALE
                    " X] [" JUDGE_OPTION_CLAUSE " ID]... [" JUDGE_OPTION_GDB "] MODULE.so...\n");
    return JUDGE_EXIT_USAGE;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && strcmp(argv[1], JUDGE_OPTION_LIST) == 0) {
        kit::list_clauses(stdout);
        return fflush(stdout) == 0 ? JUDGE_EXIT_RAN : JUDGE_EXIT_KIT;
    }
    options given;
    int arg = 1;
    for (; arg < argc && argv[arg][0] == '-'; ++arg) {
        if (strcmp(argv[arg], JUDGE_OPTION_KEEP_GOING) == 0)
            given.keep_going = true;
        else if (strcmp(argv[arg], JUDGE_OPTION_CONTRACT_ONLY) == 0)
            given.contract_only = true;
        else if (strcmp(argv[arg], JUDGE_OPTION_TIME_SCALE) == 0 && arg + 1 < argc) {
            given.time_scale = strtod(argv[++arg], nullptr);
            if (!(given.time_scale > 0))
                return usage();
        } else if (strcmp(argv[arg], JUDGE_OPTION_CLAUSE) == 0 && arg + 1 < argc)
            given.selected.push_back(argv[++arg]);
        else if (strcmp(argv[arg], JUDGE_OPTION_GDB) == 0)
            given.gdb = true;
        else
            return usage();
    }
    for (; arg < argc; ++arg)
        given.modules.push_back(argv[arg]);
    if (given.modules.empty())
        return usage();
    for (const std::string& id : given.selected) {
        if (std::none_of(kit::clauses().begin(), kit::clauses().end(),
                         [&id](const kit::clause& one) { return id == one.id; }))
            return usage();
    }
    /* One process to debug: one clause of one module. */
    if (given.gdb && (given.selected.size() != 1 || given.modules.size() != 1))
        return usage();

    /* The token, read past stdio so that no buffer keeps a copy. */
    const ssize_t got = read(0, token, sizeof token - 1);
    token[got > 0 ? got : 0] = '\0';
    token[strcspn(token, "\n")] = '\0';
    if (strlen(token) < JUDGE_TOKEN_MIN_LENGTH)
        return usage();

    check_driver();
    const std::vector<kit::clause>& listed = kit::clauses();
    if (listed.empty() || strcmp(listed[0].id, JUDGE_LOAD_CLAUSE) != 0)
        kit_failure("the clause list does not begin with " JUDGE_LOAD_CLAUSE);

    /* The result page: shared memory mapped before each fork, reachable
       from the clause's process only as memory. */
    void* page = mmap(nullptr, sizeof(kit::result_page), PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED)
        kit_failure(std::string("no result page: ") + strerror(errno));
    for (size_t i = 0; i < given.modules.size(); ++i)
        qualify(given, i + 1, given.modules[i], static_cast<kit::result_page*>(page));
    say(JUDGE_LINE_END, std::array<std::string, JUDGE_END_FIELDS>{});
    return JUDGE_EXIT_RAN;
}
