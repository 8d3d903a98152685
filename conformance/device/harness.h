/* SPDX-License-Identifier: Apache-2.0 */
/*
 * What every clause of lights-conformance-clause shares: the clause list,
 * the module under qualification, the log library as the module sees it,
 * the driver's record as the kit reads it, the fixture that opens the
 * backlight, and the one way evidence is worded ("SEEN, not WANT").
 *
 * A clause is declared once, beside its code:
 *
 *     CLAUSE(log_information, "log.information", contract, 10, "the request line: ...")
 *     {
 *         ...
 *     }
 *
 * It passes by returning; fail(...) and same(...) end it as failed with
 * their evidence; kit_failure(...) ends it as one the kit could not run
 * (its own set-up failed, not the module).
 */
#ifndef LIGHTS_CONFORMANCE_HARNESS_H
#define LIGHTS_CONFORMANCE_HARNESS_H

#include "lumivane_records.h"

#include <stdint.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace kit
{

/* What a clause rests on: the module's contract, or a policy of this
   platform beyond it. */
enum class kind { contract, policy };

struct clause {
    const char* id; /* AREA.NAME */
    kind rests_on;
    unsigned seconds; /* a clause still running after this long fails */
    const char* title;
    void (*run)();
    /* Runs in the clause's process before the module is loaded, or null. */
    void (*before_load)() = nullptr;
};

/* Adds a clause to the list; the list runs area by area, in each area's
   order of declaration. */
struct registration {
    explicit registration(const clause& one);
};

const std::vector<clause>& clauses();

/* Prints the list, one clause a line: ID, contract|policy, SECONDS, TITLE,
   separated by tabs. */
void list_clauses(FILE* out);

struct result_page;
/* In the clause's own process: loads the module at `path`, runs the clause
   with its time limits scaled by `scale`, leaves the result on the page and
   ends the process with _exit. With `debugged`, it waits for a tracer
   (await_debugger) between the load and the clause's first call. */
[[noreturn]] void run_clause(const clause& one, const char* path, double scale, result_page* page,
                             bool debugged = false);

/* Waits until a debugger traces this process: the place a supplier's
   debugger finds it stopped, the module loaded and nothing of the clause
   run yet. */
void await_debugger();

#define CLAUSE(function, id, rests_on, seconds, title)                                             \
    static void function();                                                                        \
    static const kit::registration function##_registration{                                        \
        {id, kit::kind::rests_on, seconds, title, function}};                                      \
    static void function()

/* A clause whose process `prepare` readies before the module is loaded
   (kit_failure there ends it as one the kit could not run). */
#define CLAUSE_PREPARED(function, prepare, id, rests_on, seconds, title)                           \
    static void function();                                                                        \
    static const kit::registration function##_registration{                                        \
        {id, kit::kind::rests_on, seconds, title, function, prepare}};                             \
    static void function()

/* Ends the clause: failed, with this evidence. */
[[noreturn]] void fail(const std::string& evidence);
/* Ends the clause: the kit could not run it (its own set-up failed). */
[[noreturn]] void kit_failure(const std::string& why);

/* Shows a value in evidence: texts quoted as C writes them, lists of
   levels in brackets. */
std::string shown(const std::string& text);
std::string shown(const char* text);
std::string shown(int value);
std::string shown(const std::vector<int>& levels);
std::string hex(uint32_t value);

/* Fails the clause with "WHAT SEEN, not WANT" unless seen equals want. */
template <typename T>
void same(const std::string& what, const T& seen, const T& want)
{
    if (!(seen == want))
        fail(what + (what.empty() ? "" : " ") + shown(seen) + ", not " + shown(want));
}

/* ---- The module under qualification, loaded by the harness. */

extern module_record* module;

/* True when `address` lies in the module's own image. */
bool in_module(const void* address);

int acquire(const char* name, light_handle** handle, const module_record* owner = nullptr);
int apply(light_handle* handle, uint32_t argb);

/* ---- The log library, as the module sees it. */

struct log_line {
    int priority;
    std::string tag;
    std::string format;
    std::string text;
    /* With watch_driver(true): the levels the driver had been told in this
       clause when the line came. */
    std::vector<int> told_before;
};

std::vector<log_line> take_log();
/* While on, each line notes what the driver had been told at that moment. */
void watch_driver(bool on);

extern const char request_format[];
extern const char warning_format[];
std::string request_text(int level);
std::string warning_text();
/* The level a request line carries, or -1 for any other line. */
int logged_level(const log_line& line);
/* Fails the clause unless the line has the tag, priority, format and text. */
void same_line(const std::string& what, const log_line& line, int priority,
               const std::string& format, const std::string& text);

/* ---- The driver, as the kit reads it. */

/* The levels the driver was told since the last call, oldest first. */
std::vector<int> take_told();

/* A fresh backlight: the driver loaded, its record empty, no fault pending,
   nothing logged. The kit's own set-up: a failure is the kit's. */
void fresh_backlight();

/* The fixture most clauses open with: a fresh backlight and a handle for
   it, released when the clause ends. A module that refuses the handle
   fails the clause. */
light_handle* open_backlight();

/* Leaves the fixture's handle unreleased (a request still holds it). */
void abandon_backlight();

/* Applies one colour and fails unless it returns 0 and the driver was told
   exactly `level`. */
void applies_level(const std::string& what, light_handle* handle, uint32_t argb, int level);

/* Applies each colour in turn and fails unless each returns 0 and the
   driver was told exactly the levels wanted, in order; read back once. */
void applies_levels(const std::string& what, light_handle* handle,
                    const std::vector<uint32_t>& colours, const std::vector<int>& levels);

/* Polls `done` until it holds or `seconds` (scaled as every time limit of
   the kit) have passed; true if it held. A guard against a hang, never a
   measure of speed. */
double scaled(double seconds);
template <typename Condition>
bool within(double seconds, Condition done)
{
    timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    const double limit = scaled(seconds);
    while (!done()) {
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (static_cast<double>(now.tv_sec - start.tv_sec) +
                static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9 >
            limit)
            return false;
        usleep(1000);
    }
    return true;
}

int open_descriptors();

} // namespace kit

#endif
