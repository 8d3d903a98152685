// SPDX-License-Identifier: Apache-2.0
/*
 * The backlight: turns a requested colour into one of 46 brightness levels
 * and writes it to the kernel's brightness attribute, one request at a time.
 */
#include "lights_internal.h"

#include "kelvo_log.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

static const char BACKLIGHT_PATH[] = LUMIVANE_BRIGHTNESS_PATH;
static const char LOG_TAG[] = LUMIVANE_LOG_TAG;

/* Luma divided by this gives the level: 255 / 5.666 truncates to 45. */
static constexpr double LUMA_DIVISOR = 5.666;

/*
 * The level of every luma, 0..255, as double-precision division by
 * LUMA_DIVISOR gives it. The compiler fills the table, so the target (which
 * has no floating-point unit) never divides a double at run time.
 */
struct luma_level_table {
    unsigned char level[256];
};

static constexpr luma_level_table make_luma_level_table()
{
    luma_level_table table{};
    for (int luma = 0; luma < 256; ++luma)
        table.level[luma] = static_cast<unsigned char>(static_cast<double>(luma) / LUMA_DIVISOR);
    return table;
}

static constexpr luma_level_table luma_levels = make_luma_level_table();
static_assert(luma_levels.level[255] == 45 && luma_levels.level[254] == 44, "top of the scale");

/* Weights 77/150/29 sum to 256, so the shifted sum stays within 0..255. */
static unsigned luma_of(uint32_t argb)
{
    const uint32_t red = (argb >> 16) & 0xFFu;
    const uint32_t green = (argb >> 8) & 0xFFu;
    const uint32_t blue = argb & 0xFFu;
    return (77u * red + 150u * green + 29u * blue) >> 8;
}

/*
 * Formats `level` as "%u\n" would, into `text` (room for 11 bytes), and
 * returns the length. A level is never negative, so it has no sign to write.
 * Repeated subtraction keeps printf's machinery off the request path and
 * needs no division, which the target does in software.
 */
static size_t format_line(unsigned level, char* text)
{
    static const unsigned powers_of_ten[] = {1000000000u, 100000000u, 10000000u, 1000000u, 100000u,
                                             10000u,      1000u,      100u,      10u,      1u};
    size_t length = 0;
    unsigned magnitude = level;
    bool leading = true;
    for (const unsigned power : powers_of_ten) {
        char digit = '0';
        while (magnitude >= power) {
            magnitude -= power;
            ++digit;
        }
        leading = leading && digit == '0' && power != 1;
        if (!leading)
            text[length++] = digit;
    }
    text[length++] = '\n';
    return length;
}

/* Logs the first failure to open the attribute; later ones stay silent. */
static void warn_open_failed_once(const char* path)
{
    if (write_int_warned)
        return;
    __kelvo_log_print(KELVO_LOG_ERROR, LOG_TAG, LUMIVANE_LOG_OPEN_WARNING_FORMAT, path);
    write_int_warned = 1;
}

/*
 * Writes `level` and a newline to `path` with one write call. Returns 0, or
 * a negative error number. Called with lights_lock held.
 */
static int write_int(const char* path, unsigned level)
{
    const int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        const int open_errno = errno;
        warn_open_failed_once(path);
        return -open_errno;
    }

    char text[20];
    const size_t length = format_line(level, text);
    const ssize_t written = write(fd, text, length);
    const int write_errno = errno; /* before close can change it */
    close(fd);

    if (written < 0)
        return -write_errno;
    if (static_cast<size_t>(written) != length)
        return -EIO; /* the attribute took only part of the level */
    return 0;
}

extern "C" int set_light_backlight(struct light_handle*, const struct light_request* request)
{
    if (request == nullptr)
        return -EINVAL;

    /* The arithmetic needs no lock; only the file and the log line do. */
    const unsigned char level = luma_levels.level[luma_of(request->argb)];

    /*
     * open, write, close and the log library's output are cancellation
     * points. A thread cancelled among them would leave the lock held and
     * the file open, and every later request in the process would hang, so
     * cancellation waits until the request is done; the caller's own state
     * comes back afterwards, and a pending cancellation acts at its next
     * cancellation point.
     */
    int cancel_state = PTHREAD_CANCEL_ENABLE;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancel_state);
    pthread_mutex_lock(&lights_lock);
    const int result = write_int(BACKLIGHT_PATH, level);
    __kelvo_log_print(KELVO_LOG_INFO, LOG_TAG, LUMIVANE_LOG_REQUEST_FORMAT,
                      static_cast<int>(level));
    pthread_mutex_unlock(&lights_lock);
    pthread_setcancelstate(cancel_state, nullptr);

    return result;
}
