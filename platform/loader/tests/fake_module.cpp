// SPDX-License-Identifier: Apache-2.0
/* Modules the loader must refuse: built with a wrong magic word, with an
   unsupported major version, and with an open entry that claims success
   but hands back no handle. */
#include "lumivane_records.h"

extern "C" {

static int open_without_handle(const struct module_record*, const char*,
                               struct light_handle** handle_out)
{
    *handle_out = nullptr;
    return 0;
}

static struct module_entries entries = {open_without_handle};

__attribute__((visibility("default"))) struct module_record HMI = {
    FAKE_MAGIC, FAKE_MAJOR, 0, "fake", "Fake Module", "nobody", &entries, nullptr, {},
};

} /* extern "C" */
