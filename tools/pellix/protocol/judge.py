# SPDX-License-Identifier: Apache-2.0
"""The conformance judge's protocol: its options, its lines to the host and its exit statuses.

lights-conformance (the host) starts lights-conformance-judge on the device
through pellix-device, with this run's token as the judge's standard input.
Every line the judge prints starts with the token, then the kind of line,
then that kind's fields, all separated by SEPARATOR; a field never holds
the separator or a newline (the judge turns them into blanks). The host
reads no line that lacks the token, so nothing a module writes can pass for
one of the judge's. A clause that has no clause line was not run.

The judge's list (--list), which the build keeps beside the kit, is one
clause a line: LIST_FIELDS, separated by SEPARATOR.
"""

from typing import Dict, List, Tuple

from pellix.protocol import Constant
from pellix.protocol import device

SEPARATOR = "\t"

# The options the host gives the judge.
OPTION_LIST = "--list"
OPTION_KEEP_GOING = "--keep-going"
OPTION_CONTRACT_ONLY = "--contract-only"
OPTION_TIME_SCALE = "--time-scale"
# Run only this clause (an id of the list); repeated, only those, in the
# list's order.
OPTION_CLAUSE = "--clause"
# With exactly one --clause: its process waits, the module loaded, before
# the clause's first call into it, for gdbserver, which the judge attaches
# to it over the device's debugger port; that clause has no time limit.
OPTION_GDB = "--gdb"
# The device's debugger port (the runner's, by its name) and gdbserver.
GDB_PORT_NAME = device.PORT_GDB
GDBSERVER = "/usr/bin/gdbserver"

# The token: drawn by the host, refused by the judge when shorter.
TOKEN_MIN_LENGTH = 16
TOKEN_MAX_LENGTH = 79

# The kinds of line, each with its fields after the kind.
CLAUSE = "clause"
ILLEGAL_INSTRUCTION = "illegal-instruction"
DONE = "done"
KIT = "kit"
END = "end"
FIELDS: Dict[str, Tuple[str, ...]] = {
    # A verdict. SIGNAL is the signal that ended the clause's process, 0 for
    # none; EVIDENCE (last, free text) is empty for a pass.
    CLAUSE: ("module", "clause", "verdict", "pid", "seconds", "signal", "evidence"),
    # The clause's process reached an instruction the device's CPU lacks.
    ILLEGAL_INSTRUCTION: ("module", "clause"),
    # Every clause to be run on the module has its verdict.
    DONE: ("module",),
    # The kit's own set-up on the device failed; the judge exits EXIT_KIT.
    KIT: ("why",),
    # The judge's last line: every module is done.
    END: (),
}

# The verdict of a clause line.
PASS = "pass"
FAIL = "fail"
COULD_NOT_RUN = "could-not-run"
VERDICTS = (PASS, FAIL, COULD_NOT_RUN)

# What a clause rests on, in the list.
CONTRACT = "contract"
POLICY = "policy"
KINDS = (CONTRACT, POLICY)
LIST_FIELDS = ("id", "kind", "seconds", "title")

# The clause that loads the module: the list's first, and a module that
# fails it gets no further clause.
LOAD_CLAUSE = "record.load"

# The judge's exit statuses.
EXIT_RAN = 0
EXIT_USAGE = 2
EXIT_KIT = 3


def _fields(prefix: str, line: str, names: Tuple[str, ...]) -> List[Constant]:
    """The index of each field of a line, and their count."""
    constants = [Constant(f"{prefix}_FIELD_{name.upper()}", index, f"{line}: where {name} is among its fields")
                 for index, name in enumerate(names)]
    return constants + [Constant(f"{prefix}_FIELDS", len(names), f"{line}: how many fields it has")]


CONSTANTS: List[Constant] = [
    Constant("JUDGE_SEPARATOR", SEPARATOR, "between the fields of a line"),
    Constant("JUDGE_OPTION_LIST", OPTION_LIST, "print the clause list and exit"),
    Constant("JUDGE_OPTION_KEEP_GOING", OPTION_KEEP_GOING, "run every clause, past a module's first failure"),
    Constant("JUDGE_OPTION_CONTRACT_ONLY", OPTION_CONTRACT_ONLY, "run no policy clause"),
    Constant("JUDGE_OPTION_TIME_SCALE", OPTION_TIME_SCALE, "multiplies every time limit (a positive number)"),
    Constant("JUDGE_OPTION_CLAUSE", OPTION_CLAUSE, "run only this clause (repeated: only these)"),
    Constant("JUDGE_OPTION_GDB", OPTION_GDB, "the one clause's process waits for gdbserver, the module loaded"),
    Constant("JUDGE_GDB_PORT_NAME", GDB_PORT_NAME, "the device's debugger port, found by this name"),
    Constant("JUDGE_GDBSERVER", GDBSERVER, "gdbserver on the device, attached to the clause's process"),
    Constant("JUDGE_TOKEN_MIN_LENGTH", TOKEN_MIN_LENGTH, "a shorter token is refused as bad usage"),
    Constant("JUDGE_TOKEN_MAX_LENGTH", TOKEN_MAX_LENGTH, "the longest token the judge keeps"),
    Constant("JUDGE_LINE_CLAUSE", CLAUSE, "a clause's verdict"),
    Constant("JUDGE_LINE_ILLEGAL_INSTRUCTION", ILLEGAL_INSTRUCTION,
             "a clause's process reached an instruction the CPU lacks"),
    Constant("JUDGE_LINE_DONE", DONE, "a module's clauses are done"),
    Constant("JUDGE_LINE_KIT", KIT, "the kit's own set-up failed"),
    Constant("JUDGE_LINE_END", END, "the judge's last line"),
    *_fields("JUDGE_CLAUSE", "a clause line, after its kind", FIELDS[CLAUSE]),
    *_fields("JUDGE_ILLEGAL_INSTRUCTION", "an illegal-instruction line, after its kind", FIELDS[ILLEGAL_INSTRUCTION]),
    *_fields("JUDGE_DONE", "a done line, after its kind", FIELDS[DONE]),
    *_fields("JUDGE_KIT", "a kit line, after its kind", FIELDS[KIT]),
    *_fields("JUDGE_END", "the end line, after its kind", FIELDS[END]),
    Constant("JUDGE_VERDICT_PASS", PASS, "the module did what the clause asks"),
    Constant("JUDGE_VERDICT_FAIL", FAIL, "it did not"),
    Constant("JUDGE_VERDICT_COULD_NOT_RUN", COULD_NOT_RUN, "the kit's own set-up failed for this clause"),
    Constant("JUDGE_KIND_CONTRACT", CONTRACT, "a clause of the module's contract"),
    Constant("JUDGE_KIND_POLICY", POLICY, "a clause of this platform's policy beyond the contract"),
    *_fields("JUDGE_LIST", "a line of the list", LIST_FIELDS),
    Constant("JUDGE_LOAD_CLAUSE", LOAD_CLAUSE, "the first clause; a module that fails it gets no other"),
    Constant("JUDGE_EXIT_RAN", EXIT_RAN, "the clauses ran, whatever their verdicts"),
    Constant("JUDGE_EXIT_USAGE", EXIT_USAGE, "bad usage"),
    Constant("JUDGE_EXIT_KIT", EXIT_KIT, "the kit's own set-up failed"),
]
