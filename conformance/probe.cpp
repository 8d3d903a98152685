/*
 * The device half of lights-conformance: runs on the emulated Pellix, loads
 * the module under qualification with dlopen and puts it through every
 * behaviour clause, each in a process of its own, so a crash, a hang or a
 * lock left held stays within its clause.
 *
 * usage: lights-conformance-probe [--keep-going] MODULE.so
 *
 * Prints one line per clause on standard output, for the host to read:
 *   clause <TAB> ID <TAB> pass
 *   clause <TAB> ID <TAB> fail <TAB> EVIDENCE
 * Without --keep-going it stops after the first failed clause. Exits 0 when
 * it could run the clauses (whatever their results), 2 on bad usage.
 *
 * The probe is the module's log library as far as the module can tell: it
 * defines and exports __kelvo_log_print, which the dynamic linker finds in
 * the program before any library, and keeps every line with its priority,
 * tag and format.
 */
#include "expected_levels.h"
#include "light_names.h"
#include "lumivane_records.h"
#include "pellix_driver.h"
#include "backlight_backend.h"

#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <link.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using lights_test::expected_level;
using lights_test::grey;
using lights_test::light_names;

namespace
{

/* ---- The log library, as the module sees it. */

struct log_line {
    int priority;
    std::string tag;
    std::string format;
    std::string text;
};

std::mutex log_mutex;
std::vector<log_line> log_lines;

std::vector<log_line> take_log()
{
    std::lock_guard<std::mutex> hold(log_mutex);
    std::vector<log_line> lines;
    lines.swap(log_lines);
    return lines;
}

const char info_format[] = "set_light_backlight brightness=%d\n";
const char warning_format[] = "write_int failed to open %s\n";
const char warning_text[] = "write_int failed to open " LUMIVANE_BRIGHTNESS_PATH "\n";

std::string info_text(int level)
{
    return "set_light_backlight brightness=" + std::to_string(level) + "\n";
}

/* The level an information line carries, or -1 for any other line. */
int logged_level(const log_line& line)
{
    const char prefix[] = "set_light_backlight brightness=";
    if (line.text.compare(0, sizeof prefix - 1, prefix) != 0)
        return -1;
    char* end = nullptr;
    const long level = strtol(line.text.c_str() + sizeof prefix - 1, &end, 10);
    return strcmp(end, "\n") == 0 && level >= 0 && level <= 1000 ? static_cast<int>(level) : -1;
}

} // namespace

extern "C" __attribute__((visibility("default"), format(printf, 3, 4))) int
__kelvo_log_print(int priority, const char* tag, const char* format, ...)
{
    const int saved_errno = errno;
    char text[512] = "";
    if (format != nullptr) {
        va_list args;
        va_start(args, format);
        // The analyzer loses track of va_start here; args is started just above.
        vsnprintf(text, sizeof text, format, args); // NOLINT(clang-analyzer-valist.Uninitialized)
        va_end(args);
    }
    {
        std::lock_guard<std::mutex> hold(log_mutex);
        log_lines.push_back({priority, tag != nullptr ? tag : "(null)",
                             format != nullptr ? format : "(null)", text});
    }
    errno = saved_errno;
    return static_cast<int>(strlen(text));
}

namespace
{

/* ---- The module under qualification. */

module_record* module;
void* module_base;

/* Shows a text as C would write it, so evidence stays on one line. */
std::string quoted(const std::string& text)
{
    std::string shown = "\"";
    for (const char c : text) {
        if (c == '\n')
            shown += "\\n";
        else if (c == '\t')
            shown += "\\t";
        else if (c == '"' || c == '\\')
            shown += std::string("\\") + c;
        else if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(c));
            shown += escaped;
        } else
            shown += c;
    }
    return shown + "\"";
}

std::string quoted(const char* text)
{
    return text == nullptr ? "null" : quoted(std::string(text));
}

