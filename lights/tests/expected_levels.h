/* SPDX-License-Identifier: Apache-2.0 */
/* The level the module must write for a colour, as the tests, the fuzz
   targets and the conformance kit know it independently of the module's
   code: the double-precision formula, and the colours whose levels pin the
   formula down. */
#ifndef LIGHTS_TEST_EXPECTED_LEVELS_H
#define LIGHTS_TEST_EXPECTED_LEVELS_H

#include <stdint.h>

namespace lights_test
{

/* Luma from the 77/150/29 weights, divided by 5.666 in double precision. */
inline int expected_level(uint32_t argb)
{
    const unsigned red = (argb >> 16) & 0xFF, green = (argb >> 8) & 0xFF, blue = argb & 0xFF;
    const unsigned luma = (77 * red + 150 * green + 29 * blue) >> 8;
    return static_cast<int>(static_cast<double>(luma) / 5.666);
}

/* The grey of `value` in every component, fully opaque. */
inline uint32_t grey(unsigned value)
{
    return 0xFF000000u | value << 16 | value << 8 | value;
}

/* {luma, level}: the smallest luma that reaches each of these levels; the
   luma before it gives the level below. */
inline const int level_thresholds[11][2] = {{6, 1},    {12, 2},   {17, 3},   {23, 4},
                                            {29, 5},   {57, 10},  {114, 20}, {170, 30},
                                            {227, 40}, {250, 44}, {255, 45}};

/* {colour, level}: each weight alone, and the middle grey. */
inline const uint32_t weighted_colours[4][2] = {
    {0xFFFF0000u, 13}, /* red: luma 76 */
    {0xFF00FF00u, 26}, /* green: luma 149 */
    {0xFF0000FFu, 4},  /* blue: luma 28 */
    {0xFF808080u, 22}, /* grey 128: luma 128 */
};

} // namespace lights_test

#endif
