/* SPDX-License-Identifier: Apache-2.0 */
/*
 * The Pellix backlight driver's controls on the emulated device, for tests:
 * load and unload it, and make its next hardware update misbehave. Each
 * returns true when the kernel took the request, except fail_next_update,
 * which returns the errno of a refusal.
 */
#ifndef PELLIX_DRIVER_H
#define PELLIX_DRIVER_H

namespace pellix_driver
{

/* Loads the driver from /lib/modules; true if it is loaded already. */
bool load();
/* Unloads it: the backlight's sysfs directory goes with it. */
bool unload();
/* The next update fails with -error; later ones succeed again. 0 when the
   driver took it, else the errno its parameter's write failed with. */
int fail_next_update(int error);
/* The next update takes this long, as slow hardware would. */
bool stall_next_update(unsigned milliseconds);
/* A number the backlight's sysfs directory shows ("brightness",
   "actual_brightness", "max_brightness"), or -1. */
int read_attribute(const char* name);

} // namespace pellix_driver

#endif /* PELLIX_DRIVER_H */
