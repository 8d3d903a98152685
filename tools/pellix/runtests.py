# SPDX-License-Identifier: Apache-2.0
"""make test's runner: every given configuration's tests through ctest, one
after another, and beside them the tools' own tests through pytest (the
configuration "tools", shown last), then a
table of the figures the tests reported, one line of counts per
configuration and a total.

Whether a configuration passed is its runner's exit status; the counts come
from its JUnit report, read by pellix.report. A configuration fails once
more when its runner failed while its report shows no failure, when it ran
no test at all, and when its tests left a process running: each suite runs
in a session of its own, and whatever is still in that session once the
runner is gone is listed and killed.

Exits 0 when nothing failed and something passed, 1 otherwise.
"""

import io
import os
import re
import signal
import subprocess
import sys
import threading
import time
from dataclasses import dataclass
from typing import BinaryIO, Callable, Dict, Iterable, List, Optional, Sequence, Tuple

from pellix import report

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

# The figures of the table, in its order: (row, how the logs give it).
# "figure: NAME N" lines are the tests' own; the rest are the lines the
# sanitizers, valgrind and libFuzzer print, which have no other form.
FIGURE_LINES = (
    ("backlight requests under stress", "requests_served"),
    ("passive requests alongside", "passive_requests"),
    ("faults injected and survived", "faults_survived"),
    ("acquire/release churn cycles", "churn_cycles"),
)
FUZZ_RUNS = re.compile(rb"^Done ([0-9]*) runs")
LEAKS = re.compile(rb"ERROR: LeakSanitizer|blocks are (definitely|indirectly|possibly) lost"
                   rb"|still reachable in loss record")
FINDINGS = re.compile(rb"runtime error:|ERROR: AddressSanitizer|WARNING: ThreadSanitizer|ERROR: libFuzzer")

# How long the output of a finished suite is still read once its session
# is empty.
DRAIN_SECONDS = 5.0


@dataclass
class Line:
    """One configuration's line of the summary."""
    name: str
    passed: int = 0
    failed: int = 0
    skipped: int = 0

    def text(self) -> str:
        return f"{self.name}: {self.passed} passed, {self.failed} failed, {self.skipped} skipped"


@dataclass(frozen=True)
class Process:
    pid: int
    state: str
    args: str


def tally(name: str, report_path: str, status: int, leftovers: bool) -> Line:
    """The summary line of suite NAME from its JUnit report and its runner's
    exit STATUS; LEFTOVERS says its tests left a process running."""
    try:
        counts = report.counts(report.read(report_path)) if os.path.exists(report_path) else report.Counts()
    except report.ReportError as error:
        print(f"run-tests: {name}: {error}", file=sys.stderr)
        counts = report.Counts()
    failed = counts.failed + counts.errors
    # A failing runner whose report shows no failure failed by itself, as
    # does one that ran no test.
    if counts.tests == 0 or (status != 0 and failed == 0):
        failed += 1
    if leftovers:
        failed += 1
    passed = max(counts.tests - failed - counts.skipped, 0)
    return Line(name, passed, failed, counts.skipped)


# --- Sessions: what a suite's tests leave running.

