/* SPDX-License-Identifier: Apache-2.0 */
/*
 * The emulated Pellix's first process. It sets up the little a program
 * expects of a booted device, loads the backlight driver, runs the one
 * program the image was made for and reboots, which ends the emulator.
 *
 * Its protocol with the runner is declared once, in
 * tools/pellix/protocol/device.py; the build generates
 * pellix_device_protocol.h from it, and every name, word and limit the two
 * share comes from there.
 *
 * What to run comes in PELLIX_RUN_FILE: the program's path, then its
 * arguments (argv[0] first), each ending in a NUL byte. PELLIX_STDIN_FILE,
 * when the image has one, is the program's standard input; otherwise it
 * reads /dev/null. The program runs as root in PELLIX_WORK_DIR.
 *
 * The host reaches this process through four virtio serial ports, found by
 * the names the host gave them: the program's standard output and standard
 * error (plain character devices, not terminals, so the program buffers as
 * it would writing into a pipe), the status port and the cores port, which
 * only this process holds. A port admits one opener at a time and its device
 * node is removed once it is open, so nothing the program does reaches those
 * two. On the status port go the lines the host waits for: "boot" when this
 * process starts, then one of "exit N", "signal N" or "failed: WHY". The
 * first UART is the console: the kernel's messages and this process's own
 * remarks, for people.
 *
 * Cores: the kernel hands every core of the run to this same program, run
 * again as `/init --core PID EXE` (the core on its standard input), which
 * keeps it in a folder of this process's, under "NAME.PID.core". The
 * program's core size limit is raised, and no setting of the program's
 * working folder or limit can hide or fill a core. The cores of a run share
 * PELLIX_CORES_LIMIT bytes of the device's RAM; a core past that is dropped
 * and only its name and size are kept. When the program has ended, this
 * process sends over the cores port, for each core, "core NAME SIZE", a
 * newline and SIZE bytes, for each core dropped "dropped NAME SIZE", then
 * "end"; then it says how the program ended.
 *
 * Under a debugger (the kernel command line's pellix_gdb=1, in this
 * process's environment), a fifth port, pellix.gdb, is the line to the
 * host's debugger, and the program runs under gdbserver on it. With
 * pellix_gdb=attach the program runs as itself and attaches gdbserver to a
 * process of its own over that port.
 */
#define _GNU_SOURCE
#include "pellix_device_protocol.h"
#include "pellix_driver_paths.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#define PORTS_DIR "/sys/class/virtio-ports"
#define CORES_DIR "/run/pellix-cores"
#define GDBSERVER_FILE "/usr/bin/gdbserver"
#define CORE_PATTERN "|/init --core %p %E"
/* Crashed processes whose helper the kernel waits for before it reaps them,
   so a core is whole by the time its process's end is seen. */
#define CORE_HELPERS "64"

static int console = -1;
static int status_port = -1;
static int cores_port = -1;

/* One line, in one write, to fd (or the console when fd is not open yet). */
static void write_line(int fd, const char* format, va_list values)
{
    char line[512];
    int length = vsnprintf(line, sizeof line - 1, format, values);
    if (length < 0)
        return;
    if (length > (int)sizeof line - 2)
        length = (int)sizeof line - 2;
    line[length++] = '\n';
    if (write(fd >= 0 ? fd : 2, line, (size_t)length) < 0)
        return;
}

static void say(const char* format, ...)
{
    va_list values;
    va_start(values, format);
    write_line(console, format, values);
    va_end(values);
}

static void report(const char* format, ...)
{
    va_list values;
    va_start(values, format);
    write_line(status_port >= 0 ? status_port : console, format, values);
    va_end(values);
}

/* Ends the emulator: qemu runs with -no-reboot, so a reboot is its exit. */
static void power_off(void)
{
    sync();
    reboot(RB_AUTOBOOT);
    _exit(1);
}

static void fail(const char* what)
{
    const int error = errno;
    say("pellix-init: failed: %s: %s", what, strerror(error));
    report(PELLIX_STATUS_FAILED " %s: %s", what, strerror(error));
    power_off();
}

