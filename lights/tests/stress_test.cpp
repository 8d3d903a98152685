// SPDX-License-Identifier: Apache-2.0
/* The module under load, bounded and seeded: many threads and handles at
   once, the very first acquires racing, and long acquire/release churn.
   Each test prints its figures. */
#include "lights_test_support.h"

#include "kelvo_log.h"
#include "simulated_backlight.h"

#include <malloc.h>
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
/* From the sanitizer's runtime: the bytes its allocator has handed out. */
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);
#endif
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>

#include <atomic>
#include <random>
#include <thread>

using namespace lights_test;

namespace
{

/* Emulated ARM runs the same tests on a smaller load. */
#if defined(__arm__)
constexpr int writer_threads = 8;
constexpr int total_requests = 8000;
constexpr long churn_cycles = 200000;
#else
constexpr int writer_threads = 16;
constexpr int total_requests = 100000;
constexpr long churn_cycles = 1000000;
#endif
constexpr int backlight_handles = 4;
/* AddressSanitizer holds freed blocks in quarantine, so resident size grows
   by design there; its leak checker answers the question instead. */
#if defined(__SANITIZE_ADDRESS__)
constexpr bool resident_size_is_meaningful = false;
#else
constexpr bool resident_size_is_meaningful = true;
#endif
constexpr int passive_threads = 2;
constexpr int racing_threads = 64;
/* Slack for the allocator's own bookkeeping; a leaked handle per request
   or per cycle would exceed it many times over. */
constexpr size_t heap_slack = size_t{64} * 1024;

/* Bytes the program holds: from the sanitizer's allocator where one
   replaces malloc, from malloc's own statistics otherwise. */
size_t heap_in_use()
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return __sanitizer_get_current_allocated_bytes();
#else
    return mallinfo2().uordblks;
#endif
}

long peak_resident_kib()
{
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

/* Logged levels, kept in memory reserved up front so the log itself does
   not show as growth. */
std::mutex logged_mutex;
std::vector<int> logged;
size_t logged_count;

void keep_level(int, const char*, const char* text)
{
    const int level = logged_level(text);
    std::lock_guard<std::mutex> hold(logged_mutex);
    if (level >= 0 && logged_count < logged.size())
        logged[logged_count++] = level;
}

std::vector<long> histogram(const std::vector<int>& levels)
{
    std::vector<long> counts(47);
    for (int level : levels)
        ++counts[static_cast<size_t>(level >= 0 && level <= 45 ? level : 46)]; /* 46: not a level */
    return counts;
}

} // namespace

TEST_F(BacklightTest, ManyThreadsOnFourHandlesLoseNoWriteAndLeaveNothingBehind)
{
    light_handle* handles[backlight_handles] = {handle};
    for (int index = 1; index < backlight_handles; ++index)
        ASSERT_TRUE(acquire_owned("backlight", &handles[index]));
    std::vector<int> written;
    written.reserve(total_requests);
    logged.assign(total_requests, -1);
    logged_count = 0;
    std::vector<std::vector<long>> expected(writer_threads, std::vector<long>(47));
    kelvo_log_set_sink(keep_level);

    const int descriptors = open_descriptors();
    const size_t heap_before = heap_in_use();
    std::atomic<bool> done{false};
    std::atomic<long> failures{0};
    std::atomic<long> passive_requests{0};

    std::thread drain([&] {
        while (!done.load()) {
            for (int level : backlight_backend::take_levels())
                written.push_back(level);
            std::this_thread::yield();
        }
    });
    std::vector<std::thread> passive;
    passive.reserve(passive_threads);
    for (int index = 0; index < passive_threads; ++index) {
        passive.emplace_back([&, index] {
            for (int i = 0; !done.load(); ++i) {
                light_handle* light = nullptr;
                failures += acquire(light_names[1 + (index + i) % 5], &light) != 0;
                const owned_handle owned(light);
                failures += light == nullptr || apply(light, 0xFFFFFFFFu) != 0;
                ++passive_requests;
            }
        });
    }

    run_together(writer_threads, [&](int index) {
        std::mt19937 random(static_cast<unsigned>(1000 + index));
        light_handle* writer = handles[index % backlight_handles];
        for (int i = 0; i < total_requests / writer_threads; ++i) {
            const uint32_t argb = static_cast<uint32_t>(random());
            ++expected[static_cast<size_t>(index)][static_cast<size_t>(expected_level(argb))];
            failures += apply(writer, argb) != 0;
        }
    });
    done = true;
    drain.join();
    for (std::thread& thread : passive)
        thread.join();
    for (int level : backlight_backend::take_levels())
        written.push_back(level);

    EXPECT_EQ(failures.load(), 0);
    ASSERT_EQ(written.size(), size_t{total_requests});
    /* Nothing lost or torn: the levels written are the levels asked for... */
    std::vector<long> asked(47);
    for (const std::vector<long>& counts : expected) {
        for (size_t level = 0; level < counts.size(); ++level)
            asked[level] += counts[level];
    }
    EXPECT_EQ(histogram(written), asked);
    /* ...and each write went with its own log line, in the same order. */
    {
        std::lock_guard<std::mutex> hold(logged_mutex);
        EXPECT_EQ(logged_count, written.size());
        EXPECT_TRUE(written == logged);
    }
    EXPECT_EQ(open_descriptors(), descriptors);
    EXPECT_LE(heap_in_use(), heap_before + heap_slack);

    report_figure("requests_served", total_requests);
    report_figure("passive_requests", passive_requests.load());
    printf("stress: %d backlight requests on %d threads over %d handles, %ld passive "
           "acquire/apply/release rounds alongside\n",
           total_requests, writer_threads, backlight_handles, passive_requests.load());
}

TEST_F(BacklightTest, ManyThreadsRacingTheFirstAcquireAreAllServed)
{
    /* The first acquires of a module that has not run yet. */
    fresh_module module;
    ASSERT_TRUE(module.load());
    std::vector<owned_handle> raced(racing_threads);
    std::atomic<int> failures{0};
    run_together(racing_threads, [&failures, &module, &raced](int index) {
        light_handle* racer = nullptr;
        if (module.acquire("backlight", &racer) != 0) {
            ++failures;
            return;
        }
        raced[static_cast<size_t>(index)].reset(racer);
        failures += apply(racer, 0xFFFFFFFFu) != 0;
    });
    raced.clear(); /* released while the copy is still loaded */
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(backlight_backend::take_writes(), std::vector<std::string>(racing_threads, "45\n"));
    report_figure("requests_served", racing_threads);
}

TEST(AcquireReleaseChurnTest, KeepsMemoryFlatOverEveryName)
{
    auto cycle = [](long count) {
        long failures = 0;
        for (long i = 0; i < count; ++i) {
            light_handle* handle = nullptr;
            failures += acquire(light_names[i % 6], &handle) != 0;
            failures += handle == nullptr || handle->release(handle) != 0;
        }
        return failures;
    };
    ASSERT_EQ(cycle(1000), 0);
    const size_t heap_before = heap_in_use();
    const long peak_before = peak_resident_kib();

    EXPECT_EQ(cycle(churn_cycles), 0);

    EXPECT_LE(heap_in_use(), heap_before + heap_slack);
    if (resident_size_is_meaningful) {
        EXPECT_LE(peak_resident_kib(), peak_before + 1024);
    }
    printf("churn: %ld acquire/release cycles, heap %zu -> %zu bytes, peak resident %ld -> %ld "
           "KiB\n",
           churn_cycles, heap_before, heap_in_use(), peak_before, peak_resident_kib());
    report_figure("churn_cycles", churn_cycles);
}