std::string hex(uint32_t value)
{
    char text[16];
    snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

std::string levels_text(const std::vector<int>& levels)
{
    std::string text = "[";
    for (size_t i = 0; i < levels.size() && i < 8; ++i)
        text += (i > 0 ? " " : "") + std::to_string(levels[i]);
    return text + (levels.size() > 8 ? " ...]" : "]");
}

/* True when `address` lies in the module's own image. */
bool in_module(const void* address)
{
    Dl_info info;
    return address != nullptr && dladdr(address, &info) != 0 && info.dli_fbase == module_base;
}

int acquire(const char* name, light_handle** handle, const module_record* owner = nullptr)
{
    return module->entry_table->open_entry(owner != nullptr ? owner : module, name, handle);
}

int apply(light_handle* handle, uint32_t argb)
{
    const light_request request = {argb};
    return handle->apply_state(handle, &request);
}

/* A backlight handle, released on scope exit. */
struct backlight {
    light_handle* handle = nullptr;
    int status;
    backlight() : status(acquire("backlight", &handle)) {}
    ~backlight()
    {
        if (status == 0 && handle != nullptr)
            handle->release(handle);
    }
    backlight(const backlight&) = delete;
    backlight& operator=(const backlight&) = delete;
    bool ok() const { return status == 0 && handle != nullptr; }
    std::string why() const { return "acquiring \"backlight\" returned " + std::to_string(status); }
};

/* Polls `done` until it holds or `seconds` have passed; true if it held.
   A guard against a hang, never a measure of speed. */
template <typename Condition>
bool within(double seconds, Condition done)
{
    timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    while (!done()) {
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (static_cast<double>(now.tv_sec - start.tv_sec) +
                static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9 >
            seconds)
            return false;
        usleep(1000);
    }
    return true;
}

int open_descriptors()
{
    DIR* fds = opendir("/proc/self/fd");
    if (fds == nullptr)
        return -1;
    int count = 0;
    while (readdir(fds) != nullptr)
        ++count;
    closedir(fds);
    return count;
}

/* A fresh backlight: the driver loaded, its record empty, no fault pending,
   nothing logged. */
std::string fresh_backlight()
{
    take_log();
    return backlight_backend::reset()
               ? ""
               : "the driver cannot be reset: " + std::string(strerror(errno));
}

/* ---- Record. */

std::string record_identity()
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(module);
    if (memcmp(bytes, "TMWH", 4) != 0)
        return "magic " + hex(module->magic) + ", not " + hex(MODULE_RECORD_MAGIC);
    if (module->api_major != 1 || module->api_minor != 0)
        return "version " + std::to_string(module->api_major) + "." +
               std::to_string(module->api_minor) + ", not 1.0";
    if (module->ident == nullptr || strcmp(module->ident, "lights") != 0)
        return "ident " + quoted(module->ident) + ", not \"lights\"";
    if (module->title == nullptr || strcmp(module->title, "Pellix Lights Module") != 0)
        return "title " + quoted(module->title) + ", not \"Pellix Lights Module\"";
    return "";
}

std::string record_entries()
{
    if (module->entry_table == nullptr)
        return "entry_table is null";
    if (!in_module(module->entry_table))
        return "entry_table points outside the module";
    if (!in_module(reinterpret_cast<const void*>(module->entry_table->open_entry)))
        return "open_entry does not point into the module's code";
    return "";
}

std::string record_layout()
{
    Dl_info info;
    void* entry = nullptr;
    if (dladdr1(module, &info, &entry, RTLD_DL_SYMENT) == 0 || entry == nullptr)
        return "HMI has no symbol entry";
    const auto* symbol = static_cast<const ElfW(Sym)*>(entry);
    if (symbol->st_size != 128)
        return "HMI is " + std::to_string(symbol->st_size) + " bytes, not 128";
    /* The fields at their offsets, read as bytes. */
    const auto* bytes = reinterpret_cast<const unsigned char*>(module);
    const char* texts[3];
    for (size_t i = 0; i < 3; ++i) {
        const size_t offset = 8 + 4 * i;
        memcpy(static_cast<void*>(&texts[i]), bytes + offset, sizeof texts[i]);
        if (!in_module(texts[i]))
            return "the text pointer at offset " + std::to_string(offset) +
                   " does not point into the module";
    }
    if (texts[2][0] == '\0')
        return "the credit at offset 16 is empty";
    void* slot;
    memcpy(static_cast<void*>(&slot), bytes + 24, sizeof slot);
    if (slot != nullptr)
        return "loader_slot at offset 24 is not null";
    for (int at = 28; at < 128; ++at) {
        if (bytes[at] != 0)
            return "spare byte at offset " + std::to_string(at) + " is " +
                   std::to_string(bytes[at]);
    }
    return "";
}

/* ---- Acquire. */

std::string acquire_lights()
{
    module_record other = *module;
    for (const char* name : light_names) {
        light_handle* first = nullptr;
        light_handle* second = nullptr;
        const int status = acquire(name, &first);
        if (status != 0 || first == nullptr)
            return quoted(name) + " returned " + std::to_string(status);
        const int again = acquire(name, &second, &other);
        if (again != 0 || second == nullptr || second == first)
            return "a second " + quoted(name) + " gave no record of its own";
        const light_handle* handle = first;
        std::string wrong;
        if (handle->magic != LIGHT_HANDLE_MAGIC)
            wrong = "magic " + hex(handle->magic);
        else if (handle->revision != 0)
            wrong = "revision " + std::to_string(handle->revision);
        else if (handle->owner != module || second->owner != &other)
            wrong = "owner is not the module pointer passed in";
        else if (!in_module(reinterpret_cast<const void*>(handle->release)) ||
                 !in_module(reinterpret_cast<const void*>(handle->apply_state)))
            wrong = "release or apply_state does not point into the module";
        for (size_t i = 0; wrong.empty() && i < 12; ++i) {
            if (handle->spare[i] != 0)
                wrong = "spare[" + std::to_string(i) + "] is " + hex(handle->spare[i]);
        }
        const int released = first->release(first);
        second->release(second);
        if (!wrong.empty())
            return quoted(name) + ": " + wrong;
        if (released != 0)
            return quoted(name) + ": release returned " + std::to_string(released);
    }
    light_handle* handle = nullptr;
    if (acquire("battery", &handle) != 0)
        return "\"battery\" failed";
    const int null_release = handle->release(nullptr);
    handle->release(handle);
    if (null_release != 0)
        return "release(NULL) returned " + std::to_string(null_release);
    return "";
}

