# SPDX-License-Identifier: Apache-2.0
import os
import stat

import pytest

from pellix import report


def _suite() -> report.Suite:
    return report.Suite("kit <a & b>", properties={"sha256": "ab\"cd"}, cases=[
        report.Case("one", "k.contract", "pass", seconds=0.5),
        report.Case("two", "k.contract", "fail", "saw <x> & \"y\""),
        report.Case("three", "k.policy", "error", "could not run"),
        report.Case("four", "k.policy", "skipped", "not run"),
    ])


def test_junit_counts_come_from_the_cases() -> None:
    data = report.to_xml([_suite()])
    assert b'tests="4" failures="1" errors="1" skipped="1"' in data


def test_what_is_written_reads_back_the_same() -> None:
    assert report.parse(report.to_xml([_suite()])) == [_suite()]


def test_a_lone_testsuite_and_ctest_notrun_are_read() -> None:
    suites = report.parse(b'<testsuite name="ctest"><testcase name="a" status="notrun"/>'
                          b'<testcase name="b"><failure/></testcase></testsuite>')
    assert report.counts(suites) == report.Counts(passed=0, failed=1, errors=0, skipped=1)


@pytest.mark.parametrize("data", [b"", b"<html/>", b"<testsuites>"])
def test_what_is_no_junit_is_refused(data: bytes) -> None:
    with pytest.raises(report.ReportError):
        report.parse(data)


def test_an_unknown_outcome_is_refused() -> None:
    with pytest.raises(ValueError):
        report.Case("x", outcome="passed")


def test_a_regular_file_is_replaced_whole(tmp_path: "os.PathLike[str]") -> None:
    path = os.path.join(tmp_path, "r.xml")
    with open(path, "w") as handle:
        handle.write("old")
    report.place(path, b"new")
    assert open(path, "rb").read() == b"new"
    assert os.listdir(tmp_path) == ["r.xml"]


def test_a_link_and_a_device_are_written_through(tmp_path: "os.PathLike[str]") -> None:
    target = os.path.join(tmp_path, "target")
    link = os.path.join(tmp_path, "link")
    open(target, "w").close()
    os.symlink(target, link)
    report.place(link, b"data")
    assert os.path.islink(link) and open(target, "rb").read() == b"data"
    report.place("/dev/null", b"data")
    assert stat.S_ISCHR(os.stat("/dev/null").st_mode)
