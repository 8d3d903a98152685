/* SPDX-License-Identifier: Apache-2.0 */
/* What the module's tests share: the module's entry points, log capture,
   handles that release themselves, a freshly loaded copy of the module, and
   a fixture that builds the backlight around each test. */
#ifndef LIGHTS_TEST_SUPPORT_H
#define LIGHTS_TEST_SUPPORT_H

#include "expected_levels.h"
#include "light_names.h"
#include "lumivane_records.h"

#include <gtest/gtest.h>

#include <chrono>
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
    /* How many lines have exactly this priority and text, with the module's tag. */
    size_t count(int priority, const std::string& text) const;
    /* The levels of the request lines, in order. */
    std::vector<int> logged_levels() const;
};

/* Acquires through HMI's entry table, as the platform does. */
int acquire(const char* name, light_handle** handle);
/* Acquires a light that must be there into *handle: a failure, with why,
   when acquire fails or gives no handle. ASSERT_TRUE(acquire_ok(...)). */
::testing::AssertionResult acquire_ok(const char* name, light_handle** handle);
int apply(light_handle* handle, uint32_t argb);

/* Releases a handle through its own release. */
struct handle_release {
    void operator()(light_handle* handle) const { handle->release(handle); }
};
/* A handle released when it goes. */
using owned_handle = std::unique_ptr<light_handle, handle_release>;

/* How long a test waits for what a request does before it calls the request
   hung: the tests' one time limit, multiplied by PELLIX_TIMEOUT_SCALE (a
   positive number, default 1) on a slow machine. */
std::chrono::milliseconds request_time_limit();

/* PELLIX_TIMEOUT_SCALE's text in thousandths, read by the one rule every
   tool reads it by (tools/pellix/scale.py): "2.5" is 2500; -1 for a text
   the rule refuses ("1e1", " 2", "0"). */
long timeout_scale_per_mille(const char* text);

/* Applies `argb` on a thread of its own and waits at most
   request_time_limit() for it: true, with the request's result in *result,
   if it returned in time. A request that hangs is left behind. */
bool apply_within(light_handle* handle, uint32_t argb, int* result);

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

    /* Loads the copy: a failure, with why, when it cannot be had. */
    ::testing::AssertionResult load();
    /* Acquires through the copy's record, as acquire() does through HMI. */
    int acquire(const char* name, light_handle** handle) const;
    /* The copy's record, once loaded. */
    const module_record* record() const { return record_; }

  private:
    void* library_ = nullptr;
    const module_record* record_ = nullptr;
};

/* The module's two log texts, from the records header's formats: the line
   of a request for `level`, and the warning about a failed open of the
   attribute. */
std::string level_line(int level);
std::string open_warning_line();

/* The level of a request line, or -1 for any other text. */
int logged_level(const char* text);

/* What the simulated attribute receives for one request of `level`
   (take_writes() of simulated_backlight.h). */
std::vector<std::string> one_write(int level);

/* Prints a figure ("figure: NAME VALUE") for the test run's summary table. */
void report_figure(const char* name, long value);

/* Descriptors this process has open. */
int open_descriptors();

/* Runs `body(index)` on `count` threads released together; joins them all. */
void run_together(int count, const std::function<void(int)>& body);

/* Cancels a request on `handle` while `block` keeps its write waiting at the
   attribute and lets the write go with `unblock`: a success when the thread
   ended cancelled, the next request was served (the lock was released) and
   no descriptor was left open; otherwise a failure that says which did not
   hold. */
::testing::AssertionResult cancel_blocked_request(light_handle* handle,
                                                  const std::function<bool()>& block,
                                                  const std::function<void()>& unblock);

/* Makes the backlight ready (once per process), resets it and acquires
   `handle` on the backlight for each test; skips the test where the
   backlight cannot be had, fails it in CI. Every handle the test acquires
   through the fixture is released after it, however it ends. */
class BacklightTest : public ::testing::Test
{
  protected:
    BacklightTest() = default;
    /* With `fresh`, every handle comes from a copy of the module loaded
       afresh for the test (fresh_module). */
    explicit BacklightTest(bool fresh) : fresh_(fresh) {}
    void SetUp() override;
    /* Acquires the light `name` into *acquired, released after the test
       with `handle`. ASSERT_TRUE(acquire_owned(...)). */
    ::testing::AssertionResult acquire_owned(const char* name, light_handle** acquired);

    log_capture log;
    light_handle* handle = nullptr;

  private:
    bool fresh_ = false;
    const module_record* record_ = &HMI;
    /* Before the handles, so that they are released before the copy goes. */
    fresh_module module_;
    std::vector<owned_handle> owned_;
};

/* The same over a copy of the module loaded afresh for each test. The module
   warns about the first failed open of its process only; whatever earlier
   tests did in this process, the copy has not warned yet, so a test sees
   exactly the warnings its own requests cause. */
class FreshModuleBacklightTest : public BacklightTest
{
  protected:
    FreshModuleBacklightTest() : BacklightTest(true) {}
};

} // namespace lights_test

#endif
