# SPDX-License-Identifier: Apache-2.0
"""The installed kit, proven both ways on the samples the armv5te build
makes (conformance/tests/CMakeLists.txt writes samples.json): our module
and a module written from the contract alone pass every clause, and each
faulty sample fails exactly the clauses it breaks.

Every run of the kit that boots the device is made once per session, in
one pool (test_honest_builds.py's too): each test that reads one is marked
@pytest.mark.boots(RUN), and only the runs the selected tests read are made.
"""

import concurrent.futures
import fnmatch
import hashlib
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import time
import xml.etree.ElementTree as ElementTree
from dataclasses import dataclass, field
from typing import IO, Dict, List, Optional, Tuple, Union

import pytest

from device.runs import scaled
from pellix import report, scale
from pellix.protocol import judge

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
OUT = os.path.join(TOP, "out", "armv5te")
KIT = os.path.join(OUT, "bin", "lights-conformance")
TESTS = os.path.join(TOP, "build", "armv5te", "conformance", "tests")
MANIFEST = os.path.join(TESTS, "samples.json")
MISSING = "the armv5te tree is not built and installed (make): no " + (KIT if os.path.exists(MANIFEST) else MANIFEST)
BUILT = os.path.exists(MANIFEST) and os.path.exists(KIT)
# Guards against a hang, not measures (seconds, scaled as the runner's): a
# whole run of the kit, and how long the kit and gdb each may still take once
# the other has ended (gdb retries the line of a kit that ended before it
# connected; the kit waits for a debugger that ended without connecting).
RUN_LIMIT = 1800
AFTER_THE_OTHER = 120
GDB = ["gdb-multiarch", "-q", "-nx", "-batch", "-ex", "set tcp auto-retry on", "-ex", "set tcp connect-timeout 600",
       "-ex", "set remotetimeout 600", "-ex", "target remote 127.0.0.1:PORT", "-ex", "break set_light_backlight",
       "-ex", "continue", "-ex", "delete", "-ex", "continue"]

MANIFEST_DATA: dict = {"samples": [], "programs": [], "newer_cpu": "", "contract_version": ""}
if BUILT:
    with open(MANIFEST) as handle:
        MANIFEST_DATA = json.load(handle)
SAMPLES = {sample["name"]: sample for sample in MANIFEST_DATA["samples"]}


def honest_builds() -> List[Tuple[str, str, List[str]]]:
    """The plain module's honest builds (honest_builds.cmake): NAME, PATH, WAYS; none while they are not built."""
    listing = os.path.join(TESTS, "honest-builds.tsv")
    if not os.path.isfile(listing):
        return []
    with open(listing, encoding="utf-8") as lines:
        builds = [(name, path, ways.split()) for name, path, ways in
                  (line.rstrip("\n").split("\t") for line in lines if line.strip())]
    return builds if all(os.path.isfile(path) for _, path, _ in builds) else []


@dataclass
class Plan:
    """One run of the kit: its options, its modules (file: the clauses it
    fails exactly) and the status it must exit with."""

    name: str
    options: Tuple[str, ...]
    expected: Dict[str, List[str]]
    status: int
    kit: str = "installed"  # or "broken-judge", a kit whose judge the device cannot run
    gdb: bool = False  # with gdb-multiarch attached through --gdb PORT


