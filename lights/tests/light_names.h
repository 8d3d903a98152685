/* What the tests and fuzz targets know of the module independently of its
   code: the six light names of its contract, and the level the
   double-precision formula gives for a colour. */
#ifndef LIGHTS_TEST_LIGHT_NAMES_H
#define LIGHTS_TEST_LIGHT_NAMES_H

#include "lumivane_records.h"

#include <stdint.h>
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

/* Luma from the 77/150/29 weights, divided by 5.666 in double precision. */
inline int expected_level(uint32_t argb)
{
    const unsigned red = (argb >> 16) & 0xFF, green = (argb >> 8) & 0xFF, blue = argb & 0xFF;
    const unsigned luma = (77 * red + 150 * green + 29 * blue) >> 8;
    return static_cast<int>(static_cast<double>(luma) / 5.666);
}

} // namespace lights_test

#endif
