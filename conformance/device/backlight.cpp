// SPDX-License-Identifier: Apache-2.0
/* Clauses on the level the backlight's driver is told for each colour,
   read back from the driver's record of its hardware. */
#include "harness.h"

#include "expected_levels.h"
#include "pellix_driver.h"

#include <errno.h>

using namespace kit;
using lights_test::expected_level;
using lights_test::grey;

CLAUSE(backlight_greys, "backlight.greys", contract, 60,
       "every grey 0..255 reaches the driver as the formula's level; the kernel's brightness and "
       "actual_brightness agree")
{
    light_handle* light = open_backlight();
    std::vector<uint32_t> greys;
    std::vector<int> levels;
    for (unsigned value = 0; value < 256; ++value) {
        greys.push_back(grey(value));
        levels.push_back(expected_level(grey(value)));
    }
    applies_levels("grey ", light, greys, levels);
    same("the kernel's brightness", pellix_driver::read_attribute("brightness"), 45);
    same("the kernel's actual_brightness", pellix_driver::read_attribute("actual_brightness"), 45);
}

CLAUSE(backlight_colours, "backlight.colours", contract, 60,
       "the level thresholds, the luma weights, alpha ignored, mixed colours")
{
    light_handle* light = open_backlight();
    for (const auto& threshold : lights_test::level_thresholds) {
        const unsigned luma = static_cast<unsigned>(threshold[0]);
        applies_level("threshold luma " + std::to_string(luma) + ": ", light, grey(luma),
                      threshold[1]);
        applies_level("below threshold luma " + std::to_string(luma) + ": ", light, grey(luma - 1),
                      threshold[1] - 1);
    }
    for (const auto& colour : lights_test::weighted_colours)
        applies_level("weights: ", light, colour[0], static_cast<int>(colour[1]));
    const uint32_t alpha_cases[][2] = {{0x00FFFFFFu, 45}, {0xFFFFFFFFu, 45}, {0xFF000000u, 0},
                                       {0x00000000u, 0},  {0x7F808080u, 22}, {0x01FF0000u, 13}};
    for (const auto& colour : alpha_cases)
        applies_level("alpha: ", light, colour[0], static_cast<int>(colour[1]));
    /* Colours mixing all three weights, against the formula. */
    std::vector<uint32_t> mixed;
    std::vector<int> levels;
    uint32_t colour = 2026;
    for (int i = 0; i < 64; ++i) {
        colour = colour * 1103515245u + 12345u;
        mixed.push_back(colour);
        levels.push_back(expected_level(colour));
    }
    applies_levels("mixed: ", light, mixed, levels);
}

CLAUSE(backlight_null_request, "backlight.null-request", policy, 10,
       "a null request gets -22, with nothing written or logged")
{
    light_handle* light = open_backlight();
    same("a null request returned", light->apply_state(light, nullptr), -EINVAL);
    same("for a null request the driver was told", take_told(), std::vector<int>{});
    const std::vector<log_line> lines = take_log();
    if (!lines.empty())
        fail("a null request logged " + shown(lines[0].text));
}
