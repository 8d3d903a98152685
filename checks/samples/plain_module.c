/* SPDX-License-Identifier: Apache-2.0 */
/*
 * The lights module as a supplier writes it from the records header, the
 * plain way: init_globals is an ordinary exported function, and acquire
 * passes it to pthread_once; the level is the formula itself, computed in
 * double precision when the request comes. The conformance tests build it
 * in many honest ways (compilers, optimisation levels, ways to export,
 * stripped or with debug information), and every build must pass every
 * clause of the kit. It never ships.
 */
#define _POSIX_C_SOURCE 200809L

#include "lumivane_records.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

/* The platform's log library. */
int __kelvo_log_print(int priority, const char* tag, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

#define LOG_INFO 4
#define LOG_ERROR 6

/* The platform's policy: no symbol version above the ARM EABI baseline. */
__asm__(".symver pthread_once, pthread_once@GLIBC_2.4");

#define EXPORTED __attribute__((visibility("default")))

static pthread_once_t once = PTHREAD_ONCE_INIT;
static pthread_mutex_t lock;
static int open_failure_logged;

EXPORTED void init_globals(void)
{
    pthread_mutex_init(&lock, NULL);
}

static int level_of(uint32_t argb)
{
    const unsigned red = (argb >> 16) & 0xFF;
    const unsigned green = (argb >> 8) & 0xFF;
    const unsigned blue = argb & 0xFF;
    const unsigned luma = (77 * red + 150 * green + 29 * blue) >> 8;
    return (int)(luma / 5.666);
}

static int write_level(int level)
{
    const int fd = open(LUMIVANE_BRIGHTNESS_PATH, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (!open_failure_logged) {
            __kelvo_log_print(LOG_ERROR, LUMIVANE_LOG_TAG, LUMIVANE_LOG_OPEN_WARNING_FORMAT,
                              LUMIVANE_BRIGHTNESS_PATH);
            open_failure_logged = 1;
        }
        return -error;
    }
    char text[16];
    const int length = snprintf(text, sizeof text, "%d\n", level);
    const ssize_t written = write(fd, text, (size_t)length);
    const int error = errno;
    close(fd);
    if (written < 0)
        return -error;
    return written == length ? 0 : -EIO;
}

static int set_backlight(struct light_handle* handle, const struct light_request* request)
{
    (void)handle;
    if (request == NULL)
        return -EINVAL;
    const int level = level_of(request->argb);
    /* A request cancelled halfway would leave the lock held. */
    int cancel_state;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancel_state);
    pthread_mutex_lock(&lock);
    const int result = write_level(level);
    __kelvo_log_print(LOG_INFO, LUMIVANE_LOG_TAG, LUMIVANE_LOG_REQUEST_FORMAT, level);
    pthread_mutex_unlock(&lock);
    pthread_setcancelstate(cancel_state, NULL);
    return result;
}

static int set_nothing(struct light_handle* handle, const struct light_request* request)
{
    (void)handle;
    (void)request;
    return 0;
}

static int release(struct light_handle* handle)
{
    free(handle);
    return 0;
}

static int acquire(const struct module_record* module, const char* name,
                   struct light_handle** handle_out)
{
    static const char* const names[] = {LUMIVANE_LIGHT_NAMES};
    if (name == NULL || handle_out == NULL)
        return -EINVAL;
    size_t light = 0;
    while (light < sizeof names / sizeof names[0] && strcmp(name, names[light]) != 0)
        ++light;
    if (light == sizeof names / sizeof names[0])
        return -EINVAL;
    pthread_once(&once, init_globals);
    struct light_handle* handle = calloc(1, sizeof *handle);
    if (handle == NULL)
        return -ENOMEM;
    handle->magic = LIGHT_HANDLE_MAGIC;
    handle->owner = module;
    handle->release = release;
    handle->apply_state = light == 0 ? set_backlight : set_nothing;
    *handle_out = handle;
    return 0;
}

static const struct module_entries entries = {acquire};

EXPORTED struct module_record HMI = {
    MODULE_RECORD_MAGIC,
    MODULE_API_MAJOR,
    MODULE_API_MINOR,
    "lights",
    "Pellix Lights Module",
    "A supplier <lights@supplier.example>",
    &entries,
    NULL,
    {0},
};
