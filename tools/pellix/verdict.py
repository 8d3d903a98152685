# SPDX-License-Identifier: Apache-2.0
"""What every binary checker shares: one line per check, "pass  WHAT" or
"fail  WHAT: DETAIL", and a verdict, which --expect-fail TEXT turns round
for a sample with known faults.

With expectations, the verdict passes only when each TEXT is part of the
WHAT of a check that failed, and every check that failed has one of them
in its WHAT: a sample must be rejected for its faults and nothing else.
"""

import sys
from dataclasses import dataclass, field
from typing import Callable, Dict, List, Optional, Sequence, Set, TextIO, Tuple


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


class Checks:
    """The checks of one run, printed as they are made, and kept: the
    figures by name, and each failure as "WHAT" and as "WHAT: DETAIL"."""

    def __init__(self, expected: Optional[List[str]] = None, out: Optional[TextIO] = None,
                 results: bool = False) -> None:
        self.expected = list(expected or [])
        self.failures: List[str] = []
        self.failure_lines: List[str] = []
        self.figures: Dict[str, str] = {}
        self.out = out or sys.stdout
        # Also each check as "pass|fail<TAB>WHAT<TAB>DETAIL", for a program.
        self.results = results

    def check(self, what: str, passed: bool, detail: str = "") -> bool:
        """Prints the check WHAT; DETAIL, if not empty, follows a failure."""
        for line in check_lines(what, passed, detail, self.results):
            self.out.write(line + "\n")
        if not passed:
            self.failures.append(what)
            self.failure_lines.append(f"{what}{': ' + one_line(detail) if detail else ''}")
        return passed

    def figure(self, name: str, value: object) -> None:
        self.figures.setdefault(name, str(value))
        self.out.write(f"figure: {name} {value}\n")

    def verdict(self, subject: str) -> int:
        """Prints the verdict on SUBJECT; returns the exit status, 0 when it passes, 1 if not."""
        judged = verdict(subject, self.failures, self.expected)
        for line in judged.lines:
            self.out.write(line + "\n")
        return judged.status


class Usage(Exception):
    """Arguments a checker cannot take; it prints its usage and exits 2."""


class CannotCheck(Exception):
    """What keeps a checker from checking at all: the message says why, and
    STATUS is the exit status it ends with (2 unless a reason to skip)."""

    def __init__(self, message: str, status: int = 2) -> None:
        super().__init__(message)
        self.status = status


Run = Callable[[Sequence[str], TextIO], Tuple[int, Checks]]


def main(command: str, usage: str, run: Run, argv: Sequence[str]) -> int:
    """A checker's entry: RUN's status, the usage and status 2 for arguments
    it cannot take, "COMMAND: WHY" and the status of what stopped it."""
    try:
        return run(argv, sys.stdout)[0]
    except Usage:
        print(usage, file=sys.stderr)
        return 2
    except CannotCheck as error:
        sys.stdout.flush()
        print(f"{command}: {error}", file=sys.stderr)
        return error.status


def parse(argv: List[str], values: List[str], flags: List[str], positionals: int) -> "Options":
    """The checkers' options, as they always took them: each of VALUES takes
    the next argument, --expect-fail may repeat, each of FLAGS stands alone,
    and exactly POSITIONALS arguments follow them all."""
    options = Options()
    rest = list(argv)
    while len(rest) > positionals:
        name = rest.pop(0)
        if name == "--expect-fail" and len(rest) > positionals:
            options.expected.append(rest.pop(0))
        elif name in values and len(rest) > positionals:
            options.values[name] = rest.pop(0)
        elif name in flags:
            options.flags.add(name)
        else:
            raise Usage(name)
    if len(rest) != positionals:
        raise Usage("")
    options.positionals = rest
    return options


@dataclass
class Options:
    expected: List[str] = field(default_factory=list)
    values: Dict[str, str] = field(default_factory=dict)
    flags: Set[str] = field(default_factory=set)
    positionals: List[str] = field(default_factory=list)

    def integer(self, name: str, default: int) -> int:
        """Option NAME as a whole number of at least 0, or DEFAULT."""
        text = self.values.get(name)
        if text is None:
            return default
        if not text.isdigit() or not text.isascii():
            raise Usage(name)
        return int(text)
