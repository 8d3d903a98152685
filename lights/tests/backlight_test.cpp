// SPDX-License-Identifier: Apache-2.0
#include "lights_test_support.h"

#include "kelvo_log.h"
#include "backlight_backend.h"

#include <errno.h>
#include <pthread.h>

#include <random>

using namespace lights_test;

namespace
{

/* Colours one after another on the fixture\'s backlight handle. */
class BacklightColourTest : public BacklightTest
{
  protected:
    /* Applies one colour and returns the levels the backlight received. */
    std::vector<int> levels_for(uint32_t argb)
    {
        EXPECT_EQ(apply(handle, argb), 0) << std::hex << argb;
        return backlight_backend::take_levels();
    }
};

} // namespace

TEST_F(BacklightTest, EveryGreyWritesTheLevelOfTheDoubleFormula)
{
    for (unsigned value = 0; value < 256; ++value) {
        ASSERT_EQ(apply(handle, grey(value)), 0) << value;
        ASSERT_EQ(backlight_backend::take_levels(), std::vector<int>{expected_level(grey(value))})
            << "grey " << value;
    }
}

TEST_F(BacklightColourTest, LevelsStartAtTheirThresholdLumas)
{
    for (const auto& threshold : level_thresholds) {
        const unsigned luma = static_cast<unsigned>(threshold[0]);
        EXPECT_EQ(levels_for(grey(luma)), std::vector<int>{threshold[1]}) << "luma " << luma;
        EXPECT_EQ(levels_for(grey(luma - 1)), std::vector<int>{threshold[1] - 1})
            << "luma " << luma - 1;
    }
}

TEST_F(BacklightColourTest, PrimaryColoursUseTheLumaWeights)
{
    for (const auto& colour : weighted_colours)
        EXPECT_EQ(levels_for(colour[0]), std::vector<int>{static_cast<int>(colour[1])})
            << std::hex << colour[0];
}

TEST_F(BacklightColourTest, AlphaByteIsIgnored)
{
    EXPECT_EQ(levels_for(0x00FFFFFFu), std::vector<int>{45});
    EXPECT_EQ(levels_for(0xFFFFFFFFu), std::vector<int>{45});
    EXPECT_EQ(levels_for(0xFF000000u), std::vector<int>{0});
    std::mt19937 random(2026);
    for (int i = 0; i < 64; ++i) {
        const uint32_t rgb = static_cast<uint32_t>(random()) & 0xFFFFFFu;
        const uint32_t alpha = static_cast<uint32_t>(random()) << 24;
        EXPECT_EQ(levels_for(alpha | rgb), std::vector<int>{expected_level(rgb)})
            << std::hex << rgb;
    }
}

TEST_F(BacklightTest, EveryRequestWritesOnceAndLogsOneInformationLine)
{
    EXPECT_EQ(apply(handle, 0xFF808080u), 0);
    EXPECT_EQ(apply(handle, 0xFF808080u), 0);

    EXPECT_EQ(backlight_backend::take_levels(), std::vector<int>(2, 22));
    const std::vector<log_line> lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    for (const log_line& line : lines) {
        EXPECT_EQ(line.priority, KELVO_LOG_INFO);
        EXPECT_EQ(line.tag, LUMIVANE_LOG_TAG);
        EXPECT_EQ(line.text, level_line(22));
    }
}

TEST_F(BacklightTest, NullRequestIsRejectedWithoutTouchingAnything)
{
    EXPECT_EQ(handle->apply_state(handle, nullptr), -EINVAL);
    EXPECT_TRUE(backlight_backend::take_levels().empty());
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(BacklightTest, ConcurrentRequestsOnManyHandlesNeverInterleave)
{
    constexpr int threads = 4;
    constexpr int requests = 250;
    light_handle* handles[threads][2] = {};
    for (auto& pair : handles) {
        for (light_handle*& acquired : pair)
            ASSERT_TRUE(acquire_owned("backlight", &acquired));
    }
    std::atomic<int> failures{0};
    run_together(threads, [&failures, &handles](int index) {
        std::mt19937 random(static_cast<unsigned>(index));
        for (int i = 0; i < requests; ++i)
            failures += apply(handles[index][i % 2], static_cast<uint32_t>(random())) != 0;
    });
    EXPECT_EQ(failures.load(), 0);

    /* Each write and its log line happen under one lock, so the two orders agree. */
    const std::vector<int> written = backlight_backend::take_levels();
    EXPECT_EQ(written.size(), size_t{threads} * requests);
    EXPECT_EQ(written, log.logged_levels());
}

TEST_F(BacklightTest, TheCallersCancelStateComesBackAsItWas)
{
    for (const int state : {PTHREAD_CANCEL_DISABLE, PTHREAD_CANCEL_ENABLE}) {
        int callers = -1;
        ASSERT_EQ(pthread_setcancelstate(state, &callers), 0);
        EXPECT_EQ(apply(handle, 0xFF808080u), 0);
        int after = -1;
        pthread_setcancelstate(callers, &after);
        EXPECT_EQ(after, state) << "the request changed its caller's cancel state";
    }
}
