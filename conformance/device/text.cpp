// SPDX-License-Identifier: Apache-2.0
/* Clauses on the exact text each request writes and how the attribute is
   opened: observed through a FIFO or a file put in the attribute's place,
   in a mount namespace of this clause's own. */
#include "harness.h"

#include "backlight_backend.h"
#include "expected_levels.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <fstream>
#include <mutex>
#include <sstream>

using namespace kit;
using lights_test::expected_level;

namespace
{

/* A scratch path of this clause's process. */
std::string scratch(const char* name)
{
    return "/work/" + std::string(name) + "." + std::to_string(getpid());
}

/* Puts `observed` where `target` is, seen by this process alone. */
void bind_in_place(const std::string& observed, const char* target)
{
    static bool unshared = false;
    if (!unshared) {
        if (unshare(CLONE_NEWNS) != 0)
            kit_failure(std::string("no mount namespace: ") + strerror(errno));
        /* Whatever the root's propagation, nothing mounted here leaves. */
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);
        unshared = true;
    }
    if (mount(observed.c_str(), target, nullptr, MS_BIND, nullptr) != 0)
        kit_failure("cannot bind over " + std::string(target) + ": " + strerror(errno));
}

/* What one write to the observed FIFO carried, and how the writer opened it. */
struct observed_write {
    std::string bytes;
    std::string flags; /* the writer's open flags, octal, from fdinfo */
};

std::mutex observed_mutex;
std::vector<observed_write> observed;
int observed_fd = -1;

/* The open flags of another descriptor of this process on the inode. */
std::string writer_flags(int own_fd, ino_t inode)
{
    DIR* fds = opendir("/proc/self/fd");
    if (fds == nullptr)
        return "?";
    std::string flags = "?";
    while (const dirent* entry = readdir(fds)) {
        const int fd = static_cast<int>(strtol(entry->d_name, nullptr, 10));
        struct stat status;
        if (entry->d_name[0] == '.' || fd == own_fd || fd == dirfd(fds) ||
            fstat(fd, &status) != 0 || status.st_ino != inode || !S_ISFIFO(status.st_mode))
            continue;
        std::ifstream info("/proc/self/fdinfo/" + std::string(entry->d_name));
        for (std::string line; std::getline(info, line);) {
            if (line.compare(0, 6, "flags:") == 0)
                flags = line.substr(line.find_first_not_of(" \t", 6));
        }
    }
    closedir(fds);
    return flags;
}

/* The reader runs at real-time priority on the device's one core: woken by
   a write, it takes that write's bytes before the writer goes on, so each
   write is read on its own, while the writer still holds the FIFO open. */
void* read_observed(void*)
{
    struct stat status;
    fstat(observed_fd, &status);
    for (;;) {
        char bytes[256];
        const ssize_t length = read(observed_fd, bytes, sizeof bytes);
        if (length <= 0)
            continue;
        observed_write write = {std::string(bytes, static_cast<size_t>(length)),
                                writer_flags(observed_fd, status.st_ino)};
        std::lock_guard<std::mutex> hold(observed_mutex);
        observed.push_back(write);
    }
    return nullptr;
}

void start_observing(const std::string& fifo)
{
    if (mkfifo(fifo.c_str(), 0666) != 0)
        kit_failure(std::string("no FIFO: ") + strerror(errno));
    bind_in_place(fifo, backlight_backend::attribute_path);
    observed_fd = open(fifo.c_str(), O_RDWR | O_CLOEXEC);
    pthread_attr_t attributes;
    sched_param priority = {};
    priority.sched_priority = sched_get_priority_max(SCHED_FIFO);
    pthread_attr_init(&attributes);
    pthread_attr_setinheritsched(&attributes, PTHREAD_EXPLICIT_SCHED);
    pthread_attr_setschedpolicy(&attributes, SCHED_FIFO);
    pthread_attr_setschedparam(&attributes, &priority);
    pthread_t reader;
    if (observed_fd < 0 || pthread_create(&reader, &attributes, read_observed, nullptr) != 0)
        kit_failure("cannot read the observed FIFO");
}

std::vector<observed_write> take_observed()
{
    within(1, [] {
        int pending = 0;
        return ioctl(observed_fd, FIONREAD, &pending) != 0 || pending == 0;
    });
    std::lock_guard<std::mutex> hold(observed_mutex);
    std::vector<observed_write> writes;
    writes.swap(observed);
    return writes;
}

std::string file_content(const std::string& path)
{
    std::ifstream file(path);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}

} // namespace

CLAUSE(text_write, "text.write", contract, 20,
       "one write of \"N\\n\" per request, on the attribute opened read-write")
{
    light_handle* light = open_backlight();
    start_observing(scratch("observed-attribute"));
    for (const uint32_t argb : {0xFFFFFFFFu, 0xFF000000u, 0xFF808080u, 0xFF0000FFu, 0xFF808080u}) {
        const int status = apply(light, argb);
        const std::vector<observed_write> writes = take_observed();
        if (status == -ESPIPE)
            fail(hex(argb) +
                 " returned -ESPIPE: the request wrote at an offset (pwrite) or sought, "
                 "which the attribute here, a FIFO, refuses; the contract writes with "
                 "one write(2) from the start of a freshly opened attribute");
        same(hex(argb) + " returned", status, 0);
        std::vector<std::string> seen;
        seen.reserve(writes.size());
        for (const observed_write& write : writes)
            seen.push_back(write.bytes);
        const std::string want = std::to_string(expected_level(argb)) + "\n";
        if (seen != std::vector<std::string>{want}) {
            std::string listed;
            for (const std::string& bytes : seen)
                listed += (listed.empty() ? "" : ", ") + shown(bytes);
            fail(hex(argb) + ": " + std::to_string(seen.size()) + " write(s) [" + listed +
                 "], not one of " + shown(want));
        }
        const unsigned long flags = strtoul(writes[0].flags.c_str(), nullptr, 8);
        if ((flags & O_ACCMODE) != O_RDWR)
            fail(hex(argb) + ": the attribute was opened with flags " + writes[0].flags +
                 ", not for reading and writing");
        if ((flags & O_APPEND) != 0)
            fail(hex(argb) + ": the attribute was opened for appending");
    }
}

CLAUSE(text_open, "text.open", contract, 20,
       "the attribute opened without truncation or creation: written from its start, no file "
       "created where it is missing")
{
    light_handle* light = open_backlight();
    const std::string file = scratch("observed-attribute-file");
    const std::string filler = "##########\n";
    {
        std::ofstream observed_file(file);
        observed_file << filler;
    }
    bind_in_place(file, backlight_backend::attribute_path);
    std::string want = filler;
    for (const uint32_t argb : {0xFFFFFFFFu, 0xFF000000u, 0xFF0000FFu}) {
        const std::string text = std::to_string(expected_level(argb)) + "\n";
        want.replace(0, text.size(), text);
        same(hex(argb) + " returned", apply(light, argb), 0);
        same(hex(argb) + ": the file holds", file_content(file), want);
    }
    /* The backlight's directory without its attribute. */
    const std::string empty = scratch("backlight-without-attribute");
    if (mkdir(empty.c_str(), 0755) != 0)
        kit_failure("no directory " + empty + ": " + strerror(errno));
    bind_in_place(empty, backlight_backend::device_dir);
    same("with the attribute missing apply returned", apply(light, 0xFFFFFFFFu), -ENOENT);
    if (access(backlight_backend::attribute_path, F_OK) == 0)
        fail("with the attribute missing the request created " +
             std::string(backlight_backend::attribute_path));
}
