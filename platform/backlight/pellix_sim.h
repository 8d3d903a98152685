/*
 * The simulated Pellix backlight for tests and benchmarks. The module opens
 * the real attribute path, so the simulation gives this process a private
 * mount namespace with a scratch tmpfs over /sys/class and builds the
 * device there. Nothing outside the process sees it.
 *
 * The attribute is a FIFO that this process holds open: the module opens,
 * writes and closes it as it would the kernel's file, and each write is read
 * back on its own, in order, as the driver would take it (a regular file
 * would keep stale bytes after a shorter write).
 */
#ifndef PELLIX_SIM_H
#define PELLIX_SIM_H

#include "lumivane_records.h"

#include <string>
#include <vector>

namespace pellix_sim
{

inline constexpr char device_dir[] = LUMIVANE_BACKLIGHT_DIR;
inline constexpr char attribute_path[] = LUMIVANE_BRIGHTNESS_PATH;

/*
 * Enters the private namespace and builds an empty device directory, once
 * per process (later calls return the first answer). Returns an empty text
 * on success, otherwise why the simulation cannot run here.
 */
std::string enter();

/* True when a missing simulation must fail a test rather than skip it. */
bool required();

/* Puts a fresh FIFO attribute in place, whatever stood there before, with
   room for a megabyte of writes between two calls to take_writes(). */
bool install_attribute();

/* The writes that reached the attribute since the last call, oldest first. */
std::vector<std::string> take_writes();

/* The same, with each write read back as the level it carries. */
std::vector<int> take_levels();

/* Faults: each replaces the attribute; install_attribute() undoes any of them. */
bool remove_attribute();
bool remove_device_dir();
bool directory_in_place();
bool bind_over_attribute(const char* source); /* e.g. /dev/full */
bool read_only_attribute();

} // namespace pellix_sim

#endif /* PELLIX_SIM_H */