static void mount_filesystems(void)
{
    const struct {
        const char* type;
        const char* where;
    } filesystems[] = {{"proc", "/proc"}, {"sysfs", "/sys"}, {"devtmpfs", "/dev"}};
    for (size_t i = 0; i < sizeof filesystems / sizeof filesystems[0]; ++i) {
        mkdir(filesystems[i].where, 0755);
        if (mount(filesystems[i].type, filesystems[i].where, filesystems[i].type, 0, NULL) != 0 &&
            errno != EBUSY)
            fail(filesystems[i].where);
    }
}

static void sleep_ms(long milliseconds)
{
    const struct timespec pause = {milliseconds / 1000, (milliseconds % 1000) * 1000000};
    nanosleep(&pause, NULL);
}

/* The device node of the virtio port the host named `name`, e.g.
   "/dev/vport0p2"; false while there is none. */
static int find_port(const char* name, char* node, size_t size)
{
    DIR* ports = opendir(PORTS_DIR);
    if (ports == NULL)
        return 0;
    int found = 0;
    const struct dirent* port;
    while (!found && (port = readdir(ports)) != NULL) {
        if (port->d_name[0] == '.')
            continue;
        char path[sizeof PORTS_DIR + sizeof port->d_name + 8];
        char text[64] = "";
        snprintf(path, sizeof path, PORTS_DIR "/%s/name", port->d_name);
        const int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        const ssize_t length = read(fd, text, sizeof text - 1);
        close(fd);
        if (length > 0 && text[length - 1] == '\n')
            text[length - 1] = '\0';
        if (length > 0 && strcmp(text, name) == 0) {
            snprintf(node, size, "/dev/%s", port->d_name);
            found = access(node, F_OK) == 0;
        }
    }
    closedir(ports);
    return found;
}

/* How long to wait for the ports, which appear a little after the kernel
   starts this process: the host's scaled wait, from the kernel command line
   (the kernel hands this process a parameter it does not know in its
   environment). */
static long port_wait_ms(void)
{
    const char* text = getenv(PELLIX_PARAM_PORT_WAIT_MS);
    char* end = NULL;
    const long wait = text != NULL ? strtol(text, &end, 10) : 0;
    return wait > 0 && *end == '\0' ? wait : PELLIX_PORT_WAIT_MS;
}

/* Waits for the named port to appear; its device node goes into `node`. */
static void await_port(const char* name, char* node, size_t size)
{
    const long limit = port_wait_ms();
    for (long waited = 0; !find_port(name, node, size); waited += 10) {
        if (waited >= limit) {
            errno = ENODEV;
            fail(name);
        }
        sleep_ms(10);
    }
}

/* Opens the named port for writing, waiting for it to appear, and removes
   its device node: the descriptor is the only way to it from now on. */
static int open_port(const char* name)
{
    char node[300];
    await_port(name, node, sizeof node);
    const int fd = open(node, O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        fail(node);
    unlink(node);
    return fd;
}

static void load_driver(void)
{
    const int fd = open(PELLIX_DRIVER_FILE, O_RDONLY | O_CLOEXEC);
    if (fd < 0 || syscall(SYS_finit_module, fd, "", 0) != 0)
        fail(PELLIX_DRIVER_FILE);
    close(fd);
}

static void write_setting(const char* path, const char* value)
{
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0 || write(fd, value, strlen(value)) != (ssize_t)strlen(value))
        fail(path);
    close(fd);
}

/* Every core of the run comes to this program, run again as the kernel's
   core helper. */
static void set_up_cores(void)
{
    mkdir("/run", 0755);
    if (mkdir(CORES_DIR, 0700) != 0 && errno != EEXIST)
        fail(CORES_DIR);
    write_setting("/proc/sys/kernel/core_pattern", CORE_PATTERN "\n");
    write_setting("/proc/sys/kernel/core_pipe_limit", CORE_HELPERS "\n");
}

