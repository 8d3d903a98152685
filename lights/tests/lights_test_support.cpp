#include "lights_test_support.h"

#include "kelvo_log.h"
#include "backlight_backend.h"

#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
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

const char level_prefix[] = "set_light_backlight brightness=";

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
        found += line.priority == priority && line.tag == "lights" && line.text == text;
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
    if (strncmp(text, level_prefix, sizeof level_prefix - 1) != 0)
        return -1;
    char* end = nullptr;
    const long level = strtol(text + sizeof level_prefix - 1, &end, 10);
    return strcmp(end, "\n") == 0 ? static_cast<int>(level) : -1;
}

const char open_warning[] = "write_int failed to open " LUMIVANE_BRIGHTNESS_PATH "\n";

std::string level_line(int level)
{
    return "set_light_backlight brightness=" + std::to_string(level) + "\n";
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

void acquire_ok(const char* name, light_handle** handle)
{
    *handle = nullptr;
    ASSERT_EQ(acquire(name, handle), 0) << name;
    ASSERT_NE(*handle, nullptr) << name;
}

int apply(light_handle* handle, uint32_t argb)
{
    const light_request request = {argb};
    return handle->apply_state(handle, &request);
}

bool apply_within(light_handle* handle, uint32_t argb, int seconds, int* result)
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
    if (!shared->returned.wait_for(hold, std::chrono::seconds(seconds),
                                   [&shared] { return shared->done; }))
        return false;
    *result = shared->result;
    return true;
}

fresh_module::~fresh_module()
{
    if (library_ != nullptr)
        dlclose(library_);
}

void fresh_module::load()
{
    /* The file of the module this program links, found from one of its
       functions. The loader takes a file it has loaded already for the same
       module, so the copy is a file of its own, gone once it is loaded. */
    Dl_info linked{};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(HMI.entry_table->open_entry), &linked), 0);
    char scratch[] = "/tmp/lumivane-fresh.XXXXXX";
    ASSERT_NE(mkdtemp(scratch), nullptr) << strerror(errno);
    const std::string copy = std::string(scratch) + "/lumivane.so";
    std::error_code error;
    std::filesystem::copy_file(linked.dli_fname, copy, error);
    library_ = error ? nullptr : dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
    const std::string why_not = error ? error.message() : library_ == nullptr ? dlerror() : "";
    std::filesystem::remove_all(scratch, error);
    ASSERT_NE(library_, nullptr) << linked.dli_fname << ": " << why_not;
    record_ = static_cast<const module_record*>(dlsym(library_, "HMI"));
    ASSERT_NE(record_, nullptr) << "no HMI in the copy";
}

int fresh_module::acquire(const char* name, light_handle** handle) const
{
    return record_->entry_table->open_entry(record_, name, handle);
}

bool first_open_failure()
{
    static std::atomic<bool> seen{false};
    return !seen.exchange(true);
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

void cancel_blocked_request(light_handle* handle, const std::function<bool()>& block,
                            const std::function<void()>& unblock)
{
    const int descriptors = open_descriptors();
    ASSERT_TRUE(block()) << strerror(errno);

    /* Once the request has the attribute open it holds the lock, and its
       write blocks: cancel it there. */
    request_thread request = {handle, 1};
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, nullptr, apply_white_then_test_cancel, &request), 0);
    for (int waited_ms = 0; open_descriptors() == descriptors && waited_ms < 10000; ++waited_ms)
        usleep(1000);
    EXPECT_EQ(open_descriptors(), descriptors + 1) << "the request never opened the attribute";
    ASSERT_EQ(pthread_cancel(thread), 0);

    /* A write still waiting goes through once unblocked. The cancellation
       still ends the thread, at its own cancellation point. */
    unblock();
    void* status = nullptr;
    ASSERT_EQ(pthread_join(thread, &status), 0);
    EXPECT_EQ(status, PTHREAD_CANCELED);

    int result = 1;
    ASSERT_TRUE(apply_within(handle, 0xFF808080u, 10, &result))
        << "the next request hangs: the cancelled one left the lock held";
    EXPECT_EQ(result, 0);
    const std::vector<int> levels = backlight_backend::take_levels();
    ASSERT_FALSE(levels.empty());
    EXPECT_EQ(levels.back(), 22);
    EXPECT_EQ(open_descriptors(), descriptors);
    report_figure("faults_survived", 1);
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
    ASSERT_NO_FATAL_FAILURE(acquire_owned("backlight", &handle));
}

void BacklightTest::acquire_owned(const char* name, light_handle** acquired)
{
    ASSERT_NO_FATAL_FAILURE(acquire_ok(name, acquired));
    owned_.emplace_back(*acquired);
}

} // namespace lights_test
