/* SPDX-License-Identifier: Apache-2.0 */
/*
 * backlight-report COMMAND [ARG]...: runs COMMAND on the emulated device,
 * then shows what the kernel's backlight holds and every level the Pellix
 * driver told the hardware. Exits with COMMAND's status.
 */
#include "lumivane_records.h"
#include "pellix_driver_paths.h"

#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

static void show(const char* label, const char* path)
{
    char text[4096];
    FILE* file = fopen(path, "r");
    size_t length = file ? fread(text, 1, sizeof text - 1, file) : 0;
    if (file)
        fclose(file);
    text[length] = '\0';
    for (char* end = text + length; end > text && end[-1] == '\n'; --end)
        end[-1] = '\0';
    for (char* newline = strchr(text, '\n'); newline; newline = strchr(newline, '\n'))
        *newline = ' ';
    printf("%-34s %s\n", label, file ? text : "(unreadable)");
}

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: backlight-report COMMAND [ARG]...\n");
        return 2;
    }
    fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        execvp(argv[1], argv + 1);
        perror(argv[1]);
        _exit(127);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child)
        return 2;

    printf("\nthe kernel's backlight, read back:\n");
    show("  brightness", LUMIVANE_BRIGHTNESS_PATH);
    show("  actual_brightness", LUMIVANE_BACKLIGHT_DIR "/actual_brightness");
    show("  max_brightness", LUMIVANE_BACKLIGHT_DIR "/max_brightness");
    show("  levels the driver was told", PELLIX_DRIVER_UPDATES);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
