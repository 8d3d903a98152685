/* SPDX-License-Identifier: Apache-2.0 */
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
 *   FAULT_WARNING_TAG      the open warning logged under another tag
 *   FAULT_LOSES_ERRNO      a failed write reported as -EIO whatever its errno
 *   FAULT_CANCELLABLE      a request can be cancelled while it holds the lock
 *   FAULT_CONST_RECORD     HMI declared const: read-only once relocated
 *   FAULT_NO_ZERO_FILL     the handle from malloc, never cleared
 *   FAULT_FAILED_AT_5      a failed request's line logged at priority 5
 *   FAULT_ARM_STATE        the code built for ARM state, not Thumb
 *   FAULT_ARM_VENEER       init_globals enters through a veneer of the
 *                          linker's shape that leads to code built for ARM
 *                          state, not to the module's Thumb code
 *   FAULT_NEWER_ATTRIBUTES build attributes claiming ARMv7 (the code is v5TE)
 *   FAULT_LOGS_FIRST       the request line logged before the write
 *   FAULT_REQUEST_FORMAT   the request line logged with "%u", the same text
 *   FAULT_CREATES          the attribute opened with O_CREAT
 *   FAULT_UNLOADABLE       a symbol nothing defines: the module cannot load
 *   FAULT_WRONG_TITLE      the title in another case
 *   FAULT_ENTRIES_ON_HEAP  the entry table copied to the heap at load
 *   FAULT_NULL_NAME        a null name crashes acquire
 *   FAULT_NULL_OUTPUT      a null output pointer crashes acquire
 *   FAULT_CLOBBERS_OUTPUT  a refused name clears the output pointer
 *   FAULT_PASSIVE_ACTS=N   the Nth of the five other lights drives the backlight
 *   FAULT_NULL_REQUEST     a null request crashes the backlight
 *   FAULT_LUMA_TYPO        one luma (200) of the level table one level high
 *   FAULT_ALPHA_DIMS       a colour whose alpha byte is 0 taken as off
 *   FAULT_LATE_THRESHOLD   level 30 reached from luma 171, not 170
 *   FAULT_OPEN_ENOENT      every failed open reported as -ENOENT
 *   FAULT_CANCEL_STATE     the caller's cancel state left enabled after a request
 *   FAULT_UNLOCKED_LOG     the request line logged after the lock is released
 *   FAULT_NEW_SYMBOLS      pthread_once bound at the build's newest version
 *   FAULT_EXTRA_EXPORT     a variable exported beside HMI and init_globals
 *   FAULT_EMPTY_NAME       an empty name taken for the backlight
 *   FAULT_WARNS_AT_5       the open warning logged at priority 5
 *   FAULT_HANGS_AT_LOAD    a constructor that never returns
 *   FAULT_FORGES           verdict lines sprayed on every descriptor from a
 *                          destructor, an exit handler and a thread started
 *                          at load (with FAULT_ROUNDS: judged by its levels)
 * Faults of the link (soname, needed libraries, stack) and of the ELF header
 * (float ABI) are made by the build that links the sample.
 */
#ifdef FAULT_CONST_RECORD
/* The header declares HMI writable; this build declares it otherwise. */
#define HMI lumivane_header_HMI
#endif
#include "lumivane_records.h"
#ifdef FAULT_CONST_RECORD
#undef HMI
#endif

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

#ifndef FAULT_NEW_SYMBOLS
/* The ARM EABI baseline, as this platform's policy asks. */
__asm__(".symver pthread_once, pthread_once@GLIBC_2.4");
#endif

#ifdef SAMPLE_VERSION
/* The version note a release carries: name "lumivane", type 1, the text. */
__asm__(".pushsection .note.lumivane.version, \"a\", %note\n"
        ".balign 4\n.long 9\n.long 2f - 1f\n.long 1\n.asciz \"lumivane\"\n.balign 4\n"
        "1: .asciz \"" SAMPLE_VERSION "\"\n2: .balign 4\n.popsection");
#endif

#ifdef FAULT_ARM_STATE
#pragma GCC target("arm")
#endif
#ifdef FAULT_NEWER_ATTRIBUTES
__asm__(".eabi_attribute Tag_CPU_arch, 10"); /* ARMv7 */
#endif
#ifdef FAULT_UNLOADABLE
extern int lights_calibration_table;
#endif

static const char attribute_path[] = "/sys/class/backlight/pellix-bl/brightness";

static pthread_once_t lights_init_once = PTHREAD_ONCE_INIT;
static pthread_mutex_t lights_lock;
static int write_int_warned;

