// SPDX-License-Identifier: Apache-2.0
/* The clause on requests from many threads on many handles at once. */
#include "harness.h"

#include <atomic>
#include <thread>

using namespace kit;

CLAUSE(concurrency_order, "concurrency.order", contract, 60,
       "threads on several handles: every request served, the driver's order of levels the log's")
{
    fresh_backlight();
    constexpr int threads = 4;
    constexpr int requests = 40;
    std::atomic<int> failures{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> workers;
    workers.reserve(threads);
    for (int index = 0; index < threads; ++index) {
        workers.emplace_back([&, index] {
            light_handle* handles[2] = {};
            for (light_handle*& handle : handles)
                failures += acquire("backlight", &handle) != 0;
            while (!go)
                std::this_thread::yield();
            uint32_t colour = static_cast<uint32_t>(index) * 7919u;
            for (int i = 0; i < requests && handles[0] && handles[1]; ++i) {
                colour = colour * 1103515245u + 12345u;
                failures += apply(handles[i % 2], colour) != 0;
            }
            for (light_handle* handle : handles) {
                if (handle != nullptr)
                    handle->release(handle);
            }
        });
    }
    go = true;
    for (std::thread& worker : workers)
        worker.join();
    const std::vector<int> told = take_told();
    std::vector<int> logged;
    for (const log_line& line : take_log())
        logged.push_back(logged_level(line));
    same("acquires or requests failed:", failures.load(), 0);
    same("levels the driver was told for " + std::to_string(threads * requests) + " requests:",
         static_cast<int>(told.size()), threads * requests);
    size_t at = 0;
    while (at < told.size() && at < logged.size() && told[at] == logged[at])
        ++at;
    if (at < told.size() || at < logged.size())
        fail("the driver's order and the log's part at request " + std::to_string(at + 1) +
             ": driver " +
             shown(std::vector<int>(told.begin() + static_cast<long>(at), told.end())) + ", log " +
             shown(std::vector<int>(logged.begin() + static_cast<long>(at), logged.end())));
}
