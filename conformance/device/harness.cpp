// SPDX-License-Identifier: Apache-2.0
/*
 * The clauses' harness: the clause list, the module under qualification,
 * the log library as the module sees it, the driver as the kit reads it,
 * and the one run of one clause in the process the judge forked for it.
 *
 * The judge's program is the module's log library as far as the module can
 * tell: it exports __kelvo_log_print, which the dynamic linker finds in the
 * program before any library, and the clause's process keeps every line.
 */
#include "harness.h"
#include "judge_protocol.h"
#include "result_page.h"

#include "backlight_backend.h"

#include <dlfcn.h>
#include <dirent.h>
#include <errno.h>
#include <link.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <exception>
#include <mutex>

namespace kit
{

namespace
{

struct clause_failed {
    std::string evidence;
};
struct kit_failed {
    std::string why;
};

std::vector<clause>& registry()
{
    static std::vector<clause> list;
    return list;
}

/* The areas in the order they run. */
const char* const areas[] = {"record", "load", "acquire", "backlight",
                             "text",   "log",  "fault",   "concurrency"};

size_t area_of(const char* id)
{
    const size_t length = strcspn(id, ".");
    for (size_t i = 0; i < sizeof areas / sizeof areas[0]; ++i) {
        if (strlen(areas[i]) == length && strncmp(areas[i], id, length) == 0)
            return i;
    }
    return sizeof areas / sizeof areas[0];
}

double time_scale = 1;
void* module_base;
light_handle* fixture_handle;

std::mutex log_mutex;
std::vector<log_line> log_lines;
bool watching_driver;
std::vector<int> told_so_far; /* taken from the driver by the log function */

} // namespace

registration::registration(const clause& one)
{
    std::vector<clause>& list = registry();
    /* Stable: within an area, the order of declaration. */
    const auto after =
        std::upper_bound(list.begin(), list.end(), one, [](const clause& a, const clause& b) {
            return area_of(a.id) < area_of(b.id);
        });
    list.insert(after, one);
}

const std::vector<clause>& clauses()
{
    return registry();
}

void fail(const std::string& evidence)
{
    throw clause_failed{evidence};
}

void kit_failure(const std::string& why)
{
    throw kit_failed{why};
}

double scaled(double seconds)
{
    return seconds * time_scale;
}

std::string shown(const std::string& text)
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

std::string shown(const char* text)
{
    return text == nullptr ? "null" : shown(std::string(text));
}

std::string shown(int value)
{
    return std::to_string(value);
}

std::string shown(const std::vector<int>& levels)
{
    std::string text = "[";
    for (size_t i = 0; i < levels.size() && i < 8; ++i)
        text += (i > 0 ? " " : "") + std::to_string(levels[i]);
    return text + (levels.size() > 8 ? " ...]" : "]");
}

std::string hex(uint32_t value)
{
    char text[16];
    snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

/* ---- The module. */

module_record* module;

bool in_module(const void* address)
{
    Dl_info info;
    return address != nullptr && dladdr(address, &info) != 0 && info.dli_fbase == module_base;
}

int acquire(const char* name, light_handle** handle, const module_record* owner)
{
    return module->entry_table->open_entry(owner != nullptr ? owner : module, name, handle);
}

int apply(light_handle* handle, uint32_t argb)
{
    const light_request request = {argb};
    return handle->apply_state(handle, &request);
}

/* ---- The log. */

const char request_format[] = LUMIVANE_LOG_REQUEST_FORMAT;
const char warning_format[] = LUMIVANE_LOG_OPEN_WARNING_FORMAT;

std::string request_text(int level)
{
    char text[64];
    snprintf(text, sizeof text, LUMIVANE_LOG_REQUEST_FORMAT, level);
    return text;
}

std::string warning_text()
{
    char text[128];
    snprintf(text, sizeof text, LUMIVANE_LOG_OPEN_WARNING_FORMAT, LUMIVANE_BRIGHTNESS_PATH);
    return text;
}

std::vector<log_line> take_log()
{
    std::lock_guard<std::mutex> hold(log_mutex);
    std::vector<log_line> lines;
    lines.swap(log_lines);
    return lines;
}

void watch_driver(bool on)
{
    std::lock_guard<std::mutex> hold(log_mutex);
    watching_driver = on;
}

int logged_level(const log_line& line)
{
    const std::string prefix = request_text(0).substr(0, request_text(0).size() - 2);
    if (line.text.compare(0, prefix.size(), prefix) != 0)
        return -1;
    char* end = nullptr;
    const long level = strtol(line.text.c_str() + prefix.size(), &end, 10);
    return strcmp(end, "\n") == 0 && level >= 0 && level <= 1000 ? static_cast<int>(level) : -1;
}

void same_line(const std::string& what, const log_line& line, int priority,
               const std::string& format, const std::string& text)
{
    same(what + " tag", line.tag, std::string(LUMIVANE_LOG_TAG));
    same(what + " priority", line.priority, priority);
    same(what + " format", line.format, format);
    same(what + " text", line.text, text);
}

/* ---- The driver. */

std::vector<int> take_told()
{
    std::lock_guard<std::mutex> hold(log_mutex);
    std::vector<int> told;
    told.swap(told_so_far);
    for (const int level : backlight_backend::take_levels())
        told.push_back(level);
    return told;
}

void fresh_backlight()
{
    if (!backlight_backend::reset())
        kit_failure("the driver cannot be reset: " + std::string(strerror(errno)));
    take_told();
    take_log();
}

light_handle* open_backlight()
{
    fresh_backlight();
    light_handle* handle = nullptr;
    const int status = acquire("backlight", &handle);
    if (status != 0 || handle == nullptr)
        fail("acquiring \"backlight\" returned " + std::to_string(status));
    fixture_handle = handle;
    return handle;
}

void abandon_backlight()
{
    fixture_handle = nullptr;
}

void applies_level(const std::string& what, light_handle* handle, uint32_t argb, int level)
{
    const int status = apply(handle, argb);
    const std::vector<int> told = take_told();
    same(what + hex(argb) + " returned", status, 0);
    same(what + hex(argb) + ": the driver was told", told, std::vector<int>{level});
}

void applies_levels(const std::string& what, light_handle* handle,
                    const std::vector<uint32_t>& colours, const std::vector<int>& levels)
{
    for (const uint32_t argb : colours)
        same(what + hex(argb) + " returned", apply(handle, argb), 0);
    const std::vector<int> told = take_told();
    size_t at = 0;
    while (at < told.size() && at < levels.size() && told[at] == levels[at])
        ++at;
    if (at < told.size() || at < levels.size())
        fail(what + (at < colours.size() ? hex(colours[at]) : "after the last request") +
             ": the driver was told " +
             shown(std::vector<int>(told.begin() + static_cast<long>(std::min(at, told.size())),
                                    told.end())) +
             ", not " +
             shown(std::vector<int>(levels.begin() + static_cast<long>(at), levels.end())));
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

} // namespace kit

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
        std::lock_guard<std::mutex> hold(kit::log_mutex);
        kit::log_line line = {priority,
                              tag != nullptr ? tag : "(null)",
                              format != nullptr ? format : "(null)",
                              text,
                              {}};
        if (kit::watching_driver) {
            for (const int level : backlight_backend::take_levels())
                kit::told_so_far.push_back(level);
            line.told_before = kit::told_so_far;
        }
        kit::log_lines.push_back(line);
    }
    errno = saved_errno;
    return static_cast<int>(strlen(text));
}

