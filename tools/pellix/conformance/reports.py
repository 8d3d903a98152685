# SPDX-License-Identifier: Apache-2.0
"""The kit's reports: the text report of each module, and the JUnit
report (pellix.report), one testsuite per module."""

from typing import List

from pellix import report
from pellix.conformance.verdicts import Module, Run
from pellix.protocol import judge

# A verdict but a pass: its JUnit outcome, and its message's start.
FAILED = {judge.FAIL: ("fail", ""), judge.COULD_NOT_RUN: ("error", "could not run: ")}


def text(run: Run, module: Module) -> List[str]:
    """MODULE's text report, line by line."""
    alone = ", against the contract alone" if run.contract_only else ""
    lines = [f"lights-conformance: {module.path}{alone}", f"module: {module.path}", f"sha256: {module.sha256}",
             f"build-id: {module.build_id}", f"version: {module.version}"]
    if run.selected is not None:
        lines.append(f"clauses: {len(run.selected)} of {len(run.clauses)}, as --clause selected")
    not_run = not_judged = 0
    for clause in filter(run.chosen, run.clauses):
        shown = f"{clause.kind:<8}  {clause.id}: {clause.title}"
        verdict = module.verdicts.get(clause.id)
        if verdict is None:
            not_run += run.judged(clause)
            not_judged += not run.judged(clause)
        elif verdict.outcome == judge.PASS:
            lines.append(f"pass  {shown}" + (f" ({verdict.evidence})" if verdict.evidence else ""))
        else:
            said = "fail" if verdict.outcome == judge.FAIL else "could not run"
            lines.append(f"{said}  {shown}: {verdict.evidence}")
    if not_run:
        lines.append(f"{not_run} clause(s) not run after the first failure (--keep-going runs them)")
    if not_judged:
        lines.append(f"{not_judged} policy clause(s) not judged (--contract-only)")
    lines.append(f"{module.count(judge.PASS)} passed, {module.count(judge.FAIL)} failed, "
                 f"{module.count(judge.COULD_NOT_RUN)} could not run")
    return lines


def junit(run: Run) -> bytes:
    """The JUnit report of the run: a testsuite per module, a testcase per
    clause of the list, or of those --clause selected, whose ids its
    property "clauses" then names."""
    suites = []
    for module in run.modules:
        properties = {"module": module.path, "sha256": module.sha256, "build_id": module.build_id,
                      "version": module.version, "contract_only": "true" if run.contract_only else "false"}
        if run.selected is not None:
            properties["clauses"] = " ".join(clause.id for clause in filter(run.chosen, run.clauses))
        cases = []
        for clause in filter(run.chosen, run.clauses):
            verdict = module.verdicts.get(clause.id)
            case = report.Case(clause.id, f"lights-conformance.{clause.kind}.{clause.id.split('.')[0]}",
                               properties={"kind": clause.kind, "pid": verdict.pid if verdict else ""})
            if verdict is None:
                case.outcome = "skipped"
                case.message = "not run after the first failure" if run.judged(clause) \
                    else "a policy clause, not judged with --contract-only"
            else:
                case.seconds = verdict.seconds
                if verdict.outcome in FAILED:
                    case.outcome = FAILED[verdict.outcome][0]
                    case.message = f"{FAILED[verdict.outcome][1]}{clause.title}: {verdict.evidence}"
            cases.append(case)
        suites.append(report.Suite(f"lights-conformance {module.path}", properties=properties, cases=cases))
    return report.to_xml(suites)