std::string acquire_others()
{
    const std::string long_name = "backlight" + std::string(4000, 'x');
    const char* const names[] = {
        "Backlight",    "BACKLIGHT", "Attention",       "backligh",   "backlightx", "keyboards",
        "notification", "battery\n", "backlight ",      " backlight", "back",       "b",
        "lights",       "",          long_name.c_str(),
    };
    light_handle* const untouched = reinterpret_cast<light_handle*>(0x1234);
    for (const char* name : names) {
        light_handle* handle = untouched;
        const int status = acquire(name, &handle);
        if (status != -EINVAL)
            return quoted(std::string(name).substr(0, 20)) + " returned " + std::to_string(status) +
                   ", not -22";
        if (handle != untouched)
            return quoted(std::string(name).substr(0, 20)) + " changed the output pointer";
    }
    light_handle* handle = untouched;
    const int status = acquire(nullptr, &handle);
    if (status != -EINVAL || handle != untouched)
        return "a null name returned " + std::to_string(status) +
               (handle != untouched ? " and changed the output pointer" : "");
    if (!take_log().empty())
        return "a rejected name was logged";
    return "";
}

long data_kib()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.compare(0, 7, "VmData:") == 0)
            return std::stol(line.substr(7));
    }
    return -1;
}

std::string acquire_churn()
{
    constexpr int cycles = 20000;
    auto churn = [](int count) {
        for (int i = 0; i < count; ++i) {
            light_handle* handle = nullptr;
            if (acquire(light_names[i % 6], &handle) != 0 || handle == nullptr)
                return false;
            handle->release(handle);
        }
        return true;
    };
    if (!churn(600))
        return "an acquire failed";
    const long before = data_kib();
    if (!churn(cycles))
        return "an acquire failed";
    const long grown = data_kib() - before;
    /* A handle is 68 bytes: a record kept per cycle would take over a MiB. */
    if (before < 0 || grown > 64)
        return "the process's data grew by " + std::to_string(grown) + " KiB over " +
               std::to_string(cycles) + " acquire/release cycles";
    return "";
}

std::string passive_lights()
{
    if (std::string why = fresh_backlight(); !why.empty())
        return why;
    const uint32_t colours[] = {0x00000000u, 0xFFFFFFFFu, 0x80FF0000u, 0x0000FF00u, 0x123456u};
    for (size_t i = 1; i < 6; ++i) {
        light_handle* handle = nullptr;
        if (acquire(light_names[i], &handle) != 0)
            return quoted(light_names[i]) + " cannot be acquired";
        std::string wrong;
        for (const uint32_t argb : colours) {
            if (const int status = apply(handle, argb); status != 0 && wrong.empty())
                wrong = "apply " + hex(argb) + " returned " + std::to_string(status);
        }
        if (const int status = handle->apply_state(handle, nullptr); status != 0 && wrong.empty())
            wrong = "a null request returned " + std::to_string(status);
        handle->release(handle);
        if (!wrong.empty())
            return quoted(light_names[i]) + ": " + wrong;
    }
    if (const std::vector<int> levels = backlight_backend::take_levels(); !levels.empty())
        return "the driver was told " + levels_text(levels);
    if (const std::vector<log_line> lines = take_log(); !lines.empty())
        return "logged " + quoted(lines[0].text);
    return "";
}

/* ---- Backlight, read back from the driver. */

/* Applies one colour: "" when the driver was told exactly `level`. */
std::string applies_level(light_handle* handle, uint32_t argb, int level)
{
    const int status = apply(handle, argb);
    const std::vector<int> told = backlight_backend::take_levels();
    if (status != 0)
        return hex(argb) + " returned " + std::to_string(status);
    if (told != std::vector<int>{level})
        return hex(argb) + ": the driver was told " + levels_text(told) + ", not [" +
               std::to_string(level) + "]";
    return "";
}

std::string backlight_greys()
{
    if (std::string why = fresh_backlight(); !why.empty())
        return why;
    backlight light;
    if (!light.ok())
        return light.why();
    for (unsigned value = 0; value < 256; ++value) {
        if (std::string wrong =
                applies_level(light.handle, grey(value), expected_level(grey(value)));
            !wrong.empty())
            return "grey " + std::to_string(value) + ": " + wrong;
    }
    return "";
}

