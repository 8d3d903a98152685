/* What the module's tests share: the module's entry points, log capture,
   and a fixture that builds the simulated backlight around each test. */
#ifndef LIGHTS_TEST_SUPPORT_H
#define LIGHTS_TEST_SUPPORT_H

#include "light_names.h"
#include "lumivane_records.h"

#include <gtest/gtest.h>

#include <functional>
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

/* Cancels a backlight request while `block` keeps its write waiting at the
   attribute, lets the write go with `unblock`, then checks that the thread
   ended cancelled, the next request is served (the lock was released) and
   no descriptor is left open. Call through ASSERT_NO_FATAL_FAILURE. */
void cancel_blocked_request(const std::function<bool()>& block,
                            const std::function<void()>& unblock);

/* Builds the simulated backlight (once per process) and a fresh attribute for
   each test; skips the test where that cannot be done, fails it in CI. */
class BacklightTest : public ::testing::Test
{
  protected:
    void SetUp() override;
    log_capture log;
};

} // namespace lights_test

#endif
