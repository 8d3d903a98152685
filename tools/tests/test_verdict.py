# SPDX-License-Identifier: Apache-2.0
"""The checkers' shared lines, verdict and options."""

import io
from typing import List, Tuple

import pytest

from pellix import verdict


def run(failing: List[str], expected: List[str], passing: Tuple[str, ...] = ("fine",)) -> Tuple[int, str]:
    out = io.StringIO()
    checks = verdict.Checks(expected, out)
    for what in passing:
        checks.check(what, True)
    for what in failing:
        checks.check(what, False, "why")
    return checks.verdict("subject"), out.getvalue()


def test_each_check_prints_one_line_and_a_failure_its_detail() -> None:
    status, output = run(["broken"], [])
    assert output.splitlines()[:2] == ["pass  fine", "fail  broken: why"]


def test_without_expectations_any_failure_fails_the_verdict() -> None:
    assert run([], []) == (0, "pass  fine\nverdict: all checks pass for subject\n")
    status, output = run(["a", "b"], [])
    assert status == 1 and output.endswith("verdict: 2 check(s) fail for subject\n")


def test_expected_failures_and_nothing_else_pass_the_verdict() -> None:
    status, output = run(["the .text size", "a soft-float helper"], [".text", "soft-float"])
    assert status == 0
    assert output.endswith("verdict: the checks reject subject for each known fault and nothing else\n")


def test_an_expected_failure_that_does_not_happen_fails_the_verdict() -> None:
    status, output = run(["the .text size"], [".text", "soft-float"])
    assert status == 1
    assert '  no check failed for "soft-float" \n' in output
    assert "failed unexpectedly" not in output


def test_a_failure_beyond_those_expected_fails_the_verdict() -> None:
    status, output = run(["the .text size", "stripped size"], [".text"])
    assert status == 1
    assert '  failed unexpectedly: "stripped size" \n' in output
    assert "no check failed" not in output


def test_results_are_also_given_tab_separated_for_a_program() -> None:
    out = io.StringIO()
    checks = verdict.Checks(out=out, results=True)
    checks.check("one", True)
    checks.check("two", False, "detail")
    assert out.getvalue() == "pass\tone\t\npass  one\nfail\ttwo\tdetail\nfail  two: detail\n"


def test_options_are_taken_before_the_positionals_in_any_order() -> None:
    options = verdict.parse(["--expect-fail", "a", "--flag", "--value", "v", "--expect-fail", "b", "FILE"],
                            ["--value"], ["--flag"], 1)
    assert (options.expected, options.values, options.flags, options.positionals) == \
        (["a", "b"], {"--value": "v"}, {"--flag"}, ["FILE"])


@pytest.mark.parametrize("argv", [[], ["--unknown", "FILE"], ["--value", "FILE"], ["A", "B"],
                                  ["--expect-fail", "FILE"]])
def test_arguments_it_cannot_take_are_a_usage_error(argv: List[str]) -> None:
    with pytest.raises(verdict.Usage):
        verdict.parse(argv, ["--value"], ["--flag"], 1)


@pytest.mark.parametrize("text", ["x", "-1", "1.5", "", "١"])
def test_a_limit_that_is_no_whole_number_is_a_usage_error(text: str) -> None:
    with pytest.raises(verdict.Usage):
        verdict.parse(["--limit", text, "FILE"], ["--limit"], [], 1).integer("--limit", 0)
