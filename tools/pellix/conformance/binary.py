# SPDX-License-Identifier: Apache-2.0
"""What was handed over, and the binary clauses: each is judged from the
binary checks it is made of (pellix.abi, run here in-process). Nothing
here loads the module.
"""

import hashlib
import os
from typing import Callable, Optional

from pellix import abi
from pellix.conformance import CouldNotRun
from pellix.conformance.clauses import ARMV5TE
from pellix.conformance.verdicts import Module, Run, Verdict
from pellix.elf import ElfError, ElfFile
from pellix.protocol import judge

CheckModule = Callable[[str], abi.Result]


def check_file(path: str) -> None:
    """Refuses what is no module: a file it cannot read, no ELF file, an
    ELF file but no shared object, or a (position-independent) program."""
    if not os.path.isfile(path) or not os.access(path, os.R_OK):
        raise CouldNotRun(f"cannot read {path}")
    try:
        elf = ElfFile(path)
        if elf.header().type != "ET_DYN":
            raise CouldNotRun(f"not a module: {path} is an ELF file but not a shared object")
        if elf.dynamic().pie:
            raise CouldNotRun(f"not a module: {path} is a program, not a shared object")
    except ElfError as error:
        raise CouldNotRun(f"not a module: {error}") from None


def judge_binary(run: Run, module: Module, check_module: Optional[CheckModule] = None) -> None:
    """The module's identity and its binary clauses, from its binary facts
    (by pellix.abi, or CHECK_MODULE in its place), in the list's order;
    without --keep-going, none after its first failure. binary.armv5te
    waits for the device."""
    try:
        facts = (check_module or abi.check_module)(module.path)
    except abi.AbiError as error:
        raise CouldNotRun(f"the binary facts of {module.path} cannot be read: {error}") from None
    with open(module.path, "rb") as handle:
        module.sha256 = hashlib.sha256(handle.read()).hexdigest()
    module.build_id, module.version = facts.build_id, facts.version
    by_id = {check.id: check for check in facts.checks}
    for clause in run.clauses:
        if not clause.checks or not run.judged(clause):
            continue
        failures, notes = [], []
        for check_id in clause.checks:
            if check_id not in by_id:
                raise CouldNotRun(f'the binary facts of {module.path} hold no check "{check_id}"')
            check, detail = by_id[check_id], " ".join(by_id[check_id].detail.split())
            if not check.passed:
                failures.append(f"{check.description} failed" + (f" ({detail})" if detail else ""))
            elif detail:
                # What a passing check noted, such as a linker's veneer it
                # accepted: shown beside the pass, never a verdict.
                notes.append(detail)
        if clause.id == ARMV5TE.id:
            module.attributes_evidence = "; ".join(failures)
            continue
        run.record(module, clause.id, Verdict(judge.FAIL, "; ".join(failures)) if failures
                   else Verdict(judge.PASS, "; ".join(notes)))
        if not run.goes_on(module):
            return


def decide_armv5te(run: Run, module: Module) -> None:
    """binary.armv5te: the build attributes, and no newer instruction
    reached in any clause on the device."""
    if module.attributes_evidence is None:
        return
    failures = [module.attributes_evidence] if module.attributes_evidence else []
    if module.illegal_in:
        failures.append(f"an instruction newer than ARMv5TE was reached in {', '.join(module.illegal_in)}")
    if failures:
        run.record(module, ARMV5TE.id, Verdict(judge.FAIL, "; ".join(failures)))
    elif run.goes_on(module):
        run.record(module, ARMV5TE.id, Verdict(judge.PASS))
