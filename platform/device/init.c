/* SPDX-License-Identifier: Apache-2.0 */
/*
 * The emulated Pellix's first process. It sets up the little a program
 * expects of a booted device, loads the backlight driver, runs the one
 * program the image was made for and reboots, which ends the emulator.
 *
 * What to run comes in /etc/pellix-run: the program's path, then its
 * arguments (argv[0] first), each ending in a NUL byte. /etc/pellix-stdin,
 * when the image has one, is the program's standard input; otherwise it
 * reads /dev/null. The program runs as root in /work.
 *
 * The host reaches this process through three virtio serial ports, found by
 * the names the host gave them: the program's standard output and standard
 * error (plain character devices, not terminals, so the program buffers as
 * it would writing into a pipe), and the status port, which only this
 * process holds. The port admits one opener at a time and its device node is
 * removed once it is open, so nothing the program does reaches it. On it go
 * the lines the host waits for: "boot" when this process starts, then one
 * of "exit N", "signal N" or "failed: WHY". The first UART is the console:
 * the kernel's messages and this process's own remarks, for people.
 */
#define _GNU_SOURCE
#include "pellix_driver_paths.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#define RUN_FILE "/etc/pellix-run"
#define STDIN_FILE "/etc/pellix-stdin"
#define PORTS_DIR "/sys/class/virtio-ports"
/* The ports appear a little after the kernel starts this process. */
#define PORT_WAIT_MS 10000

static int console = -1;
static int status_port = -1;

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
    report("failed: %s: %s", what, strerror(error));
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

/* Opens the named port for writing, waiting for it to appear, and removes
   its device node: the descriptor is the only way to it from now on. */
static int open_port(const char* name)
{
    char node[300];
    for (int waited = 0; !find_port(name, node, sizeof node); waited += 10) {
        if (waited >= PORT_WAIT_MS) {
            errno = ENODEV;
            fail(name);
        }
        sleep_ms(10);
    }
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

/* Reads the NUL-separated program path and arguments, however many: the
   only limit is the kernel's, met when the program is started. */
static char** read_run_file(void)
{
    const int fd = open(RUN_FILE, O_RDONLY | O_CLOEXEC);
    struct stat file;
    if (fd < 0 || fstat(fd, &file) != 0)
        fail(RUN_FILE);
    const size_t size = (size_t)file.st_size;
    char* text = malloc(size + 1);
    if (text == NULL)
        fail(RUN_FILE);
    size_t length = 0;
    while (length < size) {
        const ssize_t got = read(fd, text + length, size - length);
        if (got <= 0)
            fail(RUN_FILE);
        length += (size_t)got;
    }
    close(fd);
    size_t count = 0;
    for (size_t at = 0; at < length; ++at)
        count += text[at] == '\0';
    if (count < 2 || text[length - 1] != '\0') {
        errno = EINVAL;
        fail(RUN_FILE);
    }
    char** words = calloc(count + 1, sizeof *words);
    if (words == NULL)
        fail(RUN_FILE);
    size_t word = 0;
    for (size_t at = 0; at < length; at += strlen(text + at) + 1)
        words[word++] = text + at;
    return words;
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
        int input = open(STDIN_FILE, O_RDONLY);
        if (input < 0)
            input = open("/dev/null", O_RDONLY);
        if (input < 0 || dup2(input, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 ||
            chdir("/work") != 0)
            _exit(126);
        /* What a program finds: its own folder first on PATH, HOME at
           /work, no terminal type (the output goes to the host). */
        char* environment[] = {"PATH=/work:/usr/bin:/bin", "HOME=/work", "PWD=/work", NULL};
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

int main(void)
{
    mount_filesystems();
    /* The kernel found no console in the image to give this process as
       descriptors 0, 1 and 2: hold them, so that no port is opened in their
       place and then lost when the program's standard streams are set. */
    for (int fd = 0; fd >= 0 && fd < 3;)
        fd = open("/dev/null", O_RDWR);
    console = open("/dev/console", O_WRONLY | O_NOCTTY | O_CLOEXEC);
    status_port = open_port("pellix.status");
    report("boot");
    const int out = open_port("pellix.stdout");
    const int err = open_port("pellix.stderr");
    load_driver();
    char** words = read_run_file();

    say("pellix-init: running %s at %.3f s after boot", words[0], uptime());
    const pid_t child = start(words, out, err);

    /* As process 1 this also reaps whatever the program leaves behind. */
    int status = 0;
    pid_t done;
    while ((done = wait(&status)) != child) {
        if (done < 0 && errno != EINTR)
            fail("wait");
    }
    if (WIFEXITED(status)) {
        say("pellix-init: exit %d", WEXITSTATUS(status));
        report("exit %d", WEXITSTATUS(status));
    } else {
        say("pellix-init: signal %d", WTERMSIG(status));
        report("signal %d", WTERMSIG(status));
    }
    power_off();
    return 0;
}