def _plans() -> List[Plan]:
    if not BUILT:
        return []
    file = {name: sample["file"] for name, sample in SAMPLES.items()}
    # Every sample but one in two runs with --keep-going, which the device can run side by side.
    rest = [sample for sample in MANIFEST_DATA["samples"] if sample["name"] != "hangs_at_load"]
    halves = [{sample["file"]: sample["fails"] for sample in part} for part in (rest[:len(rest) // 2],
                                                                                rest[len(rest) // 2:])]
    honest = [Plan("honest", ("--keep-going",), {path: [] for _, path, _ in honest_builds()}, 0)]
    # Biggest first: the pool starts them in this order.
    return [
        Plan("samples-a", ("--keep-going",), halves[0], 1),
        Plan("samples-b", ("--keep-going",), halves[1], 1),
        *(honest if honest[0].expected else []),
        # A supplier's session: it stops in the module's set_light_backlight; once it ends, the clause is
        # judged as ever (this sample rounds its levels: it fails).
        *([Plan("gdb", ("--clause", "backlight.greys", "--gdb", "PORT"), {file["rounds"]: ["backlight.greys"]}, 1,
                gdb=True)] if shutil.which(GDB[0]) else []),
        # Reached without --keep-going, beside a module that fails a binary fact, one that passes, and
        # one that hangs as it loads.
        Plan("first-failure", (), {MANIFEST_DATA["newer_cpu"]: ["backlight.greys", "binary.armv5te"],
                                   file["new_symbols"]: ["binary.versions"], file["lumivane"]: [],
                                   file["hangs_at_load"]: SAMPLES["hangs_at_load"]["fails"]}, 1),
        # The judge runs only the selected device clause (a verdict for any other would be the kit's
        # failure, 125); the reports hold only these.
        Plan("clause", ("--keep-going", "--clause", "backlight.gr*", "--clause", "binary.versions"),
             {file["careless_module"]: ["binary.versions", "backlight.greys"], file["lumivane"]: []}, 1),
        # Keeps the contract, breaks three policies.
        Plan("contract-only", ("--contract-only",), {file["contract_only"]: [], file["lumivane"]: []}, 0),
        # A judge that is no program of the device: the kit's failure.
        Plan("broken-judge", (), {file["lumivane"]: []}, 125, kit="broken-judge"),
    ]


PLANS = {plan.name: plan for plan in _plans()}
QUALIFYING = [name for name, plan in PLANS.items() if plan.status != 125 and not plan.gdb]


def holding(sample: str) -> str:
    """The run of all samples that holds SAMPLE's file."""
    return next((name for name in ("samples-a", "samples-b") if SAMPLES[sample]["file"] in PLANS[name].expected),
                "samples-a")


def plan_params(names: List[str]) -> list:
    if not names:
        return [pytest.param(None, marks=pytest.mark.skip(reason=MISSING))]
    return [pytest.param(name, id=name, marks=pytest.mark.boots(name)) for name in names]


def mirror(prefix: str, into: str, replace: Dict[str, Optional[str]]) -> str:
    """A copy of the installed PREFIX in INTO that the tests may break: the
    two commands copied (each finds its pieces beside itself), everything
    else linked, but for REPLACE: a path under the prefix left out (None)
    or copied from another file."""
    for folder, _, files in os.walk(prefix):
        for name in files:
            source = os.path.join(folder, name)
            relative = os.path.relpath(source, prefix)
            target = os.path.join(into, relative)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            if relative in replace:
                if replace[relative] is not None:
                    shutil.copy(str(replace[relative]), target)
            elif relative in ("bin/lights-conformance", "bin/pellix-device"):
                shutil.copy(source, target)
            else:
                os.symlink(source, target)
    return os.path.join(into, "bin", "lights-conformance")


@dataclass
class Qualified:
    """A finished run: its status, text report, standard error and JUnit
    report (written through a link), and gdb's words under --gdb."""

    plan: Plan
    status: int
    text: str
    errors: str
    link: str
    target: str
    session: str = ""
    suites: List[report.Suite] = field(default_factory=list)

    def suite(self, module: str) -> report.Suite:
        return next(suite for suite in self.suites if suite.properties["module"] == module)

    def verdicts(self) -> List[List[str]]:
        """The first three words of each pass or fail line of the text report."""
        return [line.split()[:3] for line in self.text.splitlines() if line.startswith(("pass ", "fail "))]


class Qualifications:
    """The runs the session's tests read: as many side by side as the
    machine has cores (the clauses' guards are scaled for a busy host, not
    for one loaded beyond that), the biggest first."""

    def __init__(self, folder: str, names: List[str]) -> None:
        self.folder = folder
        self.pool = concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 2)
        self.running: List[subprocess.Popen] = []
        self.runs = {name: self.pool.submit(self._run, PLANS[name]) for name in PLANS if name in names}

    def _start(self, command: List[str], stdout: IO[str], stderr: Union[IO[str], int]) -> subprocess.Popen:
        process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=stdout, stderr=stderr,
                                   start_new_session=True)
        self.running.append(process)
        return process

    def _run(self, plan: Plan) -> Qualified:
        kit = KIT
        if plan.kit == "broken-judge":
            kit = mirror(OUT, os.path.join(self.folder, "broken-judge-kit"), {
                "share/lights-conformance/lights-conformance-judge": SAMPLES["lumivane"]["file"]})
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))  # a free port for --gdb
            port = str(probe.getsockname()[1])
        base = os.path.join(self.folder, plan.name)
        link, target = base + ".xml", base + ".target.xml"
        os.symlink(os.path.basename(target), link)
        with open(base + ".txt", "w+") as out, open(base + ".err", "w+") as err, open(base + ".gdb", "w+") as said:
            options = [port if option == "PORT" else option for option in plan.options]
            process = self._start([kit, "--junit", link, *options, *plan.expected], out, err)
            debugger = [word.replace("PORT", port) for word in GDB]
            gdb = self._start(debugger, said, subprocess.STDOUT) if plan.gdb else None
            deadline = time.monotonic() + scaled(RUN_LIMIT)
            while gdb is not None and process.poll() is None and gdb.poll() is None \
                    and time.monotonic() < deadline:
                time.sleep(0.2)
            after = scaled(AFTER_THE_OTHER) if gdb is not None else deadline - time.monotonic()
            status = ended(process, after)
            if gdb is not None:
                ended(gdb, scaled(AFTER_THE_OTHER))
            for stream in (out, err, said):
                stream.seek(0)
            done = Qualified(plan, status, out.read(), err.read(), link, target, said.read())
        if os.path.exists(target) and os.path.getsize(target) > 0:
            done.suites = report.read(target)
        return done

    def get(self, name: str) -> Qualified:
        if name not in self.runs:
            self.runs[name] = self.pool.submit(self._run, PLANS[name])
        return self.runs[name].result()

    def stop(self) -> None:
        """Ends the runs no test waited for, with their runners."""
        self.pool.shutdown(wait=False, cancel_futures=True)
        for process in self.running:
            if process.poll() is None:
                os.killpg(process.pid, signal.SIGTERM)
                process.wait()


