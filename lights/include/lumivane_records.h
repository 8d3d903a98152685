/* SPDX-License-Identifier: Apache-2.0 */
/*
 * The binary contract between the lights module (lumivane.so) and the
 * platform's hardware-module loader: the records they exchange, the record
 * the module exports, and what every operation reached through them does.
 * This header is the whole contract; the platform compiles against it, from
 * C (C99 or later) or C++ (C++11 or later).
 *
 * Offsets and sizes are fixed for the 32-bit target (4-byte pointers,
 * little-endian, every field naturally aligned) and checked at compile time
 * below, in C and in C++. On a 64-bit host the records keep their fields,
 * order and types; only the offsets grow with the pointers.
 *
 * Every operation returns 0 or a negative error number (-EINVAL is -22,
 * -ENOMEM is -12, as <errno.h> numbers them on Linux).
 */
#ifndef LUMIVANE_RECORDS_H
#define LUMIVANE_RECORDS_H

#include <stddef.h>
#include <stdint.h>

/* "HWMT" packed most significant first: the bytes in memory read "TMWH". */
#define MODULE_RECORD_MAGIC 0x48574D54u
/* "HWDT" packed most significant first: the bytes in memory read "TDWH". */
#define LIGHT_HANDLE_MAGIC 0x48574454u

#define MODULE_API_MAJOR 1
#define MODULE_API_MINOR 0

/* The six lights, in the module's search order, as an initialiser list:
   static const char* const names[] = {LUMIVANE_LIGHT_NAMES}; */
#define LUMIVANE_LIGHT_NAMES                                                                       \
    "backlight", "keyboard", "buttons", "battery", "notifications", "attention"

/* The kernel's backlight device, and the attribute the backlight's level is written to. */
#define LUMIVANE_BACKLIGHT_DIR "/sys/class/backlight/pellix-bl"
#define LUMIVANE_BRIGHTNESS_PATH LUMIVANE_BACKLIGHT_DIR "/brightness"

/* What the module logs through the platform's log library (kelvo_log.h
   numbers the priorities): the tag and the two formats. The request line is
   logged at information priority once per backlight request; the warning at
   error priority once per process, on the first failure to open the
   attribute. */
#define LUMIVANE_LOG_TAG "lights"
#define LUMIVANE_LOG_REQUEST_FORMAT "set_light_backlight brightness=%d\n"
#define LUMIVANE_LOG_OPEN_WARNING_FORMAT "write_int failed to open %s\n"

#ifdef __cplusplus
extern "C" {
#endif

struct module_record;
struct light_handle;

/* What the platform asks of a light; filled in by the caller of apply_state. */
struct light_request {
    uint32_t argb; /* 0xAARRGGBB; the module ignores the alpha byte */
    /* The platform's record carries further fields; the module reads none. */
};

/* The module's entry table, reached through module_record::entry_table. */
struct module_entries {
    /*
     * Acquires a handle for the light called `name`, one of
     * LUMIVANE_LIGHT_NAMES, matched byte for byte. Safe to call from any
     * thread, at any time.
     *
     * Returns 0 and stores a new handle in *handle_out; `module` is kept in
     * the handle's `owner` and never read.
     * Returns -EINVAL, with nothing allocated and *handle_out untouched, for
     * any other name (case and trailing blanks count, the empty name
     * included), a null `name` or a null `handle_out`.
     * Returns -ENOMEM, with *handle_out untouched, when the handle cannot
     * be allocated.
     */
    int (*open_entry)(const struct module_record* module, const char* name,
                      struct light_handle** handle_out);
};

/*
 * The module record, exported by the module as `HMI`: statically
 * initialised in the library image and never written by the module; the
 * loader may write loader_slot. 128 bytes on the target.
 */
struct module_record {
    uint32_t magic;     /* MODULE_RECORD_MAGIC */
    uint16_t api_major; /* MODULE_API_MAJOR */
    uint16_t api_minor; /* MODULE_API_MINOR */
    const char* ident;  /* "lights" */
    const char* title;  /* human-readable module name */
    const char* credit; /* author and contact address */
    /* The module's entry table: read-only, in the module's image. */
    const struct module_entries* entry_table;
    void* loader_slot;  /* null in the image; the loader's to use, never read by the module */
    uint32_t spare[25]; /* 0 */
};

/*
 * A light handle: allocated and zero-filled by open_entry, owned by the
 * caller until it passes the handle to the handle's own release. 68 bytes
 * on the target.
 */
struct light_handle {
    uint32_t magic;                    /* LIGHT_HANDLE_MAGIC */
    uint32_t revision;                 /* 0 */
    const struct module_record* owner; /* the module pointer given to open_entry */
    uint32_t spare[12];                /* 0 */

    /*
     * Frees `handle`; it must not be used again. Returns 0, always; a null
     * `handle` does nothing and returns 0.
     */
    int (*release)(struct light_handle* handle);

    /*
     * Applies `request` to the light; `handle` itself is not read.
     *
     * Backlight: turns the colour into a level, 0..45 (the luma
     * (77 R + 150 G + 29 B) >> 8 divided by 5.666, truncated), writes it to
     * LUMIVANE_BRIGHTNESS_PATH and logs it (tag "lights").
     * One module-wide lock serialises every backlight request of the
     * process, across all handles: each write and its log line complete
     * before the next request starts. A thread cancelled during a request
     * is cancelled only after it, with the lock released and the file
     * closed. Returns 0 when the whole level was written; -EINVAL for a
     * null `request`, with nothing written or logged; -errno when the file
     * cannot be opened (the first such failure in the process is logged)
     * or the write fails; -EIO when only part of the level was written.
     *
     * Every other light: does nothing and returns 0, whatever `request` is
     * (null included).
     */
    int (*apply_state)(struct light_handle* handle, const struct light_request* request);
};

/* The module record. Load the module and look it up by this name. */
extern struct module_record HMI;

/*
 * Initialises the module-wide lock. Exported for platforms that call it by
 * name, but never needed: the module runs its own copy exactly once, at the
 * first successful acquire, whatever else in the process is called
 * init_globals. Must not be called while any backlight request may run.
 */
void init_globals(void);

#ifdef __cplusplus
} /* extern "C" */
#endif

