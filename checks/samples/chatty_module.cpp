// SPDX-License-Identifier: Apache-2.0
/*
 * A lights module that writes the backlight through stdio: fopen, fprintf,
 * fclose. It reaches the same bytes as the real module but asks the kernel
 * for more on the way (the stream checks the file before its first write).
 * The system-call count must reject it; it never ships.
 */
#include "lumivane_records.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace
{

const char attribute[] = LUMIVANE_BRIGHTNESS_PATH;

int release_light(light_handle* handle)
{
    free(handle);
    return 0;
}

int apply_light(light_handle*, const light_request* request)
{
    const uint32_t luma = (77u * ((request->argb >> 16) & 0xFFu) +
                           150u * ((request->argb >> 8) & 0xFFu) + 29u * (request->argb & 0xFFu)) >>
                          8;
    FILE* file = fopen(attribute, "re+");
    if (file == nullptr)
        return -errno;
    fprintf(file, "%u\n", luma * 1000u / 5666u);
    return fclose(file) == 0 ? 0 : -EIO;
}

int acquire_light(const module_record* module, const char* name, light_handle** handle_out)
{
    if (name == nullptr || handle_out == nullptr || strcmp(name, "backlight") != 0)
        return -EINVAL;
    auto* handle = static_cast<light_handle*>(calloc(1, sizeof(light_handle)));
    if (handle == nullptr)
        return -ENOMEM;
    handle->magic = LIGHT_HANDLE_MAGIC;
    handle->owner = module;
    handle->release = release_light;
    handle->apply_state = apply_light;
    *handle_out = handle;
    return 0;
}

module_entries entries = {acquire_light};

} // namespace

extern "C" {

__attribute__((visibility("default"))) module_record HMI = {
    MODULE_RECORD_MAGIC,
    MODULE_API_MAJOR,
    MODULE_API_MINOR,
    "lights",
    "stdio sample",
    "Kelvo device team <lights@kelvo.dev>",
    &entries,
    nullptr,
    {},
};

} /* extern "C" */