/* Copies all of `from` into `to`; false when a read or write failed. */
static int copy_all(int from, int to)
{
    char block[65536];
    ssize_t got;
    while ((got = read(from, block, sizeof block)) > 0) {
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = write(to, block + done, (size_t)(got - done));
            if (put < 0 && errno != EINTR)
                return 0;
            done += put > 0 ? put : 0;
        }
    }
    return got == 0;
}

/* Reads and discards the rest of `from`, adding what it read to *size. */
static void drain(int from, long long* size)
{
    char block[65536];
    ssize_t got;
    while ((got = read(from, block, sizeof block)) > 0 || (got < 0 && errno == EINTR))
        *size += got > 0 ? got : 0;
}

/* Bytes of the cores kept so far. */
static long long cores_kept(void)
{
    long long total = 0;
    DIR* cores = opendir(CORES_DIR);
    const struct dirent* entry;
    while (cores != NULL && (entry = readdir(cores)) != NULL) {
        const size_t length = strlen(entry->d_name);
        struct stat file;
        if (length > 5 && strcmp(entry->d_name + length - 5, ".core") == 0 &&
            fstatat(dirfd(cores), entry->d_name, &file, 0) == 0)
            total += file.st_size;
    }
    if (cores != NULL)
        closedir(cores);
    return total;
}

/* Copies `from` into `to` while it fits in `room` bytes; false when a read
   or write failed. *size is what was read, and *whole whether that was all. */
static int copy_within(int from, int to, long long room, long long* size, int* whole)
{
    char block[65536];
    *size = 0;
    *whole = 0;
    for (;;) {
        const ssize_t got = read(from, block, sizeof block);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            *whole = got == 0;
            return got == 0;
        }
        *size += got;
        if (*size > room)
            return 1;
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = write(to, block + done, (size_t)(got - done));
            if (put < 0 && errno != EINTR)
                return 0;
            done += put > 0 ? put : 0;
        }
    }
}

/* The core helper: the core of process `pid`, whose executable's path is
   `exe` with each '/' made '!', from standard input into CORES_DIR as
   "NAME.PID.core", written aside and renamed when whole. A core that does
   not fit in what is left of PELLIX_CORES_LIMIT is read to its end and
   dropped, and "NAME.PID.dropped" holds its size instead. The kernel may
   run helpers for several processes at once: a lock makes each one's room
   exact. */
