# SPDX-License-Identifier: Apache-2.0
"""What every binary checker shares: one line per check, "pass  WHAT" or
"fail  WHAT: DETAIL", its options, and a verdict, which --expect-fail TEXT
turns round for a sample with known faults: it passes only when each TEXT is
part of the WHAT of a check that failed, and every check that failed has one
of them in its WHAT. A sample must be rejected for its faults and nothing else.
"""

import sys
from dataclasses import dataclass, field
from typing import Callable, Dict, List, Optional, Sequence, Set, TextIO, Tuple


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
        """Prints the check WHAT; DETAIL, if not empty, follows a failure (and is in a program's line)."""
        detail = " ".join(detail.split())
        if self.results:
            self.out.write(f"{'pass' if passed else 'fail'}\t{what}\t{detail}\n")
        if passed:
            self.out.write(f"pass  {what}\n")
        else:
            self.failures.append(what)
            self.failure_lines.append(f"{what}: {detail}" if detail else what)
            self.out.write(f"fail  {self.failure_lines[-1]}\n")
        return passed

    def figure(self, name: str, value: object) -> None:
        self.figures.setdefault(name, str(value))
        self.out.write(f"figure: {name} {value}\n")

    def verdict(self, subject: str) -> int:
        """Prints the verdict on SUBJECT; returns the exit status, 0 when it passes, 1 if not."""
        if not self.expected:
            self.out.write(f"verdict: {len(self.failures)} check(s) fail for {subject}\n" if self.failures
                           else f"verdict: all checks pass for {subject}\n")
            return 1 if self.failures else 0
        unexpected = [what for what in self.failures if not any(text in what for text in self.expected)]
        missing = [text for text in self.expected if not any(text in what for what in self.failures)]
        if not unexpected and not missing:
            self.out.write(f"verdict: the checks reject {subject} for each known fault and nothing else\n")
            return 0
        self.out.write(f"verdict: the checks do not reject {subject} as expected\n")
        # Each name quoted and followed by a blank, as the shell checkers printed them.
        for heading, names in (("no check failed for", missing), ("failed unexpectedly:", unexpected)):
            if names:
                self.out.write(f"  {heading} " + "".join(f'"{name}" ' for name in names) + "\n")
        return 1


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
        text = self.values.get(name, str(default))
        if not text.isdigit() or not text.isascii():
            raise Usage(name)
        return int(text)


def parse(argv: List[str], values: List[str], flags: List[str], positionals: int) -> Options:
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
