// SPDX-License-Identifier: Apache-2.0
/* Apply with arbitrary requests on any light. Input: one byte choosing the
   light, then the request's bytes (a short request is zero-padded). The
   backlight must write exactly the level of the colour and return 0; the
   passive lights must return 0 and write nothing. */
#include "expected_levels.h"
#include "light_names.h"
#include "lumivane_records.h"

#include "kelvo_log.h"
#include "simulated_backlight.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    const std::string why_not = backlight_backend::enter();
    if (!why_not.empty() || !backlight_backend::reset()) {
        fprintf(stderr, "fuzz_apply: %s\n", why_not.c_str());
        exit(backlight_backend::required() ? 1 : 77);
    }
    kelvo_log_set_sink(kelvo_log_discard);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const char* name = lights_test::light_names[data[0] % 6];
    light_request request;
    memset(&request, 0, sizeof request);
    memcpy(&request, data + 1, size - 1 < sizeof request ? size - 1 : sizeof request);

    light_handle* handle = nullptr;
    if (HMI.entry_table->open_entry(&HMI, name, &handle) != 0)
        abort();
    const int result = handle->apply_state(handle, &request);
    handle->release(handle);

    const std::vector<std::string> writes = backlight_backend::take_writes();
    const bool backlight = strcmp(name, "backlight") == 0;
    const std::vector<std::string> expected =
        backlight
            ? std::vector<std::string>{std::to_string(lights_test::expected_level(request.argb)) +
                                       "\n"}
            : std::vector<std::string>{};
    if (result != 0 || writes != expected)
        abort();
    return 0;
}
