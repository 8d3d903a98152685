/* SPDX-License-Identifier: Apache-2.0 */
/*
 * Where a clause's process leaves its result for the judge: a page of
 * shared anonymous memory the judge maps before it forks the process. No
 * descriptor leads to it, so nothing the module writes to a descriptor can
 * reach it; the judge reads it only once the process has ended.
 */
#ifndef LIGHTS_CONFORMANCE_RESULT_PAGE_H
#define LIGHTS_CONFORMANCE_RESULT_PAGE_H

#include <stdint.h>

namespace kit
{

/* How far the clause's process got: the judge tells the kit's own failure
   to start from the module's. */
enum stage : uint32_t {
    stage_none = 0,    /* the clause's process never began */
    stage_started = 1, /* the clause's process runs; the module is not loaded yet */
    stage_loaded = 2,  /* the module is loaded: what happens now is the module's */
    stage_done = 3,    /* the result below is complete */
    /* Under the debugger: the module is loaded and the process waits for
       gdbserver before the clause's first call into it. */
    stage_awaiting_debugger = 4,
};

enum outcome : uint32_t { outcome_pass = 1, outcome_fail = 2, outcome_could_not_run = 3 };

struct result_page {
    uint32_t stage;
    uint32_t outcome;
    char evidence[4088]; /* NUL-terminated */
};

} // namespace kit

#endif
