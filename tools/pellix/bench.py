# SPDX-License-Identifier: Apache-2.0
"""bench: measures the request path against its floor and the footprint of
what ships, and prints one table of the figures. The same table, with the
date and the machine, goes to build/bench-table.md in Markdown.

Figures only: nothing here fails on a time. It exits non-zero only when a
measurement could not be made at all because something is broken (a
request failed, a run on the device failed); a figure that needs what this
machine lacks (root for the simulated backlight, a configuration not
built) shows as n/a with the reason.

Uses the build trees: build/host (request-bench, request-repeater),
build/armv5te (device-request-bench and handoff-bench, on the emulated
device; sizes) and build/i686 (sizes). `make bench` builds them first. The
system call count and the sizes come from the checkers the tests run
(pellix.syscalls, pellix.footprint, pellix.selftests), so a figure here is
the figure a test checks. The benchmarks' own figures are their lines
"figure: NAME VALUE".
"""

import io
import os
import subprocess
import sys
import time
from dataclasses import dataclass, field
from typing import Dict, List, Optional, Sequence, TextIO, Tuple

from pellix import footprint, report, selftests, syscalls, verdict

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
HOST = "build/host"
BENCH_LOG = "build/bench-request.log"
TABLE = "build/bench-table.md"
DEVICE = "out/armv5te/bin/pellix-device"
QEMU_ARM = ["qemu-arm", "-cpu", "arm926", "-L", "/usr/arm-linux-gnueabi"]
OUTPUT_BYTES = 10485760
SKIPPED = 77

Figures = Dict[str, str]


def figures_of(text: str, prefix: str = "") -> Figures:
    """The "figure: NAME VALUE" lines of TEXT by PREFIX + NAME; the first of a name counts."""
    found: Figures = {}
    for line in text.splitlines():
        if line.startswith("figure: "):
            name, _, value = line[len("figure: "):].partition(" ")
            found.setdefault(prefix + name, value)
    return found


def after(prefix: str, text: str) -> str:
    """The rest of TEXT's first line that starts with PREFIX, or ""."""
    return next((line[len(prefix):] for line in text.splitlines() if line.startswith(prefix)), "")


def last_line(text: str) -> str:
    lines = text.splitlines()
    return lines[-1] if lines else ""


def cache_tool(config: str, name: str, default: str) -> str:
    """The tool CMAKE_NAME the configuration's build uses, from its cache; DEFAULT without one."""
    try:
        with open(f"build/{config}/CMakeCache.txt") as handle:
            for line in handle:
                if line.startswith(f"CMAKE_{name}:FILEPATH="):
                    return line.split("=", 1)[1].rstrip("\n") or default
    except OSError:
        pass
    return default


def executable(path: str) -> bool:
    return os.path.isfile(path) and os.access(path, os.X_OK)


def run(command: Sequence[str]) -> Tuple[int, str]:
    """COMMAND's exit status and its output and errors together."""
    try:
        done = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    except OSError as error:
        return 127, f"cannot run {command[0]}: {error.strerror}"
    return done.returncode, done.stdout.decode(errors="replace")


