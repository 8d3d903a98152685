/* SPDX-License-Identifier: Apache-2.0 */
/*
 * Where the Pellix backlight driver lives on the emulated device, for the
 * first process that loads it, the tests' backend that drives it and the
 * report that reads it back (C and C++). The backlight's own directory and
 * attribute are the module's, in lumivane_records.h.
 */
#ifndef PELLIX_DRIVER_PATHS_H
#define PELLIX_DRIVER_PATHS_H

/* The driver's module, as the kernel names it and as the image holds it. */
#define PELLIX_DRIVER_NAME "pellix_bl"
#define PELLIX_DRIVER_FILE "/lib/modules/" PELLIX_DRIVER_NAME ".ko"

/* Its parameters: the levels the hardware was told (one a line; writing 0
   empties the record), and the faults a test arms for the next update. */
#define PELLIX_DRIVER_PARAMETERS_DIR "/sys/module/" PELLIX_DRIVER_NAME "/parameters"
#define PELLIX_DRIVER_UPDATES PELLIX_DRIVER_PARAMETERS_DIR "/updates"
#define PELLIX_DRIVER_FAIL_NEXT PELLIX_DRIVER_PARAMETERS_DIR "/fail_next"
#define PELLIX_DRIVER_STALL_NEXT_MS PELLIX_DRIVER_PARAMETERS_DIR "/stall_next_ms"

#endif /* PELLIX_DRIVER_PATHS_H */