static int take_core(const char* pid, const char* exe)
{
    const char* name = strrchr(exe, '!') != NULL ? strrchr(exe, '!') + 1 : exe;
    char safe[256];
    size_t length = 0;
    for (; name[length] != '\0' && length < sizeof safe - 1; ++length) {
        const char c = name[length];
        const int plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || strchr(PELLIX_CORE_NAME_PUNCTUATION, c) != NULL;
        safe[length] = plain ? c : '_';
    }
    safe[length] = '\0';
    char part[512];
    char core[512];
    char dropped[512];
    snprintf(part, sizeof part, CORES_DIR "/.%s.%s.part", length > 0 ? safe : "_", pid);
    snprintf(core, sizeof core, CORES_DIR "/%s.%s.core", length > 0 ? safe : "_", pid);
    snprintf(dropped, sizeof dropped, CORES_DIR "/%s.%s.dropped", length > 0 ? safe : "_", pid);
    const int lock = open(CORES_DIR "/.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock < 0 || flock(lock, LOCK_EX) != 0)
        return 1;
    const int fd = open(part, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return 1;
    long long size = 0;
    int whole = 0;
    const int copied = copy_within(0, fd, PELLIX_CORES_LIMIT - cores_kept(), &size, &whole);
    if (close(fd) != 0 || !copied || (whole && rename(part, core) != 0)) {
        unlink(part);
        return 1;
    }
    if (whole)
        return 0;
    unlink(part);
    drain(0, &size);
    const int record = open(dropped, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (record < 0)
        return 1;
    dprintf(record, "%lld", size);
    return close(record) != 0;
}

/* The size a dropped core's record holds, or -1. */
static long long dropped_size(int directory, const char* name)
{
    char text[32] = "";
    const int fd = openat(directory, name, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    const ssize_t length = read(fd, text, sizeof text - 1);
    close(fd);
    char* end = NULL;
    const long long size = length > 0 ? strtoll(text, &end, 10) : -1;
    return length > 0 && *end == '\0' ? size : -1;
}

/* Sends each core of the run over the cores port, and the name and size of
   each one dropped, then "end". */
static void send_cores(void)
{
    DIR* cores = opendir(CORES_DIR);
    const struct dirent* entry;
    while (cores != NULL && (entry = readdir(cores)) != NULL) {
        const size_t length = strlen(entry->d_name);
        if (entry->d_name[0] == '.')
            continue;
        if (length > 8 && strcmp(entry->d_name + length - 8, ".dropped") == 0) {
            const long long size = dropped_size(dirfd(cores), entry->d_name);
            const int stem = (int)(length - 8);
            say("pellix-init: core %.*s.core dropped: %lld bytes, past the %d MiB of a run's cores",
                stem, entry->d_name, size, PELLIX_CORES_LIMIT >> 20);
            dprintf(cores_port, PELLIX_CORE_DROPPED " %.*s.core %lld\n", stem, entry->d_name, size);
            continue;
        }
        char path[sizeof CORES_DIR + sizeof entry->d_name + 1];
        snprintf(path, sizeof path, CORES_DIR "/%s", entry->d_name);
        struct stat file;
        const int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0 || fstat(fd, &file) != 0) {
            say("pellix-init: core %s: %s", entry->d_name, strerror(errno));
            continue;
        }
        dprintf(cores_port, PELLIX_CORE " %s %lld\n", entry->d_name, (long long)file.st_size);
        if (!copy_all(fd, cores_port))
            fail("the cores port");
        close(fd);
    }
    if (cores != NULL)
        closedir(cores);
    dprintf(cores_port, PELLIX_CORES_END "\n");
}

/* Reads the NUL-separated program path and arguments, however many: the
   only limit is the kernel's, met when the program is started. */
static char** read_run_file(void)
{
    const int fd = open(PELLIX_RUN_FILE, O_RDONLY | O_CLOEXEC);
    struct stat file;
    if (fd < 0 || fstat(fd, &file) != 0)
        fail(PELLIX_RUN_FILE);
    const size_t size = (size_t)file.st_size;
    char* text = malloc(size + 1);
    if (text == NULL)
        fail(PELLIX_RUN_FILE);
    size_t length = 0;
    while (length < size) {
        const ssize_t got = read(fd, text + length, size - length);
        if (got <= 0)
            fail(PELLIX_RUN_FILE);
        length += (size_t)got;
    }
    close(fd);
    size_t count = 0;
    for (size_t at = 0; at < length; ++at)
        count += text[at] == '\0';
    if (count < 2 || text[length - 1] != '\0') {
        errno = EINVAL;
        fail(PELLIX_RUN_FILE);
    }
    char** words = calloc(count + 1, sizeof *words);
    if (words == NULL)
        fail(PELLIX_RUN_FILE);
    size_t word = 0;
    for (size_t at = 0; at < length; at += strlen(text + at) + 1)
        words[word++] = text + at;
    return words;
}

/* The program's words under gdbserver, which serves the debugger's port
   once and starts the program itself: "gdbserver --once
   --no-startup-with-shell PORT PROGRAM ARG...". */
static char** under_debugger(char** words)
{
    static char node[300];
    const char* wanted = getenv(PELLIX_PARAM_GDB);
    /* PELLIX_GDB_ATTACH: the program attaches gdbserver to a process of its own. */
    if (wanted == NULL || strcmp(wanted, PELLIX_GDB_ATTACH) == 0 || strcmp(wanted, "1") != 0)
        return words;
    await_port(PELLIX_PORT_GDB, node, sizeof node);
    size_t count = 0;
    while (words[count] != NULL)
        ++count;
    char** debugged = calloc(count + 5, sizeof *debugged);
    if (debugged == NULL)
        fail("gdbserver's arguments");
    debugged[0] = GDBSERVER_FILE;
    debugged[1] = "gdbserver";
    debugged[2] = "--once";
    debugged[3] = "--no-startup-with-shell"; /* the device has no shell */
    debugged[4] = node;
    debugged[5] = words[0];
    for (size_t word = 2; word < count; ++word)
        debugged[word + 4] = words[word];
    return debugged;
}

static double uptime(void)
{
    struct timespec now;
    clock_gettime(CLOCK_BOOTTIME, &now);
    return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

/* Starts the program; the child's exec failure comes back through a pipe
   that the exec closes. Returns the child, or reports and powers off when
   the kernel would not take the arguments. */
static pid_t start(char** words, int out, int err)
{
    int exec_result[2];
    if (pipe2(exec_result, O_CLOEXEC) != 0)
        fail("pipe");
    const pid_t child = fork();
    if (child < 0)
        fail("fork");
    if (child == 0) {
        int input = open(PELLIX_STDIN_FILE, O_RDONLY);
        if (input < 0)
            input = open("/dev/null", O_RDONLY);
        if (input < 0 || dup2(input, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 ||
            chdir(PELLIX_WORK_DIR) != 0)
            _exit(126);
        if (input > 2)
            close(input); /* the program gets it as 0 alone */
        /* Cores are whole, whatever their size: the kernel hands them to
           the helper, not to the program's folder. */
        const struct rlimit unlimited = {RLIM_INFINITY, RLIM_INFINITY};
        if (setrlimit(RLIMIT_CORE, &unlimited) != 0)
            _exit(126);
        /* What a program finds: its own folder first on PATH, HOME at
           its folder, no terminal type (the output goes to the host). */
        char* environment[] = {"PATH=" PELLIX_WORK_DIR ":/usr/bin:/bin", "HOME=" PELLIX_WORK_DIR,
                               "PWD=" PELLIX_WORK_DIR, NULL};
        execve(words[0], words + 1, environment);
        const int error = errno;
        if (write(exec_result[1], &error, sizeof error) < 0)
            _exit(126);
        dprintf(2, "pellix-device: cannot run %s: %s\n", words[0], strerror(error));
        _exit(error == ENOENT ? 127 : 126);
    }
    close(exec_result[1]);
    int error = 0;
    if (read(exec_result[0], &error, sizeof error) == sizeof error && error == E2BIG) {
        errno = E2BIG;
        fail("the program's arguments");
    }
    close(exec_result[0]);
    return child;
}

int main(int argc, char** argv)
{
    if (argc == 4 && strcmp(argv[1], "--core") == 0)
        return take_core(argv[2], argv[3]);
    mount_filesystems();
    /* The kernel found no console in the image to give this process as
       descriptors 0, 1 and 2: hold them, so that no port is opened in their
       place and then lost when the program's standard streams are set. */
    int held = 0;
    while (held >= 0 && held < 3)
        held = open("/dev/null", O_RDWR);
    if (held > 2)
        close(held); /* the one past the three, which the program would inherit */
    console = open("/dev/console", O_WRONLY | O_NOCTTY | O_CLOEXEC);
    status_port = open_port(PELLIX_PORT_STATUS);
    report(PELLIX_STATUS_BOOT);
    const int out = open_port(PELLIX_PORT_STDOUT);
    const int err = open_port(PELLIX_PORT_STDERR);
    cores_port = open_port(PELLIX_PORT_CORES);
    set_up_cores();
    load_driver();
    char** words = under_debugger(read_run_file());

    say("pellix-init: running %s at %.3f s after boot", words[0], uptime());
    const pid_t child = start(words, out, err);

    /* As process 1 this also reaps whatever the program leaves behind. */
    int status = 0;
    pid_t done;
    while ((done = wait(&status)) != child) {
        if (done < 0 && errno != EINTR)
            fail("wait");
    }
    send_cores();
    if (WIFEXITED(status)) {
        say("pellix-init: exit %d", WEXITSTATUS(status));
        report(PELLIX_STATUS_EXIT " %d", WEXITSTATUS(status));
    } else {
        say("pellix-init: signal %d", WTERMSIG(status));
        report(PELLIX_STATUS_SIGNAL " %d", WTERMSIG(status));
    }
    power_off();
    return 0;
}
