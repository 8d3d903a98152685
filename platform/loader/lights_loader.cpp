// SPDX-License-Identifier: Apache-2.0
/*
 * lights-loader: loads a lights module the way the platform's hardware-module
 * loader does, shows its record, and drives one light (or all six) through
 * one request: acquire, apply a colour, release.
 *
 *   lights-loader MODULE [LIGHT|--all] [COLOUR]
 *   lights-loader --help
 *
 * COLOUR is 0xAARRGGBB or #RRGGBB (alpha 0xFF); the default is 0xFFFFFFFF.
 * Exit status: 0 when every step succeeded, 1 when loading or a step failed,
 * 2 for a malformed command line.
 */
#include "lumivane_records.h"

#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

namespace
{

/* The lights of the contract; the first, the backlight, is the default. */
const char* const all_lights[] = {LUMIVANE_LIGHT_NAMES};

constexpr int exit_ok = 0;
constexpr int exit_failed = 1;
constexpr int exit_usage = 2;

void print_usage(FILE* stream)
{
    fputs("usage: lights-loader MODULE [LIGHT|--all] [COLOUR]\n  LIGHT is one of", stream);
    for (const char* name : all_lights)
        fprintf(stream, " %s", name);
    fprintf(stream,
            ";\n  the default is %s, --all drives them all\n"
            "  COLOUR is 0xAARRGGBB or #RRGGBB; the default is 0xFFFFFFFF\n",
            all_lights[0]);
}

int usage()
{
    print_usage(stderr);
    return exit_usage;
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

/* Parses exactly `count` hex digits and nothing after them. */
bool parse_hex(const char* text, size_t count, uint32_t* value)
{
    if (strlen(text) != count)
        return false;
    uint32_t result = 0;
    for (size_t i = 0; i < count; ++i) {
        const int digit = hex_digit(text[i]);
        if (digit < 0)
            return false;
        result = (result << 4) | static_cast<uint32_t>(digit);
    }
    *value = result;
    return true;
}

bool parse_colour(const char* text, uint32_t* argb)
{
    if (text[0] == '#') {
        uint32_t rgb = 0;
        if (!parse_hex(text + 1, 6, &rgb))
            return false;
        *argb = 0xFF000000u | rgb;
        return true;
    }
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        return parse_hex(text + 2, 8, argb);
    return false;
}

const char* text_or_null(const char* text)
{
    return text != nullptr ? text : "(null)";
}

/* Finds and checks the module record; prints why and returns null if unusable.
   `path` names a file: one without a slash is taken in the current
   directory, never looked up along the library search path. */
const module_record* load_module(const char* path, void** library)
{
    char local_path[4096];
    if (strchr(path, '/') == nullptr) {
        snprintf(local_path, sizeof local_path, "./%s", path);
        path = local_path;
    }
    struct stat status;
    if (stat(path, &status) != 0) {
        fprintf(stderr, "lights-loader: cannot open module %s: %s\n", path, strerror(errno));
        return nullptr;
    }
    *library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (*library == nullptr) {
        fprintf(stderr, "lights-loader: %s is not a loadable module: %s\n", path, dlerror());
        return nullptr;
    }
    const auto* module = static_cast<const module_record*>(dlsym(*library, "HMI"));
    if (module == nullptr) {
        fprintf(stderr, "lights-loader: %s has no module record: missing symbol HMI\n", path);
        return nullptr;
    }
    if (module->magic != MODULE_RECORD_MAGIC) {
        fprintf(stderr, "lights-loader: %s: wrong magic 0x%08x (expected 0x%08x)\n", path,
                module->magic, MODULE_RECORD_MAGIC);
        return nullptr;
    }
    if (module->api_major != MODULE_API_MAJOR) {
        fprintf(stderr,
                "lights-loader: %s: unsupported module API %u.%u (this loader takes %d.x)\n", path,
                module->api_major, module->api_minor, MODULE_API_MAJOR);
        return nullptr;
    }
    if (module->entry_table == nullptr || module->entry_table->open_entry == nullptr) {
        fprintf(stderr, "lights-loader: %s: the module record has no open entry\n", path);
        return nullptr;
    }
    return module;
}

void print_module(const char* path, const module_record* module)
{
    printf("module %s\n", path);
    printf("  magic        0x%08x\n", module->magic);
    printf("  api          %u.%u\n", module->api_major, module->api_minor);
    printf("  ident        %s\n", text_or_null(module->ident));
    printf("  title        %s\n", text_or_null(module->title));
    printf("  credit       %s\n", text_or_null(module->credit));
    printf("  entry_table  %p\n", static_cast<const void*>(module->entry_table));
    printf("  loader_slot  %p\n", module->loader_slot);
}

/* Ends the line that names a step with the step's result. */
void print_result(int result)
{
    if (result == 0)
        printf(" = 0\n");
    else
        printf(" = %d (%s)\n", result, strerror(-result));
}

/* One light's road: acquire, apply, release. Returns true when all succeeded. */
bool drive_light(const module_record* module, const char* name, uint32_t argb)
{
    light_handle* handle = nullptr;
    const int acquired = module->entry_table->open_entry(module, name, &handle);
    printf("acquire \"%s\"", name);
    print_result(acquired);
    uint32_t colour = 0;
    if (acquired != 0 && parse_colour(name, &colour))
        fprintf(stderr,
                "lights-loader: %s is a colour; the light's name comes first: "
                "lights-loader MODULE LIGHT COLOUR\n",
                name);
    if (acquired != 0)
        return false;
    if (handle == nullptr || handle->magic != LIGHT_HANDLE_MAGIC ||
        handle->apply_state == nullptr || handle->release == nullptr) {
        printf("the module returned an unusable handle for \"%s\"\n", name);
        return false;
    }

    const light_request request = {argb};
    const int applied = handle->apply_state(handle, &request);
    printf("apply 0x%08x", argb);
    print_result(applied);

    const int released = handle->release(handle);
    printf("release");
    print_result(released);
    return applied == 0 && released == 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
        print_usage(stdout);
        return exit_ok;
    }
    if (argc < 2 || argc > 4)
        return usage();
    /* Keep our lines in step with the module's log lines on standard error. */
    setvbuf(stdout, nullptr, _IOLBF, 0);

    const char* path = argv[1];
    const char* light = argc > 2 ? argv[2] : all_lights[0];
    uint32_t argb = 0xFFFFFFFFu;
    if (argc > 3 && !parse_colour(argv[3], &argb)) {
        fprintf(stderr, "lights-loader: not a colour: %s\n", argv[3]);
        return usage();
    }

    void* library = nullptr;
    const module_record* module = load_module(path, &library);
    if (module == nullptr) {
        if (library != nullptr)
            dlclose(library);
        return exit_failed;
    }
    print_module(path, module);

    bool ok = true;
    if (strcmp(light, "--all") == 0) {
        for (const char* name : all_lights)
            ok = drive_light(module, name, argb) && ok;
    } else {
        ok = drive_light(module, light, argb);
    }

    dlclose(library);
    return ok ? exit_ok : exit_failed;
}