namespace
{

void seal(kit::result_page* page, kit::outcome outcome, const std::string& evidence)
{
    snprintf(page->evidence, sizeof page->evidence, "%s", evidence.c_str());
    page->outcome = outcome;
    __atomic_store_n(&page->stage, kit::stage_done, __ATOMIC_SEQ_CST);
}

/* Loads the module: "" or why it cannot be loaded. */
std::string load(const char* path)
{
    /* By its full path, which the C library's list of loaded objects keeps:
       a debugger attached to the clause's process finds the module there. */
    char* full = realpath(path, nullptr);
    void* library = dlopen(full != nullptr ? full : path, RTLD_NOW | RTLD_LOCAL);
    free(full);
    if (library == nullptr) {
        const char* why = dlerror();
        return why != nullptr ? why : "dlopen failed";
    }
    kit::module = static_cast<module_record*>(dlsym(library, "HMI"));
    Dl_info info;
    if (kit::module == nullptr || dladdr(kit::module, &info) == 0)
        return "the module exports no HMI";
    kit::module_base = info.dli_fbase;
    return "";
}

} // namespace

namespace kit
{

void list_clauses(FILE* out)
{
    for (const clause& one : clauses()) {
        std::string fields[JUDGE_LIST_FIELDS];
        fields[JUDGE_LIST_FIELD_ID] = one.id;
        fields[JUDGE_LIST_FIELD_KIND] =
            one.rests_on == kind::contract ? JUDGE_KIND_CONTRACT : JUDGE_KIND_POLICY;
        fields[JUDGE_LIST_FIELD_SECONDS] = std::to_string(one.seconds);
        fields[JUDGE_LIST_FIELD_TITLE] = one.title;
        std::string line = fields[0];
        for (size_t i = 1; i < JUDGE_LIST_FIELDS; ++i)
            line += JUDGE_SEPARATOR + fields[i];
        fprintf(out, "%s\n", line.c_str());
    }
}

/* TracerPid in /proc/self/status: who traces this process, 0 for none. */
static int tracer()
{
    FILE* status = fopen("/proc/self/status", "re");
    if (status == nullptr)
        return 0;
    static const char field[] = "TracerPid:";
    char line[256];
    long pid = 0;
    while (fgets(line, sizeof line, status) != nullptr) {
        if (strncmp(line, field, sizeof field - 1) == 0) {
            pid = strtol(line + sizeof field - 1, nullptr, 10);
            break;
        }
    }
    fclose(status);
    return static_cast<int>(pid);
}

void await_debugger()
{
    /* gdbserver's attach stops the process in this loop; the supplier's
       continue leaves it into the clause. */
    while (tracer() == 0)
        usleep(10000);
}

void run_clause(const clause& one, const char* path, double scale, result_page* page, bool debugged)
{
    time_scale = scale;
    __atomic_store_n(&page->stage, stage_started, __ATOMIC_SEQ_CST);
    if (one.before_load != nullptr) {
        try {
            one.before_load();
        } catch (const kit_failed& failed) {
            seal(page, outcome_could_not_run, failed.why);
            _exit(0);
        }
    }
    const std::string why_not = load(path);
    __atomic_store_n(&page->stage, stage_loaded, __ATOMIC_SEQ_CST);
    if (!why_not.empty()) {
        seal(page, outcome_fail, "cannot load: " + why_not);
        _exit(0);
    }
    if (debugged) {
        __atomic_store_n(&page->stage, stage_awaiting_debugger, __ATOMIC_SEQ_CST);
        await_debugger();
        __atomic_store_n(&page->stage, stage_loaded, __ATOMIC_SEQ_CST);
    }
    try {
        one.run();
        if (fixture_handle != nullptr)
            fixture_handle->release(fixture_handle);
        seal(page, outcome_pass, "");
    } catch (const clause_failed& failed) {
        seal(page, outcome_fail, failed.evidence);
    } catch (const kit_failed& failed) {
        seal(page, outcome_could_not_run, failed.why);
    } catch (const std::exception& error) {
        seal(page, outcome_could_not_run, std::string("the kit's own error: ") + error.what());
    }
    /* No exit handler or destructor of the module runs here. */
    _exit(0);
}

} // namespace kit
