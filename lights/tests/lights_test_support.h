/* What the module's tests share: the module's entry points, log capture,
   handles that release themselves, a freshly loaded copy of the module, and
   a fixture that builds the backlight around each test. */
#ifndef LIGHTS_TEST_SUPPORT_H
#define LIGHTS_TEST_SUPPORT_H

#include "expected_levels.h"
#include "light_names.h"
#include "lumivane_records.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace lights_test
{

/* One line the module logged. */
struct log_line {
    int priority;
    std::string tag;
    std::string text;
};

/* Takes every log line while alive; restores the default sink after. */
class log_capture
{
  public:
    log_capture();
    ~log_capture();
    log_capture(const log_capture&) = delete;
    log_capture& operator=(const log_capture&) = delete;

    std::vector<log_line> lines() const;
    /* How many lines have exactly this priority and text (tag "lights"). */
    size_t count(int priority, const std::string& text) const;
    /* The levels of the "set_light_backlight brightness=N" lines, in order. */
    std::vector<int> logged_levels() const;
};

/* Acquires through HMI's entry table, as the platform does. */
int acquire(const char* name, light_handle** handle);
/* Acquires a light that must be there into *handle; otherwise a fatal
   failure. Call through ASSERT_NO_FATAL_FAILURE, so the test stops there. */
void acquire_ok(const char* name, light_handle** handle);
int apply(light_handle* handle, uint32_t argb);

/* Releases a handle through its own release. */
struct handle_release {
    void operator()(light_handle* handle) const { handle->release(handle); }
};
/* A handle released when it goes. */
using owned_handle = std::unique_ptr<light_handle, handle_release>;

/* Applies `argb` on a thread of its own and waits at most `seconds` for it:
   true, with the request's result in *result, if it returned in time. A
   request that hangs is left behind. */
bool apply_within(light_handle* handle, uint32_t argb, int seconds, int* result);

/* A copy of the module loaded afresh beside the one this program links: its
   once-control, lock and warning flag are its own and still unset, as in a
   process where the module has not run yet, whatever ran before. Its calls
   into libc and the log library reach what the module's would. */
class fresh_module
{
  public:
    fresh_module() = default;
    ~fresh_module();
    fresh_module(const fresh_module&) = delete;
    fresh_module& operator=(const fresh_module&) = delete;

    /* Loads the copy. Call through ASSERT_NO_FATAL_FAILURE. */
    void load();
    /* Acquires through the copy's record, as acquire() does through HMI. */
    int acquire(const char* name, light_handle** handle) const;

  private:
    void* library_ = nullptr;
    const module_record* record_ = nullptr;
};

/* The module's two log texts. */
extern const char open_warning[];
std::string level_line(int level);

/* The level of a "set_light_backlight brightness=N" line, or -1. */
int logged_level(const char* text);

/* What the attribute receives for one request of `level`. */
std::vector<std::string> one_write(int level);

/* Prints a figure ("figure: NAME VALUE") for the test run's summary table. */
void report_figure(const char* name, long value);

/* Descriptors this process has open. */
int open_descriptors();

/* The module warns about the first failed open of the process only: true
   for the first caller, so a test knows whether to expect the warning. */
bool first_open_failure();

/* Runs `body(index)` on `count` threads released together; joins them all. */
void run_together(int count, const std::function<void(int)>& body);

/* Cancels a request on `handle` while `block` keeps its write waiting at the
   attribute, lets the write go with `unblock`, then checks that the thread
   ended cancelled, the next request is served (the lock was released) and
   no descriptor is left open. Call through ASSERT_NO_FATAL_FAILURE. */
void cancel_blocked_request(light_handle* handle, const std::function<bool()>& block,
                            const std::function<void()>& unblock);

/* Makes the backlight ready (once per process), puts a fresh attribute in
   place and acquires `handle` on the backlight for each test; skips the test
   where the backlight cannot be had, fails it in CI. Every handle the test
   acquires through the fixture is released after it, however it ends. */
class BacklightTest : public ::testing::Test
{
  protected:
    void SetUp() override;
    /* Acquires the light `name` into *acquired, released after the test
       with `handle`. Call through ASSERT_NO_FATAL_FAILURE. */
    void acquire_owned(const char* name, light_handle** acquired);

    log_capture log;
    light_handle* handle = nullptr;

  private:
    std::vector<owned_handle> owned_;
};

} // namespace lights_test

#endif
