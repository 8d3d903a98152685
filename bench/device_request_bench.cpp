// SPDX-License-Identifier: Apache-2.0
/*
 * device-request-bench: what one backlight request costs on the emulated
 * device, next to its floor, both measured in one boot.
 *
 * The request is the module's apply through its handle, as the platform
 * calls it, with log lines discarded; it reaches the kernel's backlight
 * class and the Pellix driver. The floor is the least any implementation
 * must do: open the same attribute, write the same three bytes, close it.
 * Rounds of the two alternate, so a change in the emulator's pace touches
 * both alike; each figure is the median of the rounds. Figures only:
 * nothing here passes or fails on a time. Run it with pellix-device.
 */
#include "kelvo_log.h"
#include "lumivane_records.h"

#include <fcntl.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace
{

constexpr int rounds = 21;
constexpr int requests_per_round = 200;
const char attribute[] = LUMIVANE_BRIGHTNESS_PATH;
const char white_written[] = "45\n"; /* what the module writes for white */

long long now_ns()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

/* Nanoseconds per request over one round, or -1 if a request failed. */
long long module_round(light_handle* handle)
{
    const light_request white = {0xFFFFFFFFu};
    const long long start = now_ns();
    for (int i = 0; i < requests_per_round; ++i) {
        if (handle->apply_state(handle, &white) != 0)
            return -1;
    }
    return (now_ns() - start) / requests_per_round;
}

long long floor_round()
{
    const long long start = now_ns();
    for (int i = 0; i < requests_per_round; ++i) {
        const int fd = open(attribute, O_RDWR | O_CLOEXEC);
        if (fd < 0 || write(fd, white_written, sizeof white_written - 1) != 3)
            return -1;
        close(fd);
    }
    return (now_ns() - start) / requests_per_round;
}

long long median(std::vector<long long> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main()
{
    kelvo_log_set_sink(kelvo_log_discard);
    light_handle* handle = nullptr;
    if (HMI.entry_table->open_entry(&HMI, "backlight", &handle) != 0) {
        fprintf(stderr, "device-request-bench: cannot acquire the backlight\n");
        return 1;
    }

    std::vector<long long> requests;
    std::vector<long long> floors;
    module_round(handle); /* warm-up: first-touch page faults, the once-control */
    floor_round();
    for (int round = 0; round < rounds; ++round) {
        requests.push_back(module_round(handle));
        floors.push_back(floor_round());
    }
    handle->release(handle);
    if (std::min(*std::min_element(requests.begin(), requests.end()),
                 *std::min_element(floors.begin(), floors.end())) < 0) {
        fprintf(stderr, "device-request-bench: a request failed\n");
        return 1;
    }

    const long long request_ns = median(requests);
    const long long floor_ns = median(floors);
    printf("figure: device_request_ns %lld\n", request_ns);
    printf("figure: device_floor_ns %lld\n", floor_ns);
    printf("figure: device_ratio %.3f\n",
           static_cast<double>(request_ns) / static_cast<double>(floor_ns));
    return 0;
}
