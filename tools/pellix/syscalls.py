# SPDX-License-Identifier: Apache-2.0
"""count-syscalls: the system calls of one backlight request. Runs the request repeater
(checks/request_repeater.cpp) under strace with 0 requests and with --requests N (1000): the difference
must be exactly N openat, N write and N close calls. Output, statuses and --expect-fail as every
checker's (pellix.verdict); 77 (skipped) when strace cannot trace or the simulated backlight is
unavailable, except in CI (CI=true)."""

import functools
import os
import re
import shutil
import subprocess
import tempfile
from typing import Dict, Mapping, Optional, Sequence, TextIO, Tuple

from pellix import verdict

USAGE = "usage: count-syscalls [--expect-fail TEXT]... [--requests N] REPEATER MODULE"
REQUEST = ("openat", "write", "close")
SKIPPED = 77
_ROW = re.compile(r"([a-z_][a-z0-9_]*) +([0-9]+)")


class Unavailable(verdict.CannotCheck):
    """What this machine lacks to count at all: skipped (77), except in CI."""

    def __init__(self, reason: str, environ: Mapping[str, str]) -> None:
        super().__init__(f"cannot count: {reason}", 1 if environ.get("CI") == "true" else SKIPPED)
        self.reason = reason


def summary_counts(text: str) -> Dict[str, int]:
    """Calls per system call from strace's summary cut to the columns "name,calls": it has no
    machine-readable one."""
    counts: Dict[str, int] = {}
    for line in text.splitlines():
        match = _ROW.fullmatch(line.strip())
        # The heading is "syscall calls", the last row "total N".
        if match and match.group(1) != "total":
            counts[match.group(1)] = counts.get(match.group(1), 0) + int(match.group(2))
    return counts


def differences(before: Mapping[str, int], after: Mapping[str, int]) -> Dict[str, int]:
    """Every call whose count changed, by name, with its change."""
    return {name: after.get(name, 0) - before.get(name, 0) for name in sorted(set(before) | set(after))
            if after.get(name, 0) != before.get(name, 0)}


def per_request(calls: int, requests: int) -> str:
    """CALLS per request: whole, or to two places when they do not divide evenly."""
    return str(calls // requests) if calls % requests == 0 else f"{calls / requests:.2f}"


def judge(changed: Mapping[str, int], requests: int, checks: verdict.Checks) -> None:
    """The checks and figures of the calls that REQUESTS requests added."""
    changed = dict(sorted(changed.items()))
    listed = "".join(f"  {name} {count}\n" for name, count in changed.items()) or "  none\n"
    checks.out.write(f"system calls of {requests} requests beyond a run with none:\n{listed}")
    for name in REQUEST:
        count = changed.get(name, 0)
        checks.check(f"one {name} per request", count == requests, f"{count} in {requests} requests")
    others = [(name, count) for name, count in changed.items() if name not in REQUEST]
    checks.check("no other system call", not others,
                 "; ".join(f"{name} {count} in {requests} requests" for name, count in others))
    checks.figure("syscalls_per_request", per_request(sum(changed.values()), requests))
    # The calls of the request in their order, then any others.
    ordered = [(name, changed[name]) for name in REQUEST if name in changed] + others
    checks.figure("syscalls_detail", ",".join(f"{name}×{per_request(count, requests)}" for name, count in ordered))


def trace(repeater: str, module: str, requests: int, environ: Mapping[str, str],
          output: Optional[int]) -> Dict[str, int]:
    """The calls of the repeater making REQUESTS requests, by name; its own output goes to OUTPUT."""
    with tempfile.TemporaryDirectory() as folder:
        summary = os.path.join(folder, "summary")
        try:
            status = subprocess.run(["strace", "-f", "-c", "-U", "name,calls", "-o", summary, repeater, module,
                                     str(requests)], stdin=subprocess.DEVNULL, stdout=output, stderr=output,
                                    env=dict(environ)).returncode
        except OSError as error:
            raise verdict.CannotCheck(f"cannot run strace: {error.strerror}") from None
        if status == SKIPPED:
            raise Unavailable("the request repeater cannot simulate the backlight", environ)
        if status != 0:
            raise verdict.CannotCheck(f"the request repeater failed ({status}) with {requests} requests")
        with open(summary) as handle:
            return summary_counts(handle.read())


def run(argv: Sequence[str], out: TextIO, environ: Optional[Mapping[str, str]] = None,
        output: Optional[int] = None) -> Tuple[int, verdict.Checks]:
    """The checks of ARGV printed on OUT: the exit status and the checks made.
    The repeater's own output goes to OUTPUT (by default, ours)."""
    env = os.environ if environ is None else environ
    options = verdict.parse(list(argv), ["--requests"], [], 2)
    requests = options.values.get("--requests", "1000")
    if not re.fullmatch(r"[1-9][0-9]*", requests):
        raise verdict.Usage("--requests")
    repeater, module = options.positionals
    if shutil.which("strace", path=env.get("PATH")) is None:
        raise Unavailable("strace is not installed", env)
    if subprocess.run(["strace", "-f", "-o", "/dev/null", "true"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                      stderr=subprocess.DEVNULL, env=dict(env)).returncode != 0:
        raise Unavailable("strace cannot trace here (ptrace is not permitted)", env)
    baseline = trace(repeater, module, 0, env, output)
    loaded = trace(repeater, module, int(requests), env, output)
    checks = verdict.Checks(options.expected, out)
    judge(differences(baseline, loaded), int(requests), checks)
    return checks.verdict(module), checks


def main(argv: Sequence[str], environ: Optional[Mapping[str, str]] = None) -> int:
    return verdict.main("count-syscalls", USAGE, functools.partial(run, environ=environ), argv)
