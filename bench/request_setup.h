/*
 * What the benchmark and the request driver share: the simulated backlight
 * with a regular file as its attribute, and a log sink that drops every line.
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

/* The attribute the module writes, as the simulation places it. */
const char* attribute_path();

/* Enters the simulation's private namespace and puts an empty regular file
   at the attribute path. Returns an empty text, or why it cannot be done. */
std::string prepare_backlight();

/* True when an unavailable simulation must fail rather than skip (CI=true). */
bool simulation_required();

/* The exit status for an unavailable simulation: 77 (skipped), or 1 in CI. */
int unavailable_status();

/* Sends the module's log lines nowhere, so logging costs only its formatting. */
void discard_log();

/* The whole content of the attribute file, or "?" when it cannot be read. */
std::string attribute_content();

} // namespace request_setup

#endif
