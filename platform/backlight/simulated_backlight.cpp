// SPDX-License-Identifier: Apache-2.0
/* The simulated Pellix backlight: see simulated_backlight.h. */
#include "simulated_backlight.h"

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace backlight_backend
{

namespace
{

const char sysfs_class_dir[] = "/sys/class";
const char backlight_class_dir[] = "/sys/class/backlight";

/* Our end of the FIFO attribute: read and write, so the module's close never
   discards what it wrote, and non-blocking, so reading stops when it is empty. */
int attribute_fd = -1;
/* Bytes of a write not yet ended by its newline. */
std::string pending;

std::string failure(const char* step)
{
    return std::string(step) + ": " + strerror(errno) +
           " (the simulated backlight needs root or user namespaces, and mount namespaces)";
}

bool write_file(const char* path, const std::string& text)
{
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool whole = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return whole;
}

/* Without root, a user namespace of our own, in which this user is root,
   grants the mounts below; nothing outside the process changes. Must run
   before the process starts a thread. */
std::string enter_user_namespace()
{
    const std::string uid = std::to_string(geteuid());
    const std::string gid = std::to_string(getegid());
    if (unshare(CLONE_NEWUSER) != 0)
        return failure("cannot create a user namespace");
    if (!write_file("/proc/self/setgroups", "deny") ||
        !write_file("/proc/self/uid_map", "0 " + uid + " 1") ||
        !write_file("/proc/self/gid_map", "0 " + gid + " 1"))
        return failure("cannot map this user to root in a user namespace");
    return std::string();
}

std::string build_namespace()
{
    if (geteuid() != 0) {
        std::string why_not = enter_user_namespace();
        if (!why_not.empty())
            return why_not;
    }
    if (unshare(CLONE_NEWNS) != 0)
        return failure("cannot create a private mount namespace");
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return failure("cannot make the mounts private");
    if (mount("pellix-sim", sysfs_class_dir, "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC,
              "mode=0755,size=1m") != 0)
        return failure("cannot mount a scratch tmpfs over /sys/class");
    if (mkdir(backlight_class_dir, 0755) != 0 || mkdir(device_dir, 0755) != 0)
        return failure("cannot create the device directory");
    return std::string();
}

/* Takes away whatever stands at the attribute path: mounts, FIFO, file, directory. */
void clear_attribute()
{
    while (umount2(attribute_path, MNT_DETACH) == 0) {
    }
    if (attribute_fd >= 0) {
        close(attribute_fd);
        attribute_fd = -1;
    }
    pending.clear();
    if (unlink(attribute_path) != 0 && errno == EISDIR)
        rmdir(attribute_path);
    mkdir(device_dir, 0755);
}

} // namespace

std::string enter()
{
    static const std::string why_not = build_namespace();
    return why_not;
}

bool required()
{
    const char* ci = getenv("CI");
    return ci != nullptr && strcmp(ci, "true") == 0;
}

bool reset()
{
    clear_attribute();
    if (mkfifo(attribute_path, 0644) != 0)
        return false;
    attribute_fd = open(attribute_path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (attribute_fd < 0)
        return false;
    /* Room for a long run of requests between two reads (some 300 000
       levels); a writer finding the pipe full would block with the
       module's lock held, so settle for nothing less. */
    return fcntl(attribute_fd, F_SETPIPE_SZ, 1 << 20) >= (1 << 20);
}

std::vector<std::string> take_writes()
{
    std::vector<std::string> writes;
    if (attribute_fd < 0)
        return writes;
    char buffer[4096];
    ssize_t count;
    while ((count = read(attribute_fd, buffer, sizeof buffer)) > 0) {
        for (ssize_t i = 0; i < count; ++i) {
            pending += buffer[i];
            if (buffer[i] == '\n') {
                writes.push_back(pending);
                pending.clear();
            }
        }
    }
    return writes;
}

std::vector<int> take_levels()
{
    std::vector<int> levels;
    for (const std::string& text : take_writes()) {
        const long level = strtol(text.c_str(), nullptr, 10);
        const bool whole = text == std::to_string(level) + "\n";
        levels.push_back(whole ? static_cast<int>(level) : -1);
    }
    return levels;
}

bool remove_attribute()
{
    clear_attribute();
    return access(attribute_path, F_OK) != 0;
}

bool remove_device_dir()
{
    clear_attribute();
    return rmdir(device_dir) == 0;
}

bool directory_in_place()
{
    clear_attribute();
    return mkdir(attribute_path, 0755) == 0;
}

bool bind_over_attribute(const char* source)
{
    return regular_attribute("") && mount(source, attribute_path, nullptr, MS_BIND, nullptr) == 0;
}

bool read_only_attribute()
{
    return regular_attribute("") &&
           mount(attribute_path, attribute_path, nullptr, MS_BIND, nullptr) == 0 &&
           mount(nullptr, attribute_path, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
}

bool unread_attribute()
{
    clear_attribute();
    return mkfifo(attribute_path, 0644) == 0;
}

bool regular_attribute(const std::string& content)
{
    clear_attribute();
    const int fd = open(attribute_path, O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const bool whole =
        write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    close(fd);
    return whole;
}

std::string attribute_content()
{
    const int fd = open(attribute_path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return "?";
    /* One read, so a run that reads it back makes the same calls whatever it holds. */
    char buffer[4096];
    const ssize_t count = pread(fd, buffer, sizeof buffer, 0);
    close(fd);
    return count < 0 ? std::string("?") : std::string(buffer, static_cast<size_t>(count));
}

} // namespace backlight_backend
