# SPDX-License-Identifier: Apache-2.0
"""What was handed over, and the binary clauses: each is judged from the
binary checks it is made of (pellix.abi, run here in-process). Nothing
here loads the module.
"""

import hashlib
import os
from typing import Callable, List, Optional

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


def read_facts(path: str, check_module: Optional[CheckModule] = None) -> abi.Result:
    """The module's binary facts (by pellix.abi, or CHECK_MODULE in its
    place); the kit could not run when they cannot be read."""
    try:
        return (check_module or abi.check_module)(path)
    except abi.AbiError as error:
        raise CouldNotRun(f"the binary facts of {path} cannot be read: {error}") from None


def _evidence(facts: abi.Result, check_ids: List[str], path: str) -> str:
    """What the failed checks among CHECK_IDS saw, or nothing when all passed."""
    by_id = {check.id: check for check in facts.checks}
    failures = []
    for check_id in check_ids:
        check = by_id.get(check_id)
        if check is None:
            raise CouldNotRun(f'the binary facts of {path} hold no check "{check_id}"')
        if not check.passed:
            detail = " ".join(check.detail.split())
            failures.append(f"{check.description} failed" + (f" ({detail})" if detail else ""))
    return "; ".join(failures)


def _notes(facts: abi.Result, check_ids: List[str]) -> str:
    """What the passing checks among CHECK_IDS noted, such as a linker's
    veneer they accepted: shown beside the pass, never a verdict."""
    by_id = {check.id: check for check in facts.checks}
    notes = [" ".join(by_id[check_id].detail.split()) for check_id in check_ids
             if check_id in by_id and by_id[check_id].passed and by_id[check_id].detail.strip()]
    return "; ".join(notes)


def judge_binary(run: Run, module: Module, facts: abi.Result) -> None:
    """The module's identity and its binary clauses, in the list's order;
    without --keep-going, none after its first failure. binary.armv5te
    waits for the device."""
    with open(module.path, "rb") as handle:
        module.sha256 = hashlib.sha256(handle.read()).hexdigest()
    module.build_id, module.version = facts.build_id, facts.version
    for clause in run.clauses:
        if not clause.binary or not run.judged(clause):
            continue
        evidence = _evidence(facts, list(clause.checks), module.path)
        if clause.id == ARMV5TE.id:
            module.attributes_evidence = evidence
            continue
        verdict = Verdict(judge.FAIL, evidence) if evidence else Verdict(judge.PASS, _notes(facts, list(clause.checks)))
        run.record(module, clause.id, verdict)
        if not run.goes_on(module):
            return


def decide_armv5te(run: Run, module: Module) -> None:
    """binary.armv5te: the build attributes, and no newer instruction
    reached in any clause on the device."""
    if module.attributes_evidence is None:
        return
    evidence = module.attributes_evidence
    if module.illegal_in:
        evidence += ("; " if evidence else "") + \
            f"an instruction newer than ARMv5TE was reached in {', '.join(module.illegal_in)}"
    if evidence:
        run.record(module, ARMV5TE.id, Verdict(judge.FAIL, evidence))
    elif run.goes_on(module):
        run.record(module, ARMV5TE.id, Verdict(judge.PASS))
