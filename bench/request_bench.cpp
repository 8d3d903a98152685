// SPDX-License-Identifier: Apache-2.0
/*
 * request-bench: what one backlight request costs, next to its floor.
 *
 * The request is the module's apply on the simulated backlight, through the
 * handle as the platform calls it, with log lines discarded. The floor is
 * the least any implementation must do for it: open the attribute, write
 * the same three bytes, close it, in a plain loop. Both run on one thread
 * and on four contending ones. Every request of the process is serialised
 * by the module-wide lock, so the floor of four threads is that same loop
 * under one process-wide mutex; the loop on four free threads is measured
 * too, as a note. The figures at the end give each cost (real time per
 * request, median of the repetitions) and the module's ratio to its floor.
 * Figures only: nothing here passes or fails on a time.
 *
 * Needs root for the simulation's mount namespace; without it, says why and
 * exits 77. Google Benchmark's flags are accepted and override the defaults.
 */
#include "simulated_backlight.h"
#include "kelvo_log.h"
#include "lumivane_records.h"

#include <benchmark/benchmark.h>

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace
{

constexpr uint32_t white = 0xFFFFFFFFu;
/* What the module writes for white: level 45 and a newline. */
const char white_written[] = "45\n";
constexpr size_t white_written_length = sizeof white_written - 1;
constexpr int contending_threads = 4;

void module_request(benchmark::State& state)
{
    light_handle* handle = nullptr;
    if (HMI.entry_table->open_entry(&HMI, "backlight", &handle) != 0) {
        state.SkipWithError("cannot acquire the backlight");
        return;
    }
    const light_request request = {white};
    // NOLINTNEXTLINE(clang-analyzer-deadcode.DeadStores): the loop variable is the idiom
    for (auto _ : state) {
        if (handle->apply_state(handle, &request) != 0) {
            state.SkipWithError("a request failed");
            break;
        }
    }
    handle->release(handle);
}

/* One open, write and close of what the module writes for white; false if one failed. */
bool write_attribute_once()
{
    const int fd = open(backlight_backend::attribute_path, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return false;
    const ssize_t written = write(fd, white_written, white_written_length);
    close(fd);
    return written == static_cast<ssize_t>(white_written_length);
}

void floor_request(benchmark::State& state)
{
    // NOLINTNEXTLINE(clang-analyzer-deadcode.DeadStores): the loop variable is the idiom
    for (auto _ : state) {
        if (!write_attribute_once()) {
            state.SkipWithError("cannot write the attribute");
            break;
        }
    }
}

/* The floor as the module-wide lock allows it: one request at a time. */
pthread_mutex_t floor_lock = PTHREAD_MUTEX_INITIALIZER;

void locked_floor_request(benchmark::State& state)
{
    // NOLINTNEXTLINE(clang-analyzer-deadcode.DeadStores): the loop variable is the idiom
    for (auto _ : state) {
        pthread_mutex_lock(&floor_lock);
        const bool written = write_attribute_once();
        pthread_mutex_unlock(&floor_lock);
        if (!written) {
            state.SkipWithError("cannot write the attribute");
            break;
        }
    }
}

BENCHMARK(module_request)->UseRealTime()->Unit(benchmark::kNanosecond);
BENCHMARK(floor_request)->UseRealTime()->Unit(benchmark::kNanosecond);
BENCHMARK(module_request)->Threads(contending_threads)->UseRealTime()->Unit(benchmark::kNanosecond);
BENCHMARK(locked_floor_request)
    ->Threads(contending_threads)
    ->UseRealTime()
    ->Unit(benchmark::kNanosecond);
BENCHMARK(floor_request)->Threads(contending_threads)->UseRealTime()->Unit(benchmark::kNanosecond);

/* Whether a run ended in SkipWithError. Benchmark 1.7 says so in
   error_occurred; from 1.8 on, skipped says whether and why a run stopped.
   Overload resolution picks whichever member this version has. */
template <typename Run>
auto run_failed(const Run& run, int) -> decltype(static_cast<bool>(run.error_occurred))
{
    return run.error_occurred;
}

template <typename Run>
auto run_failed(const Run& run, long) -> decltype(static_cast<int>(run.skipped) != 0)
{
    return static_cast<int>(run.skipped) != 0;
}

/* Shows the usual console report and keeps each benchmark's real time per
   request: the median aggregate where repetitions give one, otherwise the
   median of the runs themselves. */
class figure_keeper : public benchmark::ConsoleReporter
{
  public:
    explicit figure_keeper(bool colour)
        : benchmark::ConsoleReporter(colour ? OO_ColorTabular : OO_Tabular)
    {
    }

    void ReportRuns(const std::vector<Run>& runs) override
    {
        benchmark::ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run_failed(run, 0))
                failed_ = true;
            const auto key = std::make_pair(run.run_name.function_name, run.threads);
            const double nanoseconds =
                run.GetAdjustedRealTime() * 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit);
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")
                medians_[key] = nanoseconds;
            else if (run.run_type == Run::RT_Iteration)
                samples_[key].push_back(nanoseconds);
        }
    }

    bool failed() const { return failed_; }

    /* Real time per request in nanoseconds, or a negative number if not measured. */
    double cost(const char* function, int threads) const
    {
        const auto key = std::make_pair(std::string(function), int64_t{threads});
        const auto median = medians_.find(key);
        if (median != medians_.end())
            return median->second;
        const auto found = samples_.find(key);
        if (found == samples_.end() || found->second.empty())
            return -1;
        std::vector<double> sorted = found->second;
        std::sort(sorted.begin(), sorted.end());
        return sorted[sorted.size() / 2];
    }

  private:
    using key_type = std::pair<std::string, int64_t>;
    std::map<key_type, double> medians_;
    std::map<key_type, std::vector<double>> samples_;
    bool failed_ = false;
};

