// SPDX-License-Identifier: Apache-2.0
/*
 * The module record, the acquire and release operations, the five lights
 * that accept every request without acting, and one-time initialisation.
 */
#include "lights_internal.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

/*
 * pthread_once is bound to the ARM EABI baseline, GLIBC_2.4. Linked against
 * glibc 2.34 or later it would otherwise bind pthread_once@GLIBC_2.34, which
 * a device with an older C library refuses to load. On those libraries the
 * GLIBC_2.4 symbol lives in libpthread.so.0 (which the module therefore
 * needs); on 2.34 and later libc has it, and it is the same function.
 */
#if defined(__ARM_EABI__) && defined(__GLIBC__)
__asm__(".symver pthread_once, pthread_once@GLIBC_2.4");
#endif

extern "C" {

/* Process-wide state: zero, or not yet run, at load. */
pthread_once_t lights_init_once = PTHREAD_ONCE_INIT;
pthread_mutex_t lights_lock;
int write_int_warned;

typedef int (*apply_operation)(struct light_handle* handle, const struct light_request* request);

void lights_init_globals(void)
{
    pthread_mutex_init(&lights_lock, nullptr);
}

/* The same function under its exported name, for platforms that call it; the
   module itself only ever runs lights_init_globals, bound within the library. */
LIGHTS_EXPORT void init_globals(void) __attribute__((alias("lights_init_globals")));

/* Lights the device has but this module does not drive: every request succeeds. */
static int passive_keyboard(struct light_handle*, const struct light_request*)
{
    return 0;
}

static int passive_buttons(struct light_handle*, const struct light_request*)
{
    return 0;
}

static int passive_battery(struct light_handle*, const struct light_request*)
{
    return 0;
}

static int passive_notifications(struct light_handle*, const struct light_request*)
{
    return 0;
}

static int passive_attention(struct light_handle*, const struct light_request*)
{
    return 0;
}

struct named_light {
    const char* name;
    apply_operation apply;
};

/* The lights of the contract (LUMIVANE_LIGHT_NAMES), searched in this order;
   names match byte for byte, case included. */
static const struct named_light named_lights[] = {
    {"backlight", set_light_backlight},
    {"keyboard", passive_keyboard},
    {"buttons", passive_buttons},
    {"battery", passive_battery},
    {"notifications", passive_notifications},
    {"attention", passive_attention},
};

static apply_operation apply_for_name(const char* name)
{
    for (const struct named_light& light : named_lights) {
        if (strcmp(name, light.name) == 0)
            return light.apply;
    }
    return nullptr;
}

static int release_light(struct light_handle* handle)
{
    free(handle); /* free(NULL) does nothing, as release of null must */
    return 0;
}

static int acquire_light(const struct module_record* module, const char* name,
                         struct light_handle** handle_out)
{
    if (name == nullptr || handle_out == nullptr)
        return -EINVAL;

    const apply_operation apply = apply_for_name(name);
    if (apply == nullptr)
        return -EINVAL;

    /* The lock must exist before any handle can reach the backlight. */
    pthread_once(&lights_init_once, lights_init_globals);

    struct light_handle* handle = static_cast<struct light_handle*>(malloc(sizeof *handle));
    if (handle == nullptr)
        return -ENOMEM;
    memset(handle, 0, sizeof *handle);

    handle->magic = LIGHT_HANDLE_MAGIC;
    handle->owner = module;
    handle->release = release_light;
    handle->apply_state = apply;

    *handle_out = handle;
    return 0;
}

static const struct module_entries lights_entries = {.open_entry = acquire_light};

/* The record. Inside the module it is lights_module_record, bound within the
   library; the loader finds it by its exported name, HMI. */
struct module_record lights_module_record = {
    .magic = MODULE_RECORD_MAGIC,
    .api_major = MODULE_API_MAJOR,
    .api_minor = MODULE_API_MINOR,
    .ident = "lights",
    .title = "Pellix Lights Module",
    .credit = "Kelvo device team <lights@kelvo.dev>",
    .entry_table = &lights_entries,
    .loader_slot = nullptr,
    .spare = {},
};

extern LIGHTS_EXPORT struct module_record HMI __attribute__((alias("lights_module_record")));

} /* extern "C" */
