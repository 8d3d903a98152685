/* SPDX-License-Identifier: Apache-2.0 */
/*
 * The backlight the tests, fuzz targets and measurements run the module
 * against, behind one interface with two backends:
 *
 *  - the simulated Pellix backlight (simulated_backlight.cpp), on any Linux
 *    host; its own calls, the faults only it offers among them, are in
 *    simulated_backlight.h;
 *
 *  - the kernel's backlight class and the Pellix driver on the emulated
 *    device (platform/device/kernel_backlight.cpp, which the conformance
 *    kit runs the module against), where what the module wrote is read
 *    back from the driver's record of the hardware's levels; the driver's
 *    own controls are in pellix_driver.h.
 *
 * Each backend implements every call declared here.
 */
#ifndef BACKLIGHT_BACKEND_H
#define BACKLIGHT_BACKEND_H

#include "lumivane_records.h"

#include <string>
#include <vector>

namespace backlight_backend
{

inline constexpr char device_dir[] = LUMIVANE_BACKLIGHT_DIR;
inline constexpr char attribute_path[] = LUMIVANE_BRIGHTNESS_PATH;

/*
 * Makes the backlight ready, once per process (later calls return the
 * first answer). Returns an empty text on success, otherwise why the
 * backlight cannot be had here.
 */
std::string enter();

/* True when a missing backlight must fail a test rather than skip it. */
bool required();

/* A fresh start, whatever stood there before: nothing received yet, no
   fault pending. The simulation puts a new attribute in place, with room
   for a megabyte of writes between two calls to take_levels(); on the
   device the driver is loaded and its record emptied. */
bool reset();

/* The levels the backlight received since the last call, oldest first. On
   the simulation a write that is not exactly a level in decimal and a
   newline reads as -1. */
std::vector<int> take_levels();

} // namespace backlight_backend

#endif /* BACKLIGHT_BACKEND_H */
