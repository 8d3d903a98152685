# SPDX-License-Identifier: Apache-2.0
"""One boot for every module that still needs the device: the judge runs
there through pellix-device, and its lines come back on its standard
output. Only lines that carry this run's token are read; their form is
pellix.protocol.judge's.
"""

import os
import re
import secrets
import signal
import subprocess
import sys
from dataclasses import dataclass
from typing import IO, List

from pellix.conformance import CouldNotRun
from pellix.conformance.clauses import Clause
from pellix.conformance.verdicts import Module, Run, Verdict
from pellix.protocol import judge

# The runner's own time beyond the clauses' limits, for the boot.
BOOT_ALLOWANCE = 60
# Under the debugger the run has no limit of the clause's; the runner's is
# a day, so that a forgotten session still ends.
DEBUGGER_TIMEOUT = 86400
# The runner's option for a debugger line that the program attaches
# gdbserver to itself (the judge, to the clause's process).
RUNNER_GDB_ATTACH = "--gdb-attach"


@dataclass(frozen=True)
class Kit:
    """The kit's installed pieces, under PREFIX."""

    prefix: str

    @property
    def share(self) -> str:
        return os.path.join(self.prefix, "share", "lights-conformance")

    @property
    def judge(self) -> str:
        return os.path.join(self.share, "lights-conformance-judge")

    @property
    def runner(self) -> str:
        return os.path.join(self.prefix, "bin", "pellix-device")


def draw_token() -> str:
    """This run's token: only the judge is given it."""
    token = secrets.token_hex(16)
    assert judge.TOKEN_MIN_LENGTH <= len(token) <= judge.TOKEN_MAX_LENGTH
    return token


def judge_options(run: Run, per_mille: int) -> List[str]:
    options = [judge.OPTION_TIME_SCALE, f"{per_mille // 1000}.{per_mille % 1000:03d}"]
    if run.keep_going:
        options.append(judge.OPTION_KEEP_GOING)
    if run.contract_only:
        options.append(judge.OPTION_CONTRACT_ONLY)
    if run.selected is not None:
        for clause in device_clauses(run):
            options += [judge.OPTION_CLAUSE, clause.id]
    if run.gdb_port is not None:
        options.append(judge.OPTION_GDB)
    return options


def device_clauses(run: Run) -> List[Clause]:
    """The device clauses judged in this run."""
    return [clause for clause in run.clauses if clause.seconds is not None and run.judged(clause)]


def crash_place(errors: str, pid: str, module: Module) -> str:
    """Where the clause's process died in the module: the module's
    innermost frame in the runner's crash report of that process, as
    "; the fault: in FUNCTION at FILE:LINE (module-N.so+OFFSET)", the file
    and line where the module has debug information."""
    inside = False
    for line in errors.splitlines():
        if line.startswith(f"pellix-device: crash: process {pid} ("):
            inside = True
            continue
        if line.startswith("pellix-device: "):
            inside = False
        words = line.split()
        if inside and len(words) >= 3 and re.fullmatch(r"#[0-9]+", words[0]) \
                and words[1].startswith(f"module-{module.number}.so+"):
            at = f" at {words[3]}" if len(words) > 3 else ""
            return f"; the fault: in {words[2]}{at} ({words[1]})"
    return ""


