/*
 * A lights module written from the contract alone, with one fault chosen
 * when it is built (-DFAULT_...), or none. Each fault breaks one clause of
 * the conformance kit and leaves the clauses before it intact, so the kit
 * must name exactly that clause. It never ships.
 *
 *   FAULT_CASE_BLIND       light names compared without regard to case
 *   FAULT_LEAKS            release keeps the handle
 *   FAULT_ROUNDS           the level rounded instead of truncated
 *   FAULT_NEWER_CPU        an ARMv6 instruction on the request path
 *   FAULT_SPLIT_WRITE      the level and its newline in two writes
 *   FAULT_TRUNCATES        the attribute opened with O_TRUNC
 *   FAULT_WARNS_AS_INFO    the open warning logged at priority 4
 *   FAULT_WARNS_ALWAYS     every failed open logged
 *   FAULT_LOSES_ERRNO      a failed write reported as -EIO whatever its errno
 *   FAULT_CANCELLABLE      a request can be cancelled while it holds the lock
 */
#include "lumivane_records.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#define EXPORT __attribute__((visibility("default")))

/* The platform's log library. */
int __kelvo_log_print(int priority, const char* tag, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

/* The ARM EABI baseline, as the contract's binary clauses ask. */
__asm__(".symver pthread_once, pthread_once@GLIBC_2.4");

static const char attribute_path[] = "/sys/class/backlight/pellix-bl/brightness";

static pthread_once_t lights_init_once = PTHREAD_ONCE_INIT;
static pthread_mutex_t lights_lock;
static int write_int_warned;

static void init_lock(void)
{
    pthread_mutex_init(&lights_lock, NULL);
}

EXPORT void init_globals(void)
{
    init_lock();
}

static int level_of(uint32_t argb)
{
    const uint32_t red = (argb >> 16) & 0xFF, green = (argb >> 8) & 0xFF, blue = argb & 0xFF;
    const uint32_t luma = (77 * red + 150 * green + 29 * blue) >> 8;
#ifdef FAULT_NEWER_CPU
    register uint32_t swapped __asm__("r0") = luma;
    __asm__ volatile(".inst.n 0xba00" : "+r"(swapped)); /* rev r0, r0: ARMv6 */
#endif
#ifdef FAULT_ROUNDS
    return (int)((luma * 1000 + 2833) / 5666);
#else
    /* luma / 5.666 truncated, in whole numbers: 5666 divides no luma * 1000. */
    return (int)(luma * 1000 / 5666);
#endif
}

static int write_level(int level)
{
#ifdef FAULT_TRUNCATES
    const int fd = open(attribute_path, O_RDWR | O_CLOEXEC | O_TRUNC);
#else
    const int fd = open(attribute_path, O_RDWR | O_CLOEXEC);
#endif
    if (fd < 0) {
        const int error = errno;
#ifdef FAULT_WARNS_AS_INFO
        const int priority = 4;
#else
        const int priority = 6;
#endif
#ifndef FAULT_WARNS_ALWAYS
        if (!write_int_warned)
#endif
            __kelvo_log_print(priority, "lights", "write_int failed to open %s\n", attribute_path);
        write_int_warned = 1;
        return -error;
    }
    char text[20];
    const int length = snprintf(text, sizeof text, "%d\n", level);
#ifdef FAULT_SPLIT_WRITE
    ssize_t written = write(fd, text, (size_t)length - 1);
    /* The kernel refuses a lone newline, once it has taken the level. */
    if (written >= 0 && write(fd, "\n", 1) <= 1)
        written = length;
#else
    const ssize_t written = write(fd, text, (size_t)length);
#endif
    const int error = errno;
    close(fd);
#ifdef FAULT_LOSES_ERRNO
    (void)error;
    return written < 0 ? -EIO : 0;
#else
    return written < 0 ? -error : written < length ? -EIO : 0;
#endif
}

static int set_light_backlight(struct light_handle* handle, const struct light_request* request)
{
    (void)handle;
    if (request == NULL)
        return -EINVAL;
    const int level = level_of(request->argb);
    int cancel_state;
#ifndef FAULT_CANCELLABLE
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancel_state);
#endif
    pthread_mutex_lock(&lights_lock);
    const int result = write_level(level);
    __kelvo_log_print(4, "lights", "set_light_backlight brightness=%d\n", level);
    pthread_mutex_unlock(&lights_lock);
#ifndef FAULT_CANCELLABLE
    pthread_setcancelstate(cancel_state, NULL);
#else
    (void)cancel_state;
#endif
    return result;
}

static int do_nothing(struct light_handle* handle, const struct light_request* request)
{
    (void)handle;
    (void)request;
    return 0;
}

static int release_light(struct light_handle* handle)
{
#ifndef FAULT_LEAKS
    free(handle);
#else
    (void)handle;
#endif
    return 0;
}

static const char* const light_names[] = {"backlight", "keyboard",      "buttons",
                                          "battery",   "notifications", "attention"};

static int acquire_light(const struct module_record* module, const char* name,
                         struct light_handle** handle_out)
{
    if (name == NULL || handle_out == NULL)
        return -EINVAL;
    size_t light = 0;
#ifdef FAULT_CASE_BLIND
    while (light < 6 && strcasecmp(name, light_names[light]) != 0)
#else
    while (light < 6 && strcmp(name, light_names[light]) != 0)
#endif
        ++light;
    if (light == 6)
        return -EINVAL;
    pthread_once(&lights_init_once, init_lock);
    struct light_handle* handle = calloc(1, sizeof *handle);
    if (handle == NULL)
        return -ENOMEM;
    handle->magic = LIGHT_HANDLE_MAGIC;
    handle->owner = module;
    handle->release = release_light;
    handle->apply_state = light == 0 ? set_light_backlight : do_nothing;
    *handle_out = handle;
    return 0;
}

static const struct module_entries entries = {acquire_light};

EXPORT struct module_record HMI = {
    MODULE_RECORD_MAGIC,
    MODULE_API_MAJOR,
    MODULE_API_MINOR,
    "lights",
    "Pellix Lights Module",
    "Kelvo device team <lights@kelvo.dev>",
    &entries,
    NULL,
    {0},
};
