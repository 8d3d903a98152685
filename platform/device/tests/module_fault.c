/* SPDX-License-Identifier: Apache-2.0 */
/*
 * module-fault: acquires the backlight from lumivane.so as the platform's
 * loader does, then applies a request whose pointer points nowhere, so the
 * module faults reading its colour. The crash the device's tests read back,
 * with this program's own frame, apply_to_nowhere, as the module's caller.
 */
#include "lumivane_records.h"

#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>

/* An address no process maps: the first page. */
#define NOWHERE ((const struct light_request*)(uintptr_t)16)

__attribute__((noinline)) static int apply_to_nowhere(struct light_handle* handle)
{
    const int result = handle->apply_state(handle, NOWHERE);
    /* not reached: the module faults above */
    printf("apply = %d\n", result);
    return result;
}

int main(void)
{
    void* module = dlopen("lumivane.so", RTLD_NOW);
    const struct module_record* record = module ? dlsym(module, "HMI") : NULL;
    struct light_handle* handle = NULL;
    if (record == NULL || record->entry_table->open_entry(record, "backlight", &handle) != 0) {
        fprintf(stderr, "module-fault: no backlight from lumivane.so: %s\n", module ? "" : dlerror());
        return 1;
    }
    return apply_to_nowhere(handle) == 0 ? 0 : 1;
}
