# SPDX-License-Identifier: Apache-2.0
"""What every binary checker prints: one line per check, "pass  WHAT" or
"fail  WHAT: DETAIL" (and, for a program, "pass|fail<TAB>WHAT<TAB>DETAIL"),
then the verdict, which --expect-fail TEXT turns round for a sample with
known faults: it then passes only when each TEXT is part of the WHAT of a
check that failed, and every check that failed has one of them in its WHAT.
"""

from dataclasses import dataclass
from typing import List, Sequence


@dataclass
class Verdict:
    passed: bool
    lines: List[str]

    @property
    def status(self) -> int:
        return 0 if self.passed else 1


def one_line(text: str) -> str:
    """TEXT fit for a field of a tab-separated line."""
    return " ".join(text.split())


def check_lines(what: str, passed: bool, detail: str, results: bool) -> List[str]:
    """The lines that report one check: the program's line first (with RESULTS), then the reader's.
    A passing check's detail goes to the program's line only."""
    detail = one_line(detail)
    lines = []
    if results:
        lines.append(f"{'pass' if passed else 'fail'}\t{what}\t{detail}")
    if passed:
        lines.append(f"pass  {what}")
    else:
        lines.append(f"fail  {what}: {detail}" if detail else f"fail  {what}")
    return lines


def verdict(subject: str, failed: Sequence[str], expected: Sequence[str]) -> Verdict:
    """The verdict on SUBJECT, whose checks FAILED (their WHATs), given the --expect-fail TEXTs."""
    if not expected:
        if not failed:
            return Verdict(True, [f"verdict: all checks pass for {subject}"])
        return Verdict(False, [f"verdict: {len(failed)} check(s) fail for {subject}"])
    unexpected = [what for what in failed if not any(text in what for text in expected)]
    missing = [text for text in expected if not any(text in what for what in failed)]
    if not unexpected and not missing:
        return Verdict(True, [f"verdict: the checks reject {subject} for each known fault and nothing else"])
    lines = [f"verdict: the checks do not reject {subject} as expected"]
    # Each name quoted and followed by a blank, as the shell checkers print them.
    if missing:
        lines.append("  no check failed for " + "".join(f'"{text}" ' for text in missing))
    if unexpected:
        lines.append("  failed unexpectedly: " + "".join(f'"{what}" ' for what in unexpected))
    return Verdict(False, lines)
