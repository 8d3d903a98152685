/* Faults that come from the real kernel, on the emulated device only: the
   driver going away, the hardware refusing or stalling an update, a caller
   the attribute's permissions turn away. */
#include "lights_test_support.h"

#include "kelvo_log.h"
#include "pellix_driver.h"
#include "backlight_backend.h"

#include <errno.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace lights_test;

TEST_F(BacklightTest, UnloadedDriverGivesEnoentOneWarningAndServiceResumesOnReload)
{
    ASSERT_TRUE(pellix_driver::unload());
    EXPECT_EQ(apply(handle, 0xFFFFFFFFu), -ENOENT);
    EXPECT_EQ(apply(handle, 0xFFFFFFFFu), -ENOENT);
    EXPECT_EQ(log.count(KELVO_LOG_ERROR, open_warning), first_open_failure() ? 1u : 0u);

    ASSERT_TRUE(pellix_driver::load());
    EXPECT_EQ(apply(handle, 0xFFFFFFFFu), 0);
    EXPECT_EQ(backlight_backend::take_levels(), std::vector<int>{45});
    EXPECT_EQ(pellix_driver::read_attribute("actual_brightness"), 45);
}

TEST_F(BacklightTest, HardwareErrorComesBackFromApplyAndTheNextUpdateSucceeds)
{
    /* The highest errno included: it is the one most easily taken for a
       byte count. */
    for (const int error : {EIO, ETIMEDOUT, EBUSY, 4095}) {
        ASSERT_EQ(pellix_driver::fail_next_update(error), 0) << error;
        EXPECT_EQ(apply(handle, 0xFF808080u), -error);
    }
    /* Numbers no errno can be are refused, and leave no fault pending. */
    for (const int refused : {-1, -EIO, 4096, 100000})
        EXPECT_EQ(pellix_driver::fail_next_update(refused), EINVAL) << refused;
    EXPECT_EQ(apply(handle, 0xFF808080u), 0);

    EXPECT_EQ(backlight_backend::take_levels(), std::vector<int>{22})
        << "failed updates reach no hardware";
    EXPECT_EQ(log.logged_levels(), std::vector<int>(5, 22)) << "every request is logged";
}

TEST_F(BacklightTest, CallerWithoutPermissionGetsEacces)
{
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const bool refused = setuid(65534) == 0 && apply(handle, 0xFFFFFFFFu) == -EACCES;
        _exit(refused ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    EXPECT_TRUE(backlight_backend::take_levels().empty());
}

TEST_F(BacklightTest, ACancelledRequestOnStalledHardwareLeavesTheLockReleased)
{
    /* The driver's update takes two seconds; it ends by itself. */
    ASSERT_NO_FATAL_FAILURE(cancel_blocked_request(
        handle, [] { return pellix_driver::stall_next_update(2000); }, [] {}));
}
