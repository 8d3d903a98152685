#include "lights_test_support.h"

#include "kelvo_log.h"
#include "pellix_sim.h"

#include <errno.h>

#include <random>

using namespace lights_test;

namespace
{

/* Colours one after another on a backlight handle acquired before the test. */
class BacklightColourTest : public BacklightTest
{
  protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(BacklightTest::SetUp());
        if (IsSkipped())
            return;
        ASSERT_NO_FATAL_FAILURE(acquire_ok("backlight", &handle));
    }

    void TearDown() override
    {
        if (handle != nullptr)
            handle->release(handle);
    }

    /* Applies one colour and returns what reached the attribute. */
    std::vector<std::string> writes_for(uint32_t argb)
    {
        EXPECT_EQ(apply(handle, argb), 0) << std::hex << argb;
        return pellix_sim::take_writes();
    }

    light_handle* handle = nullptr;
};

} // namespace

TEST_F(BacklightTest, EveryGreyWritesTheLevelOfTheDoubleFormula)
{
    light_handle* handle = nullptr;
    ASSERT_NO_FATAL_FAILURE(acquire_ok("backlight", &handle));
    for (unsigned value = 0; value < 256; ++value) {
        ASSERT_EQ(apply(handle, grey(value)), 0) << value;
        ASSERT_EQ(pellix_sim::take_writes(), one_write(expected_level(grey(value))))
            << "grey " << value;
    }
    handle->release(handle);
}

TEST_F(BacklightColourTest, LevelsStartAtTheirThresholdLumas)
{
    for (const auto& threshold : level_thresholds) {
        const unsigned luma = static_cast<unsigned>(threshold[0]);
        EXPECT_EQ(writes_for(grey(luma)), one_write(threshold[1])) << "luma " << luma;
        EXPECT_EQ(writes_for(grey(luma - 1)), one_write(threshold[1] - 1)) << "luma " << luma - 1;
    }
}

TEST_F(BacklightColourTest, PrimaryColoursUseTheLumaWeights)
{
    for (const auto& colour : weighted_colours)
        EXPECT_EQ(writes_for(colour[0]), one_write(static_cast<int>(colour[1])))
            << std::hex << colour[0];
}

TEST_F(BacklightColourTest, AlphaByteIsIgnored)
{
    EXPECT_EQ(writes_for(0x00FFFFFFu), one_write(45));
    EXPECT_EQ(writes_for(0xFFFFFFFFu), one_write(45));
    EXPECT_EQ(writes_for(0xFF000000u), one_write(0));
    std::mt19937 random(2026);
    for (int i = 0; i < 64; ++i) {
        const uint32_t rgb = static_cast<uint32_t>(random()) & 0xFFFFFFu;
        const uint32_t alpha = static_cast<uint32_t>(random()) << 24;
        EXPECT_EQ(writes_for(alpha | rgb), one_write(expected_level(rgb))) << std::hex << rgb;
    }
}

TEST_F(BacklightTest, EveryRequestWritesOnceAndLogsOneInformationLine)
{
    light_handle* handle = nullptr;
    ASSERT_NO_FATAL_FAILURE(acquire_ok("backlight", &handle));
    EXPECT_EQ(apply(handle, 0xFF808080u), 0);
    EXPECT_EQ(apply(handle, 0xFF808080u), 0);
    handle->release(handle);

    EXPECT_EQ(pellix_sim::take_writes(), std::vector<std::string>(2, "22\n"));
    const std::vector<log_line> lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    for (const log_line& line : lines) {
        EXPECT_EQ(line.priority, KELVO_LOG_INFO);
        EXPECT_EQ(line.tag, "lights");
        EXPECT_EQ(line.text, level_line(22));
    }
}

TEST_F(BacklightTest, NullRequestIsRejectedWithoutTouchingAnything)
{
    light_handle* handle = nullptr;
    ASSERT_NO_FATAL_FAILURE(acquire_ok("backlight", &handle));
    EXPECT_EQ(handle->apply_state(handle, nullptr), -EINVAL);
    handle->release(handle);
    EXPECT_TRUE(pellix_sim::take_writes().empty());
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(BacklightTest, ConcurrentRequestsOnManyHandlesNeverInterleave)
{
    constexpr int threads = 4;
    constexpr int requests = 250;
    std::atomic<int> failures{0};
    run_together(threads, [&failures](int index) {
        std::mt19937 random(static_cast<unsigned>(index));
        light_handle* handles[2] = {};
        for (light_handle*& handle : handles)
            ASSERT_NO_FATAL_FAILURE(acquire_ok("backlight", &handle));
        for (int i = 0; i < requests; ++i)
            failures += apply(handles[i % 2], static_cast<uint32_t>(random())) != 0;
        handles[0]->release(handles[0]);
        handles[1]->release(handles[1]);
    });
    EXPECT_EQ(failures.load(), 0);

    /* Each write and its log line happen under one lock, so the two orders agree. */
    const std::vector<int> written = pellix_sim::take_levels();
    EXPECT_EQ(written.size(), size_t{threads} * requests);
    EXPECT_EQ(written, log.logged_levels());
}