std::string backlight_colours()
{
    if (std::string why = fresh_backlight(); !why.empty())
        return why;
    backlight light;
    if (!light.ok())
        return light.why();
    for (const auto& threshold : lights_test::level_thresholds) {
        const unsigned luma = static_cast<unsigned>(threshold[0]);
        if (std::string wrong = applies_level(light.handle, grey(luma), threshold[1]);
            !wrong.empty())
            return "threshold luma " + std::to_string(luma) + ": " + wrong;
        if (std::string wrong = applies_level(light.handle, grey(luma - 1), threshold[1] - 1);
            !wrong.empty())
            return "below threshold luma " + std::to_string(luma) + ": " + wrong;
    }
    for (const auto& colour : lights_test::weighted_colours) {
        if (std::string wrong = applies_level(light.handle, colour[0], static_cast<int>(colour[1]));
            !wrong.empty())
            return "weights: " + wrong;
    }
    const uint32_t alpha_cases[][2] = {{0x00FFFFFFu, 45}, {0xFFFFFFFFu, 45}, {0xFF000000u, 0},
                                       {0x00000000u, 0},  {0x7F808080u, 22}, {0x01FF0000u, 13}};
    for (const auto& colour : alpha_cases) {
        if (std::string wrong = applies_level(light.handle, colour[0], static_cast<int>(colour[1]));
            !wrong.empty())
            return "alpha: " + wrong;
    }
    /* Colours mixing all three weights, against the formula. */
    uint32_t colour = 2026;
    for (int i = 0; i < 64; ++i) {
        colour = colour * 1103515245u + 12345u;
        if (std::string wrong = applies_level(light.handle, colour, expected_level(colour));
            !wrong.empty())
            return "mixed: " + wrong;
    }
    return "";
}

std::string backlight_kernel()
{
    if (std::string why = fresh_backlight(); !why.empty())
        return why;
    backlight light;
    if (!light.ok())
        return light.why();
    for (const uint32_t argb : {0xFFFFFFFFu, 0xFF000000u, 0xFF808080u, 0xFF00FF00u}) {
        const int level = expected_level(argb);
        if (const int status = apply(light.handle, argb); status != 0)
            return hex(argb) + " returned " + std::to_string(status);
        const int brightness = pellix_driver::read_attribute("brightness");
        const int actual = pellix_driver::read_attribute("actual_brightness");
        if (brightness != level || actual != level)
            return hex(argb) + ": brightness " + std::to_string(brightness) +
                   ", actual_brightness " + std::to_string(actual) + ", not " +
                   std::to_string(level);
    }
    return "";
}

/* ---- The exact text written, to an observed file put in the attribute's
   place in a mount namespace of this clause's own. */

std::string observe_in_place_of_attribute(const char* observed)
{
    if (unshare(CLONE_NEWNS) != 0)
        return std::string("no mount namespace: ") + strerror(errno);
    /* Whatever the root's propagation, nothing mounted here leaves. */
    mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);
    if (mount(observed, backlight_backend::attribute_path, nullptr, MS_BIND, nullptr) != 0)
        return std::string("cannot bind over the attribute: ") + strerror(errno);
    return "";
}

/* What one write to the observed FIFO carried, and how the writer opened it. */
struct observed_write {
    std::string bytes;
    std::string flags; /* the writer's open flags, octal, from fdinfo */
};

std::mutex observed_mutex;
std::vector<observed_write> observed;

/* The open flags of another descriptor of this process on the inode. */
std::string writer_flags(int own_fd, ino_t inode)
{
    DIR* fds = opendir("/proc/self/fd");
    if (fds == nullptr)
        return "?";
    std::string flags = "?";
    while (const dirent* entry = readdir(fds)) {
        const int fd = static_cast<int>(strtol(entry->d_name, nullptr, 10));
        struct stat status;
        if (entry->d_name[0] == '.' || fd == own_fd || fd == dirfd(fds) ||
            fstat(fd, &status) != 0 || status.st_ino != inode || !S_ISFIFO(status.st_mode))
            continue;
        std::ifstream info("/proc/self/fdinfo/" + std::string(entry->d_name));
        for (std::string line; std::getline(info, line);) {
            if (line.compare(0, 6, "flags:") == 0)
                flags = line.substr(line.find_first_not_of(" \t", 6));
        }
    }
    closedir(fds);
    return flags;
}

/* The reader runs at real-time priority on the device's one core: woken by
   a write, it takes that write's bytes before the writer goes on, so each
   write is read on its own, while the writer still holds the FIFO open. */
