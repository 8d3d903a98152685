// SPDX-License-Identifier: Apache-2.0
/*
 * request-repeater MODULE COUNT
 *
 * Loads a lights module as the platform's loader does, acquires its
 * backlight, applies white COUNT times to the simulated backlight (a
 * regular file, log lines discarded), releases the handle and checks that
 * the attribute holds what the last request wrote. A run with COUNT 0 does
 * everything else the same way, so tracing both runs and subtracting shows
 * what the requests alone cost.
 *
 * Exit status: 0 done, 1 a step failed, 2 usage, 77 the simulation is not
 * available here (1 in CI).
 */
#include "simulated_backlight.h"
#include "kelvo_log.h"
#include "lumivane_records.h"

#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

namespace
{

constexpr uint32_t white = 0xFFFFFFFFu;
/* The level the module gives white, as the attribute receives it. */
const char white_written[] = "45\n";

int fail(const char* what, const char* detail)
{
    fprintf(stderr, "request-repeater: %s%s%s\n", what, detail != nullptr ? ": " : "",
            detail != nullptr ? detail : "");
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: request-repeater MODULE COUNT\n");
        return 2;
    }
    char* end = nullptr;
    const long count = strtol(argv[2], &end, 10);
    if (*argv[2] == '\0' || *end != '\0' || count < 0) {
        fprintf(stderr, "request-repeater: not a count: %s\n", argv[2]);
        return 2;
    }

    std::string why_not = backlight_backend::enter();
    if (why_not.empty() && !backlight_backend::regular_attribute(""))
        why_not = std::string("cannot create the attribute: ") + strerror(errno);
    if (!why_not.empty()) {
        fprintf(stderr, "request-repeater: %s\n", why_not.c_str());
        return backlight_backend::required() ? 1 : 77;
    }
    kelvo_log_set_sink(kelvo_log_discard);

    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr)
        return fail("cannot load the module", dlerror());
    const auto* module = static_cast<const module_record*>(dlsym(library, "HMI"));
    if (module == nullptr || module->magic != MODULE_RECORD_MAGIC || module->entry_table == nullptr)
        return fail("not a lights module", argv[1]);

    light_handle* handle = nullptr;
    if (module->entry_table->open_entry(module, "backlight", &handle) != 0)
        return fail("cannot acquire the backlight", nullptr);

    const light_request request = {white};
    for (long i = 0; i < count; ++i) {
        if (handle->apply_state(handle, &request) != 0)
            return fail("a request failed", nullptr);
    }
    handle->release(handle);

    const std::string written = backlight_backend::attribute_content();
    if (written != (count > 0 ? white_written : ""))
        return fail("the attribute does not hold what was requested", written.c_str());
    return 0;
}
