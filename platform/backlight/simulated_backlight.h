/* SPDX-License-Identifier: Apache-2.0 */
/*
 * The simulated Pellix backlight, on any Linux host: the common calls of
 * backlight_backend.h, and what only the simulation offers.
 *
 * The module opens the real attribute path, so the simulation gives this
 * process a private mount namespace with a scratch tmpfs over /sys/class and
 * builds the device there; nothing outside the process sees it. The
 * attribute is a FIFO that this process holds open: the module opens,
 * writes and closes it as it would the kernel's file, and each write is read
 * back on its own, in order, as the driver would take it (a regular file
 * would keep stale bytes after a shorter write).
 */
#ifndef SIMULATED_BACKLIGHT_H
#define SIMULATED_BACKLIGHT_H

#include "backlight_backend.h"

#include <string>
#include <vector>

namespace backlight_backend
{

/* The writes that reached the attribute since the last call, oldest first,
   each with the exact bytes written. */
std::vector<std::string> take_writes();

/* Faults: each replaces the attribute; reset() undoes any of them. */
bool remove_attribute();
bool remove_device_dir();
bool directory_in_place();
bool bind_over_attribute(const char* source); /* e.g. /dev/full */
bool read_only_attribute();

/* A FIFO attribute that no driver reads. */
bool unread_attribute();

/* A regular file holding `content` as the attribute. It suits measurement,
   where the FIFO does not: nothing has to drain it, so a run of any length
   never blocks, and every request writes the same bytes at offset 0. */
bool regular_attribute(const std::string& content);

/* The content of a regular attribute (its first 4 KiB), or "?" when it
   cannot be read. */
std::string attribute_content();

} // namespace backlight_backend

#endif /* SIMULATED_BACKLIGHT_H */
