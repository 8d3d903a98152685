/*
 * The emulated Pellix's first process. It sets up the little a program
 * expects of a booted device, loads the backlight driver, runs the one
 * program the image was made for and reboots, which ends the emulator.
 *
 * What to run comes in /etc/pellix-run: the program's path, then its
 * arguments (argv[0] first), each ending in a NUL byte. The program runs as
 * root in /work, with standard output on the second UART and standard error
 * on the third, so its output never mixes with the kernel's messages on the
 * console (the first UART). The console gets one closing line the host
 * reads: "pellix-init: exit N" or "pellix-init: signal N", or
 * "pellix-init: failed: ..." when the device could not run the program.
 */
#define _GNU_SOURCE
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
#include <termios.h>
#include <time.h>
#include <unistd.h>

#define RUN_FILE "/etc/pellix-run"
#define DRIVER_FILE "/lib/modules/pellix_bl.ko"
#define MAX_ARGS 256

static int console = -1;

static void say(const char* format, ...)
{
    char line[512];
    va_list values;
    va_start(values, format);
    int length = vsnprintf(line, sizeof line - 1, format, values);
    va_end(values);
    if (length < 0)
        return;
    if (length > (int)sizeof line - 2)
        length = (int)sizeof line - 2;
    line[length++] = '\n';
    if (write(console >= 0 ? console : 2, line, (size_t)length) < 0)
        return;
}

/* Ends the emulator: qemu runs with -no-reboot, so a reboot is its exit. */
static void power_off(void)
{
    if (console >= 0)
        tcdrain(console);
    sync();
    reboot(RB_AUTOBOOT);
    _exit(1);
}

static void fail(const char* what)
{
    say("pellix-init: failed: %s: %s", what, strerror(errno));
    power_off();
}

/* A UART in raw mode passes the program's bytes through untouched (no
   newline translation, no echo). */
static int open_uart(const char* path)
{
    const int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        fail(path);
    struct termios mode;
    if (tcgetattr(fd, &mode) == 0) {
        cfmakeraw(&mode);
        tcsetattr(fd, TCSANOW, &mode);
    }
    return fd;
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

static void load_driver(void)
{
    const int fd = open(DRIVER_FILE, O_RDONLY | O_CLOEXEC);
    if (fd < 0 || syscall(SYS_finit_module, fd, "", 0) != 0)
        fail(DRIVER_FILE);
    close(fd);
}

/* Reads the NUL-separated program path and arguments; returns the count. */
static int read_run_file(char* text, size_t size, char** words)
{
    const int fd = open(RUN_FILE, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        fail(RUN_FILE);
    const ssize_t length = read(fd, text, size);
    close(fd);
    if (length <= 0 || (size_t)length == size || text[length - 1] != '\0') {
        errno = EINVAL;
        fail(RUN_FILE);
    }
    int count = 0;
    for (ssize_t at = 0; at < length && count < MAX_ARGS; at += (ssize_t)strlen(text + at) + 1)
        words[count++] = text + at;
    words[count] = NULL;
    return count;
}

static double uptime(void)
{
    struct timespec now;
    clock_gettime(CLOCK_BOOTTIME, &now);
    return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

int main(void)
{
    static char text[65536];
    char* words[MAX_ARGS + 1];

    mount_filesystems();
    console = open_uart("/dev/ttyAMA0");
    const int out = open_uart("/dev/ttyAMA1");
    const int err = open_uart("/dev/ttyAMA2");
    load_driver();
    if (read_run_file(text, sizeof text, words) < 2) {
        errno = EINVAL;
        fail(RUN_FILE);
    }

    say("pellix-init: running %s at %.3f s after boot", words[0], uptime());
    const pid_t child = fork();
    if (child < 0)
        fail("fork");
    if (child == 0) {
        const int nothing = open("/dev/null", O_RDONLY);
        if (nothing < 0 || dup2(nothing, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 ||
            chdir("/work") != 0)
            _exit(126);
        setenv("PATH", "/work:/usr/bin:/bin", 1);
        setenv("HOME", "/work", 1);
        /* The output goes to the host, not to a terminal a person watches. */
        unsetenv("TERM");
        execv(words[0], words + 1);
        dprintf(2, "pellix-device: cannot run %s: %s\n", words[0], strerror(errno));
        _exit(errno == ENOENT ? 127 : 126);
    }

    /* As process 1 this also reaps whatever the program leaves behind. */
    int status = 0;
    pid_t done;
    while ((done = wait(&status)) != child) {
        if (done < 0 && errno != EINTR)
            fail("wait");
    }
    tcdrain(out);
    tcdrain(err);
    if (WIFEXITED(status))
        say("pellix-init: exit %d", WEXITSTATUS(status));
    else
        say("pellix-init: signal %d", WTERMSIG(status));
    power_off();
    return 0;
}
