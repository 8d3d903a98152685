// SPDX-License-Identifier: Apache-2.0
#include "lights_test_support.h"

#include "kelvo_log.h"
#include "backlight_backend.h"

#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <thread>

namespace lights_test
{

namespace
{

std::mutex captured_mutex;
std::vector<log_line> captured;

void capture_line(int priority, const char* tag, const char* text)
{
    std::lock_guard<std::mutex> hold(captured_mutex);
    captured.push_back({priority, tag, text});
}

/* Acquires through `record`'s entry table a light that must be there. */
::testing::AssertionResult acquire_from(const module_record* record, const char* name,
                                        light_handle** handle)
{
    *handle = nullptr;
    const int result = record->entry_table->open_entry(record, name, handle);
    if (result != 0)
        return ::testing::AssertionFailure() << name << ": acquire returned " << result;
    if (*handle == nullptr)
        return ::testing::AssertionFailure() << name << ": acquire succeeded with no handle";
    return ::testing::AssertionSuccess();
}

/* Where a scratch directory can be made: $TMPDIR, /tmp, or the working
   directory, where neither is there (as on the emulated device). */
std::string scratch_parent()
{
    const char* tmpdir = getenv("TMPDIR");
    if (tmpdir != nullptr && *tmpdir != '\0')
        return tmpdir;
    return access("/tmp", W_OK) == 0 ? "/tmp" : ".";
}

/* What a request line holds before its level. */
std::string level_prefix()
{
    const std::string format = LUMIVANE_LOG_REQUEST_FORMAT;
    return format.substr(0, format.find("%d"));
}

/* A request on a thread of its own, which reaches a cancellation point of
   its own right after it. */
struct request_thread {
    light_handle* handle;
    int result;
};

void* apply_white_then_test_cancel(void* argument)
{
    auto* request = static_cast<request_thread*>(argument);
    request->result = apply(request->handle, 0xFFFFFFFFu);
    pthread_testcancel();
    return nullptr;
}

} // namespace

log_capture::log_capture()
{
    std::lock_guard<std::mutex> hold(captured_mutex);
    captured.clear();
    kelvo_log_set_sink(capture_line);
}

log_capture::~log_capture()
{
    kelvo_log_set_sink(nullptr);
}

std::vector<log_line> log_capture::lines() const
{
    std::lock_guard<std::mutex> hold(captured_mutex);
    return captured;
}

size_t log_capture::count(int priority, const std::string& text) const
{
    size_t found = 0;
    for (const log_line& line : lines())
        found += line.priority == priority && line.tag == LUMIVANE_LOG_TAG && line.text == text;
    return found;
}

std::vector<int> log_capture::logged_levels() const
{
    std::vector<int> levels;
    for (const log_line& line : lines()) {
        const int level = logged_level(line.text.c_str());
        if (level >= 0)
            levels.push_back(level);
    }
    return levels;
}

int logged_level(const char* text)
{
    const std::string prefix = level_prefix();
    if (strncmp(text, prefix.c_str(), prefix.size()) != 0)
        return -1;
    const long level = strtol(text + prefix.size(), nullptr, 10);
    /* Exactly the line the module would log for that level, nothing else. */
    return level >= 0 && level <= 45 && level_line(static_cast<int>(level)) == text
               ? static_cast<int>(level)
               : -1;
}

std::string level_line(int level)
{
    char line[128];
    snprintf(line, sizeof line, LUMIVANE_LOG_REQUEST_FORMAT, level);
    return line;
}

std::string open_warning_line()
{
    char line[256];
    snprintf(line, sizeof line, LUMIVANE_LOG_OPEN_WARNING_FORMAT, LUMIVANE_BRIGHTNESS_PATH);
    return line;
}

std::vector<std::string> one_write(int level)
{
    return {std::to_string(level) + "\n"};
}

void report_figure(const char* name, long value)
{
    printf("figure: %s %ld\n", name, value);
}

int open_descriptors()
{
    DIR* fds = opendir("/proc/self/fd");
    if (fds == nullptr)
        return -1;
    int count = 0;
    while (readdir(fds) != nullptr)
        ++count;
    closedir(fds);
    return count;
}

int acquire(const char* name, light_handle** handle)
{
    return HMI.entry_table->open_entry(&HMI, name, handle);
}

::testing::AssertionResult acquire_ok(const char* name, light_handle** handle)
{
    return acquire_from(&HMI, name, handle);
}

int apply(light_handle* handle, uint32_t argb)
{
    const light_request request = {argb};
    return handle->apply_state(handle, &request);
}

long timeout_scale_per_mille(const char* text)
{
    /* tools/pellix/scale.py's rule: one to six digits, then at most three
       after a point; nothing else, not even a blank or an exponent. */
    size_t whole = 0;
    long per_mille = 0;
    while (whole < 7 && text[whole] >= '0' && text[whole] <= '9')
        per_mille = per_mille * 10 + (text[whole++] - '0');
    if (whole < 1 || whole > 6)
        return -1;
    per_mille *= 1000;
    const char* fraction = text + whole;
    if (*fraction == '.') {
        long place = 100;
        size_t digits = 0;
        for (++fraction; digits < 4 && fraction[digits] >= '0' && fraction[digits] <= '9';
             ++digits) {
            per_mille += (fraction[digits] - '0') * place;
            place /= 10;
        }
        if (digits < 1 || digits > 3)
            return -1;
        fraction += digits;
    }
    return *fraction == '\0' && per_mille > 0 ? per_mille : -1;
}

std::chrono::milliseconds request_time_limit()
{
    /* Ten seconds: a request returns within microseconds, or it is hung. */
    const char* text = getenv("PELLIX_TIMEOUT_SCALE");
    long per_mille = 1000;
    if (text != nullptr && *text != '\0') {
        per_mille = timeout_scale_per_mille(text);
        if (per_mille < 0) {
            ADD_FAILURE()
                << "PELLIX_TIMEOUT_SCALE takes a positive number (such as 1, 2 or 2.5), not '"
                << text << "'";
            per_mille = 1000;
        }
    }
    return std::chrono::milliseconds(10LL * per_mille);
}

bool apply_within(light_handle* handle, uint32_t argb, int* result)
{
    struct outcome {
        std::mutex mutex;
        std::condition_variable returned;
        bool done = false;
        int result = 0;
    };
    const auto shared = std::make_shared<outcome>();
    std::thread([shared, handle, argb] {
        const int applied = apply(handle, argb);
        std::lock_guard<std::mutex> hold(shared->mutex);
        shared->result = applied;
        shared->done = true;
        shared->returned.notify_all();
    }).detach();
    std::unique_lock<std::mutex> hold(shared->mutex);
    if (!shared->returned.wait_for(hold, request_time_limit(), [&shared] { return shared->done; }))
        return false;
    *result = shared->result;
    return true;
}

fresh_module::~fresh_module()
{
    if (library_ != nullptr)
        dlclose(library_);
}

::testing::AssertionResult fresh_module::load()
{
    /* The file of the module this program links, found from one of its
       functions. The loader takes a file it has loaded already for the same
       module, so the copy is a file of its own, gone once it is loaded. */
    Dl_info linked{};
    if (dladdr(reinterpret_cast<void*>(HMI.entry_table->open_entry), &linked) == 0)
        return ::testing::AssertionFailure() << "the linked module's file cannot be found";
    std::string scratch = scratch_parent() + "/lumivane-fresh.XXXXXX";
    if (mkdtemp(scratch.data()) == nullptr)
        return ::testing::AssertionFailure()
               << "no directory " << scratch << ": " << strerror(errno);
    const std::string copy = scratch + "/lumivane.so";
    std::error_code error;
    std::filesystem::copy_file(linked.dli_fname, copy, error);
    library_ = error ? nullptr : dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
    const std::string why_not = error ? error.message() : library_ == nullptr ? dlerror() : "";
    std::filesystem::remove_all(scratch, error);
    if (library_ == nullptr)
        return ::testing::AssertionFailure() << linked.dli_fname << ": " << why_not;
    record_ = static_cast<const module_record*>(dlsym(library_, "HMI"));
    if (record_ == nullptr)
        return ::testing::AssertionFailure() << "no HMI in the copy";
    return ::testing::AssertionSuccess();
}

int fresh_module::acquire(const char* name, light_handle** handle) const
{
    return record_->entry_table->open_entry(record_, name, handle);
}

void run_together(int count, const std::function<void(int)>& body)
{
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    threads.reserve(static_cast<size_t>(count));
    for (int index = 0; index < count; ++index) {
        threads.emplace_back([&go, &body, index] {
            while (!go.load())
                std::this_thread::yield();
            body(index);
        });
    }
    go = true;
    for (std::thread& thread : threads)
        thread.join();
}

::testing::AssertionResult cancel_blocked_request(light_handle* handle,
                                                  const std::function<bool()>& block,
                                                  const std::function<void()>& unblock)
{
    const int descriptors = open_descriptors();
    if (!block())
        return ::testing::AssertionFailure() << "the write cannot be blocked: " << strerror(errno);

    /* Once the request has the attribute open it holds the lock, and its
       write blocks: cancel it there. */
    request_thread request = {handle, 1};
    pthread_t thread;
    if (pthread_create(&thread, nullptr, apply_white_then_test_cancel, &request) != 0)
        return ::testing::AssertionFailure() << "no thread for the request";
    const auto deadline = std::chrono::steady_clock::now() + request_time_limit();
    while (open_descriptors() == descriptors && std::chrono::steady_clock::now() < deadline)
        usleep(1000);
    std::string wrong;
    if (open_descriptors() != descriptors + 1)
        wrong += "; the request never opened the attribute";
    pthread_cancel(thread);

    /* A write still waiting goes through once unblocked. The cancellation
       still ends the thread, at its own cancellation point. */
    unblock();
    void* status = nullptr;
    pthread_join(thread, &status);
    if (status != PTHREAD_CANCELED)
        wrong += "; the request's thread was not cancelled";

    int result = 1;
    if (!apply_within(handle, 0xFF808080u, &result))
        return ::testing::AssertionFailure()
               << "the next request hangs: the cancelled one left the lock held" << wrong;
    if (result != 0)
        wrong += "; the next request returned " + std::to_string(result);
    const std::vector<int> levels = backlight_backend::take_levels();
    if (levels.empty() || levels.back() != 22)
        wrong += "; the next request's level did not reach the backlight";
    if (open_descriptors() != descriptors)
        wrong += "; " + std::to_string(open_descriptors() - descriptors) + " descriptors left open";
    if (!wrong.empty())
        return ::testing::AssertionFailure() << wrong.substr(2);
    report_figure("faults_survived", 1);
    return ::testing::AssertionSuccess();
}

void BacklightTest::SetUp()
{
    const std::string why_not = backlight_backend::enter();
    if (!why_not.empty()) {
        if (backlight_backend::required())
            FAIL() << why_not;
        GTEST_SKIP() << why_not;
    }
    ASSERT_TRUE(backlight_backend::reset()) << strerror(errno);
    if (fresh_) {
        ASSERT_TRUE(module_.load());
        record_ = module_.record();
    }
    ASSERT_TRUE(acquire_owned("backlight", &handle));
}

::testing::AssertionResult BacklightTest::acquire_owned(const char* name, light_handle** acquired)
{
    ::testing::AssertionResult acquired_ok = acquire_from(record_, name, acquired);
    if (acquired_ok)
        owned_.emplace_back(*acquired);
    return acquired_ok;
}

} // namespace lights_test
