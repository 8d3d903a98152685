// SPDX-License-Identifier: Apache-2.0
/* The stand-in log library: formats each line and passes it to a sink. */
#include "kelvo_log.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>

namespace
{

/* Set by the main thread, read on any thread that logs. */
kelvo_log_sink current_sink;

char priority_letter(int priority)
{
    switch (priority) {
    case KELVO_LOG_INFO:
        return 'I';
    case KELVO_LOG_ERROR:
        return 'E';
    default:
        return '?';
    }
}

void print_to_stderr(int priority, const char* tag, const char* text)
{
    /* One fprintf per line, so lines from several threads stay whole. */
    fprintf(stderr, "%c/%s: %s", priority_letter(priority), tag, text);
}

} // namespace

extern "C" int __kelvo_log_print(int priority, const char* tag, const char* format, ...)
{
    kelvo_log_sink sink = __atomic_load_n(&current_sink, __ATOMIC_ACQUIRE);
    if (sink == kelvo_log_discard)
        return 0;

    const int saved_errno = errno;

    char text[1024];
    va_list args;
    va_start(args, format);
    // The analyzer loses track of va_start here; args is started just above.
    const int length =
        vsnprintf(text, sizeof text, format, args); // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(args);

    (sink != nullptr ? sink : print_to_stderr)(priority, tag, text);

    /* Callers read errno after logging a failure; keep theirs. */
    errno = saved_errno;
    return length;
}

extern "C" void kelvo_log_discard(int, const char*, const char*) {}

extern "C" void kelvo_log_set_sink(kelvo_log_sink sink)
{
    __atomic_store_n(&current_sink, sink, __ATOMIC_RELEASE);
}
