/*
 * The backlight the tests, fuzz targets and measurements run the module
 * against, behind one interface with two backends:
 *
 *  - the simulated Pellix backlight (simulated_backlight.cpp), on any Linux
 *    host: the module opens the real attribute path, so the simulation gives
 *    this process a private mount namespace with a scratch tmpfs over
 *    /sys/class and builds the device there; nothing outside the process
 *    sees it. The attribute is a FIFO that this process holds open: the
 *    module opens, writes and closes it as it would the kernel's file, and
 *    each write is read back on its own, in order, as the driver would take
 *    it (a regular file would keep stale bytes after a shorter write);
 *
 *  - the kernel's backlight class and the Pellix driver on the emulated
 *    device (platform/device/kernel_backlight.cpp), where what the module
 *    wrote is read back from the driver's record of the hardware's levels.
 *
 * The faults at the end only the simulation offers.
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

/* A fresh start, whatever stood at the attribute before: nothing written
   yet, no fault pending; the simulation has room for a megabyte of writes
   between two calls to take_writes(). */
bool install_attribute();

/* The writes that reached the attribute since the last call, oldest first. */
std::vector<std::string> take_writes();

/* The same, with each write read back as the level it carries. */
std::vector<int> take_levels();

/* The simulation only. Faults: each replaces the attribute;
   install_attribute() undoes any of them. */
bool remove_attribute();
bool remove_device_dir();
bool directory_in_place();
bool bind_over_attribute(const char* source); /* e.g. /dev/full */
bool read_only_attribute();

/* The simulation only: a FIFO attribute that no driver reads. */
bool unread_attribute();

/* The simulation only: a regular file holding `content` as the attribute.
   It suits measurement, where the FIFO does not: nothing has to drain it,
   so a run of any length never blocks, and every request writes the same
   bytes at offset 0. */
bool regular_attribute(const std::string& content);

/* The content of a regular attribute (its first 4 KiB), or "?" when it
   cannot be read. */
std::string attribute_content();

} // namespace backlight_backend

#endif /* BACKLIGHT_BACKEND_H */
