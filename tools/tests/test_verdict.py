# SPDX-License-Identifier: Apache-2.0
"""The checkers' shared lines, verdict and options."""

import io
from typing import List, Optional

import pytest

from pellix import verdict


@pytest.mark.parametrize("failing, expected, status, shown, not_shown", [
    ([], [], 0, "pass  fine\nverdict: all checks pass for subject\n", None),
    (["a", "b"], [], 1, "pass  fine\nfail  a: why\nfail  b: why\nverdict: 2 check(s) fail for subject\n", None),
    (["the .text size", "a soft-float helper"], [".text", "soft-float"], 0,
     "verdict: the checks reject subject for each known fault and nothing else\n", None),
    (["the .text size"], [".text", "soft-float"], 1, '  no check failed for "soft-float" \n', "failed unexpectedly"),
    (["the .text size", "stripped size"], [".text"], 1, '  failed unexpectedly: "stripped size" \n',
     "no check failed"),
], ids=["all-pass", "failures", "as-expected", "expected-missing", "unexpected"])
def test_the_verdict_passes_without_failures_or_with_exactly_those_expected(
        failing: List[str], expected: List[str], status: int, shown: str, not_shown: Optional[str]) -> None:
    out = io.StringIO()
    checks = verdict.Checks(expected, out)
    checks.check("fine", True)
    for what in failing:
        checks.check(what, False, "why")
    assert checks.verdict("subject") == status
    assert out.getvalue().endswith(shown)
    assert not_shown is None or not_shown not in out.getvalue()


def test_results_are_also_given_tab_separated_for_a_program() -> None:
    out = io.StringIO()
    checks = verdict.Checks(out=out, results=True)
    checks.check("one", True)
    checks.check("two", False, "detail\n  on two lines")
    assert out.getvalue() == "pass\tone\t\npass  one\nfail\ttwo\tdetail on two lines\nfail  two: detail on two lines\n"
    assert (checks.failures, checks.failure_lines) == (["two"], ["two: detail on two lines"])


def test_options_are_taken_before_the_positionals_in_any_order() -> None:
    options = verdict.parse(["--expect-fail", "a", "--flag", "--value", "v", "--expect-fail", "b", "FILE"],
                            ["--value"], ["--flag"], 1)
    assert (options.expected, options.values, options.flags, options.positionals) == \
        (["a", "b"], {"--value": "v"}, {"--flag"}, ["FILE"])
    assert options.integer("--limit", 7) == 7


@pytest.mark.parametrize("argv", [[], ["--unknown", "FILE"], ["--value", "FILE"], ["A", "B"],
                                  ["--expect-fail", "FILE"]] + [["--limit", text, "FILE"]
                                                                for text in ("x", "-1", "1.5", "", "١")])
def test_arguments_it_cannot_take_are_a_usage_error(argv: List[str]) -> None:
    with pytest.raises(verdict.Usage):
        verdict.parse(argv, ["--value", "--limit"], ["--flag"], 1).integer("--limit", 0)


def test_a_figure_is_printed_and_kept_by_name_the_first_value_kept() -> None:
    out = io.StringIO()
    checks = verdict.Checks(out=out)
    checks.figure("text_bytes", 812)
    checks.figure("text_bytes", 900)
    assert checks.figures == {"text_bytes": "812"}
    assert out.getvalue() == "figure: text_bytes 812\nfigure: text_bytes 900\n"
