// SPDX-License-Identifier: Apache-2.0
/* The backlight attribute failing in every way the device can make it fail,
   a request's thread cancelled while the attribute blocks it, and attributes
   that are not what the kernel gives. Surviving a fault means: every request
   returns the fault's error, the open failure is logged once per process,
   the lock is released, nothing is left open, and service resumes as soon
   as the attribute is back. */
#include "lights_test_support.h"

#include "kelvo_log.h"
#include "simulated_backlight.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

using namespace lights_test;

namespace
{

struct fault {
    const char* name;
    bool (*inject)();
    int error;    /* what every request returns while the fault lasts */
    bool at_open; /* the open fails (and is warned about), not the write */
};

bool missing_file()
{
    return backlight_backend::remove_attribute();
}

bool missing_directory()
{
    return backlight_backend::remove_device_dir();
}

bool directory_in_place()
{
    return backlight_backend::directory_in_place();
}

bool read_only_file_system()
{
    return backlight_backend::read_only_attribute();
}

bool full_device()
{
    return backlight_backend::bind_over_attribute("/dev/full");
}

const fault faults[] = {
    {"MissingFile", missing_file, ENOENT, true},
    {"MissingDirectory", missing_directory, ENOENT, true},
    {"DirectoryInPlace", directory_in_place, EISDIR, true},
    {"ReadOnlyFileSystem", read_only_file_system, EROFS, true},
    {"FullDevice", full_device, ENOSPC, false},
};

class FaultTest : public FreshModuleBacklightTest, public ::testing::WithParamInterface<fault>
{
};

/* Injects the fault, then a success when two requests fail as they must and,
   with the attribute back, the next request is served. */
::testing::AssertionResult survives(const fault& injected, light_handle* handle)
{
    if (!injected.inject())
        return ::testing::AssertionFailure()
               << injected.name << " cannot be injected: " << strerror(errno);
    const int first = apply(handle, 0xFFFFFFFFu);
    const int second = apply(handle, 0xFF808080u);
    if (first != -injected.error || second != -injected.error)
        return ::testing::AssertionFailure() << injected.name << ": requests returned " << first
                                             << " and " << second << ", not " << -injected.error;
    if (!backlight_backend::reset())
        return ::testing::AssertionFailure() << "the attribute cannot be brought back";
    const int served = apply(handle, 0xFF000000u);
    const std::vector<std::string> writes = backlight_backend::take_writes();
    if (served != 0 || writes != one_write(0))
        return ::testing::AssertionFailure()
               << injected.name << ": the next request returned " << served << " and wrote "
               << writes.size() << " times, not once \"0\\n\"";
    report_figure("faults_survived", 1);
    return ::testing::AssertionSuccess();
}

/* Fills the FIFO attribute to the last byte, so that the next write to it
   blocks until someone reads. */
bool fill_attribute()
{
    const int fd = open(backlight_backend::attribute_path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    static const char zeros[4096] = {};
    while (write(fd, zeros, sizeof zeros) > 0) {
    }
    while (write(fd, zeros, 1) > 0) {
    }
    const bool full = errno == EAGAIN;
    close(fd);
    return full;
}

} // namespace

TEST_F(BacklightTest, ACancelledRequestLeavesTheLockReleasedAndNothingOpen)
{
    /* A full FIFO blocks the write; reading it empty lets the write go. */
    EXPECT_TRUE(
        cancel_blocked_request(handle, fill_attribute, [] { backlight_backend::take_writes(); }));
}

TEST_P(FaultTest, RequestsFailWithTheErrnoAndServiceResumesWhenTheFileIsBack)
{
    const fault& injected = GetParam();
    const int descriptors = open_descriptors();
    const size_t warnings = injected.at_open ? 1 : 0;

    EXPECT_TRUE(survives(injected, handle));

    EXPECT_EQ(log.count(KELVO_LOG_ERROR, open_warning_line()), warnings);
    /* Every request logs its level, failed or not, and nothing else is logged. */
    EXPECT_EQ(log.count(KELVO_LOG_INFO, level_line(45)), 1u);
    EXPECT_EQ(log.count(KELVO_LOG_INFO, level_line(22)), 1u);
    EXPECT_EQ(log.count(KELVO_LOG_INFO, level_line(0)), 1u);
    EXPECT_EQ(log.lines().size(), 3 + warnings);
    EXPECT_EQ(open_descriptors(), descriptors);
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultTest, ::testing::ValuesIn(faults),
                         [](const ::testing::TestParamInfo<fault>& param) {
                             return std::string(param.param.name);
                         });

TEST_F(FreshModuleBacklightTest, OneProcessThroughEveryFaultLogsOneWarningInAll)
{
    const int descriptors = open_descriptors();
    for (int round = 0; round < 2; ++round) {
        for (const fault& injected : faults)
            EXPECT_TRUE(survives(injected, handle)) << "round " << round;
    }
    EXPECT_EQ(log.count(KELVO_LOG_ERROR, open_warning_line()), 1u);
    EXPECT_EQ(open_descriptors(), descriptors);
}

TEST_F(BacklightTest, TheAttributeIsOpenedForReadingAndWritingAndNeverTruncated)
{
    /* A regular file keeps whatever the level's bytes do not cover. */
    ASSERT_TRUE(backlight_backend::regular_attribute("stale text\n"));
    EXPECT_EQ(apply(handle, 0xFFFFFFFFu), 0);
    EXPECT_EQ(backlight_backend::attribute_content(), "45\nle text\n");

    /* A FIFO no driver reads: opened for writing only, the request would
       wait for a reader with the lock held. */
    ASSERT_TRUE(backlight_backend::unread_attribute());
    int result = 1;
    const bool returned = apply_within(handle, 0xFFFFFFFFu, &result);
    if (!returned) {
        /* A reader that stays lets the waiting request go, so later tests run. */
        (void)open(backlight_backend::attribute_path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    }
    ASSERT_TRUE(returned) << "the request waits for a reader of the attribute";
    EXPECT_EQ(result, 0);
}
