// SPDX-License-Identifier: Apache-2.0
/*
 * A module-sized library that computes a backlight level with run-time
 * double arithmetic. On the soft-float target that pulls in the compiler's
 * floating-point helpers, which the footprint check must find. It never
 * ships.
 */
extern "C" __attribute__((visibility("default"))) int level_of_luma(int luma)
{
    return static_cast<int>(static_cast<double>(luma) / 5.666);
}