def ended(process: "subprocess.Popen[bytes]", within: float) -> int:
    """PROCESS's status once it ends within WITHIN seconds, else killed whole (status -9)."""
    try:
        return process.wait(timeout=max(within, 0))
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        return process.wait()


@pytest.fixture(scope="session")
def kit_built() -> None:
    """Skips where the armv5te tree is not built and installed."""
    if not BUILT:
        pytest.skip(MISSING)


@pytest.fixture(scope="session")
def listed(kit_built: None) -> List[List[str]]:
    """The kit's --list, one clause a row (its fields separated by tabs)."""
    output = subprocess.run([KIT, "--list"], check=True, capture_output=True, text=True).stdout
    return [line.split("\t") for line in output.splitlines()]


# --- What needs no boot.

def test_every_clause_has_a_sample_that_fails_it_alone_and_every_expectation_is_listed(
        listed: List[List[str]]) -> None:
    alone = {sample["fails"][0] for sample in SAMPLES.values() if len(sample["fails"]) == 1}
    assert [row[0] for row in listed if row[0] not in alone] == []
    named = {clause for sample in SAMPLES.values() for clause in sample["fails"]}
    assert named - {row[0] for row in listed} == set()


def test_the_documented_clauses_are_the_kits_list(listed: List[List[str]]) -> None:
    with open(os.path.join(TOP, "docs", "conformance.md")) as handle:
        rows = re.findall(r"^\| `([a-z0-9.-]*)` \| ([a-z]*) \| (.*) \|$", handle.read(), re.M)
    assert [list(row) for row in rows] == [[row[0], row[1], row[3]] for row in listed]


