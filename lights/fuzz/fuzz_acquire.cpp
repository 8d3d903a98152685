/* Acquire with arbitrary bytes as the light name: only the six exact names
   may ever succeed; anything else returns -EINVAL and leaves the output
   pointer alone. */
#include "lumivane_records.h"

#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

extern "C" struct module_record HMI;

namespace {

const char* const light_names[] = {"backlight", "keyboard",      "buttons",
                                   "battery",   "notifications", "attention"};

bool is_light_name(const char* name)
{
    for (const char* light : light_names) {
        if (strcmp(name, light) == 0)
            return true;
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    /* The platform passes a C string: the name ends at the first NUL. */
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const char* name = bytes.c_str();

    light_handle* const untouched = reinterpret_cast<light_handle*>(0x1234);
    light_handle* handle = untouched;
    const int result = HMI.entry_table->open_entry(&HMI, name, &handle);

    if (!is_light_name(name)) {
        if (result != -EINVAL || handle != untouched)
            abort();
        return 0;
    }
    if (result != 0 || handle == untouched || handle->magic != LIGHT_HANDLE_MAGIC ||
        handle->owner != &HMI || handle->release(handle) != 0)
        abort();
    return 0;
}
