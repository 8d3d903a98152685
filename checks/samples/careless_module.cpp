// SPDX-License-Identifier: Apache-2.0
/*
 * A lights module built and linked carelessly, the way lumivane.so once
 * was: it passes its exported init_globals to pthread_once by name (so the
 * process may substitute its own), binds whatever pthread_once version the
 * build machine's C library offers, has no unwind tables or debug file, and
 * is linked by the C++ driver with nothing dropping the C++ runtime and
 * libm. The binary-interface check must reject it for each of these; it
 * never ships.
 */
#include "lumivane_records.h"

#include <errno.h>
#include <pthread.h>

namespace
{

pthread_once_t once = PTHREAD_ONCE_INIT;

int acquire_light(const module_record*, const char*, light_handle**)
{
    pthread_once(&once, init_globals);
    return -EINVAL;
}

const module_entries entries = {acquire_light};

} // namespace

extern "C" {

__attribute__((visibility("default"))) void init_globals(void) {}

__attribute__((visibility("default"))) module_record HMI = {
    MODULE_RECORD_MAGIC,
    MODULE_API_MAJOR,
    MODULE_API_MINOR,
    "lights",
    "careless sample",
    "Kelvo device team <lights@kelvo.dev>",
    &entries,
    nullptr,
    {},
};

} /* extern "C" */
