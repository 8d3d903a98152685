# SPDX-License-Identifier: Apache-2.0
"""The checkers' checks as they print and keep them, and their options."""

import io
from typing import List

import pytest

from pellix import checker


@pytest.mark.parametrize("failing, expected, status, last", [
    ([], [], 0, "verdict: all checks pass for subject"),
    (["a"], [], 1, "verdict: 1 check(s) fail for subject"),
    (["the .text size"], [".text"], 0, "verdict: the checks reject subject for each known fault and nothing else"),
    (["the .text size"], [".text", "soft-float"], 1, '  no check failed for "soft-float" '),
    (["the .text size", "stripped"], [".text"], 1, '  failed unexpectedly: "stripped" ')])
def test_the_verdict_holds_the_failures_to_those_expected(failing: List[str], expected: List[str], status: int,
                                                          last: str) -> None:
    out = io.StringIO()
    checks = checker.Checks(expected, out)
    checks.check("fine", True)
    for what in failing:
        checks.check(what, False, "why")
    assert checks.verdict("subject") == status
    lines = out.getvalue().splitlines()
    assert lines[:1 + len(failing)] == ["pass  fine"] + [f"fail  {what}: why" for what in failing]
    assert lines[-1] == last


def test_the_checks_keep_their_figures_and_failures_for_a_caller() -> None:
    checks = checker.Checks(out=io.StringIO())
    checks.figure("size", 12)
    checks.figure("size", 13)
    checks.check("two", False, "detail")
    checks.check("three", False)
    assert checks.figures == {"size": "12"}
    assert (checks.failures, checks.failure_lines) == (["two", "three"], ["two: detail", "three"])


def test_options_are_taken_before_the_positionals_in_any_order() -> None:
    options = checker.parse(["--expect-fail", "a", "--flag", "--value", "v", "--expect-fail", "b", "FILE"],
                            ["--value"], ["--flag"], 1)
    assert (options.expected, options.values, options.flags, options.positionals) == \
        (["a", "b"], {"--value": "v"}, {"--flag"}, ["FILE"])


@pytest.mark.parametrize("argv", [[], ["--unknown", "FILE"], ["--value", "FILE"], ["A", "B"],
                                  ["--expect-fail", "FILE"], ["--limit", "x", "FILE"], ["--limit", "-1", "FILE"],
                                  ["--limit", "١", "FILE"]])
def test_arguments_a_checker_cannot_take_are_a_usage_error(argv: List[str]) -> None:
    with pytest.raises(checker.Usage):
        checker.parse(argv, ["--value", "--limit"], ["--flag"], 1).integer("--limit", 0)
