// SPDX-License-Identifier: Apache-2.0
/* The tests' own support: PELLIX_TIMEOUT_SCALE read by the rule every tool
   reads it by, on the texts tools/tests/test_scale.py gives pellix.scale. */
#include "lights_test_support.h"

#include <stdlib.h>

using namespace lights_test;

TEST(TimeoutScaleTest, APlainDecimalIsReadInThousandths)
{
    EXPECT_EQ(timeout_scale_per_mille("1"), 1000);
    EXPECT_EQ(timeout_scale_per_mille("2.5"), 2500);
    EXPECT_EQ(timeout_scale_per_mille("0.001"), 1);
    EXPECT_EQ(timeout_scale_per_mille("999999.999"), 999999999);
}

TEST(TimeoutScaleTest, AnythingButAPlainDecimalAboveZeroIsRefused)
{
    for (const char* text : {"1e1", "-1", " 2", "2.", ".5", "1.2345", "1234567", "", "inf", "0x10",
                             "0", "0.000", "2 ", "+2"})
        EXPECT_EQ(timeout_scale_per_mille(text), -1) << "'" << text << "'";
}

TEST(TimeoutScaleTest, TheRequestLimitIsTenSecondsScaled)
{
    const char* before = getenv("PELLIX_TIMEOUT_SCALE");
    const std::string kept = before != nullptr ? before : "";
    setenv("PELLIX_TIMEOUT_SCALE", "2.5", 1);
    EXPECT_EQ(request_time_limit(), std::chrono::milliseconds(25000));
    if (before != nullptr)
        setenv("PELLIX_TIMEOUT_SCALE", kept.c_str(), 1);
    else
        unsetenv("PELLIX_TIMEOUT_SCALE");
}
