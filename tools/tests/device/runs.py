# SPDX-License-Identifier: Apache-2.0
"""Runs of pellix-device for the device's tests.

Every run is bounded by a time limit of the test's own, scaled like the
runner's: a runner that does not end a run fails the test that waits for
it, at that bound, instead of hanging. The runs that boot are jobs,
registered by name; the jobs the collected tests ask for are started side
by side when the first of those tests runs, and each test reads its job's
outcome.
"""

import os
import signal
import socket
import subprocess
import threading
import time
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Optional

import pytest

from pellix import scale
from pellix.device import BOOT_TIMEOUT, SYSROOT

# How the armv5te configuration runs its programs on this host
# (cmake/toolchain-armv5te.cmake).
EMULATOR = ["qemu-arm", "-cpu", "arm926", "-L", SYSROOT]
# What a run may take beyond its own time-outs: the image, the machine's
# start and end, the crash reports.
SLACK = 60
# A run that should end soon is still given a time-out of the runner's, so
# that the runner, not only the test, bounds it.
SOON = 60


def scaled(seconds: float) -> float:
    """SECONDS multiplied by PELLIX_TIMEOUT_SCALE, as the runner does."""
    return scale.scaled_ms(seconds, scale.from_environment()) / 1000


def bound(timeout: float, boot: float = BOOT_TIMEOUT) -> float:
    """How long a test waits for a run with these time-outs of the runner's."""
    return scaled(boot + timeout + SLACK)


class Built:
    """The built tree the tests run: the installed runner, and the build's programs."""

    def __init__(self, out: str, build: str) -> None:
        self.out = out
        self.runner = os.path.join(out, "bin", "pellix-device")
        self.crash_report = os.path.join(out, "bin", "pellix-crash-report")
        self.share = os.path.join(out, "share", "pellix-device")
        self.lib = os.path.join(out, "lib")
        self.test_program = os.path.join(build, "platform", "device", "runner-test-program")
        self.module_fault = os.path.join(build, "platform", "device", "module-fault")
        self.loader = os.path.join(build, "platform", "loader", "lights-loader")
        self.module = os.path.join(build, "lights", "lumivane.so")


@dataclass
class Context:
    """What a job has to work with: the built tree and a scratch folder of the session."""

    built: Built
    scratch: str


@dataclass
class Outcome:
    """How a run ended: its status (None when it outlived its bound and was
    killed), its output, when it started, first printed and ended."""

    status: Optional[int]
    out: bytes = b""
    err: bytes = b""
    started: float = 0.0
    first_out: Optional[float] = None
    ended: float = 0.0
    pid: int = 0
    facts: Dict[str, Any] = field(default_factory=dict)

    @property
    def text(self) -> str:
        """Standard error, as text."""
        return self.err.decode("utf-8", "replace")


def _read(stream: Any, into: List[bytes], first: List[float]) -> None:
    for data in iter(lambda: stream.read1(1 << 16), b""):
        if not first:
            first.append(time.monotonic())
        into.append(data)


# What a test does while its run goes on: it gets the process and the
# standard output so far, and gives facts of its own.
During = Callable[["subprocess.Popen[bytes]", List[bytes]], Dict[str, Any]]


def run(argv: List[str], limit: float, env: Optional[Dict[str, str]] = None, cwd: Optional[str] = None,
        stdout: Any = subprocess.PIPE, during: Optional[During] = None) -> Outcome:
    """ARGV in a process group of its own, killed whole once LIMIT seconds
    have passed (after DURING, if given, has had its turn)."""
    started = time.monotonic()
    process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=stdout, stderr=subprocess.PIPE,
                               env=None if env is None else dict(os.environ, **env), cwd=cwd, process_group=0)
    out: List[bytes] = []
    err: List[bytes] = []
    first: List[float] = []
    streams = [(process.stderr, err, []), (process.stdout, out, first)]
    readers = [threading.Thread(target=_read, args=each, daemon=True) for each in streams if each[0] is not None]
    for reader in readers:
        reader.start()
    facts = during(process, out) if during is not None else {}
    try:
        status: Optional[int] = process.wait(limit)
        # (as a shell gives it: 128+N when signal N ended the process)
        status = 128 - status if status is not None and status < 0 else status
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()
        status = None
    ended = time.monotonic()
    for reader in readers:
        reader.join()
    return Outcome(status, b"".join(out), b"".join(err), started, first[0] if first else None, ended, process.pid,
                   facts)


def _processes(wanted: Callable[[bytes, bytes], bool]) -> List[int]:
    """The other processes whose /proc stat and command line WANTED takes."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        try:
            with open(f"/proc/{entry}/stat", "rb") as stat, open(f"/proc/{entry}/cmdline", "rb") as cmdline:
                if wanted(stat.read().rsplit(b")", 1)[1], cmdline.read()):
                    found.append(int(entry))
        except (OSError, IndexError):
            continue
    return found


def group_members(group: int) -> List[int]:
    """The living processes of process group GROUP."""
    return _processes(lambda stat, _: stat.split()[2] == str(group).encode() and stat.split()[0] != b"Z")


def processes_naming(text: str) -> List[int]:
    """The processes whose command line holds TEXT."""
    return _processes(lambda _, cmdline: text.encode() in cmdline)


def qemu_under(folder: str) -> List[int]:
    """The qemu processes of runs whose scratch folder is under FOLDER."""
    return _processes(lambda _, cmdline: (folder + "/").encode() in cmdline
                      and os.path.basename(cmdline.split(b"\0", 1)[0]) == b"qemu-system-arm")


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def eventually(seconds: float, condition: Callable[[], bool]) -> bool:
    """Whether CONDITION holds within SECONDS (scaled): a guard against a
    hang, not a measure of speed."""
    deadline = time.monotonic() + scaled(seconds)
    while not condition():
        if time.monotonic() >= deadline:
            return False
        time.sleep(0.1)
    return True


Job = Callable[[Context], Outcome]
JOBS: Dict[str, Job] = {}
# How long each job waits on purpose, for a time-out: such a job starts
# first, as its device mostly idles beside the others' boots.
WAITS: Dict[str, float] = {}


def job(name: str, waits: float = 0) -> Callable[[Job], Job]:
    """Registers a run that boots, for the tests marked boots(NAME)."""
    def register(function: Job) -> Job:
        JOBS[name] = function
        WAITS[name] = waits
        return function
    return register


def reads(name: str, *values: Any) -> Any:
    """A parametrized case of a test that reads run NAME."""
    return pytest.param(name, *values, marks=pytest.mark.boots(name), id=name)


class Boots:
    """The jobs of the collected tests, run side by side."""

    def __init__(self, context: Context, names: List[str], workers: int) -> None:
        self.context = context
        self.pool = ThreadPoolExecutor(workers)
        self.futures: Dict[str, "Future[Outcome]"] = {}
        for name in sorted(names, key=lambda name: -WAITS[name]):
            self.start(name)

    def start(self, name: str) -> None:
        if name not in self.futures:
            self.futures[name] = self.pool.submit(JOBS[name], self.context)

    def __getitem__(self, name: str) -> Outcome:
        self.start(name)
        return self.futures[name].result()

    def close(self) -> None:
        self.pool.shutdown(wait=True, cancel_futures=True)
