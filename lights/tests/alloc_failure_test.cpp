/* Acquire when memory runs out. This program replaces malloc for itself and
   the module it loads, so it is not built where a sanitizer owns malloc. */
#include "lights_test_support.h"

#include <errno.h>

extern "C" void* __libc_malloc(size_t size);

namespace
{
thread_local bool fail_allocations = false;
}

extern "C" void* malloc(size_t size)
{
    if (fail_allocations)
        return nullptr;
    return __libc_malloc(size);
}

TEST(AcquireWithoutMemory, ReturnsEnomemAndLeavesTheOutputAlone)
{
    light_handle* const untouched = reinterpret_cast<light_handle*>(0x1234);
    light_handle* handle = untouched;
    fail_allocations = true;
    const int result = lights_test::acquire("backlight", &handle);
    fail_allocations = false;
    EXPECT_EQ(result, -ENOMEM);
    EXPECT_EQ(handle, untouched);

    /* Memory back, the same call succeeds. */
    ASSERT_EQ(lights_test::acquire("backlight", &handle), 0);
    handle->release(handle);
}