def read_lines(run: Run, sent: List[Module], token: str, output: str, errors: str) -> None:
    """Records the verdicts of the judge's OUTPUT for the modules SENT, in
    the order sent; ERRORS is its standard error, with the runner's crash
    reports."""
    ended = False
    for line in output.splitlines():
        fields = line.split(judge.SEPARATOR)
        if fields[0] != token:
            continue
        kind, values = fields[1] if len(fields) > 1 else "", fields[2:]
        shown = judge.SEPARATOR.join(fields[1:])
        names = judge.FIELDS.get(kind)
        if names is None or len(values) != len(names):
            raise CouldNotRun(f"the judge's line '{shown}' is not of its protocol")
        given = dict(zip(names, values))
        module = None
        if "module" in given:
            if not given["module"].isdigit() or not 1 <= int(given["module"]) <= len(sent):
                raise CouldNotRun(f"the judge's line '{shown}' names no module sent")
            module = sent[int(given["module"]) - 1]
        if kind == judge.CLAUSE and module is not None:
            evidence = given["evidence"]
            if given["signal"] != "0" and given["pid"].isdigit():
                evidence += crash_place(errors, given["pid"], module)
            try:
                seconds = float(given["seconds"])
            except ValueError:
                raise CouldNotRun(f"the judge's line '{shown}' is not of its protocol") from None
            run.record(module, given["clause"], Verdict(given["verdict"], evidence, given["pid"], seconds))
        elif kind == judge.ILLEGAL_INSTRUCTION and module is not None:
            module.illegal_in.append(given["clause"])
        elif kind == judge.KIT:
            raise CouldNotRun(f"the kit's own set-up on the device failed: {given['why']}")
        elif kind == judge.END:
            ended = True
    if not ended:
        last = errors.splitlines()[-1] if errors.splitlines() else ""
        raise CouldNotRun(f"the judge ended before its last verdict: {last}")


def _passed_on(command: List[str], output: IO[bytes], errors: IO[bytes]) -> int:
    """Runs COMMAND with its standard error kept in ERRORS and passed on
    here as it comes: under the debugger the supplier sees when the
    clause's process waits, and gdbserver's words."""
    # Ctrl-C, which a supplier at the debugger is apt to press, stops the
    # runner (in the same process group); its status says so.
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        with subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=output, stderr=subprocess.PIPE,
                              preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL)) as runner:
            assert runner.stderr is not None
            for line in iter(runner.stderr.readline, b""):
                errors.write(line)
                sys.stderr.buffer.write(line)
                sys.stderr.flush()
            return runner.wait()
    finally:
        signal.signal(signal.SIGINT, previous)


def judge_on_device(kit: Kit, run: Run, scratch: str, per_mille: int) -> None:
    """Runs every module that still needs the device through the judge, in
    one boot, and records its verdicts."""
    sent = [module for module in run.modules if run.goes_on(module)]
    if not sent or not device_clauses(run):
        return
    total = sum(clause.seconds for clause in run.clauses if clause.seconds is not None and run.chosen(clause))
    # Each module goes to the device under a name of its own; the runner
    # counts its time-out from the judge's start and scales it itself.
    files: List[str] = []
    arguments = []
    for module in sent:
        name = f"module-{module.number}.so"
        os.symlink(os.path.realpath(module.path), os.path.join(scratch, name))
        files += ["--file", os.path.join(scratch, name)]
        arguments.append(f"./{name}")
    token = draw_token()
    token_file = os.path.join(scratch, "token")
    with open(token_file, "w") as handle:
        handle.write(token + "\n")
    limit = total * len(sent) + BOOT_ALLOWANCE
    debugger: List[str] = []
    if run.gdb_port is not None:
        limit, debugger = DEBUGGER_TIMEOUT, [RUNNER_GDB_ATTACH, str(run.gdb_port)]
    command = [kit.runner, "--timeout", str(limit), *debugger, "--stdin", token_file, *files,
               "--", kit.judge, *judge_options(run, per_mille), *arguments]
    output_file, errors_file = os.path.join(scratch, "judge"), os.path.join(scratch, "judge.err")
    try:
        with open(output_file, "wb") as output, open(errors_file, "wb") as errors:
            if run.gdb_port is None:
                status = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=output, stderr=errors).returncode
            else:
                status = _passed_on(command, output, errors)
    except OSError as error:
        raise CouldNotRun(f"cannot start {kit.runner}: {error.strerror}") from None
    with open(output_file, "rb") as handle:
        output_text = handle.read().decode("utf-8", "replace")
    with open(errors_file, "rb") as handle:
        errors_text = handle.read().decode("utf-8", "replace")
    read_lines(run, sent, token, output_text, errors_text)
    if status != 0:
        sys.stderr.write(errors_text)
        raise CouldNotRun(f"the device could not judge the modules (status {status})")