def test_the_binary_facts_hold_every_check_the_binary_clauses_read(kit_built: None) -> None:
    from pellix import abi
    from pellix.conformance.clauses import ARMV5TE, BINARY
    ids = {check.id for check in abi.check_module(SAMPLES["lumivane"]["file"]).checks}
    assert {check for clause in BINARY + [ARMV5TE] for check in clause.checks} - ids == set()


def test_one_failed_policy_clause_fails_a_run(kit_built: None) -> None:
    """Without --keep-going a module that fails a binary fact never boots."""
    result = subprocess.run([KIT, SAMPLES["new_symbols"]["file"]], capture_output=True, text=True)
    assert result.returncode == 1
    assert [line.split()[2] for line in result.stdout.splitlines() if line.startswith("fail ")] == \
        ["binary.versions:"]


@pytest.mark.parametrize("program", [pytest.param(path, id=os.path.basename(path))
                                     for path in MANIFEST_DATA["programs"]]
                         or [pytest.param(None, marks=pytest.mark.skip(reason=MISSING))])
def test_a_program_is_refused_as_no_module(program: str) -> None:
    result = subprocess.run([KIT, program], capture_output=True, text=True)
    assert result.returncode == 125 and result.stderr and "pass " not in result.stdout


def test_a_device_that_cannot_boot_is_the_kits_failure(kit_built: None, tmp_path: "os.PathLike[str]") -> None:
    """Its binary clauses pass; the boot cannot happen."""
    kit = mirror(OUT, str(tmp_path), {"share/pellix-device/zImage": None})
    result = subprocess.run([kit, SAMPLES["lumivane"]["file"]], capture_output=True, text=True)
    assert result.returncode == 125 and result.stderr and not re.search(r"^pass ", result.stdout, re.M)


# --- Each run as a whole.

@pytest.mark.parametrize("name", plan_params(QUALIFYING))
def test_a_run_exits_as_its_verdicts_call_for_and_reports_through_its_link(
        qualifications: Qualifications, name: str) -> None:
    run = qualifications.get(name)
    assert run.status == run.plan.status, run.errors
    assert os.path.islink(run.link) and os.path.getsize(run.target) > 0
    # The JUnit counts are its cases.
    for suite in ElementTree.parse(run.target).getroot().findall("testsuite"):
        results = [next((tag for tag in ("failure", "error", "skipped") if case.find(tag) is not None), "pass")
                   for case in suite.findall("testcase")]
        assert (suite.get("tests"), suite.get("failures"), suite.get("errors"), suite.get("skipped")) == \
            (str(len(results)), str(results.count("failure")), str(results.count("error")),
             str(results.count("skipped")))


@pytest.mark.parametrize("name", plan_params(QUALIFYING))
def test_a_run_reports_each_module_its_sha256_and_every_clause_of_the_list_in_order(
        qualifications: Qualifications, listed: List[List[str]], name: str) -> None:
    run = qualifications.get(name)
    patterns = [run.plan.options[i + 1] for i, option in enumerate(run.plan.options) if option == "--clause"]
    shown = [(row[0], row[1]) for row in listed if not patterns or any(fnmatch.fnmatchcase(row[0], pattern)
                                                                       for pattern in patterns)]
    for module in run.plan.expected:
        suite = run.suite(module)
        assert [(case.name, case.properties["kind"]) for case in suite.cases] == shown
        with open(module, "rb") as handle:
            assert suite.properties["sha256"] == hashlib.sha256(handle.read()).hexdigest()


@pytest.mark.parametrize("name", plan_params(QUALIFYING))
def test_no_clause_is_left_unjudged_without_cause(qualifications: Qualifications, name: str) -> None:
    """A clause is skipped only as the kit may leave it: a policy clause
    under --contract-only, every device clause after a module that cannot
    be loaded, any clause after the first failure without --keep-going;
    and none could not run."""
    run = qualifications.get(name)
    for module in run.plan.expected:
        suite = run.suite(module)
        contract_only = suite.properties["contract_only"] == "true"
        failed_first = load_failed = False
        for case in suite.cases:
            clause, policy = case.name, case.properties["kind"] == judge.POLICY
            assert case.outcome != "error", f"{module}: {clause} could not run"
            if case.outcome == "skipped":
                assert (contract_only and policy) or (load_failed and not clause.startswith("binary.")) or \
                    ("--keep-going" not in run.plan.options and failed_first), f"{module}: {clause} was not run"
            elif case.outcome == "pass":
                assert not (contract_only and policy), f"{module}: {clause} judged with --contract-only"
            elif case.outcome == "fail":
                failed_first = True
                load_failed = load_failed or clause == judge.LOAD_CLAUSE


