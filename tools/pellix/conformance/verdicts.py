# SPDX-License-Identifier: Apache-2.0
"""A run's verdicts: for each module, each clause judged comes out pass,
fail or could not run (the kit's own failure); a clause without a verdict
was not run. The run's exit status follows from them alone.
"""

from dataclasses import dataclass, field
from typing import Dict, FrozenSet, List, Optional

from pellix.conformance import CouldNotRun
from pellix.conformance.clauses import Clause
from pellix.protocol import judge

COULD_NOT_RUN = 125


@dataclass
class Verdict:
    outcome: str  # judge.PASS, judge.FAIL or judge.COULD_NOT_RUN
    evidence: str = ""
    pid: str = ""  # the clause's process on the device
    seconds: float = 0.0


@dataclass
class Module:
    """One module of the run, numbered from 1 in the order given."""

    number: int
    path: str
    sha256: str = ""
    build_id: str = ""
    version: str = ""
    verdicts: Dict[str, Verdict] = field(default_factory=dict)
    # binary.armv5te's evidence from the build attributes, once read; the
    # device adds the clauses that reached a newer instruction.
    attributes_evidence: Optional[str] = None
    illegal_in: List[str] = field(default_factory=list)

    def count(self, outcome: str) -> int:
        return sum(verdict.outcome == outcome for verdict in self.verdicts.values())

    def failed(self) -> bool:
        return self.count(judge.PASS) < len(self.verdicts)


@dataclass
class Run:
    clauses: List[Clause]
    modules: List[Module]
    keep_going: bool = False
    contract_only: bool = False
    selected: Optional[FrozenSet[str]] = None  # the ids --clause selected; None for every clause
    gdb_port: Optional[int] = None

    def chosen(self, clause: Clause) -> bool:
        """Whether --clause left the clause in this run (the reports show no other)."""
        return self.selected is None or clause.id in self.selected

    def judged(self, clause: Clause) -> bool:
        return self.chosen(clause) and (not self.contract_only or clause.kind == judge.CONTRACT)

    def goes_on(self, module: Module) -> bool:
        """Whether the module's qualification goes on after what it got so far."""
        return self.keep_going or not module.failed()

    def record(self, module: Module, clause_id: str, verdict: Verdict) -> None:
        clause = next((clause for clause in self.clauses if clause.id == clause_id), None)
        if clause is None:
            raise CouldNotRun(f"a verdict for an unknown clause '{clause_id}'")
        if not self.judged(clause):
            raise CouldNotRun(f"a verdict for {clause_id}, which this run does not judge")
        if verdict.outcome not in judge.VERDICTS:
            raise CouldNotRun(f"the verdict '{verdict.outcome}' for {clause_id}")
        if clause_id in module.verdicts:
            raise CouldNotRun(f"two verdicts for {clause_id} of module {module.number}")
        module.verdicts[clause_id] = verdict

    def status(self) -> int:
        """0 when every clause judged passed, 1 when any failed, 125 when any could not run."""
        if any(module.count(judge.COULD_NOT_RUN) for module in self.modules):
            return COULD_NOT_RUN
        return int(any(module.failed() for module in self.modules))
