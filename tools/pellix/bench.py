# SPDX-License-Identifier: Apache-2.0
"""bench: measures the request path against its floor and the footprint of what ships, from the build
trees `make bench` builds first, and prints one table of the figures, kept with the date and the machine
in build/bench-table.md. Figures only: nothing fails on a time. It exits non-zero only when something is
broken (a request failed, a run on the device failed); a figure that needs what this machine lacks shows
as n/a with the reason. The system call count and the sizes come from the checkers the tests run, so a
figure here is the figure a test checks."""

import io
import os
import subprocess
import sys
import time
from dataclasses import dataclass, field
from typing import Dict, List, Sequence, Tuple

from pellix import footprint, report, selftests, syscalls, verdict

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
HOST = "build/host"
BENCH_LOG = "build/bench-request.log"
TABLE = "build/bench-table.md"
DEVICE = "out/armv5te/bin/pellix-device"
QEMU_ARM = ["qemu-arm", "-cpu", "arm926", "-L", "/usr/arm-linux-gnueabi"]
OUTPUT_BYTES = 10485760

# The table's rows: what, where its value comes from (a measurement and its figure), the value's unit and
# a note, in which {free_floor}, {free_ratio} and {detail} stand for figures shown there.
ROWS = [
    ("Request: module apply, 1 thread", "request", "request_ns", "ns", "simulated backlight, log discarded"),
    ("Floor: open+write+close, 1 thread", "request", "floor_ns", "ns", "same bytes, same file"),
    ("Ratio request / floor, 1 thread", "request", "ratio", "", "target at most 1.10"),
    ("Request, 4 contending threads", "request", "request_ns_4_threads", "ns", "real time per request"),
    ("Floor, 4 threads under one lock", "request", "floor_ns_4_threads", "ns",
     "open+write+close under one process-wide mutex, as the module-wide lock allows"),
    ("Ratio request / floor, 4 threads", "request", "ratio_4_threads", "",
     "target at most 1.10; against 4 free threads ({free_floor}): {free_ratio}"),
    ("Request on the emulated device", "device", "device_request_ns", "ns",
     "ARM926EJ-S under qemu-system-arm, kernel backlight class"),
    ("Floor on the emulated device", "device", "device_floor_ns", "ns", "open+write+close, same boot"),
    ("Ratio request / floor, device", "device", "device_ratio", "", ""),
    ("Thread hand-off on the device", "device hand-off", "handoff_ns", "ns", "mutex and condition variable, median"),
    ("Thread hand-off under qemu-arm", "qemu-arm hand-off", "handoff_ns", "ns", "same program, user-mode emulation"),
    ("Ratio hand-off device / qemu-arm", "hand-off", "ratio", "",
     "the emulation's floor, not the kernel's settings (docs/performance.md)"),
    ("10 MiB of output via pellix-device", "output", "output_10mib_s", "s", "boot to power-off, checked byte for byte"),
    ("System calls per request", "syscalls", "syscalls_per_request", "", "{detail}"),
    ("lumivane.so .text, armv5te", "sizes", "module_text_bytes", "B", "at most 1024 B"),
    ("lumivane.so stripped, armv5te", "sizes", "module_stripped_bytes", "B", "at most 6144 B"),
    ("test_char_traits stripped, i686", "sizes", "test_char_traits_stripped_bytes", "B", ""),
    ("test_type_traits stripped, i686", "sizes", "test_type_traits_stripped_bytes", "B", ""),
]

Figures = Dict[str, str]
Row = Tuple[str, str, str]


def figures_of(text: str) -> Figures:
    """The "figure: NAME VALUE" lines of TEXT by NAME; the first of a name counts."""
    found: Figures = {}
    for line in text.splitlines():
        if line.startswith("figure: "):
            name, _, value = line[len("figure: "):].partition(" ")
            found.setdefault(name, value)
    return found


def last_line(text: str) -> str:
    return (text.splitlines() or [""])[-1]


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


def built(*paths: str) -> bool:
    return all(os.path.isfile(path) and os.access(path, os.X_OK) for path in paths)


def run(command: Sequence[str]) -> Tuple[int, str]:
    """COMMAND's exit status and its output and errors together."""
    try:
        done = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    except OSError as error:
        return 127, f"cannot run {command[0]}: {error.strerror}"
    return done.returncode, done.stdout.decode(errors="replace")