void* read_observed(void* argument)
{
    const int fd = *static_cast<int*>(argument);
    struct stat status;
    fstat(fd, &status);
    for (;;) {
        char bytes[256];
        const ssize_t length = read(fd, bytes, sizeof bytes);
        if (length <= 0)
            continue;
        observed_write write = {std::string(bytes, static_cast<size_t>(length)),
                                writer_flags(fd, status.st_ino)};
        std::lock_guard<std::mutex> hold(observed_mutex);
        observed.push_back(write);
    }
    return nullptr;
}

std::string text_one_write()
{
    const char fifo[] = "/work/observed-attribute";
    if (std::string why = fresh_backlight(); !why.empty())
        return why;
    if (mkfifo(fifo, 0666) != 0)
        return std::string("no FIFO: ") + strerror(errno);
    if (std::string why = observe_in_place_of_attribute(fifo); !why.empty())
        return why;
    static int fd = open(fifo, O_RDWR | O_CLOEXEC);
    pthread_attr_t attributes;
    sched_param priority = {};
    priority.sched_priority = sched_get_priority_max(SCHED_FIFO);
    pthread_attr_init(&attributes);
    pthread_attr_setinheritsched(&attributes, PTHREAD_EXPLICIT_SCHED);
    pthread_attr_setschedpolicy(&attributes, SCHED_FIFO);
    pthread_attr_setschedparam(&attributes, &priority);
    pthread_t reader;
    if (fd < 0 || pthread_create(&reader, &attributes, read_observed, &fd) != 0)
        return "cannot read the observed FIFO";

    backlight light;
    if (!light.ok())
        return light.why();
    for (const uint32_t argb : {0xFFFFFFFFu, 0xFF000000u, 0xFF808080u, 0xFF0000FFu, 0xFF808080u}) {
        const int status = apply(light.handle, argb);
        within(1, [] {
            int pending = 0;
            return ioctl(fd, FIONREAD, &pending) != 0 || pending == 0;
        });
        std::vector<observed_write> writes;
        {
            std::lock_guard<std::mutex> hold(observed_mutex);
            writes.swap(observed);
        }
        const std::string want = std::to_string(expected_level(argb)) + "\n";
        if (status != 0)
            return hex(argb) + " returned " + std::to_string(status);
        std::string seen;
        for (const observed_write& write : writes)
            seen += (seen.empty() ? "" : ", ") + quoted(write.bytes);
        if (writes.size() != 1 || writes[0].bytes != want)
            return hex(argb) + ": " + std::to_string(writes.size()) + " write(s) [" + seen +
                   "], not one of " + quoted(want);
        const unsigned long flags = strtoul(writes[0].flags.c_str(), nullptr, 8);
        if ((flags & O_ACCMODE) != O_RDWR)
            return hex(argb) + ": the attribute was opened with flags " + writes[0].flags +
                   ", not for reading and writing";
        if ((flags & O_APPEND) != 0)
            return hex(argb) + ": the attribute was opened for appending";
    }
    return "";
}

std::string text_no_truncation()
{
    const char file[] = "/work/observed-attribute-file";
    const std::string filler = "##########\n";
    if (std::string why = fresh_backlight(); !why.empty())
        return why;
    {
        std::ofstream observed_file(file);
        observed_file << filler;
    }
    if (std::string why = observe_in_place_of_attribute(file); !why.empty())
        return why;
    backlight light;
    if (!light.ok())
        return light.why();
    std::string want = filler;
    for (const uint32_t argb : {0xFFFFFFFFu, 0xFF000000u, 0xFF0000FFu}) {
        const std::string text = std::to_string(expected_level(argb)) + "\n";
        want.replace(0, text.size(), text);
        if (const int status = apply(light.handle, argb); status != 0)
            return hex(argb) + " returned " + std::to_string(status);
        std::ifstream observed_file(file);
        std::stringstream content;
        content << observed_file.rdbuf();
        if (content.str() != want)
            return hex(argb) + ": the file holds " + quoted(content.str()) + ", not " +
                   quoted(want) + " (written from its start, never truncated)";
    }
    return "";
}

/* ---- Log. */

/* How a logged line differs from the one expected: tag "lights", then the
   priority, the format and the text; empty when it does not. */
std::string line_differs(const log_line& line, int priority, const std::string& format,
                         const std::string& text)
{
    if (line.tag != "lights")
        return "tag " + quoted(line.tag);
    if (line.priority != priority)
        return "priority " + std::to_string(line.priority) + ", not " + std::to_string(priority);
    if (line.format != format)
        return "format " + quoted(line.format) + ", not " + quoted(format);
    if (line.text != text)
        return "text " + quoted(line.text) + ", not " + quoted(text);
    return "";
}

std::string log_information()
{
    if (std::string why = fresh_backlight(); !why.empty())
        return why;
    backlight light;
    if (!light.ok())
        return light.why();
    if (const int status = apply(light.handle, 0xFF808080u); status != 0)
        return "0xFF808080 returned " + std::to_string(status);
    const std::vector<log_line> lines = take_log();
    if (lines.size() != 1)
        return std::to_string(lines.size()) + " lines for one request";
    return line_differs(lines[0], 4, info_format, info_text(22));
}

