/*
 * The binary records exchanged between the lights module and the platform's
 * hardware-module loader. This header is the one place the interface is
 * described: every field, its owner and its lifetime.
 *
 * Offsets and sizes are fixed for the 32-bit target (4-byte pointers,
 * little-endian, every field naturally aligned) and checked below. On a
 * 64-bit host the records keep their fields, order and types; only the
 * offsets grow with the pointers.
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

extern "C" {

struct module_record;
struct light_handle;

/* What the platform asks of a light; filled in by the caller of apply. */
struct light_request {
    uint32_t argb; /* 0xAARRGGBB; the module ignores the alpha byte */
    /* The platform's record carries further fields; the module reads none. */
};

/* The module's entry table: reached through module_record::entry_table. */
struct module_entries {
    /*
     * Acquires a handle for the light called `name`. Returns 0 and stores a
     * new handle in *handle_out, or a negative error number (-22 for a name
     * the module does not drive) with *handle_out untouched.
     */
    int (*open_entry)(const struct module_record* module, const char* name,
                      struct light_handle** handle_out);
};

/*
 * The exported module record `HMI`: statically initialised in the library
 * image and never written by the module. 128 bytes on the target.
 */
struct module_record {
    uint32_t magic;     /* MODULE_RECORD_MAGIC */
    uint16_t api_major; /* MODULE_API_MAJOR */
    uint16_t api_minor; /* MODULE_API_MINOR */
    const char* ident;  /* "lights" */
    const char* title;  /* human-readable module name */
    const char* credit; /* author and contact address */
    struct module_entries* entry_table;
    void* loader_slot; /* null in the image; the loader's to use, never read by the module */
    uint32_t spare[25];
};

/*
 * A light handle: allocated and zero-filled by open_entry, owned by the
 * caller until it passes the handle to its own release operation, which
 * frees it. 68 bytes on the target.
 */
struct light_handle {
    uint32_t magic;                    /* LIGHT_HANDLE_MAGIC */
    uint32_t revision;                 /* 0 */
    const struct module_record* owner; /* the module pointer given to open_entry */
    uint32_t spare[12];                /* 0 */
    int (*release)(struct light_handle* handle);
    int (*apply_state)(struct light_handle* handle, const struct light_request* request);
};

} /* extern "C" */

/* The layouts the platform relies on, checked on every 32-bit build. */
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(offsetof(module_record, magic) == 0, "module_record.magic");
static_assert(offsetof(module_record, api_major) == 4, "module_record.api_major");
static_assert(offsetof(module_record, api_minor) == 6, "module_record.api_minor");
static_assert(offsetof(module_record, ident) == 8, "module_record.ident");
static_assert(offsetof(module_record, title) == 12, "module_record.title");
static_assert(offsetof(module_record, credit) == 16, "module_record.credit");
static_assert(offsetof(module_record, entry_table) == 20, "module_record.entry_table");
static_assert(offsetof(module_record, loader_slot) == 24, "module_record.loader_slot");
static_assert(offsetof(module_record, spare) == 28, "module_record.spare");
static_assert(sizeof(module_record) == 128, "module_record size");

static_assert(offsetof(module_entries, open_entry) == 0, "module_entries.open_entry");
static_assert(sizeof(module_entries) == 4, "module_entries size");

static_assert(offsetof(light_handle, magic) == 0, "light_handle.magic");
static_assert(offsetof(light_handle, revision) == 4, "light_handle.revision");
static_assert(offsetof(light_handle, owner) == 8, "light_handle.owner");
static_assert(offsetof(light_handle, spare) == 12, "light_handle.spare");
static_assert(offsetof(light_handle, release) == 60, "light_handle.release");
static_assert(offsetof(light_handle, apply_state) == 64, "light_handle.apply_state");
static_assert(sizeof(light_handle) == 68, "light_handle size");

static_assert(offsetof(light_request, argb) == 0, "light_request.argb");
#endif

#endif /* LUMIVANE_RECORDS_H */
