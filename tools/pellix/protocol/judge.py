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

from typing import Dict, List, Tuple, TypeVar

from pellix.protocol import Constant, device

CONSTANTS: List[Constant] = []
Value = TypeVar("Value", str, int)


def _shared(name: str, value: Value, meaning: str) -> Value:
    """VALUE, declared to the device's end as the macro JUDGE_NAME."""
    CONSTANTS.append(Constant(f"JUDGE_{name}", value, meaning))
    return value


def _fields(name: str, line: str, names: Tuple[str, ...]) -> Tuple[str, ...]:
    """NAMES, each field's index and their count declared to the device's end."""
    for index, field in enumerate(names):
        _shared(f"{name}_FIELD_{field.upper()}", index, f"{line}: where {field} is among its fields")
    _shared(f"{name}_FIELDS", len(names), f"{line}: how many fields it has")
    return names


SEPARATOR = _shared("SEPARATOR", "\t", "between the fields of a line")

# The options the host gives the judge.
OPTION_LIST = _shared("OPTION_LIST", "--list", "print the clause list and exit")
OPTION_KEEP_GOING = _shared("OPTION_KEEP_GOING", "--keep-going", "run every clause, past a module's first failure")
OPTION_CONTRACT_ONLY = _shared("OPTION_CONTRACT_ONLY", "--contract-only", "run no policy clause")
OPTION_TIME_SCALE = _shared("OPTION_TIME_SCALE", "--time-scale", "multiplies every time limit (a positive number)")
# Repeated, only those clauses, in the list's order.
OPTION_CLAUSE = _shared("OPTION_CLAUSE", "--clause", "run only this clause (repeated: only these)")
# With exactly one --clause: its process waits, the module loaded, before
# the clause's first call into it, for gdbserver, which the judge attaches
# to it over the device's debugger port; that clause has no time limit.
OPTION_GDB = _shared("OPTION_GDB", "--gdb", "the one clause's process waits for gdbserver, the module loaded")
GDB_PORT_NAME = _shared("GDB_PORT_NAME", device.PORT_GDB, "the device's debugger port, found by this name")
GDBSERVER = _shared("GDBSERVER", "/usr/bin/gdbserver", "gdbserver on the device, attached to the clause's process")

# The token: drawn by the host, refused by the judge when shorter.
TOKEN_MIN_LENGTH = _shared("TOKEN_MIN_LENGTH", 16, "a shorter token is refused as bad usage")
TOKEN_MAX_LENGTH = _shared("TOKEN_MAX_LENGTH", 79, "the longest token the judge keeps")

# The kinds of line.
CLAUSE = _shared("LINE_CLAUSE", "clause", "a clause's verdict")
ILLEGAL_INSTRUCTION = _shared("LINE_ILLEGAL_INSTRUCTION", "illegal-instruction",
                              "a clause's process reached an instruction the CPU lacks")
DONE = _shared("LINE_DONE", "done", "a module's clauses are done")
# The judge then exits EXIT_KIT.
KIT = _shared("LINE_KIT", "kit", "the kit's own set-up failed")
END = _shared("LINE_END", "end", "the judge's last line")
# Each kind's fields after the kind. SIGNAL is the signal that ended the
# clause's process, 0 for none; EVIDENCE (last, free text) is empty for a pass.
FIELDS: Dict[str, Tuple[str, ...]] = {
    CLAUSE: _fields("CLAUSE", "a clause line, after its kind",
                    ("module", "clause", "verdict", "pid", "seconds", "signal", "evidence")),
    ILLEGAL_INSTRUCTION: _fields("ILLEGAL_INSTRUCTION", "an illegal-instruction line, after its kind",
                                 ("module", "clause")),
    DONE: _fields("DONE", "a done line, after its kind", ("module",)),
    KIT: _fields("KIT", "a kit line, after its kind", ("why",)),
    END: _fields("END", "the end line, after its kind", ()),
}

# The verdict of a clause line.
PASS = _shared("VERDICT_PASS", "pass", "the module did what the clause asks")
FAIL = _shared("VERDICT_FAIL", "fail", "it did not")
COULD_NOT_RUN = _shared("VERDICT_COULD_NOT_RUN", "could-not-run", "the kit's own set-up failed for this clause")
VERDICTS = (PASS, FAIL, COULD_NOT_RUN)

# What a clause rests on, in the list.
CONTRACT = _shared("KIND_CONTRACT", "contract", "a clause of the module's contract")
POLICY = _shared("KIND_POLICY", "policy", "a clause of this platform's policy beyond the contract")
KINDS = (CONTRACT, POLICY)
LIST_FIELDS = _fields("LIST", "a line of the list", ("id", "kind", "seconds", "title"))

LOAD_CLAUSE = _shared("LOAD_CLAUSE", "record.load", "the first clause; a module that fails it gets no other")

EXIT_RAN = _shared("EXIT_RAN", 0, "the clauses ran, whatever their verdicts")
EXIT_USAGE = _shared("EXIT_USAGE", 2, "bad usage")
EXIT_KIT = _shared("EXIT_KIT", 3, "the kit's own set-up failed")
