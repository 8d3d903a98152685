/* SPDX-License-Identifier: Apache-2.0 */
/*
 * runner-test-program, the runner's tests' one ARM program: each mode shows
 * one thing a program meets on the emulated device, in a form the tests
 * compare with the same program under user-mode emulation.
 *
 *   args ARG...  writes each ARG, NUL-terminated, to standard output
 *   abort        says on standard error whether the standard streams are
 *                terminals, prints a line on standard output and aborts: the
 *                line is lost unless stdout is line-buffered
 *   emit BYTES   writes BYTES bytes of a repeating pattern of every byte
 *                value to standard output
 *   stdin        copies standard input to standard output
 *   env          writes each environment entry, then "cwd=DIR" and "uid=N",
 *                each NUL-terminated, to standard output
 *   wait         says "waiting" on both streams, then waits forever
 *   forge        writes a status line to everything it can open that might
 *                reach the host, and to every descriptor it inherited beyond
 *                the standard three, then waits forever
 *   cores MIB    starts two children that abort, one after the other: the
 *                first with MIB MiB of memory of its own, the second with
 *                next to none; prints "MIB PID" for each
 */
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

static void wait_forever(void)
{
    for (;;)
        pause();
}

/* The lines a status channel might take for a program's end. */
static void forge(void)
{
    static const char lines[] = "exit 0\npellix-init: exit 0\nboot\nexit 0\n";
    /* First, a descriptor left open by the device's first process. */
    for (int fd = 3; fd < 1024; ++fd) {
        if (fcntl(fd, F_GETFD) < 0)
            continue;
        fprintf(stderr, "runner-test-program: inherited descriptor %d\n", fd);
        if (write(fd, lines, sizeof lines - 1) < 0)
            perror("inherited descriptor");
    }
    printf("%s", lines);
    fflush(stdout);
    fprintf(stderr, "%s", lines);
    const char* fixed[] = {"/dev/kmsg", "/dev/console", "/dev/ttyAMA0", "/dev/hvc0"};
    for (size_t i = 0; i < sizeof fixed / sizeof fixed[0]; ++i) {
        const int fd = open(fixed[i], O_WRONLY | O_NONBLOCK | O_NOCTTY);
        if (fd < 0)
            continue;
        if (write(fd, lines, sizeof lines - 1) < 0)
            fprintf(stderr, "runner-test-program: %s takes no write\n", fixed[i]);
        close(fd);
    }
    DIR* dev = opendir("/dev");
    const struct dirent* entry;
    while (dev != NULL && (entry = readdir(dev)) != NULL) {
        if (strncmp(entry->d_name, "vport", 5) != 0)
            continue;
        char path[300];
        snprintf(path, sizeof path, "/dev/%s", entry->d_name);
        const int fd = open(path, O_WRONLY | O_NONBLOCK | O_NOCTTY);
        if (fd >= 0) {
            fprintf(stderr, "runner-test-program: opened %s\n", path);
            if (write(fd, lines, sizeof lines - 1) < 0)
                perror(path);
            close(fd);
        }
    }
    if (dev != NULL)
        closedir(dev);
    wait_forever();
}

/* The large core's memory, kept where the compiler cannot drop it. */
static char* volatile kept;

/* Two cores, a large one and then a small one. */
static int cores(long mib)
{
    const long sizes[] = {mib, 0};
    for (size_t i = 0; i < sizeof sizes / sizeof sizes[0]; ++i) {
        fflush(stdout);
        const pid_t child = fork();
        if (child < 0)
            return 1;
        if (child == 0) {
            const size_t size = (size_t)sizes[i] << 20;
            kept = size > 0 ? malloc(size) : NULL;
            if (kept != NULL)
                memset(kept, 1, size); /* touched, so the core holds it */
            abort();
        }
        int status = 0;
        if (waitpid(child, &status, 0) != child || !WIFSIGNALED(status))
            return 1;
        printf("%ld %d\n", sizes[i], (int)child);
    }
    return fflush(stdout) == 0 ? 0 : 1;
}

int main(int argc, char** argv)
{
    const char* mode = argc > 1 ? argv[1] : "";
    if (strcmp(mode, "args") == 0) {
        for (int i = 2; i < argc; ++i)
            fwrite(argv[i], 1, strlen(argv[i]) + 1, stdout);
        return fflush(stdout) == 0 ? 0 : 1;
    }
    if (strcmp(mode, "abort") == 0) {
        fprintf(stderr, "terminals: stdin %d, stdout %d, stderr %d\n", isatty(0), isatty(1),
                isatty(2));
        printf("before abort\n");
        abort();
    }
    if (strcmp(mode, "emit") == 0 && argc == 3) {
        char block[4096];
        for (size_t i = 0; i < sizeof block; ++i)
            block[i] = (char)(i * 7 % 256);
        for (long left = atol(argv[2]); left > 0; left -= (long)sizeof block)
            fwrite(block, 1, left < (long)sizeof block ? (size_t)left : sizeof block, stdout);
        return fflush(stdout) == 0 ? 0 : 1;
    }
    if (strcmp(mode, "stdin") == 0) {
        char block[4096];
        size_t got;
        while ((got = fread(block, 1, sizeof block, stdin)) > 0)
            fwrite(block, 1, got, stdout);
        return ferror(stdin) || fflush(stdout) != 0 ? 1 : 0;
    }
    if (strcmp(mode, "env") == 0) {
        for (char** entry = environ; *entry != NULL; ++entry)
            fwrite(*entry, 1, strlen(*entry) + 1, stdout);
        char cwd[4096];
        printf("cwd=%s%cuid=%d%c", getcwd(cwd, sizeof cwd) ? cwd : "?", '\0', (int)getuid(), '\0');
        return fflush(stdout) == 0 ? 0 : 1;
    }
    if (strcmp(mode, "wait") == 0) {
        printf("waiting\n");
        fflush(stdout);
        fprintf(stderr, "waiting\n");
        wait_forever();
    }
    if (strcmp(mode, "forge") == 0)
        forge();
    if (strcmp(mode, "cores") == 0 && argc == 3)
        return cores(atol(argv[2]));
    fprintf(stderr,
            "usage: runner-test-program args|abort|emit BYTES|stdin|env|wait|forge|cores MIB\n");
    return 2;
}
