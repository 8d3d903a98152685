# SPDX-License-Identifier: Apache-2.0
"""count-syscalls: strace's summary read, the two runs compared, each check
shown failing, and every way it can fail to count."""

import io
import os
import shutil
import stat
import subprocess

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
EACH_ONCE = {name: 1000 for name in syscalls.REQUEST}


def judged(changed, requests=1000):
    out = io.StringIO()
    checks = verdict.Checks(out=out)
    syscalls.judge(changed, requests, checks)
    return checks.verdict("module.so"), out.getvalue()


def test_the_summary_gives_calls_by_name_and_the_differences_are_the_calls_that_changed():
    assert syscalls.summary_counts(SUMMARY) == {"read": 7, "openat": 1004, "close": 1004, "write": 1001}
    before = {"read": 7, "openat": 4, "mmap": 9, "brk": 3}
    after = {"read": 7, "openat": 1004, "mmap": 8, "fstat": 2}
    assert syscalls.differences(before, after) == {"brk": -3, "fstat": 2, "mmap": -1, "openat": 1000}


def test_one_open_write_and_close_per_request_and_nothing_else_passes():
    status, text = judged({"close": 1000, "openat": 1000, "write": 1000})
    assert text.splitlines() == [
        "system calls of 1000 requests beyond a run with none:", "  close 1000", "  openat 1000", "  write 1000",
        "pass  one openat per request", "pass  one write per request", "pass  one close per request",
        "pass  no other system call", "figure: syscalls_per_request 3",
        "figure: syscalls_detail openat×1,write×1,close×1", "verdict: all checks pass for module.so"]
    assert status == 0


@pytest.mark.parametrize("name", syscalls.REQUEST)
@pytest.mark.parametrize("count", [0, 999, 2000])
def test_a_call_of_the_request_made_more_or_less_than_once_fails(name, count):
    status, text = judged({call: calls for call, calls in {**EACH_ONCE, name: count}.items() if calls})
    assert f"fail  one {name} per request: {count} in 1000 requests\n" in text
    assert status == 1


@pytest.mark.parametrize("changed, requests, fragments", [
    ({**EACH_ONCE, "fstat": 1000, "brk": 1}, 1000,
     ["fail  no other system call: brk 1 in 1000 requests; fstat 1000 in 1000 requests\n",
      "figure: syscalls_per_request 4.00\n", "figure: syscalls_detail openat×1,write×1,close×1,brk×0.00,fstat×1\n"]),
    ({}, 10, ["system calls of 10 requests beyond a run with none:\n  none\n", "figure: syscalls_per_request 0\n",
              "figure: syscalls_detail \n"])], ids=["other", "none"])
def test_any_other_call_or_none_at_all_fails(changed, requests, fragments):
    status, text = judged(changed, requests)
    assert [fragment for fragment in fragments if fragment not in text] == []
    assert status == 1


@pytest.mark.parametrize("calls, requests, shown", [(3000, 1000, "3"), (3500, 1000, "3.50"), (1, 3, "0.33"),
                                                    (-2000, 1000, "-2")])
def test_calls_per_request_are_whole_or_to_two_places(calls, requests, shown):
    assert syscalls.per_request(calls, requests) == shown


@pytest.mark.parametrize("argv", [["--requests", "0", "r", "m"], ["--requests", "01", "r", "m"],
                                  ["--requests", "x", "r", "m"], ["r"], ["--other", "r", "m"]])
def test_arguments_it_cannot_take_exit_2_with_the_usage(argv, capsys):
    assert syscalls.main(argv) == 2
    assert capsys.readouterr().err == syscalls.USAGE + "\n"


@pytest.mark.parametrize("ci, status", [("", 77), ("true", 1)])
@pytest.mark.parametrize("strace, reason", [(None, "strace is not installed"),
                                            ("exit 1", "strace cannot trace here (ptrace is not permitted)")])
def test_without_strace_or_leave_to_trace_it_skips_but_fails_in_ci(tmp_path, ci, status, strace, reason, capsys):
    if strace:
        with open(os.path.join(tmp_path, "strace"), "w") as handle:
            handle.write(f"#!/bin/sh\n{strace}\n")
        os.chmod(os.path.join(tmp_path, "strace"), stat.S_IRWXU)
    assert syscalls.main(["r", "m"], {"PATH": str(tmp_path), "CI": ci}) == status
    assert capsys.readouterr().err == f"count-syscalls: cannot count: {reason}\n"


@pytest.fixture
def repeater(tmp_path):
    """Makes a stand-in repeater that only exits with the status given."""
    if shutil.which("strace") is None or subprocess.run(["strace", "-f", "-o", "/dev/null", "true"],
                                                        stderr=subprocess.DEVNULL).returncode != 0:
        pytest.skip("strace cannot trace here")

    def exiting(status):
        path = os.path.join(tmp_path, "repeater")
        with open(path, "w") as handle:
            handle.write(f"#!/bin/sh\nexit {status}\n")
        os.chmod(path, stat.S_IRWXU)
        return path
    return exiting


def traced(*argv, ci=""):
    return syscalls.main(list(argv), {"PATH": os.environ["PATH"], "CI": ci})


@pytest.mark.parametrize("ci, status", [("", 77), ("true", 1)])
def test_a_repeater_without_the_simulated_backlight_skips_but_fails_in_ci(repeater, ci, status, capsys):
    assert traced(repeater(77), "m", ci=ci) == status
    assert capsys.readouterr().err == \
        "count-syscalls: cannot count: the request repeater cannot simulate the backlight\n"


def test_a_repeater_that_fails_exits_2_and_one_without_calls_fails_each_check(repeater, capsys):
    assert traced(repeater(3), "m") == 2
    assert capsys.readouterr().err == "count-syscalls: the request repeater failed (3) with 0 requests\n"
    assert traced("--requests", "5", repeater(0), "m") == 1
    lines = capsys.readouterr().out.splitlines()
    assert [line for line in lines if line.startswith("fail")] == [
        f"fail  one {name} per request: 0 in 5 requests" for name in syscalls.REQUEST]
