# SPDX-License-Identifier: Apache-2.0
"""The clause list, in the order the clauses run and are reported: the
binary clauses declared here, each with the pellix.abi checks it is made
of, then the device clauses of the judge's own list (--list, which the
build keeps beside the kit, so that a clause added on the device needs
nothing here), then binary.armv5te, which the device's run decides too.
"""

import fnmatch
import os
from dataclasses import dataclass
from typing import List, Optional, Sequence, Tuple

from pellix.conformance import CouldNotRun, rebuild
from pellix.protocol import judge


@dataclass(frozen=True)
class Clause:
    id: str  # AREA.NAME
    kind: str  # judge.CONTRACT or judge.POLICY
    seconds: Optional[int]  # the device's time limit; None for a binary fact, read here
    title: str
    checks: Tuple[str, ...] = ()  # the binary checks it is made of


BINARY = [
    Clause("binary.object", judge.CONTRACT, None, "an ARM EABI5 soft-float shared object, soname lumivane.so",
           ("elf32", "machine-arm", "eabi5", "soft-float", "dyn", "soname")),
    Clause("binary.exports", judge.CONTRACT, None,
           "exports exactly HMI (a 128-byte object) and init_globals (a function)",
           ("exports", "export-kinds", "hmi-size")),
    Clause("binary.needed", judge.CONTRACT, None,
           "needs the log library, and nothing beyond it but the C library "
           "(libc.so.6, libpthread.so.0, ld-linux.so.3)", ("needed",)),
    Clause("binary.versions", judge.POLICY, None, "binds no symbol version above the ARM EABI baseline GLIBC_2.4",
           ("versions",)),
    Clause("binary.relocations", judge.POLICY, None, "no text relocations, no executable stack",
           ("textrel", "stack")),
    Clause("binary.thumb", judge.CONTRACT, None, "every function of the module's code enters in Thumb state",
           ("thumb",)),
]
ARMV5TE = Clause("binary.armv5te", judge.CONTRACT, None,
                 "build attributes no newer than ARMv5TE, and no newer instruction reached in any clause on the "
                 "device's ARM926", ("cpu-arch",))

LIST_FILE = "device-clauses.tsv"


def listed(kit: str) -> List[Clause]:
    """Every clause, in order, with the device's from the judge's list in the folder KIT."""
    path = os.path.join(kit, LIST_FILE)
    try:
        with open(path, encoding="utf-8") as handle:
            lines = handle.read().splitlines()
    except OSError:
        raise CouldNotRun(f"{path} is missing: {rebuild()}") from None
    device = []
    for number, line in enumerate(lines, 1):
        fields = line.split(judge.SEPARATOR)
        given = dict(zip(judge.LIST_FIELDS, fields))
        if len(fields) != len(judge.LIST_FIELDS) or given["kind"] not in judge.KINDS or not given["seconds"].isdigit():
            raise CouldNotRun(f"{path}:{number} is no clause of the judge's list: {rebuild()}")
        device.append(Clause(given["id"], given["kind"], int(given["seconds"]), given["title"]))
    return BINARY + device + [ARMV5TE]


def list_line(clause: Clause) -> str:
    """--list's line: ID, KIND, TIME LIMIT (- for none), TITLE, separated
    by tabs (the kit's own output, whatever the judge's separator)."""
    return "\t".join((clause.id, clause.kind, "-" if clause.seconds is None else str(clause.seconds), clause.title))


class Unmatched(CouldNotRun):
    """A --clause pattern that matches no clause; it holds the list to show."""

    def __init__(self, message: str, listed: List[Clause]) -> None:
        super().__init__(message)
        self.listed = listed


def select(listed: List[Clause], patterns: Sequence[str]) -> List[Clause]:
    """The clauses whose ids match any of PATTERNS (shell-style: * ? [...],
    so an exact id matches itself alone), in the list's order."""
    for pattern in patterns:
        if not any(fnmatch.fnmatchcase(clause.id, pattern) for clause in listed):
            raise Unmatched(f"--clause {pattern} matches no clause; the clauses are:", listed)
    return [clause for clause in listed if any(fnmatch.fnmatchcase(clause.id, pattern) for pattern in patterns)]
