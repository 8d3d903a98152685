// SPDX-License-Identifier: Apache-2.0
/* Clauses on faults from the real kernel: the driver going away, the
   hardware refusing or stalling an update, a caller the attribute's
   permissions turn away, and requests cancelled or made with cancellation
   off. */
#include "harness.h"

#include "pellix_driver.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <string.h>
#include <sys/wait.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <thread>

using namespace kit;

namespace
{

size_t warnings_logged()
{
    size_t warnings = 0;
    for (const log_line& line : take_log())
        warnings += line.priority == 6;
    return warnings;
}

} // namespace

CLAUSE(fault_unloaded, "fault.unloaded", contract, 10,
       "the driver unloaded: -ENOENT, one warning in all, the level served once it is back")
{
    light_handle* light = open_backlight();
    if (!pellix_driver::unload())
        kit_failure("the driver cannot be unloaded");
    int results[3];
    for (int& result : results)
        result = apply(light, 0xFFFFFFFFu);
    if (!pellix_driver::load())
        kit_failure("the driver cannot be loaded again");
    const size_t warnings = warnings_logged();
    for (const int result : results)
        same("with the driver unloaded apply returned", result, -ENOENT);
    same("warnings for three failed opens:", static_cast<int>(warnings), 1);
    applies_level("after reloading: ", light, 0xFFFFFFFFu, 45);
    pellix_driver::unload();
    const int again = apply(light, 0xFFFFFFFFu);
    pellix_driver::load();
    same("unloaded once more apply returned", again, -ENOENT);
    same("unloaded once more, warnings:", static_cast<int>(warnings_logged()), 0);
}

CLAUSE(fault_driver_error, "fault.driver-error", contract, 10,
       "a driver error (ETIMEDOUT, EIO, EBUSY) comes back as -errno; the next request is served")
{
    light_handle* light = open_backlight();
    for (const int error : {ETIMEDOUT, EIO, EBUSY}) {
        if (pellix_driver::fail_next_update(error) != 0)
            kit_failure("the driver takes no fault");
        same("the driver failed with -" + std::to_string(error) + ", apply returned",
             apply(light, 0xFF808080u), -error);
    }
    applies_level("after the errors: ", light, 0xFF808080u, 22);
}

CLAUSE(fault_permission, "fault.permission", contract, 10,
       "a caller without permission (uid 65534) gets -EACCES and nothing reaches the driver")
{
    fresh_backlight();
    fflush(nullptr);
    /* The child's status carries apply's result: 0 for -EACCES, 1 + errno
       for another error, 200 for a success. */
    const pid_t child = fork();
    if (child < 0)
        kit_failure("fork failed");
    if (child == 0) {
        if (setuid(65534) != 0)
            _exit(250);
        light_handle* handle = nullptr;
        if (acquire("backlight", &handle) != 0)
            _exit(251);
        const int status = apply(handle, 0xFFFFFFFFu);
        _exit(status == -EACCES ? 0 : status < 0 && -status < 199 ? 1 - status : 200);
    }
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status))
        fail("as uid 65534 the request ended by signal " + std::to_string(WTERMSIG(status)));
    const int code = WEXITSTATUS(status);
    if (code == 250)
        kit_failure("cannot become uid 65534");
    if (code == 251)
        fail("as uid 65534 \"backlight\" cannot be acquired");
    if (code == 200)
        fail("as uid 65534 apply did not fail with an errno");
    if (code != 0)
        same("as uid 65534 apply returned", 1 - code, -EACCES);
    same("the refused request reached the driver:", take_told(), std::vector<int>{});
}

namespace
{

struct cancelled_request {
    light_handle* handle;
    std::atomic<pid_t> thread{0};
    std::atomic<bool> returned{false};
};

void* request_then_cancel_point(void* argument)
{
    auto* request = static_cast<cancelled_request*>(argument);
    request->thread = gettid();
    apply(request->handle, 0xFFFFFFFFu);
    request->returned = true;
    pthread_testcancel();
    return nullptr;
}

/* The scheduler state of a thread of this process ('R', 'S', 'D', ...). */
char thread_state(pid_t thread)
{
    std::ifstream stat("/proc/self/task/" + std::to_string(thread) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t end = text.rfind(')');
    return end != std::string::npos && end + 2 < text.size() ? text[end + 2] : '?';
}

} // namespace

CLAUSE(fault_cancel, "fault.cancel", policy, 30,
       "cancellation held off: a request cancelled while the driver stalls leaves no lock held "
       "and no descriptor open")
{
    light_handle* light = open_backlight();
    const int descriptors = open_descriptors();
    /* The hardware update takes 60 ms (scaled); the driver holds the writer
       in it, uninterruptibly, and that is where the request is cancelled.
       On a busy host the device may not run this thread until the request
       has passed the driver: that is the kit's miss, not the module's, and
       the stall is doubled for another request. */
    for (unsigned stall = 60;; stall *= 2) {
        if (stall > 960)
            kit_failure("the request passed the driver's stall 5 times, the last of " +
                        std::to_string(static_cast<int>(scaled(stall / 2.0))) +
                        " ms, before it could be cancelled there");
        if (!pellix_driver::stall_next_update(static_cast<unsigned>(scaled(stall))))
            kit_failure("the driver takes no stall");
        cancelled_request request{light};
        pthread_t thread;
        if (pthread_create(&thread, nullptr, request_then_cancel_point, &request) != 0)
            kit_failure("no thread");
        const auto in_driver = [&request] {
            return request.thread != 0 && thread_state(request.thread) == 'D';
        };
        if (!within(5, [&request, &in_driver] { return request.returned || in_driver(); }))
            fail("the request never reached the driver");
        if (in_driver()) {
            pthread_cancel(thread);
            pthread_join(thread, nullptr);
            break;
        }
        pthread_join(thread, nullptr);
        if (take_told().empty())
            fail("the request never reached the driver");
    }

    /* The next request on another thread: it must be served, so nothing of
       the cancelled one is held. A request that hangs is left behind. */
    struct outcome {
        std::atomic<int> result{1};
        std::atomic<bool> done{false};
    };
    const auto next = std::make_shared<outcome>();
    std::thread([next, light] {
        next->result = apply(light, 0xFF808080u);
        next->done = true;
    }).detach();
    if (!within(2, [&next] { return next->done.load(); })) {
        abandon_backlight(); /* the hanging request still has it */
        fail("the next request did not return within " + std::to_string(scaled(2)) +
             " s: the cancelled one left the lock held");
    }
    same("the next request returned", next->result.load(), 0);
    const std::vector<int> levels = take_told();
    if (levels.empty() || levels.back() != 22)
        fail("the next request did not reach the driver: " + shown(levels));
    same("descriptors open after the cancelled request:", open_descriptors(), descriptors);
}

CLAUSE(fault_cancel_state, "fault.cancel-state", policy, 10,
       "a request leaves its caller's cancel state as it found it, enabled or disabled")
{
    light_handle* light = open_backlight();
    for (const int state : {PTHREAD_CANCEL_ENABLE, PTHREAD_CANCEL_DISABLE}) {
        int callers = 0;
        int after = 0;
        pthread_setcancelstate(state, &callers);
        apply(light, 0xFF808080u);
        pthread_setcancelstate(callers, &after);
        if (after != state)
            fail(std::string("a request made with cancellation ") +
                 (state == PTHREAD_CANCEL_ENABLE ? "enabled" : "disabled") + " left it " +
                 (after == PTHREAD_CANCEL_ENABLE ? "enabled" : "disabled"));
    }
}