std::string log_warning()
{
    if (std::string why = fresh_backlight(); !why.empty())
        return why;
    backlight light;
    if (!light.ok())
        return light.why();
    if (!pellix_driver::unload())
        return "the driver cannot be unloaded";
    apply(light.handle, 0xFFFFFFFFu);
    const bool loaded = pellix_driver::load();
    std::vector<log_line> warnings;
    for (const log_line& line : take_log()) {
        if (line.format != info_format)
            warnings.push_back(line);
    }
    if (!loaded)
        return "the driver cannot be loaded again";
    if (warnings.size() != 1)
        return std::to_string(warnings.size()) + " warnings for a failed open";
    return line_differs(warnings[0], 6, warning_format, warning_text);
}

std::string log_per_request()
{
    if (std::string why = fresh_backlight(); !why.empty())
        return why;
    backlight light;
    if (!light.ok())
        return light.why();
    /* Served, refused by the hardware, and with no attribute at all. */
    std::vector<int> want;
    for (const uint32_t argb : {0xFFFFFFFFu, 0xFF808080u, 0xFF808080u, 0xFF000000u}) {
        apply(light.handle, argb);
        want.push_back(expected_level(argb));
    }
    if (pellix_driver::fail_next_update(EIO) != 0)
        return "the driver takes no fault";
    apply(light.handle, 0xFF0000FFu);
    want.push_back(4);
    if (!pellix_driver::unload())
        return "the driver cannot be unloaded";
    apply(light.handle, 0xFFFF0000u);
    want.push_back(13);
    if (!pellix_driver::load())
        return "the driver cannot be loaded again";
    std::vector<int> logged;
    for (const log_line& line : take_log()) {
        if (logged_level(line) >= 0)
            logged.push_back(logged_level(line));
    }
    if (logged != want)
        return "logged levels " + levels_text(logged) + " for requests of " + levels_text(want);
    return "";
}

/* ---- Faults from the real kernel. */

std::string fault_unloaded()
{
    if (std::string why = fresh_backlight(); !why.empty())
        return why;
    backlight light;
    if (!light.ok())
        return light.why();
    if (!pellix_driver::unload())
        return "the driver cannot be unloaded";
    int results[3];
    for (int& result : results)
        result = apply(light.handle, 0xFFFFFFFFu);
    const bool loaded = pellix_driver::load();
    size_t warnings = 0;
    for (const log_line& line : take_log())
        warnings += line.priority == 6;
    if (!loaded)
        return "the driver cannot be loaded again";
    for (const int result : results) {
        if (result != -ENOENT)
            return "with the driver unloaded apply returned " + std::to_string(result) + ", not -2";
    }
    if (warnings != 1)
        return std::to_string(warnings) + " warnings for three failed opens, not one in all";
    if (std::string wrong = applies_level(light.handle, 0xFFFFFFFFu, 45); !wrong.empty())
        return "after reloading: " + wrong;
    pellix_driver::unload();
    const int again = apply(light.handle, 0xFFFFFFFFu);
    pellix_driver::load();
    size_t later = 0;
    for (const log_line& line : take_log())
        later += line.priority == 6;
    if (again != -ENOENT || later != 0)
        return "unloaded once more: apply returned " + std::to_string(again) + " with " +
               std::to_string(later) + " warning(s), not -2 with none";
    return "";
}

std::string fault_driver_error()
{
    if (std::string why = fresh_backlight(); !why.empty())
        return why;
    backlight light;
    if (!light.ok())
        return light.why();
    for (const int error : {ETIMEDOUT, EIO, EBUSY}) {
        if (pellix_driver::fail_next_update(error) != 0)
            return "the driver takes no fault";
        if (const int status = apply(light.handle, 0xFF808080u); status != -error)
            return "the driver failed with -" + std::to_string(error) + ", apply returned " +
                   std::to_string(status);
    }
    if (std::string wrong = applies_level(light.handle, 0xFF808080u, 22); !wrong.empty())
        return "after the errors: " + wrong;
    return "";
}

std::string fault_permission()
{
    if (std::string why = fresh_backlight(); !why.empty())
        return why;
    fflush(nullptr);
    const pid_t child = fork();
    if (child < 0)
        return "fork failed";
    if (child == 0) {
        if (setuid(65534) != 0)
            _exit(100);
        light_handle* handle = nullptr;
        if (acquire("backlight", &handle) != 0)
            _exit(101);
        const int status = apply(handle, 0xFFFFFFFFu);
        _exit(status == -EACCES ? 0 : status < 0 && -status < 100 ? -status : 102);
    }
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status))
        return "as uid 65534 the request ended by signal " + std::to_string(WTERMSIG(status));
    switch (WEXITSTATUS(status)) {
    case 0:
        break;
    case 100:
        return "cannot become uid 65534";
    case 101:
        return "as uid 65534 \"backlight\" cannot be acquired";
    case 102:
        return "as uid 65534 apply did not fail, or failed with no errno";
    default:
        return "as uid 65534 apply returned -" + std::to_string(WEXITSTATUS(status)) + ", not -13";
    }
    if (const std::vector<int> levels = backlight_backend::take_levels(); !levels.empty())
        return "the refused request reached the driver: " + levels_text(levels);
    return "";
}

