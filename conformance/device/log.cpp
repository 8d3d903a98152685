// SPDX-License-Identifier: Apache-2.0
/* Clauses on what the module logs: the request line, the open warning, and
   one line per request whatever became of it. */
#include "harness.h"

#include "expected_levels.h"
#include "pellix_driver.h"

#include <errno.h>

using namespace kit;
using lights_test::expected_level;

CLAUSE(log_information, "log.information", contract, 10,
       "the request line: tag \"lights\", priority 4, \"set_light_backlight brightness=%d\\n\", "
       "logged after the write")
{
    light_handle* light = open_backlight();
    watch_driver(true);
    const int status = apply(light, 0xFF808080u);
    watch_driver(false);
    same("0xFF808080 returned", status, 0);
    const std::vector<log_line> lines = take_log();
    same("lines logged for one request:", static_cast<int>(lines.size()), 1);
    same_line("the request line's", lines[0], 4, request_format, request_text(22));
    same("when the request line was logged the driver had been told", lines[0].told_before,
         std::vector<int>{22});
}

CLAUSE(log_warning, "log.warning", contract, 10,
       "the open warning: tag \"lights\", priority 6, \"write_int failed to open %s\\n\"")
{
    light_handle* light = open_backlight();
    if (!pellix_driver::unload())
        kit_failure("the driver cannot be unloaded");
    apply(light, 0xFFFFFFFFu);
    const bool loaded = pellix_driver::load();
    /* The request's own line is log.information's to judge: known by its
       format or by its text, so that a request line with another format
       is not taken for a second warning. */
    std::vector<log_line> warnings;
    for (const log_line& line : take_log()) {
        if (line.format != request_format && logged_level(line) < 0)
            warnings.push_back(line);
    }
    if (!loaded)
        kit_failure("the driver cannot be loaded again");
    same("warnings for a failed open:", static_cast<int>(warnings.size()), 1);
    same_line("the warning's", warnings[0], 6, warning_format, warning_text());
}

CLAUSE(log_per_request, "log.per-request", contract, 10,
       "one request line per request, served or failed, each at priority 4 with its level")
{
    light_handle* light = open_backlight();
    /* Served, refused by the hardware, and with no attribute at all. */
    std::vector<int> want;
    for (const uint32_t argb : {0xFFFFFFFFu, 0xFF808080u, 0xFF808080u, 0xFF000000u}) {
        apply(light, argb);
        want.push_back(expected_level(argb));
    }
    if (pellix_driver::fail_next_update(EIO) != 0)
        kit_failure("the driver takes no fault");
    apply(light, 0xFF0000FFu);
    want.push_back(4);
    if (!pellix_driver::unload())
        kit_failure("the driver cannot be unloaded");
    apply(light, 0xFFFF0000u);
    want.push_back(13);
    if (!pellix_driver::load())
        kit_failure("the driver cannot be loaded again");
    std::vector<int> logged;
    for (const log_line& line : take_log()) {
        if (logged_level(line) < 0)
            continue;
        same("request line " + std::to_string(logged.size() + 1) + "'s priority", line.priority, 4);
        logged.push_back(logged_level(line));
    }
    same("logged levels", logged, want);
}