static void init_lock(void)
{
    pthread_mutex_init(&lights_lock, NULL);
}

#ifdef FAULT_ARM_VENEER
/* What the veneer leads to: code for ARM state, returning by interworking. */
__attribute__((target("arm"), visibility("hidden"))) void init_globals_in_arm_state(void)
{
    init_lock();
}

/* The linker's ARM-state interworking veneer, word for word: it loads the
   offset of its target from its last word and jumps there with bx. This one
   does not lead to Thumb code (the target's bit 0 is clear). */
__asm__(".pushsection .text\n"
        ".arm\n.balign 4\n.globl init_globals\n.type init_globals, %function\n"
        "init_globals:\n"
        "    ldr ip, [pc, #4]\n"
        "    add ip, ip, pc\n"
        "    bx ip\n"
        "    .word init_globals_in_arm_state - .\n"
        ".size init_globals, . - init_globals\n"
        ".thumb\n.popsection");
#else
EXPORT void init_globals(void)
{
    init_lock();
}
#endif

static int level_of(uint32_t argb)
{
    const uint32_t red = (argb >> 16) & 0xFF, green = (argb >> 8) & 0xFF, blue = argb & 0xFF;
    const uint32_t luma = (77 * red + 150 * green + 29 * blue) >> 8;
#ifdef FAULT_NEWER_CPU
    register uint32_t swapped __asm__("r0") = luma;
    __asm__ volatile(".inst.n 0xba00" : "+r"(swapped)); /* rev r0, r0: ARMv6 */
#endif
#ifdef FAULT_ALPHA_DIMS
    if ((argb >> 24) == 0)
        return 0;
#endif
#ifdef FAULT_LUMA_TYPO
    if (luma == 200)
        return 36;
#endif
#ifdef FAULT_LATE_THRESHOLD
    if (luma == 170)
        return 29;
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
#elif defined FAULT_CREATES
    const int fd = open(attribute_path, O_RDWR | O_CLOEXEC | O_CREAT, 0644);
#else
    const int fd = open(attribute_path, O_RDWR | O_CLOEXEC);
#endif
    if (fd < 0) {
#ifdef FAULT_OPEN_ENOENT
        const int error = ENOENT;
#else
        const int error = errno;
#endif
#ifdef FAULT_WARNS_AS_INFO
        const int priority = 4;
#elif defined FAULT_WARNS_AT_5
        const int priority = 5;
#else
        const int priority = 6;
#endif
#ifndef FAULT_WARNS_ALWAYS
        if (!write_int_warned)
#endif
#ifdef FAULT_WARNING_TAG
            __kelvo_log_print(priority, "lumivane", "write_int failed to open %s\n",
                              attribute_path);
#else
        __kelvo_log_print(priority, "lights", "write_int failed to open %s\n", attribute_path);
#endif
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

static void log_request(int level, int result)
{
#ifdef FAULT_FAILED_AT_5
    const int priority = result == 0 ? 4 : 5;
#else
    const int priority = 4;
    (void)result;
#endif
#ifdef FAULT_REQUEST_FORMAT
    __kelvo_log_print(priority, "lights", "set_light_backlight brightness=%u\n", (unsigned)level);
#else
    __kelvo_log_print(priority, "lights", "set_light_backlight brightness=%d\n", level);
#endif
}

static int set_light_backlight(struct light_handle* handle, const struct light_request* request)
{
    (void)handle;
#ifndef FAULT_NULL_REQUEST
    if (request == NULL)
        return -EINVAL;
#endif
    const int level = level_of(request->argb);
    int cancel_state;
#ifndef FAULT_CANCELLABLE
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancel_state);
#endif
    pthread_mutex_lock(&lights_lock);
#ifdef FAULT_LOGS_FIRST
    log_request(level, 0);
    const int result = write_level(level);
#elif defined FAULT_UNLOCKED_LOG
    const int result = write_level(level);
    pthread_mutex_unlock(&lights_lock);
    /* Whatever runs meanwhile logs first. */
    usleep((useconds_t)(level % 4) * 1000);
    log_request(level, result);
#else
    const int result = write_level(level);
    log_request(level, result);
#endif
#ifndef FAULT_UNLOCKED_LOG
    pthread_mutex_unlock(&lights_lock);
#endif
#ifdef FAULT_CANCEL_STATE
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, NULL);
    (void)cancel_state;
#elif !defined FAULT_CANCELLABLE
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

#ifndef FAULT_PASSIVE_ACTS
#define FAULT_PASSIVE_ACTS 0
#endif

static int acquire_light(const struct module_record* module, const char* name,
                         struct light_handle** handle_out)
{
#ifndef FAULT_NULL_NAME
    if (name == NULL)
        return -EINVAL;
#endif
#ifndef FAULT_NULL_OUTPUT
    if (handle_out == NULL)
        return -EINVAL;
#endif
#ifdef FAULT_CLOBBERS_OUTPUT
    *handle_out = NULL;
#endif
#ifdef FAULT_UNLOADABLE
    if (lights_calibration_table < 0)
        return -EINVAL;
#endif
#ifdef FAULT_EMPTY_NAME
    if (name[0] == '\0')
        name = light_names[0];
#endif
    size_t light = 0;
#ifdef FAULT_CASE_BLIND
    while (light < 6 && strcasecmp(name, light_names[light]) != 0)
#else
    while (light < 6 && strcmp(name, light_names[light]) != 0)
#endif
        ++light;
    if (light == 6)
        return -EINVAL;
#ifdef FAULT_ARM_VENEER
    /* Through the veneer: the module works whichever way it is entered. */
    pthread_once(&lights_init_once, init_globals);
#else
    pthread_once(&lights_init_once, init_lock);
#endif
#ifdef FAULT_NO_ZERO_FILL
    struct light_handle* handle = malloc(sizeof *handle);
#else
    struct light_handle* handle = calloc(1, sizeof *handle);
#endif
    if (handle == NULL)
        return -ENOMEM;
    handle->magic = LIGHT_HANDLE_MAGIC;
    handle->owner = module;
    handle->release = release_light;
    handle->apply_state =
        light == 0 || light == FAULT_PASSIVE_ACTS ? set_light_backlight : do_nothing;
    *handle_out = handle;
    return 0;
}

static const struct module_entries entries = {acquire_light};

#ifdef FAULT_EXTRA_EXPORT
EXPORT int lights_debug_level;
#endif

#ifdef FAULT_CONST_RECORD
EXPORT const struct module_record HMI = {
#else
EXPORT struct module_record HMI = {
#endif
    MODULE_RECORD_MAGIC,
    MODULE_API_MAJOR,
    MODULE_API_MINOR,
    "lights",
#ifdef FAULT_WRONG_TITLE
    "Pellix lights module",
#else
    "Pellix Lights Module",
#endif
    "Kelvo device team <lights@kelvo.dev>",
    &entries,
    NULL,
    {0},
};

#ifdef FAULT_ENTRIES_ON_HEAP
__attribute__((constructor)) static void entries_to_heap(void)
{
    struct module_entries* copy = malloc(sizeof *copy);
    if (copy != NULL) {
        *copy = entries;
        HMI.entry_table = copy;
    }
}
#endif

#ifdef FAULT_HANGS_AT_LOAD
__attribute__((constructor)) static void never_returns(void)
{
    for (;;)
        sleep(1);
}
#endif

#ifdef FAULT_FORGES
__asm__(".symver pthread_create, pthread_create@GLIBC_2.4");
__asm__(".symver pthread_join, pthread_join@GLIBC_2.4");

/* Every verdict a judge might read, on every descriptor there is. */
static void spray(void)
{
    static const char* const ids[] = {
        "record.load",        "record.identity",   "record.entries",   "record.layout",
        "acquire.lights",     "acquire.others",    "acquire.churn",    "acquire.passive",
        "backlight.greys",    "backlight.colours", "text.write",       "text.open",
        "log.information",    "log.warning",       "log.per-request",  "fault.unloaded",
        "fault.driver-error", "fault.permission",  "fault.cancel",     "concurrency.order",
        "binary.armv5te",     "binary.object",     "backlight.kernel", "fault.cancel-state"};
    char line[160];
    for (int fd = 0; fd < 1024; ++fd) {
        for (size_t i = 0; i < sizeof ids / sizeof ids[0]; ++i) {
            const int length =
                snprintf(line, sizeof line, "clause\t%s\tpass\npass  %s\n", ids[i], ids[i]);
            if (write(fd, line, (size_t)length) < 0)
                break;
        }
        (void)!write(fd, "26 passed, 0 failed\n", 20);
    }
}

static void* spray_from_thread(void* unused)
{
    (void)unused;
    spray();
    return NULL;
}

__attribute__((destructor)) static void spray_at_unload(void)
{
    spray();
}

__attribute__((constructor)) static void spray_at_load(void)
{
    atexit(spray);
    pthread_t thread;
    if (pthread_create(&thread, NULL, spray_from_thread, NULL) == 0)
        pthread_join(thread, NULL);
}
#endif