/* LUMIVANE_LAYOUT(condition, name): a compile-time check, in C99, C11 and C++. */
#if defined(__cplusplus)
#define LUMIVANE_LAYOUT(condition, name) static_assert(condition, "layout: " #name)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define LUMIVANE_LAYOUT(condition, name) _Static_assert(condition, "layout: " #name)
#else
#define LUMIVANE_LAYOUT(condition, name) typedef char lumivane_layout_##name[(condition) ? 1 : -1]
#endif

/* The layouts the platform relies on, checked on every 32-bit build. */
#if UINTPTR_MAX == 0xFFFFFFFFu
LUMIVANE_LAYOUT(offsetof(struct module_record, magic) == 0, module_record_magic);
LUMIVANE_LAYOUT(offsetof(struct module_record, api_major) == 4, module_record_api_major);
LUMIVANE_LAYOUT(offsetof(struct module_record, api_minor) == 6, module_record_api_minor);
LUMIVANE_LAYOUT(offsetof(struct module_record, ident) == 8, module_record_ident);
LUMIVANE_LAYOUT(offsetof(struct module_record, title) == 12, module_record_title);
LUMIVANE_LAYOUT(offsetof(struct module_record, credit) == 16, module_record_credit);
LUMIVANE_LAYOUT(offsetof(struct module_record, entry_table) == 20, module_record_entry_table);
LUMIVANE_LAYOUT(offsetof(struct module_record, loader_slot) == 24, module_record_loader_slot);
LUMIVANE_LAYOUT(offsetof(struct module_record, spare) == 28, module_record_spare);
LUMIVANE_LAYOUT(sizeof(struct module_record) == 128, module_record_size);

LUMIVANE_LAYOUT(offsetof(struct module_entries, open_entry) == 0, module_entries_open_entry);
LUMIVANE_LAYOUT(sizeof(struct module_entries) == 4, module_entries_size);

LUMIVANE_LAYOUT(offsetof(struct light_handle, magic) == 0, light_handle_magic);
LUMIVANE_LAYOUT(offsetof(struct light_handle, revision) == 4, light_handle_revision);
LUMIVANE_LAYOUT(offsetof(struct light_handle, owner) == 8, light_handle_owner);
LUMIVANE_LAYOUT(offsetof(struct light_handle, spare) == 12, light_handle_spare);
LUMIVANE_LAYOUT(offsetof(struct light_handle, release) == 60, light_handle_release);
LUMIVANE_LAYOUT(offsetof(struct light_handle, apply_state) == 64, light_handle_apply_state);
LUMIVANE_LAYOUT(sizeof(struct light_handle) == 68, light_handle_size);

LUMIVANE_LAYOUT(offsetof(struct light_request, argb) == 0, light_request_argb);
#endif

#endif /* LUMIVANE_RECORDS_H */