def _process(pid: int) -> Optional[Tuple[int, Process]]:
    """(session, process) of PID from /proc, or None once it is gone."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as handle:
            stat = handle.read()
        with open(f"/proc/{pid}/cmdline", "rb") as handle:
            cmdline = handle.read()
    except OSError:
        return None
    # "PID (COMM) STATE PPID PGRP SESSION ...": COMM may hold anything, so
    # the fields are counted from its closing parenthesis.
    opening, closing = stat.index(b"("), stat.rindex(b")")
    fields = stat[closing + 2:].split()
    args = cmdline.rstrip(b"\0").replace(b"\0", b" ") or b"[" + stat[opening + 1:closing] + b"]"
    return int(fields[3]), Process(pid, fields[0].decode(), args.decode(errors="replace"))


def session_processes(session: int) -> List[Process]:
    """The living processes of SESSION (zombies are dead and left out)."""
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            known = _process(int(entry))
            if known is not None and known[0] == session and known[1].state != "Z":
                found.append(known[1])
    return sorted(found, key=lambda process: process.pid)


def kill_session(session: int) -> None:
    """Kills every process of SESSION, including any one forks meanwhile."""
    for _ in range(100):
        processes = session_processes(session)
        if not processes:
            return
        for process in processes:
            try:
                os.kill(process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        time.sleep(0.01)


# --- Running one suite.

def _copy(source: int, sinks: Sequence[BinaryIO]) -> None:
    """Copies SOURCE to every sink until its end, or until a sink is closed."""
    try:
        for data in iter(lambda: os.read(source, 65536), b""):
            for sink in sinks:
                sink.write(data)
                sink.flush()
    except ValueError:
        pass


def run_suite(name: str, command: Sequence[str], cwd: str, log: str, out: BinaryIO,
              sessions: Optional[List[int]] = None) -> Tuple[int, bool]:
    """Runs COMMAND in a session of its own (its id added to SESSIONS), its
    output to OUT and the file LOG; returns its exit status and whether it
    left processes running (listed on OUT, then killed)."""
    read_end, write_end = os.pipe()
    with open(log, "wb") as log_file:
        try:
            child = subprocess.Popen(command, cwd=cwd, stdin=subprocess.DEVNULL, stdout=write_end,
                                     stderr=write_end, start_new_session=True)
        except OSError as error:
            os.close(read_end)
            os.close(write_end)
            message = f"run-tests: cannot run {command[0]}: {error.strerror}\n".encode()
            out.write(message)
            log_file.write(message)
            return 127, False
        os.close(write_end)
        if sessions is not None:
            sessions.append(child.pid)
        copier = threading.Thread(target=_copy, args=(read_end, [out, log_file]), daemon=True)
        copier.start()
        status = child.wait()
        # The child's pid is its session's id: nothing its tests start may
        # outlive them.
        leftovers = session_processes(child.pid)
        kill_session(child.pid)
        # Only a process that left the session can hold the output open now.
        copier.join(DRAIN_SECONDS)
        if not copier.is_alive():
            os.close(read_end)
    if leftovers:
        out.write(f"run-tests: FAIL: processes the {name} tests left running (stopped now):\n".encode())
        for process in leftovers:
            out.write(f"{process.pid:>7} {process.state:<4} {process.args}\n".encode())
        out.flush()
    return status, bool(leftovers)


def user_namespace(uid: Optional[int] = None,
                   probe: Callable[[], bool] = lambda: _succeeds(["unshare", "--user", "--map-root-user", "true"])
                   ) -> List[str]:
    """The command prefix that runs ctest as root of a user namespace of its
    own, where one can be made and we are not root already: the simulated
    backlight mounts over /sys/class, and in such a namespace nothing
    outside the process changes. Programs under user-mode emulation are
    threaded from the start and cannot make one themselves."""
    if (os.getuid() if uid is None else uid) != 0 and probe():
        return ["unshare", "--user", "--map-root-user"]
    return []


def _succeeds(command: Sequence[str]) -> bool:
    try:
        return subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL).returncode == 0
    except OSError:
        return False


# --- Figures.

def figures(logs: Iterable[str]) -> List[Tuple[str, str]]:
    """The rows of the figures table from the full test LOGS."""
    sums: Dict[str, int] = {key: 0 for _, key in FIGURE_LINES}
    line_of = re.compile(rb"^figure: (" + b"|".join(re.escape(key.encode()) for key in sums) + rb") ([0-9]*)$")
    fuzz_runs = leaks = findings = 0
    for path in logs:
        with open(path, "rb") as handle:
            for line in handle.read().split(b"\n"):
                match = line_of.match(line)
                if match:
                    sums[match.group(1).decode()] += int(match.group(2) or 0)
                match = FUZZ_RUNS.match(line)
                if match:
                    fuzz_runs += int(match.group(1) or 0)
                leaks += bool(LEAKS.search(line))
                findings += bool(FINDINGS.search(line))
    rows = [(row, str(sums[key])) for row, key in FIGURE_LINES]
    rows += [("fuzz executions", str(fuzz_runs)), ("leaks found", str(leaks)), ("sanitizer findings", str(findings))]
    return rows


def table(heading: Tuple[str, str], rows: Sequence[Tuple[str, str]]) -> str:
    """A Markdown table of two columns, each as wide as its widest cell;
    names align left, values right."""
    cells = [heading, *rows]
    name_width = max(len(name) for name, _ in cells)
    value_width = max(len(value) for _, value in cells)
    lines = [f"| {heading[0]:<{name_width}} | {heading[1]:>{value_width}} |",
             f"|{'-' * (name_width + 2)}|{'-' * (value_width + 2)}|"]
    lines += [f"| {name:<{name_width}} | {value:>{value_width}} |" for name, value in rows]
    return "\n".join(lines) + "\n"


# --- The whole run.

def configurations(configs: Sequence[str], top: str, tester: List[str], stream: BinaryIO,
                   sessions: List[int]) -> List[Line]:
    """Each configuration's ctest, one after another: its line of the summary."""
    lines = []
    for config in configs:
        junit = os.path.join(top, "build", f"ctest-{config}.xml")
        if os.path.exists(junit):
            os.unlink(junit)
        stream.write(f"== ctest: {config}\n".encode())
        stream.flush()
        status, leftovers = run_suite(config, [*tester, "ctest", "--preset", config, "--output-junit", junit],
                                      top, os.path.join(top, "build", f"ctest-{config}.log"), stream, sessions)
        lines.append(tally(config, junit, status, leftovers))
    return lines


