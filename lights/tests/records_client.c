/* SPDX-License-Identifier: Apache-2.0 */
/* A client of the module that knows only the records header, compiled by
   check_records_header.cmake as C (C99 and later) and as C++. With
   CLIENT_WRONG_LAYOUT the record's 16-bit fields grow to 32 bits, which the
   header's layout checks must reject on a 32-bit target. */
#ifdef CLIENT_WRONG_LAYOUT
#include <stdint.h>
#define uint16_t uint32_t
#endif
#include "lumivane_records.h"

int client_acquire(const char* name, struct light_handle** handle);
int client_apply(struct light_handle* handle, uint32_t argb);

int client_acquire(const char* name, struct light_handle** handle)
{
    return HMI.entry_table->open_entry(&HMI, name, handle);
}

int client_apply(struct light_handle* handle, uint32_t argb)
{
    struct light_request request;
    request.argb = argb;
    const int applied = handle->apply_state(handle, &request);
    const int released = handle->release(handle);
    return applied != 0 ? applied : released;
}
