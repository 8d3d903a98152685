/*
 * What the benchmark and the request driver share: the simulated backlight
 * with a regular file as its attribute.
 *
 * A regular file suits measurement where the simulation's FIFO does not:
 * nothing has to drain it, so a run of any length never blocks, and every
 * request writes the same bytes at offset 0, leaving the file as one level.
 */
#ifndef REQUEST_SETUP_H
#define REQUEST_SETUP_H

#include <string>

namespace request_setup
{

/* Enters the simulation's private namespace and puts an empty regular file
   at the attribute path. Returns an empty text, or why it cannot be done. */
std::string prepare_backlight();

/* The exit status for an unavailable simulation: 77 (skipped), or 1 in CI. */
int unavailable_status();

/* The whole content of the attribute file, or "?" when it cannot be read. */
std::string attribute_content();

} // namespace request_setup

#endif
