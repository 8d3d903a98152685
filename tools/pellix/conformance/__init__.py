# SPDX-License-Identifier: Apache-2.0
"""lights-conformance's host side: the clause list (clauses), a run's
verdicts (verdicts), the binary clauses read here by pellix.abi (binary),
one boot of the judge for every module (device), the reports (reports) and
the command (command)."""

from pellix import mend


class CouldNotRun(Exception):
    """The kit could not qualify: bad usage, a file that is no module, or
    its own set-up failing. The message says why."""


def rebuild() -> str:
    """How to mend a kit missing a part."""
    return mend("run make to build the kit", "reinstall lights-conformance")
