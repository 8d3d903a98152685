/* SPDX-License-Identifier: Apache-2.0 */
/*
 * The platform's log library, as this tree stands it in: the same function,
 * names and priority numbers the device's library offers, plus a sink that
 * lets tests and benchmarks take the formatted lines.
 */
#ifndef KELVO_LOG_H
#define KELVO_LOG_H

extern "C" {

/* Priorities, numbered as the platform's log library numbers them. */
enum kelvo_log_priority {
    KELVO_LOG_INFO = 4,
    KELVO_LOG_ERROR = 6,
};

/*
 * Formats the trailing arguments printf-style and hands the line, with its
 * priority and tag, to the current sink. Leaves errno as it found it.
 * Returns the length of the formatted text.
 */
int __kelvo_log_print(int priority, const char* tag, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

/* Stand-in only: where formatted lines go. */
typedef void (*kelvo_log_sink)(int priority, const char* tag, const char* text);

/*
 * Stand-in only: a sink that drops every line. Given to kelvo_log_set_sink,
 * lines are dropped before they are formatted, as a log library drops the
 * priorities it does not keep; benchmarks use it to time the caller alone.
 */
void kelvo_log_discard(int priority, const char* tag, const char* text);

/*
 * Stand-in only: sends every later line to `sink`, or back to standard error
 * ("I/tag: text" or "E/tag: text") when `sink` is null.
 */
void kelvo_log_set_sink(kelvo_log_sink sink);

} /* extern "C" */

#endif /* KELVO_LOG_H */