def run(configs: Sequence[str], top: str = TOP, out: Optional[BinaryIO] = None,
        tools_command: Optional[Sequence[str]] = None) -> int:
    """Runs CONFIGS' tests and the tools' tests from the checkout TOP and
    prints the summary on OUT; returns the exit status."""
    stream: BinaryIO = sys.stdout.buffer if out is None else out
    build = os.path.join(top, "build")
    os.makedirs(build, exist_ok=True)
    tester = user_namespace()
    # The tools' tests mostly wait for the emulated device: they start first
    # and run beside the configurations, their output held until those end.
    junit = os.path.join(build, "pytest-tools.xml")
    if os.path.exists(junit):
        os.unlink(junit)
    command = tools_command or ["/usr/bin/python3", "-m", "pytest", "-q"]
    held = io.BytesIO()
    ended: List[Tuple[int, bool]] = []
    sessions: List[int] = []

    def tools_suite() -> None:
        ended.append(run_suite("tools", [*command, f"--junitxml={junit}"], os.path.join(top, "tools"),
                               os.path.join(build, "pytest-tools.log"), held, sessions))

    beside = threading.Thread(target=tools_suite, daemon=True)
    beside.start()
    try:
        lines = configurations(configs, top, tester, stream, sessions)
        beside.join()
    except BaseException:
        # Interrupted: nothing any suite started outlives this run.
        for session in sessions:
            kill_session(session)
        raise

    stream.write(b"== pytest: tools\n" + held.getvalue())
    stream.flush()
    lines.append(tally("tools", junit, *(ended[0] if ended else (1, False))))

    # Every configuration's full test log that exists: one whose ctest did
    # not run has none.
    logs = [path for path in (os.path.join(build, config, "Testing", "Temporary", "LastTest.log")
                              for config in configs) if os.path.isfile(path)]
    total = Line("total", sum(line.passed for line in lines), sum(line.failed for line in lines),
                 sum(line.skipped for line in lines))
    text = "\n" + table(("figure", "value"), figures(logs)) + "\n"
    text += "".join(line.text() + "\n" for line in lines) + total.text() + "\n"
    stream.write(text.encode())
    stream.flush()
    return 0 if total.failed == 0 and total.passed > 0 else 1


def main(argv: Sequence[str]) -> int:
    """run-tests CONFIG...: the entry point of make test."""
    return run(list(argv))