struct cancelled_request {
    light_handle* handle;
    std::atomic<pid_t> thread{0};
};

void* request_then_cancel_point(void* argument)
{
    auto* request = static_cast<cancelled_request*>(argument);
    request->thread = gettid();
    apply(request->handle, 0xFFFFFFFFu);
    pthread_testcancel();
    return nullptr;
}

/* The scheduler state of a thread of this process ('R', 'S', 'D', ...). */
char thread_state(pid_t thread)
{
    std::ifstream stat("/proc/self/task/" + std::to_string(thread) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t end = text.rfind(')');
    return end != std::string::npos && end + 2 < text.size() ? text[end + 2] : '?';
}

std::string fault_cancelled()
{
    if (std::string why = fresh_backlight(); !why.empty())
        return why;
    backlight light;
    if (!light.ok())
        return light.why();
    const int descriptors = open_descriptors();
    /* The hardware update takes half a second; the driver holds the writer
       in it, uninterruptibly, and that is where the request is cancelled. */
    if (!pellix_driver::stall_next_update(500))
        return "the driver takes no stall";
    cancelled_request request{light.handle};
    pthread_t thread;
    if (pthread_create(&thread, nullptr, request_then_cancel_point, &request) != 0)
        return "no thread";
    if (!within(5,
                [&request] { return request.thread != 0 && thread_state(request.thread) == 'D'; }))
        return "the request never reached the driver";
    pthread_cancel(thread);
    pthread_join(thread, nullptr);

    /* The next request on another thread: it must be served, so nothing of
       the cancelled one is held. A request that hangs is left behind. */
    struct outcome {
        std::atomic<int> result{1};
        std::atomic<bool> done{false};
    };
    const auto next = std::make_shared<outcome>();
    light_handle* const handle = light.handle;
    std::thread([next, handle] {
        next->result = apply(handle, 0xFF808080u);
        next->done = true;
    }).detach();
    if (!within(10, [&next] { return next->done.load(); })) {
        light.status = -1; /* the hanging request still has it */
        return "the next request did not return within 10 s: the cancelled one left the lock "
               "held";
    }
    const int result = next->result;
    const std::vector<int> levels = backlight_backend::take_levels();
    if (result != 0)
        return "the next request returned " + std::to_string(result);
    if (levels.empty() || levels.back() != 22)
        return "the next request did not reach the driver: " + levels_text(levels);
    if (const int now = open_descriptors(); now != descriptors)
        return std::to_string(now - descriptors) + " descriptor(s) left open";
    return "";
}

/* ---- Concurrency. */

std::string concurrency()
{
    if (std::string why = fresh_backlight(); !why.empty())
        return why;
    constexpr int threads = 4;
    constexpr int requests = 60;
    std::atomic<int> failures{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> workers;
    workers.reserve(threads);
    for (int index = 0; index < threads; ++index) {
        workers.emplace_back([&, index] {
            light_handle* handles[2] = {};
            for (light_handle*& handle : handles)
                failures += acquire("backlight", &handle) != 0;
            while (!go)
                std::this_thread::yield();
            uint32_t colour = static_cast<uint32_t>(index) * 7919u;
            for (int i = 0; i < requests && handles[0] && handles[1]; ++i) {
                colour = colour * 1103515245u + 12345u;
                failures += apply(handles[i % 2], colour) != 0;
            }
            for (light_handle* handle : handles) {
                if (handle != nullptr)
                    handle->release(handle);
            }
        });
    }
    go = true;
    for (std::thread& worker : workers)
        worker.join();
    const std::vector<int> told = backlight_backend::take_levels();
    std::vector<int> logged;
    for (const log_line& line : take_log())
        logged.push_back(logged_level(line));
    if (failures != 0)
        return std::to_string(failures.load()) + " acquires or requests failed";
    if (told.size() != size_t{threads} * requests)
        return "the driver was told " + std::to_string(told.size()) + " levels for " +
               std::to_string(threads * requests) + " requests";
    if (told != logged) {
        size_t at = 0;
        while (at < told.size() && at < logged.size() && told[at] == logged[at])
            ++at;
        return "the driver's order and the log's part at request " + std::to_string(at + 1) +
               ": driver " +
               levels_text(std::vector<int>(told.begin() + static_cast<long>(at), told.end())) +
               ", log " +
               levels_text(std::vector<int>(logged.begin() + static_cast<long>(at), logged.end()));
    }
    return "";
}

/* ---- Running the clauses. */

struct clause {
    const char* id;
    std::string (*run)();
    unsigned seconds; /* a clause still running after this long fails */
};

const clause clauses[] = {
    {"record.identity", record_identity, 10},
    {"record.entries", record_entries, 10},
    {"record.layout", record_layout, 10},
    {"acquire.lights", acquire_lights, 10},
    {"acquire.others", acquire_others, 10},
    {"acquire.churn", acquire_churn, 60},
    {"acquire.passive", passive_lights, 10},
    {"backlight.greys", backlight_greys, 60},
    {"backlight.colours", backlight_colours, 60},
    {"backlight.kernel", backlight_kernel, 10},
    {"text.write", text_one_write, 20},
    {"text.open", text_no_truncation, 20},
    {"log.information", log_information, 10},
    {"log.warning", log_warning, 10},
    {"log.per-request", log_per_request, 10},
    {"fault.unloaded", fault_unloaded, 10},
    {"fault.driver-error", fault_driver_error, 10},
    {"fault.permission", fault_permission, 10},
    {"fault.cancel", fault_cancelled, 30},
    {"concurrency.order", concurrency, 60},
};

void report(const char* id, const std::string& evidence)
{
    if (evidence.empty()) {
        printf("clause\t%s\tpass\n", id);
    } else {
        std::string line = evidence;
        for (char& c : line) {
            if (c == '\t' || c == '\n')
                c = ' ';
        }
        printf("clause\t%s\tfail\t%s\n", id, line.c_str());
    }
    fflush(stdout);
}

/* Runs one clause in a child process; returns the signal that ended it
   without a result, 0 otherwise. The child reports for itself. */
int run_in_child(const clause& one, std::string* evidence)
{
    fflush(nullptr);
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
        *evidence = "no pipe";
        return 0;
    }
    const pid_t child = fork();
    if (child == 0) {
        close(pipe_fds[0]);
        alarm(one.seconds);
        std::string result = one.run();
        result = (result.empty() ? "pass\n" : "fail\t" + result);
        if (write(pipe_fds[1], result.data(), result.size()) < 0)
            _exit(1);
        _exit(0);
    }
    close(pipe_fds[1]);
    std::string answer;
    char buffer[512];
    for (ssize_t got; (got = read(pipe_fds[0], buffer, sizeof buffer)) > 0;)
        answer.append(buffer, static_cast<size_t>(got));
    close(pipe_fds[0]);
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child) {
        *evidence = "the clause's process could not be started";
        return 0;
    }
    if (answer.compare(0, 4, "pass") == 0) {
        evidence->clear();
    } else if (answer.compare(0, 5, "fail\t") == 0) {
        *evidence = answer.substr(5);
    } else if (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM) {
        *evidence = "did not finish within " + std::to_string(one.seconds) + " s";
    } else if (WIFSIGNALED(status)) {
        *evidence = "the module ended the process with signal " + std::to_string(WTERMSIG(status)) +
                    " (" + strsignal(WTERMSIG(status)) + ")";
        return WTERMSIG(status);
    } else {
        *evidence = "the clause's process exited with status " +
                    std::to_string(WEXITSTATUS(status)) + " and no result";
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    bool keep_going = false;
    int arg = 1;
    if (arg < argc && strcmp(argv[arg], "--keep-going") == 0) {
        keep_going = true;
        ++arg;
    }
    if (argc - arg != 1) {
        fprintf(stderr, "usage: lights-conformance-probe [--keep-going] MODULE.so\n");
        return 2;
    }

    void* library = dlopen(argv[arg], RTLD_NOW | RTLD_LOCAL);
    const char* why_not = library == nullptr ? dlerror() : nullptr;
    if (library != nullptr) {
        module = static_cast<module_record*>(dlsym(library, "HMI"));
        Dl_info info;
        if (module != nullptr && dladdr(module, &info) != 0)
            module_base = info.dli_fbase;
        else
            why_not = "the module exports no HMI";
    }

    /* A clause that reached an instruction the CPU lacks fails here; the
       verdict on the instruction set comes last, from every clause run. */
    std::string illegal;
    size_t ran = 0;
    for (const clause& one : clauses) {
        ++ran;
        std::string evidence = why_not != nullptr ? std::string("cannot load: ") + why_not : "";
        if (why_not == nullptr && run_in_child(one, &evidence) == SIGILL)
            illegal += (illegal.empty() ? "" : ", ") + std::string(one.id);
        report(one.id, evidence);
        if (!evidence.empty() && !keep_going)
            break;
    }
    if (!illegal.empty())
        report("binary.armv5te", "an instruction newer than ARMv5TE was reached in " + illegal);
    else if (why_not != nullptr)
        report("binary.armv5te", std::string("cannot load: ") + why_not);
    else if (ran == sizeof clauses / sizeof clauses[0])
        report("binary.armv5te", "");
    return 0;
}