@dataclass
class Bench:
    """What one run measured: figures by where they come from, notes of
    what could not be measured, and the exit status."""
    figures: Dict[str, Figures] = field(default_factory=dict)
    notes: List[str] = field(default_factory=list)
    status: int = 0
    say: TextIO = field(default_factory=lambda: sys.stdout)

    def value(self, source: str, name: str) -> str:
        return self.figures.get(source, {}).get(name, "n/a")

    def broken(self, note: str) -> None:
        self.notes.append(note)
        self.status = 1

    # --- Request cost against its floor.
    def request_cost(self) -> None:
        program = f"{HOST}/bench/request-bench"
        if not executable(program):
            self.notes.append(f"request cost: {program} is not built (Google Benchmark missing, "
                              "or the host configuration not built)")
            return
        self.say.write(f"bench: measuring the request and its floor, one thread and four (a few seconds; "
                       f"log in {BENCH_LOG})\n")
        self.say.flush()
        status, output = run([program])
        report.place(BENCH_LOG, output.encode())
        if status == 0:
            self.figures["request"] = figures_of(output)
        elif status == SKIPPED:
            self.notes.append(f"request cost: {after('request-bench: cannot run: ', output)}")
        else:
            self.broken(f"request cost: request-bench failed ({status}); see {BENCH_LOG}")

    # --- System calls per request.
    def system_calls(self) -> None:
        repeater, module = f"{HOST}/checks/request-repeater", f"{HOST}/lights/lumivane.so"
        if not executable(repeater) or not os.path.isfile(module):
            self.notes.append("system calls: the host configuration is not built")
            return
        self.say.write("bench: counting system calls per request\n")
        self.say.flush()
        try:
            status, checks = syscalls.run([repeater, module], io.StringIO(), output=subprocess.DEVNULL)
        except syscalls.Unavailable as unavailable:
            self.notes.append(f"system calls: {unavailable.reason}")
            return
        except verdict.CannotCheck as error:
            self.notes.append(f"system calls: count-syscalls: {error}")
            return
        self.figures["syscalls"] = checks.figures
        if status != 0:
            self.notes.append(f"system calls: the count's checks fail: {' '.join(checks.failure_lines)}")

    # --- The request on the emulated device, against its floor in the same boot.
    def device_request(self) -> None:
        program = "build/armv5te/bench/device-request-bench"
        if not executable(DEVICE) or not executable(program):
            self.notes.append("device request cost: the emulated device or its benchmark is not built (make)")
            return
        self.say.write("bench: measuring the request and its floor on the emulated device (one boot)\n")
        self.say.flush()
        status, output = run([DEVICE, program])
        self.figures["device"] = figures_of(output)
        if status != 0:
            self.broken(f"device request cost: the run failed ({status}): {last_line(output)}")

    # --- Thread hand-offs on the emulated device against user-mode
    # emulation, and the device's output throughput.
    def handoffs(self) -> None:
        program = "build/armv5te/bench/handoff-bench"
        if not executable(DEVICE) or not executable(program):
            return
        self.say.write("bench: measuring thread hand-offs on the emulated device and under qemu-arm\n")
        self.say.flush()
        for where, command in (("device", [DEVICE, program]), ("qemu-arm", [*QEMU_ARM, program])):
            status, output = run(command)
            self.figures[f"{where} hand-off"] = figures_of(output)
            if status != 0:
                self.broken(f"hand-off: the {where} run failed: {last_line(output)}")

    def output_time(self) -> None:
        program = "build/armv5te/platform/device/runner-test-program"
        if not executable(DEVICE) or not executable(program):
            return
        self.say.write("bench: timing 10 MiB of output through the emulated device, boot to power-off\n")
        self.say.flush()
        started = time.monotonic()
        through = subprocess.run([DEVICE, program, "emit", str(OUTPUT_BYTES)], stdin=subprocess.DEVNULL,
                                 stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout
        seconds = time.monotonic() - started
        direct = subprocess.run([*QEMU_ARM, program, "emit", str(OUTPUT_BYTES)], stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout
        if through == direct:
            self.figures["output"] = {"output_10mib_s": f"{seconds:.1f}"}
        else:
            self.broken("output: 10 MiB through the device did not arrive intact")

    # --- Sizes: what ships, measured by the footprint checks the tests run.
    def size(self, name: str, command: str, check: verdict.Run, argv: List[str]) -> None:
        try:
            status, checks = check(argv, io.StringIO())
        except verdict.CannotCheck as error:
            self.notes.append(f"sizes: {name} cannot be checked: {command}: {error}")
            return
        self.figures.setdefault("sizes", {}).update({f"{name}_{key}": value for key, value in checks.figures.items()})
        if status != 0:
            self.notes.append(f"sizes: a footprint check of {name} fails: {' '.join(checks.failure_lines)}")

    def sizes(self) -> None:
        self.say.write("bench: measuring sizes\n")
        self.say.flush()
        module = "build/armv5te/lights/lumivane.so"
        if os.path.isfile(module):
            self.size("module", "check-footprint", footprint.run,
                      ["--strip", cache_tool("armv5te", "STRIP", "arm-linux-gnueabi-strip"), module])
        for program in ("test_char_traits", "test_type_traits"):
            path = f"build/i686/tests/{program}"
            if os.path.isfile(path):
                reduced = ["--reduced"] if program == "test_type_traits" else []
                self.size(program, "check-self-tests", selftests.run,
                          [*reduced, "--strip", cache_tool("i686", "STRIP", "i686-linux-gnu-strip"), path])
        for config in ("armv5te", "i686"):
            if not os.path.isfile(f"build/{config}/CMakeCache.txt"):
                self.notes.append(f"sizes: the {config} configuration is not built")

    def rows(self) -> List[Tuple[str, str, str]]:
        """One row per figure: what, how much, against what."""
        value = self.value

        def unit(amount: str, name: str) -> str:
            return amount if amount == "n/a" else f"{amount} {name}"

        device_handoff, user_handoff = value("device hand-off", "handoff_ns"), value("qemu-arm hand-off", "handoff_ns")
        try:
            handoff_ratio = f"{float(device_handoff) / float(user_handoff):.2f}"
        except (ValueError, ZeroDivisionError):
            handoff_ratio = "n/a"
        detail = value("syscalls", "syscalls_detail")
        # "openat×1,write×1,close×2" as "openat, write, close×2".
        detail = "" if detail == "n/a" else ", ".join(item[:-len("×1")] if item.endswith("×1") else item
                                                      for item in detail.split(","))
        request = "request"
        return [
            ("Request: module apply, 1 thread", unit(value(request, "request_ns"), "ns"),
             "simulated backlight, log discarded"),
            ("Floor: open+write+close, 1 thread", unit(value(request, "floor_ns"), "ns"), "same bytes, same file"),
            ("Ratio request / floor, 1 thread", value(request, "ratio"), "target at most 1.10"),
            ("Request, 4 contending threads", unit(value(request, "request_ns_4_threads"), "ns"),
             "real time per request"),
            ("Floor, 4 threads under one lock", unit(value(request, "floor_ns_4_threads"), "ns"),
             "open+write+close under one process-wide mutex, as the module-wide lock allows"),
            ("Ratio request / floor, 4 threads", value(request, "ratio_4_threads"),
             f"target at most 1.10; against 4 free threads ({unit(value(request, 'free_floor_ns_4_threads'), 'ns')})"
             f": {value(request, 'free_ratio_4_threads')}"),
            ("Request on the emulated device", unit(value("device", "device_request_ns"), "ns"),
             "ARM926EJ-S under qemu-system-arm, kernel backlight class"),
            ("Floor on the emulated device", unit(value("device", "device_floor_ns"), "ns"),
             "open+write+close, same boot"),
            ("Ratio request / floor, device", value("device", "device_ratio"), ""),
            ("Thread hand-off on the device", unit(device_handoff, "ns"), "mutex and condition variable, median"),
            ("Thread hand-off under qemu-arm", unit(user_handoff, "ns"), "same program, user-mode emulation"),
            ("Ratio hand-off device / qemu-arm", handoff_ratio,
             "the emulation's floor, not the kernel's settings (docs/performance.md)"),
            ("10 MiB of output via pellix-device", unit(value("output", "output_10mib_s"), "s"),
             "boot to power-off, checked byte for byte"),
            ("System calls per request", value("syscalls", "syscalls_per_request"), detail),
            ("lumivane.so .text, armv5te", unit(value("sizes", "module_text_bytes"), "B"), "at most 1024 B"),
            ("lumivane.so stripped, armv5te", unit(value("sizes", "module_stripped_bytes"), "B"), "at most 6144 B"),
            ("test_char_traits stripped, i686", unit(value("sizes", "test_char_traits_stripped_bytes"), "B"), ""),
            ("test_type_traits stripped, i686", unit(value("sizes", "test_type_traits_stripped_bytes"), "B"), ""),
        ]


def console(rows: Sequence[Tuple[str, str, str]], stamp: str, notes: Sequence[str]) -> str:
    """The table as bench prints it."""
    lines = [f"{'Figure':<36}  {'Value':<12}  Note", f"{'------':<36}  {'-----':<12}  ----"]
    lines += [f"{what:<36}  {amount:<12}  {note}" for what, amount, note in rows]
    lines.append(f"({stamp})")
    lines += [f"n/a: {note}" for note in notes]
    return "\n".join(lines) + "\n"


def markdown(rows: Sequence[Tuple[str, str, str]], date: str, machine: str, notes: Sequence[str]) -> str:
    """The table as build/bench-table.md keeps it."""
    lines = [f"Measured {date} on {machine}.", "", "| Figure | Value | Note |", "| --- | ---: | --- |"]
    lines += [f"| {what} | {amount} | {note} |" for what, amount, note in rows]
    for note in notes:
        lines += ["", f"n/a: {note}"]
    return "\n".join(lines) + "\n"


def machine() -> str:
    """The CPU, the cores this process may use and the kernel."""
    cpu: Optional[str] = None
    try:
        with open("/proc/cpuinfo") as handle:
            cpu = next((line.split(":", 1)[1].strip() for line in handle if line.startswith("model name")), None)
    except OSError:
        pass
    return f"{cpu or 'unknown CPU'}, {len(os.sched_getaffinity(0))} cores, Linux {os.uname().release}"


def main(argv: Sequence[str]) -> int:
    """bench: every measurement, the table, and its Markdown in build/. It takes no arguments."""
    os.chdir(TOP)
    os.makedirs("build", exist_ok=True)
    bench = Bench()
    bench.request_cost()
    bench.system_calls()
    bench.device_request()
    bench.handoffs()
    bench.output_time()
    bench.sizes()
    rows = bench.rows()
    date = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())
    where = machine()
    sys.stdout.write("\n" + console(rows, f"{date}; {where}", bench.notes))
    report.place(TABLE, markdown(rows, date, where, bench.notes).encode())
    print(f"bench: table written to {TABLE}")
    return bench.status
