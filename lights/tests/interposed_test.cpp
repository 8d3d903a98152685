// SPDX-License-Identifier: Apache-2.0
/* What the module does with libc and the log library, watched and steered:
   this program replaces malloc, calloc, write, close, pthread_mutex_init and
   __kelvo_log_print for itself and the module it loads, to count
   allocations and lock initialisations, to make failures the device rarely
   shows, to log as a library that changes errno may, and to walk the stack
   from inside the module. It also defines a function of its own called
   init_globals, as any program hosting the module may. It is not built where
   a sanitizer owns those functions. */
#include "lights_test_support.h"

#include "kelvo_log.h"
#include "simulated_backlight.h"

#include <dlfcn.h>
#include <errno.h>
#include <execinfo.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>

#include <atomic>
#include <sys/syscall.h>
#include <unistd.h>

using namespace lights_test;

extern "C" void* __libc_malloc(size_t size);
extern "C" void* __libc_calloc(size_t count, size_t size);

namespace
{

thread_local bool fail_allocations = false;
thread_local bool short_writes = false;
thread_local int failing_write_errno = 0;
thread_local bool failing_closes = false;
/* The descriptor flags (F_GETFD) of the last write's descriptor. */
thread_local int last_write_descriptor_flags = -1;
thread_local bool trace_writes = false;
thread_local long allocations = 0;
std::atomic<int> mutex_inits{0};
std::atomic<bool> mutex_init_had_attributes{false};
std::atomic<int> program_init_globals{0};
/* The return addresses of the stack of the last traced write, innermost first. */
std::vector<void*> traced_frames;

light_handle* const untouched = reinterpret_cast<light_handle*>(0x1234);

} // namespace

extern "C" void* malloc(size_t size)
{
    ++allocations;
    if (fail_allocations)
        return nullptr;
    return __libc_malloc(size);
}

/* A compiler may turn malloc followed by zeroing into calloc: both count. */
extern "C" void* calloc(size_t count, size_t size)
{
    ++allocations;
    if (fail_allocations)
        return nullptr;
    return __libc_calloc(count, size);
}

extern "C" int pthread_mutex_init(pthread_mutex_t* mutex, const pthread_mutexattr_t* attributes)
{
    using mutex_init = int (*)(pthread_mutex_t*, const pthread_mutexattr_t*);
    static const mutex_init real_init =
        reinterpret_cast<mutex_init>(dlsym(RTLD_NEXT, "pthread_mutex_init"));
    ++mutex_inits;
    mutex_init_had_attributes = mutex_init_had_attributes || attributes != nullptr;
    return real_init(mutex, attributes);
}

/* The program's own init_globals: the module must never run it. */
extern "C" void init_globals(void)
{
    ++program_init_globals;
}

/* A short write takes all but the last byte, as a full device might; a
   failing write takes nothing and sets errno. A traced write walks the
   stack, as a crash reporter would from a fault at this point. */
extern "C" ssize_t write(int fd, const void* data, size_t size)
{
    if (trace_writes) {
        void* frames[64];
        const int count = backtrace(frames, 64);
        traced_frames.assign(frames, frames + (count > 0 ? count : 0));
    }
    last_write_descriptor_flags = fcntl(fd, F_GETFD);
    if (failing_write_errno != 0) {
        errno = failing_write_errno;
        return -1;
    }
    if (short_writes && size > 1)
        --size;
    return syscall(SYS_write, fd, data, size);
}

/* The platform's log library, like any function that makes system calls,
   may leave errno changed: this one passes each line on to the stand-in,
   then leaves errno at a value no request of the tests fails with. */
extern "C" int __kelvo_log_print(int priority, const char* tag, const char* format, ...)
{
    using log_print = int (*)(int, const char*, const char*, ...);
    static const log_print stand_in =
        reinterpret_cast<log_print>(dlsym(RTLD_NEXT, "__kelvo_log_print"));
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args); // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(args);
    const int length = stand_in(priority, tag, "%s", text);
    errno = EXDEV;
    return length;
}

/* A failing close releases the descriptor, as close always does, and then
   reports an error of its own. */
extern "C" int close(int fd)
{
    const long result = syscall(SYS_close, fd);
    if (failing_closes && result == 0) {
        errno = EIO;
        return -1;
    }
    return static_cast<int>(result);
}

/* Applies white with the write traced: a frame of this program, beyond the
   module's frames on the stack. */
__attribute__((noinline)) int apply_white_traced(light_handle* handle)
{
    trace_writes = true;
    const int result = apply(handle, 0xFFFFFFFFu);
    trace_writes = false;
    return result;
}

TEST(AcquireWithoutMemoryTest, ReturnsEnomemAndLeavesTheOutputAlone)
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

TEST_F(BacklightTest, ShortWriteIsReportedAsEioAndTheNextRequestIsServed)
{
    short_writes = true;
    const int result = apply(handle, 0xFFFFFFFFu);
    short_writes = false;
    EXPECT_EQ(result, -EIO);
    EXPECT_EQ(log.count(KELVO_LOG_INFO, level_line(45)), 1u);
    EXPECT_EQ(log.count(KELVO_LOG_ERROR, open_warning_line()), 0u);

    /* The attribute kept the partial level; a fresh one takes the next request. */
    ASSERT_TRUE(backlight_backend::reset());
    EXPECT_EQ(apply(handle, 0xFFFFFFFFu), 0);
    EXPECT_EQ(backlight_backend::take_writes(), one_write(45));
    report_figure("faults_survived", 1);
}

