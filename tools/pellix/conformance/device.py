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
from typing import List

from pellix.conformance import CouldNotRun
from pellix.conformance.verdicts import Module, Run, Verdict
from pellix.protocol import judge

# The runner's own time beyond the clauses' limits, for the boot.
BOOT_ALLOWANCE = 60
# Under the debugger the run has no limit of the clause's; the runner's is
# a day, so that a forgotten session still ends.
DEBUGGER_TIMEOUT = 86400


class Kit:
    """The kit's installed pieces under PREFIX."""

    def __init__(self, prefix: str) -> None:
        self.share = os.path.join(prefix, "share", "lights-conformance")
        self.judge = os.path.join(self.share, "lights-conformance-judge")
        self.runner = os.path.join(prefix, "bin", "pellix-device")


def crash_place(errors: str, pid: str, module: Module) -> str:
    """Where the clause's process died in the module: the module's
    innermost frame in the runner's crash report of that process, as
    "; the fault: in FUNCTION at FILE:LINE (module-N.so+OFFSET)", the file
    and line where the module has debug information."""
    inside = False
    for line in errors.splitlines():
        if line.startswith("pellix-device: "):
            inside = line.startswith(f"pellix-device: crash: process {pid} (")
            continue
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
        kind, shown = fields[1] if len(fields) > 1 else "", judge.SEPARATOR.join(fields[1:])
        names = judge.FIELDS.get(kind)
        if names is None or len(fields) - 2 != len(names):
            raise CouldNotRun(f"the judge's line '{shown}' is not of its protocol")
        given = dict(zip(names, fields[2:]))
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
        ended = ended or kind == judge.END
    if not ended:
        last = errors.splitlines()[-1] if errors.splitlines() else ""
        raise CouldNotRun(f"the judge ended before its last verdict: {last}")


def judge_on_device(kit: Kit, run: Run, scratch: str, per_mille: int) -> None:
    """Runs every module that still needs the device through the judge, in
    one boot, and records its verdicts."""
    sent = [module for module in run.modules if run.goes_on(module)]
    clauses = [clause for clause in run.clauses if clause.seconds is not None and run.judged(clause)]
    if not sent or not clauses:
        return
    options = [judge.OPTION_TIME_SCALE, f"{per_mille // 1000}.{per_mille % 1000:03d}"]
    if run.keep_going:
        options.append(judge.OPTION_KEEP_GOING)
    if run.contract_only:
        options.append(judge.OPTION_CONTRACT_ONLY)
    if run.selected is not None:
        options += [word for clause in clauses for word in (judge.OPTION_CLAUSE, clause.id)]
    # Each module goes to the device under a name of its own, which its crash report names.
    names = [f"module-{module.number}.so" for module in sent]
    files: List[str] = []
    for module, name in zip(sent, names):
        os.symlink(os.path.realpath(module.path), os.path.join(scratch, name))
        files += ["--file", os.path.join(scratch, name)]
    # This run's token: only the judge is given it.
    token = secrets.token_hex(16)
    with open(os.path.join(scratch, "token"), "w") as handle:
        handle.write(token + "\n")
    # The runner counts its time-out from the judge's start and scales it itself.
    total = sum(clause.seconds or 0 for clause in run.clauses if run.chosen(clause))
    runner = ["--timeout", str(total * len(sent) + BOOT_ALLOWANCE)]
    if run.gdb_port is not None:
        # The program attaches gdbserver to itself: the judge, to the clause's process.
        runner = ["--timeout", str(DEBUGGER_TIMEOUT), "--gdb-attach", str(run.gdb_port)]
        options.append(judge.OPTION_GDB)
    command = [kit.runner, *runner, "--stdin", os.path.join(scratch, "token"), *files, "--", kit.judge, *options,
               *(f"./{name}" for name in names)]
    try:
        ran = _run(command, os.path.join(scratch, "judge"), debugged=run.gdb_port is not None)
    except OSError as error:
        raise CouldNotRun(f"cannot start {kit.runner}: {error.strerror}") from None
    errors = ran.stderr.decode("utf-8", "replace")
    read_lines(run, sent, token, ran.stdout.decode("utf-8", "replace"), errors)
    if ran.returncode != 0:
        sys.stderr.write(errors)
        raise CouldNotRun(f"the device could not judge the modules (status {ran.returncode})")


def _run(command: List[str], output_file: str, debugged: bool) -> "subprocess.CompletedProcess[bytes]":
    """Runs COMMAND, its standard output kept in OUTPUT_FILE and its standard
    error kept; under the debugger that is passed on here as it comes, so
    the supplier sees when the clause's process waits, and gdbserver's words."""
    # Ctrl-C, which a supplier at the debugger is apt to press, stops the
    # runner (in the same process group); its status says so.
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN) if debugged else None
    errors = b""
    try:
        with open(output_file, "w+b") as output, \
                subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=output, stderr=subprocess.PIPE,
                                 preexec_fn=_default_interrupt if debugged else None) as runner:
            assert runner.stderr is not None
            for line in runner.stderr:
                errors += line
                if debugged:
                    sys.stderr.buffer.write(line)
                    sys.stderr.flush()
            status = runner.wait()
            output.seek(0)
            return subprocess.CompletedProcess(command, status, output.read(), errors)
    finally:
        if previous is not None:
            signal.signal(signal.SIGINT, previous)


def _default_interrupt() -> None:
    signal.signal(signal.SIGINT, signal.SIG_DFL)
