/* SPDX-License-Identifier: Apache-2.0 */
/*
 * What the two parts of the module share: the process-wide state and the
 * backlight's apply operation. Everything here is private to the library:
 * the module is built with hidden visibility, and only the symbols named in
 * lumivane.map (HMI and init_globals) reach its dynamic symbol table. The
 * module's own code never refers to those two by their exported names, so
 * nothing else in the process can stand in for them.
 */
#ifndef LIGHTS_INTERNAL_H
#define LIGHTS_INTERNAL_H

#include "lumivane_records.h"

#include <pthread.h>

#define LIGHTS_EXPORT __attribute__((visibility("default")))

extern "C" {

/* Guards lights_init_globals: it runs once, at the first acquire of a known light. */
extern pthread_once_t lights_init_once;
/* Serialises every backlight write and its log line, across all handles. */
extern pthread_mutex_t lights_lock;
/* Set once the first failure to open the brightness file has been logged. */
extern int write_int_warned;

/* The module record; exported as HMI. */
extern struct module_record lights_module_record;

/* Initialises lights_lock; exported as init_globals. */
void lights_init_globals(void);

/* The apply operation of the light named "backlight". */
int set_light_backlight(struct light_handle* handle, const struct light_request* request);

} /* extern "C" */

#endif /* LIGHTS_INTERNAL_H */
