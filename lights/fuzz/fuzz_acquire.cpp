// SPDX-License-Identifier: Apache-2.0
/* Acquire with arbitrary bytes as the light name: only the six exact names
   may ever succeed; anything else returns -EINVAL and leaves the output
   pointer alone. */
#include "light_names.h"
#include "lumivane_records.h"

#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    /* The platform passes a C string: the name ends at the first NUL. */
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const char* name = bytes.c_str();

    light_handle* const untouched = reinterpret_cast<light_handle*>(0x1234);
    light_handle* handle = untouched;
    const int result = HMI.entry_table->open_entry(&HMI, name, &handle);

    if (!lights_test::is_light_name(name)) {
        if (result != -EINVAL || handle != untouched)
            abort();
        return 0;
    }
    if (result != 0 || handle == untouched || handle->magic != LIGHT_HANDLE_MAGIC ||
        handle->owner != &HMI || handle->release(handle) != 0)
        abort();
    return 0;
}