/* The request's cost on `threads` threads, the floor `floor_function`
   measured and their ratio, as figures named NAME`suffix`. */
void print_figures(const figure_keeper& keeper, int threads, const char* floor_function,
                   const char* suffix)
{
    const double request = keeper.cost("module_request", threads);
    const double floor = keeper.cost(floor_function, threads);
    if (request < 0 || floor <= 0)
        return;
    printf("figure: request_ns%s %.0f\n", suffix, request);
    printf("figure: floor_ns%s %.0f\n", suffix, floor);
    printf("figure: ratio%s %.3f\n", suffix, request / floor);
}

/* The note: the four threads' floor without the lock the module must take. */
void print_free_floor(const figure_keeper& keeper)
{
    const double request = keeper.cost("module_request", contending_threads);
    const double floor = keeper.cost("floor_request", contending_threads);
    if (request < 0 || floor <= 0)
        return;
    printf("figure: free_floor_ns_4_threads %.0f\n", floor);
    printf("figure: free_ratio_4_threads %.3f\n", request / floor);
}

} // namespace

int main(int argc, char** argv)
{
    std::string why_not = backlight_backend::enter();
    if (why_not.empty() && !backlight_backend::regular_attribute(""))
        why_not = std::string("cannot create the attribute: ") + strerror(errno);
    if (!why_not.empty()) {
        fprintf(stderr, "request-bench: cannot run: %s\n", why_not.c_str());
        return 77;
    }
    kelvo_log_set_sink(kelvo_log_discard);

    /* Bounded by default: a few seconds in all. Flags given later win. */
    std::vector<char*> arguments = {argv[0]};
    char min_time[] = "--benchmark_min_time=0.2";
    char repetitions[] = "--benchmark_repetitions=5";
    char interleaving[] = "--benchmark_enable_random_interleaving=true";
    char aggregates[] = "--benchmark_display_aggregates_only=true";
    for (char* flag : {min_time, repetitions, interleaving, aggregates})
        arguments.push_back(flag);
    for (int i = 1; i < argc; ++i)
        arguments.push_back(argv[i]);
    int count = static_cast<int>(arguments.size());

    benchmark::Initialize(&count, arguments.data());
    if (benchmark::ReportUnrecognizedArguments(count, arguments.data()))
        return 2;
    figure_keeper keeper(isatty(STDOUT_FILENO) != 0);
    benchmark::RunSpecifiedBenchmarks(&keeper);
    benchmark::Shutdown();

    const std::string written = backlight_backend::attribute_content();
    if (keeper.failed() || written != white_written) {
        fprintf(stderr, "request-bench: a request failed, or the attribute holds \"%s\"\n",
                written.c_str());
        return 1;
    }

    print_figures(keeper, 1, "floor_request", "");
    print_figures(keeper, contending_threads, "locked_floor_request", "_4_threads");
    print_free_floor(keeper);
    const double request = keeper.cost("module_request", 1);
    const double floor = keeper.cost("floor_request", 1);
    if (request > 0 && floor > 0)
        printf("one thread: the request costs %+.1f%% against the floor (target: within +10%%)\n",
               (request / floor - 1) * 100);
    return 0;
}
