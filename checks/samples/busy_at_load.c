/* SPDX-License-Identifier: Apache-2.0 */
/*
 * Linked into the plain module beside plain_module.c: a constructor that
 * sets the backlight and starts a thread of the module's own when the
 * module is loaded, before any call of the platform's. The kit must refuse
 * this build (load.quiet), and for nothing else. It never ships.
 */
#define _POSIX_C_SOURCE 200809L

#include "lumivane_records.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

/* The platform's symbol-version baseline, which this sample keeps. */
__asm__(".symver pthread_create, pthread_create@GLIBC_2.4");
__asm__(".symver pthread_detach, pthread_detach@GLIBC_2.4");

static void* wait_for_work(void* unused)
{
    (void)unused;
    for (;;)
        pause();
    return NULL;
}

__attribute__((constructor)) static void start_at_load(void)
{
    const int fd = open(LUMIVANE_BRIGHTNESS_PATH, O_RDWR | O_CLOEXEC);
    if (fd >= 0) {
        (void)!write(fd, "45\n", 3);
        close(fd);
    }
    pthread_t worker;
    if (pthread_create(&worker, NULL, wait_for_work, NULL) == 0)
        pthread_detach(worker);
}