@dataclass
class Bench:
    """What one run measured: figures by the measurement they come from, notes of what could not be
    measured, and the exit status."""
    figures: Dict[str, Figures] = field(default_factory=dict)
    notes: List[str] = field(default_factory=list)
    status: int = 0

    def step(self, what: str) -> None:
        print(f"bench: {what}", flush=True)

    def broken(self, note: str) -> None:
        self.notes.append(note)
        self.status = 1

    def request_cost(self) -> None:
        program = f"{HOST}/bench/request-bench"
        if not built(program):
            self.notes.append(f"request cost: {program} is not built (Google Benchmark missing, "
                              "or the host configuration not built)")
            return
        self.step(f"measuring the request and its floor, one thread and four (a few seconds; log in {BENCH_LOG})")
        status, output = run([program])
        report.place(BENCH_LOG, output.encode())
        if status == 0:
            self.figures["request"] = figures_of(output)
        elif status == syscalls.SKIPPED:
            reason = "request-bench: cannot run: "
            self.notes.append("request cost: " + next((line[len(reason):] for line in output.splitlines()
                                                       if line.startswith(reason)), ""))
        else:
            self.broken(f"request cost: request-bench failed ({status}); see {BENCH_LOG}")

    def system_calls(self) -> None:
        repeater, module = f"{HOST}/checks/request-repeater", f"{HOST}/lights/lumivane.so"
        if not built(repeater) or not os.path.isfile(module):
            self.notes.append("system calls: the host configuration is not built")
            return
        self.step("counting system calls per request")
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

    def device_request(self) -> None:
        """The request on the emulated device, against its floor in the same boot."""
        program = "build/armv5te/bench/device-request-bench"
        if not built(DEVICE, program):
            self.notes.append("device request cost: the emulated device or its benchmark is not built (make)")
            return
        self.step("measuring the request and its floor on the emulated device (one boot)")
        status, output = run([DEVICE, program])
        self.figures["device"] = figures_of(output)
        if status != 0:
            self.broken(f"device request cost: the run failed ({status}): {last_line(output)}")

    def handoffs(self) -> None:
        """Thread hand-offs on the emulated device against user-mode emulation."""
        program = "build/armv5te/bench/handoff-bench"
        if not built(DEVICE, program):
            return
        self.step("measuring thread hand-offs on the emulated device and under qemu-arm")
        for where, command in (("device", [DEVICE, program]), ("qemu-arm", [*QEMU_ARM, program])):
            status, output = run(command)
            self.figures[f"{where} hand-off"] = figures_of(output)
            if status != 0:
                self.broken(f"hand-off: the {where} run failed: {last_line(output)}")
        device, user = (self.value(f"{where} hand-off", "handoff_ns") for where in ("device", "qemu-arm"))
        try:
            self.figures["hand-off"] = {"ratio": f"{float(device) / float(user):.2f}"}
        except (ValueError, ZeroDivisionError):
            pass

    def output_time(self) -> None:
        """The device's output throughput, boot to power-off."""
        program = "build/armv5te/platform/device/runner-test-program"
        if not built(DEVICE, program):
            return
        self.step("timing 10 MiB of output through the emulated device, boot to power-off")
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

    def size(self, name: str, command: str, check: verdict.Run, argv: List[str]) -> None:
        """The figures of NAME by the footprint checks the tests run."""
        try:
            status, checks = check(argv, io.StringIO())
        except verdict.CannotCheck as error:
            self.notes.append(f"sizes: {name} cannot be checked: {command}: {error}")
            return
        self.figures.setdefault("sizes", {}).update({f"{name}_{key}": value for key, value in checks.figures.items()})
        if status != 0:
            self.notes.append(f"sizes: a footprint check of {name} fails: {' '.join(checks.failure_lines)}")

    def sizes(self) -> None:
        self.step("measuring sizes")
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

    def value(self, source: str, name: str, unit: str = "") -> str:
        amount = self.figures.get(source, {}).get(name, "n/a")
        return f"{amount} {unit}" if unit and amount != "n/a" else amount

    def rows(self) -> List[Row]:
        """One row per figure: what, how much, against what."""
        detail = self.value("syscalls", "syscalls_detail")
        # "openat×1,write×1,close×2" as "openat, write, close×2".
        detail = "" if detail == "n/a" else ", ".join(item.removesuffix("×1") for item in detail.split(","))
        shown = {"free_floor": self.value("request", "free_floor_ns_4_threads", "ns"),
                 "free_ratio": self.value("request", "free_ratio_4_threads"), "detail": detail}
        return [(what, self.value(source, name, unit), note.format(**shown)) for what, source, name, unit, note in ROWS]


def console(rows: Sequence[Row], stamp: str, notes: Sequence[str]) -> str:
    """The table as bench prints it."""
    heading = [("Figure", "Value", "Note"), ("------", "-----", "----")]
    lines = [f"{what:<36}  {amount:<12}  {note}" for what, amount, note in [*heading, *rows]]
    return "\n".join([*lines, f"({stamp})", *(f"n/a: {note}" for note in notes)]) + "\n"


def markdown(rows: Sequence[Row], date: str, machine: str, notes: Sequence[str]) -> str:
    """The table as build/bench-table.md keeps it."""
    lines = [f"Measured {date} on {machine}.", "", "| Figure | Value | Note |", "| --- | ---: | --- |"]
    lines += [f"| {what} | {amount} | {note} |" for what, amount, note in rows]
    lines += [f"\nn/a: {note}" for note in notes]
    return "\n".join(lines) + "\n"


def machine() -> str:
    """The CPU, the cores this process may use and the kernel."""
    try:
        with open("/proc/cpuinfo") as handle:
            cpu = next((line.split(":", 1)[1].strip() for line in handle if line.startswith("model name")), None)
    except OSError:
        cpu = None
    return f"{cpu or 'unknown CPU'}, {len(os.sched_getaffinity(0))} cores, Linux {os.uname().release}"


def main(argv: Sequence[str]) -> int:
    """Every measurement, the table, and its Markdown in build/. It takes no arguments."""
    os.chdir(TOP)
    os.makedirs("build", exist_ok=True)
    bench = Bench()
    for measure in (bench.request_cost, bench.system_calls, bench.device_request, bench.handoffs, bench.output_time,
                    bench.sizes):
        measure()
    rows = bench.rows()
    date = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())
    where = machine()
    sys.stdout.write("\n" + console(rows, f"{date}; {where}", bench.notes))
    report.place(TABLE, markdown(rows, date, where, bench.notes).encode())
    print(f"bench: table written to {TABLE}")
    return bench.status
