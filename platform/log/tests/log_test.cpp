// SPDX-License-Identifier: Apache-2.0
/* The log library stand-in, as the module and the tests rely on it. */
#include "kelvo_log.h"

#include <gtest/gtest.h>

#include <errno.h>

#include <string>
#include <vector>

namespace
{

std::vector<std::string> taken;

void take_line(int, const char*, const char* text)
{
    taken.emplace_back(text);
}

} // namespace

TEST(LogLibraryTest, LeavesErrnoAsItFoundIt)
{
    taken.clear();
    kelvo_log_set_sink(take_line);
    errno = EXDEV;
    __kelvo_log_print(KELVO_LOG_ERROR, "tag", "failed to open %s\n", "/nowhere");
    const int after = errno;
    kelvo_log_set_sink(nullptr);
    EXPECT_EQ(after, EXDEV);
    EXPECT_EQ(taken, std::vector<std::string>{"failed to open /nowhere\n"});
}
