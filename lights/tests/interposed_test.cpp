/* Failures the device rarely shows, made on demand: this program replaces
   malloc and write for itself and the module it loads. It is not built
   where a sanitizer owns those functions. */
#include "lights_test_support.h"

#include "kelvo_log.h"
#include "pellix_sim.h"

#include <errno.h>
#include <sys/syscall.h>
#include <unistd.h>

using namespace lights_test;

extern "C" void* __libc_malloc(size_t size);

namespace
{

thread_local bool fail_allocations = false;
thread_local bool short_writes = false;

light_handle* const untouched = reinterpret_cast<light_handle*>(0x1234);

} // namespace

extern "C" void* malloc(size_t size)
{
    if (fail_allocations)
        return nullptr;
    return __libc_malloc(size);
}

/* A short write takes all but the last byte, as a full device might. */
extern "C" ssize_t write(int fd, const void* data, size_t size)
{
    if (short_writes && size > 1)
        --size;
    return syscall(SYS_write, fd, data, size);
}

TEST(AcquireWithoutMemory, ReturnsEnomemAndLeavesTheOutputAlone)
{
    light_handle* handle = untouched;
    fail_allocations = true;
    const int result = acquire("backlight", &handle);
    fail_allocations = false;
    EXPECT_EQ(result, -ENOMEM);
    EXPECT_EQ(handle, untouched);

    /* Memory back, the same call succeeds. */
    ASSERT_EQ(acquire("backlight", &handle), 0);
    handle->release(handle);
}

TEST_F(backlight_test, ShortWriteIsReportedAsEioAndTheNextRequestIsServed)
{
    light_handle* handle = acquire_ok("backlight");
    short_writes = true;
    const int result = apply(handle, 0xFFFFFFFFu);
    short_writes = false;
    EXPECT_EQ(result, -EIO);
    EXPECT_EQ(log.count(KELVO_LOG_INFO, level_line(45)), 1u);
    EXPECT_EQ(log.count(KELVO_LOG_ERROR, open_warning), 0u);

    /* The attribute kept the partial level; a fresh one takes the next request. */
    ASSERT_TRUE(pellix_sim::install_attribute());
    EXPECT_EQ(apply(handle, 0xFFFFFFFFu), 0);
    EXPECT_EQ(pellix_sim::take_writes(), one_write(45));
    handle->release(handle);
    report_figure("faults_survived", 1);
}
