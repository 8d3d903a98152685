// SPDX-License-Identifier: Apache-2.0
/* Clauses on acquire and release: the six lights, every other name, null
   arguments, memory over many cycles, and the five lights that do nothing. */
#include "harness.h"

#include "light_names.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>

using namespace kit;
using lights_test::light_names;

namespace
{

/* Leaves the heap full of old data: blocks of every small size, handles'
   among them, written with a pattern and freed, so an allocation that is
   not zero-filled shows the pattern rather than fresh zero pages. */
void fill_heap_with_old_data()
{
    static void* blocks[1024];
    for (size_t i = 0; i < sizeof blocks / sizeof blocks[0]; ++i) {
        const size_t size = 16 + (i % 16) * 8;
        blocks[i] = malloc(size);
        if (blocks[i] != nullptr)
            memset(blocks[i], 0xA5, size);
    }
    for (void* block : blocks)
        free(block);
}

/* What is wrong with a fresh handle, or "". */
std::string wrong_fields(const light_handle* handle, const module_record* owner)
{
    if (handle->magic != LIGHT_HANDLE_MAGIC)
        return "magic " + hex(handle->magic) + ", not " + hex(LIGHT_HANDLE_MAGIC);
    if (handle->revision != 0)
        return "revision " + hex(handle->revision) + ", not 0";
    if (handle->owner != owner)
        return "owner is not the module pointer passed in";
    if (!in_module(reinterpret_cast<const void*>(handle->release)) ||
        !in_module(reinterpret_cast<const void*>(handle->apply_state)))
        return "release or apply_state does not point into the module";
    for (size_t i = 0; i < 12; ++i) {
        if (handle->spare[i] != 0)
            return "spare[" + std::to_string(i) + "] " + hex(handle->spare[i]) +
                   ", not 0 (the handle is not zero-filled)";
    }
    return "";
}

} // namespace

CLAUSE(acquire_lights, "acquire.lights", contract, 10,
       "the six light names yield fresh, zero-filled handles with the right fields, even on a "
       "heap of old data; release returns 0, also for NULL")
{
    module_record other = *module;
    fill_heap_with_old_data();
    for (const char* name : light_names) {
        light_handle* first = nullptr;
        light_handle* second = nullptr;
        same(shown(name) + " returned", acquire(name, &first), 0);
        if (first == nullptr)
            fail(shown(name) + " gave no handle");
        const int again = acquire(name, &second, &other);
        if (again != 0 || second == nullptr || second == first)
            fail("a second " + shown(name) + " gave no record of its own");
        std::string wrong = wrong_fields(first, module);
        if (wrong.empty())
            wrong = wrong_fields(second, &other);
        const int released = first->release(first);
        second->release(second);
        if (!wrong.empty())
            fail(shown(name) + ": " + wrong);
        same(shown(name) + ": release returned", released, 0);
    }
    light_handle* handle = nullptr;
    same("\"battery\" returned", acquire("battery", &handle), 0);
    const int null_release = handle->release(nullptr);
    handle->release(handle);
    same("release(NULL) returned", null_release, 0);
}

CLAUSE(acquire_others, "acquire.others", contract, 10,
       "every other name (near misses, case, blanks, prefixes, empty, long) gets -22, the output "
       "untouched, nothing logged")
{
    const std::string long_name = "backlight" + std::string(4000, 'x');
    const char* const names[] = {
        "Backlight",    "BACKLIGHT", "Attention",       "backligh",   "backlightx", "keyboards",
        "notification", "battery\n", "backlight ",      " backlight", "back",       "b",
        "lights",       "",          long_name.c_str(),
    };
    take_log();
    light_handle* const untouched = reinterpret_cast<light_handle*>(0x1234);
    for (const char* name : names) {
        const std::string shown_name = shown(std::string(name).substr(0, 20));
        light_handle* handle = untouched;
        same(shown_name + " returned", acquire(name, &handle), -EINVAL);
        if (handle != untouched)
            fail(shown_name + " changed the output pointer");
    }
    if (!take_log().empty())
        fail("a rejected name was logged");
}

CLAUSE(acquire_null_name, "acquire.null-name", policy, 10,
       "a null name gets -22, the output untouched, nothing logged")
{
    take_log();
    light_handle* const untouched = reinterpret_cast<light_handle*>(0x1234);
    light_handle* handle = untouched;
    same("a null name returned", acquire(nullptr, &handle), -EINVAL);
    if (handle != untouched)
        fail("a null name changed the output pointer");
    if (!take_log().empty())
        fail("a null name was logged");
}

CLAUSE(acquire_null_output, "acquire.null-output", policy, 10,
       "a null output pointer gets -22 for every light, nothing logged")
{
    take_log();
    for (const char* name : light_names)
        same(shown(name) + " with a null output pointer returned", acquire(name, nullptr), -EINVAL);
    if (!take_log().empty())
        fail("a null output pointer was logged");
}

namespace
{

long data_kib()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.compare(0, 7, "VmData:") == 0)
            return std::stol(line.substr(7));
    }
    return -1;
}

bool churn(int count)
{
    for (int i = 0; i < count; ++i) {
        light_handle* handle = nullptr;
        if (acquire(light_names[i % 6], &handle) != 0 || handle == nullptr)
            return false;
        handle->release(handle);
    }
    return true;
}

} // namespace

CLAUSE(acquire_churn, "acquire.churn", contract, 60,
       "release frees: acquire/release churn leaves the process's data flat")
{
    constexpr int cycles = 20000;
    if (!churn(600))
        fail("an acquire failed");
    const long before = data_kib();
    if (before < 0)
        kit_failure("no VmData in /proc/self/status");
    if (!churn(cycles))
        fail("an acquire failed");
    /* A handle is 68 bytes: a record kept per cycle would take over a MiB. */
    const long grown = data_kib() - before;
    if (grown > 64)
        fail("the process's data grew by " + std::to_string(grown) + " KiB over " +
             std::to_string(cycles) + " acquire/release cycles");
}

CLAUSE(acquire_passive, "acquire.passive", contract, 10,
       "the five other lights accept every request (a null one too), write and log nothing")
{
    fresh_backlight();
    const uint32_t colours[] = {0x00000000u, 0xFFFFFFFFu, 0x80FF0000u, 0x0000FF00u, 0x123456u};
    for (size_t i = 1; i < 6; ++i) {
        light_handle* handle = nullptr;
        same(shown(light_names[i]) + " returned", acquire(light_names[i], &handle), 0);
        std::string wrong;
        for (const uint32_t argb : colours) {
            if (const int status = apply(handle, argb); status != 0 && wrong.empty())
                wrong = "apply " + hex(argb) + " returned " + std::to_string(status);
        }
        if (const int status = handle->apply_state(handle, nullptr); status != 0 && wrong.empty())
            wrong = "a null request returned " + std::to_string(status);
        handle->release(handle);
        if (!wrong.empty())
            fail(shown(light_names[i]) + ": " + wrong);
        same(shown(light_names[i]) + ": the driver was told", take_told(), std::vector<int>{});
        const std::vector<log_line> lines = take_log();
        if (!lines.empty())
            fail(shown(light_names[i]) + " logged " + shown(lines[0].text));
    }
}
