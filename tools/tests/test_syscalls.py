# SPDX-License-Identifier: Apache-2.0
"""count-syscalls: strace's summary read, the two runs compared, each check
shown failing, and every way it can fail to count."""

import io
import os
import shutil
import stat
import subprocess
from typing import Dict, List, Tuple

import pytest

from pellix import syscalls, verdict

SUMMARY = """\
syscall              calls
---------------- ---------
read                     7
openat                1004
close                 1004
write                 1001
---------------- ---------
total                 3016
"""


def judged(changed: Dict[str, int], requests: int = 1000) -> Tuple[int, List[str]]:
    out = io.StringIO()
    checks = verdict.Checks(out=out)
    syscalls.judge(changed, requests, checks)
    return checks.verdict("module.so"), out.getvalue().splitlines()


def test_the_summary_gives_calls_by_name_without_heading_rules_or_total() -> None:
    assert syscalls.summary_counts(SUMMARY) == {"read": 7, "openat": 1004, "close": 1004, "write": 1001}


def test_the_differences_are_the_calls_whose_count_changed() -> None:
    before = {"read": 7, "openat": 4, "mmap": 9, "brk": 3}
    after = {"read": 7, "openat": 1004, "mmap": 8, "fstat": 2}
    assert syscalls.differences(before, after) == {"brk": -3, "fstat": 2, "mmap": -1, "openat": 1000}


def test_one_open_write_and_close_per_request_and_nothing_else_passes() -> None:
    status, lines = judged({"close": 1000, "openat": 1000, "write": 1000})
    assert lines == ["system calls of 1000 requests beyond a run with none:", "  close 1000", "  openat 1000",
                     "  write 1000", "pass  one openat per request", "pass  one write per request",
                     "pass  one close per request", "pass  no other system call",
                     "figure: syscalls_per_request 3", "figure: syscalls_detail openat×1,write×1,close×1",
                     "verdict: all checks pass for module.so"]
    assert status == 0


@pytest.mark.parametrize("name", syscalls.REQUEST)
def test_a_call_of_the_request_made_more_or_less_than_once_fails(name: str) -> None:
    for count in (0, 999, 2000):
        changed = {call: 1000 for call in syscalls.REQUEST}
        changed[name] = count
        if count == 0:
            del changed[name]
        status, lines = judged(changed)
        assert f"fail  one {name} per request: {count} in 1000 requests" in lines
        assert status == 1


def test_any_other_call_fails_with_its_count() -> None:
    status, lines = judged({"close": 1000, "fstat": 1000, "openat": 1000, "write": 1000, "brk": 1})
    assert "fail  no other system call: brk 1 in 1000 requests; fstat 1000 in 1000 requests" in lines
    assert "figure: syscalls_per_request 4.00" in lines
    assert "figure: syscalls_detail openat×1,write×1,close×1,brk×0.00,fstat×1" in lines
    assert status == 1


def test_no_change_at_all_says_none_and_fails() -> None:
    status, lines = judged({}, requests=10)
    assert lines[:2] == ["system calls of 10 requests beyond a run with none:", "  none"]
    assert "figure: syscalls_per_request 0" in lines and "figure: syscalls_detail " in lines
    assert status == 1


@pytest.mark.parametrize("calls, requests, shown", [(3000, 1000, "3"), (3500, 1000, "3.50"), (1, 3, "0.33"),
                                                    (-2000, 1000, "-2")])
def test_calls_per_request_are_whole_or_to_two_places(calls: int, requests: int, shown: str) -> None:
    assert syscalls.per_request(calls, requests) == shown


@pytest.mark.parametrize("argv", [["--requests", "0", "r", "m"], ["--requests", "01", "r", "m"],
                                  ["--requests", "x", "r", "m"], ["r"], ["--other", "r", "m"]])
def test_arguments_it_cannot_take_exit_2_with_the_usage(argv: List[str], capsys: pytest.CaptureFixture[str]) -> None:
    assert syscalls.main(argv) == 2
    assert capsys.readouterr().err == syscalls.USAGE + "\n"


@pytest.mark.parametrize("ci, status", [("", 77), ("true", 1)])
def test_without_strace_it_skips_but_fails_in_ci(tmp_path: "os.PathLike[str]", ci: str, status: int,
                                                 capsys: pytest.CaptureFixture[str]) -> None:
    assert syscalls.main(["r", "m"], {"PATH": str(tmp_path), "CI": ci}) == status
    assert capsys.readouterr().err == "count-syscalls: cannot count: strace is not installed\n"


def stand_in(folder: str, status: int) -> str:
    """A repeater that only exits with STATUS."""
    path = os.path.join(folder, "repeater")
    with open(path, "w") as handle:
        handle.write(f"#!/bin/sh\nexit {status}\n")
    os.chmod(path, stat.S_IRWXU)
    return path


@pytest.fixture
def tracing() -> Dict[str, str]:
    if shutil.which("strace") is None or subprocess.run(["strace", "-f", "-o", "/dev/null", "true"],
                                                        stderr=subprocess.DEVNULL).returncode != 0:
        pytest.skip("strace cannot trace here")
    return {"PATH": os.environ["PATH"]}


@pytest.mark.parametrize("ci, status", [("", 77), ("true", 1)])
def test_a_repeater_without_the_simulated_backlight_skips_but_fails_in_ci(
        tracing: Dict[str, str], tmp_path: "os.PathLike[str]", ci: str, status: int,
        capsys: pytest.CaptureFixture[str]) -> None:
    assert syscalls.main([stand_in(str(tmp_path), 77), "m"], {**tracing, "CI": ci}) == status
    assert capsys.readouterr().err == \
        "count-syscalls: cannot count: the request repeater cannot simulate the backlight\n"


def test_a_repeater_that_fails_exits_2(tracing: Dict[str, str], tmp_path: "os.PathLike[str]",
                                       capsys: pytest.CaptureFixture[str]) -> None:
    assert syscalls.main([stand_in(str(tmp_path), 3), "m"], tracing) == 2
    assert capsys.readouterr().err == "count-syscalls: the request repeater failed (3) with 0 requests\n"


def test_a_repeater_that_makes_no_call_per_request_fails_each_check(
        tracing: Dict[str, str], tmp_path: "os.PathLike[str]", capsys: pytest.CaptureFixture[str]) -> None:
    assert syscalls.main(["--requests", "5", stand_in(str(tmp_path), 0), "m"], tracing) == 1
    lines = capsys.readouterr().out.splitlines()
    assert [line for line in lines if line.startswith("fail")] == [
        f"fail  one {name} per request: 0 in 5 requests" for name in syscalls.REQUEST]
