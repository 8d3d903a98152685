# SPDX-License-Identifier: Apache-2.0
"""What the footprint, system call and self-test checkers share beyond
their lines and verdict (pellix.verdict): the checks of one run, kept for a
caller in the library (bench), the options as the shell checkers took
them, and the entry that turns a run into an exit status.
"""

import sys
from dataclasses import dataclass, field
from typing import Callable, Dict, List, Optional, Sequence, Set, TextIO, Tuple

from pellix import verdict


class Checks:
    """The checks of one run, printed as they are made, and kept: the
    figures by name, and each failure as "WHAT" and as "WHAT: DETAIL"."""

    def __init__(self, expected: Optional[List[str]] = None, out: Optional[TextIO] = None) -> None:
        self.expected = list(expected or [])
        self.failures: List[str] = []
        self.failure_lines: List[str] = []
        self.figures: Dict[str, str] = {}
        self.out = out or sys.stdout

    def check(self, what: str, passed: bool, detail: str = "") -> bool:
        """Prints the check WHAT; DETAIL, if not empty, follows a failure."""
        for line in verdict.check_lines(what, passed, detail, False):
            self.out.write(line + "\n")
        if not passed:
            self.failures.append(what)
            self.failure_lines.append(line[len("fail  "):])
        return passed

    def figure(self, name: str, value: object) -> None:
        self.figures.setdefault(name, str(value))
        self.out.write(f"figure: {name} {value}\n")

    def verdict(self, subject: str) -> int:
        """Prints the verdict on SUBJECT; returns the exit status, 0 when it passes, 1 if not."""
        judged = verdict.verdict(subject, self.failures, self.expected)
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


def parse(argv: Sequence[str], values: Sequence[str], flags: Sequence[str], positionals: int) -> Options:
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
