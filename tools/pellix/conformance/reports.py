# SPDX-License-Identifier: Apache-2.0
"""The kit's reports: the text report of each module, and the JUnit
report (pellix.report), one testsuite per module."""

from typing import List

from pellix import report
from pellix.conformance.clauses import Clause
from pellix.conformance.verdicts import Module, Run
from pellix.protocol import judge

NOT_RUN = "not run after the first failure"
NOT_JUDGED = "a policy clause, not judged with --contract-only"


def text(run: Run, module: Module) -> List[str]:
    """MODULE's text report, line by line."""
    alone = ", against the contract alone" if run.contract_only else ""
    lines = [f"lights-conformance: {module.path}{alone}", f"module: {module.path}", f"sha256: {module.sha256}",
             f"build-id: {module.build_id}", f"version: {module.version}"]
    if run.selected is not None:
        lines.append(f"clauses: {len(run.selected)} of {len(run.clauses)}, as --clause selected")
    not_run = not_judged = 0
    for clause in run.clauses:
        if not run.chosen(clause):
            continue
        shown = f"{clause.kind:<8}  {clause.id}: {clause.title}"
        verdict = module.verdicts.get(clause.id)
        if verdict is None:
            if run.judged(clause):
                not_run += 1
            else:
                not_judged += 1
        elif verdict.outcome == judge.PASS:
            lines.append(f"pass  {shown}" + (f" ({verdict.evidence})" if verdict.evidence else ""))
        elif verdict.outcome == judge.FAIL:
            lines.append(f"fail  {shown}: {verdict.evidence}")
        else:
            lines.append(f"could not run  {shown}: {verdict.evidence}")
    if not_run:
        lines.append(f"{not_run} clause(s) not run after the first failure (--keep-going runs them)")
    if not_judged:
        lines.append(f"{not_judged} policy clause(s) not judged (--contract-only)")
    lines.append(f"{module.count(judge.PASS)} passed, {module.count(judge.FAIL)} failed, "
                 f"{module.count(judge.COULD_NOT_RUN)} could not run")
    return lines


def _case(run: Run, module: Module, clause: Clause) -> report.Case:
    verdict = module.verdicts.get(clause.id)
    case = report.Case(clause.id, f"lights-conformance.{clause.kind}.{clause.area}",
                       properties={"kind": clause.kind, "pid": verdict.pid if verdict else ""})
    if verdict is None:
        case.outcome, case.message = "skipped", NOT_RUN if run.judged(clause) else NOT_JUDGED
        return case
    case.seconds = verdict.seconds
    message = f"{clause.title}: {verdict.evidence}"
    if verdict.outcome == judge.FAIL:
        case.outcome, case.message = "fail", message
    elif verdict.outcome == judge.COULD_NOT_RUN:
        case.outcome, case.message = "error", f"could not run: {message}"
    return case


def junit(run: Run) -> bytes:
    """The JUnit report of the run: a testsuite per module, a testcase per
    clause of the list, or of those --clause selected, whose ids its
    property "clauses" then names."""
    suites = []
    for module in run.modules:
        properties = {"module": module.path, "sha256": module.sha256, "build_id": module.build_id,
                      "version": module.version, "contract_only": "true" if run.contract_only else "false"}
        if run.selected is not None:
            properties["clauses"] = " ".join(clause.id for clause in run.clauses if run.chosen(clause))
        suites.append(report.Suite(f"lights-conformance {module.path}", properties=properties,
                                   cases=[_case(run, module, clause) for clause in run.clauses
                                          if run.chosen(clause)]))
    return report.to_xml(suites)