TEST_F(BacklightTest, AFailedWriteAnswersWithItsOwnErrnoWhateverCloseSays)
{
    const int descriptors = open_descriptors();
    failing_write_errno = ENOSPC;
    failing_closes = true;
    const int result = apply(handle, 0xFFFFFFFFu);
    failing_write_errno = 0;
    failing_closes = false;
    EXPECT_EQ(result, -ENOSPC) << "the write's error, not the close's";

    EXPECT_EQ(apply(handle, 0xFFFFFFFFu), 0);
    EXPECT_EQ(backlight_backend::take_writes(), one_write(45));
    EXPECT_EQ(open_descriptors(), descriptors);
    report_figure("faults_survived", 1);
}

TEST_F(FreshModuleBacklightTest, AFailedOpenAnswersWithItsOwnErrnoWhateverTheLogLeavesInErrno)
{
    /* A fresh copy has not warned yet: this failure logs the warning, and
       the log leaves errno changed before the module answers. */
    ASSERT_TRUE(backlight_backend::remove_attribute());
    EXPECT_EQ(apply(handle, 0xFFFFFFFFu), -ENOENT) << "not the errno the log leaves";
    EXPECT_EQ(log.count(KELVO_LOG_ERROR, open_warning_line()), 1u);
    report_figure("faults_survived", 1);
}

TEST_F(BacklightTest, TheAttributeIsNeverInheritedByAProgramStartedDuringARequest)
{
    last_write_descriptor_flags = -1;
    EXPECT_EQ(apply(handle, 0xFFFFFFFFu), 0);
    ASSERT_NE(last_write_descriptor_flags, -1) << "the module wrote nothing";
    EXPECT_TRUE(last_write_descriptor_flags & FD_CLOEXEC) << "the attribute is open across exec";
}

/* Each test runs its own copy of the module, loaded afresh: the module
   initialises its lock once per process, and these tests count that once. */
class OnceControlTest : public ::testing::Test
{
  protected:
    void SetUp() override { ASSERT_TRUE(module.load()); }
    fresh_module module;
};

TEST_F(OnceControlTest, RejectedNamesNeitherAllocateNorInitialiseTheLock)
{
    const int inits = mutex_inits;
    const char* const wrong_names[] = {"Backlight", "backlight ", "", "lights"};
    for (const char* name : wrong_names) {
        light_handle* handle = untouched;
        allocations = 0;
        EXPECT_EQ(module.acquire(name, &handle), -EINVAL);
        EXPECT_EQ(allocations, 0) << '"' << name << '"';
    }
    EXPECT_EQ(mutex_inits.load(), inits);

    /* The first known name runs the initialisation, with default attributes. */
    light_handle* handle = nullptr;
    allocations = 0;
    ASSERT_EQ(module.acquire("keyboard", &handle), 0);
    EXPECT_EQ(allocations, 1);
    EXPECT_EQ(mutex_inits.load(), inits + 1);
    EXPECT_FALSE(mutex_init_had_attributes.load());
    handle->release(handle);
}

TEST_F(OnceControlTest, RacingFirstAcquiresInitialiseTheLockExactlyOnce)
{
    const int inits = mutex_inits;
    std::atomic<int> failures{0};
    run_together(32, [this, &failures](int index) {
        light_handle* handle = nullptr;
        failures += module.acquire(light_names[index % 6], &handle) != 0;
        failures += handle == nullptr || handle->release(handle) != 0;
    });
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(mutex_inits.load(), inits + 1);

    light_handle* handle = nullptr;
    ASSERT_EQ(module.acquire("backlight", &handle), 0);
    handle->release(handle);
    EXPECT_EQ(mutex_inits.load(), inits + 1);
}

TEST_F(OnceControlTest, TheModuleRunsItsOwnInitialiserNotTheProgramsInitGlobals)
{
    /* Looked up by name, init_globals is this program's. */
    EXPECT_EQ(dlsym(RTLD_DEFAULT, "init_globals"), reinterpret_cast<void*>(&init_globals));

    const int inits = mutex_inits;
    light_handle* handle = nullptr;
    ASSERT_EQ(module.acquire("battery", &handle), 0);
    handle->release(handle);
    EXPECT_EQ(program_init_globals.load(), 0);
    EXPECT_EQ(mutex_inits.load(), inits + 1);
}

TEST_F(BacklightTest, AStackWalkFromInsideTheModulePassesThroughIt)
{
    ASSERT_EQ(apply_white_traced(handle), 0);
    EXPECT_EQ(backlight_backend::take_writes(), one_write(45));

    Dl_info program{};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(&apply_white_traced), &program), 0);
    bool in_module = false;
    bool beyond_module = false;
    for (void* frame : traced_frames) {
        Dl_info found{};
        if (dladdr(frame, &found) == 0 || found.dli_fname == nullptr)
            continue;
        if (strstr(found.dli_fname, "lumivane.so") != nullptr)
            in_module = true;
        else if (in_module && found.dli_fbase == program.dli_fbase)
            beyond_module = true;
    }
    EXPECT_TRUE(in_module) << "no frame of the module on the stack";
    EXPECT_TRUE(beyond_module) << "the walk stopped in the module: it has no unwind tables";
}
