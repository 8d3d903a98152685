/* SPDX-License-Identifier: Apache-2.0 */
/* The six light names the module drives, as the tests, the fuzz targets and
   the conformance kit know them: from the records header, not the module's
   code. The levels they expect are in expected_levels.h. */
#ifndef LIGHTS_TEST_LIGHT_NAMES_H
#define LIGHTS_TEST_LIGHT_NAMES_H

#include "lumivane_records.h"

#include <string.h>

namespace lights_test
{

/* The names the module drives, in its own search order. */
inline const char* const light_names[6] = {LUMIVANE_LIGHT_NAMES};

inline bool is_light_name(const char* name)
{
    for (const char* light : light_names) {
        if (strcmp(name, light) == 0)
            return true;
    }
    return false;
}

} // namespace lights_test

#endif