# --- Each module.

@pytest.mark.parametrize("name, module", [
    pytest.param(name, path, id=f"{name}:{os.path.basename(path)}", marks=pytest.mark.boots(name))
    for name in QUALIFYING for path in PLANS[name].expected]
    or [pytest.param(None, None, marks=pytest.mark.skip(reason=MISSING))])
def test_a_module_fails_exactly_its_clauses(qualifications: Qualifications, name: str, module: str) -> None:
    failed = [case.name for case in qualifications.get(name).suite(module).cases if case.outcome == "fail"]
    assert sorted(failed) == sorted(PLANS[name].expected[module])


@pytest.mark.boots(holding("contract_module") if BUILT else "samples-a")
def test_the_contract_sample_names_its_version_and_build_id(qualifications: Qualifications) -> None:
    properties = qualifications.get(holding("contract_module")).suite(SAMPLES["contract_module"]["file"]).properties
    assert properties["version"] == MANIFEST_DATA["contract_version"]
    assert re.fullmatch(r"[0-9a-f]{40}", properties["build_id"] or "")


@pytest.mark.boots(holding("null_request") if BUILT else "samples-a")
def test_a_crash_names_the_function_it_happened_in(qualifications: Qualifications) -> None:
    text = qualifications.get(holding("null_request")).text
    part = next(part for part in text.split("\n\n")
                if part.startswith(f"lights-conformance: {SAMPLES['null_request']['file']}"))
    line = next(line for line in part.splitlines() if line.startswith("fail ") and " backlight.null-request: " in line)
    assert "the fault: in set_light_backlight" in line


@pytest.mark.boots("first-failure")
def test_a_clause_past_its_time_limit_fails_at_that_limit(qualifications: Qualifications,
                                                          listed: List[List[str]]) -> None:
    """The judge ends a clause's process at its time limit (scaled), not far past it."""
    limit = next(int(row[2]) for row in listed if row[0] == judge.LOAD_CLAUSE) * scale.from_environment() / 1000
    suite = qualifications.get("first-failure").suite(SAMPLES["hangs_at_load"]["file"])
    case = next(case for case in suite.cases if case.name == judge.LOAD_CLAUSE)
    assert case.outcome == "fail" and limit <= case.seconds < 2 * limit


@pytest.mark.boots("broken-judge")
def test_a_judge_the_device_cannot_run_is_the_kits_failure(qualifications: Qualifications) -> None:
    run = qualifications.get("broken-judge")
    assert run.status == 125 and run.errors and not re.search(r"^pass ", run.text, re.M)


# --- One clause at a time, and a debugger on it.

@pytest.mark.boots("clause")
def test_clause_runs_one_device_and_one_binary_clause_in_one_boot(qualifications: Qualifications) -> None:
    assert qualifications.get("clause").verdicts() == [
        ["fail", "policy", "binary.versions:"], ["fail", "contract", "backlight.greys:"],
        ["pass", "policy", "binary.versions:"], ["pass", "contract", "backlight.greys:"]]


@pytest.mark.boots("gdb")
def test_gdb_breaks_in_the_modules_code_and_the_verdict_follows(qualifications: Qualifications) -> None:
    if "gdb" not in PLANS:
        pytest.skip("gdb-multiarch is not installed")
    run = qualifications.get("gdb")
    assert re.search(r"^Breakpoint 1, .* in set_light_backlight .*module-1\.so", run.session, re.M), run.session
    assert "exited normally" in run.session
    assert "backlight.greys: process " in run.errors and "waits for the debugger" in run.errors
    assert run.status == 1, run.errors
    assert run.verdicts() == [["fail", "contract", "backlight.greys:"]]
