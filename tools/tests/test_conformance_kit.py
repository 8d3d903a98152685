# SPDX-License-Identifier: Apache-2.0
"""The installed kit, proven both ways on the samples the armv5te build
makes (conformance/tests/CMakeLists.txt writes samples.json): our module
and a module written from the contract alone pass every clause, and each
faulty sample fails exactly the clauses it breaks.

The kit's runs that boot the device are few, each made once per session,
side by side: each test that reads one is marked @pytest.mark.boots(RUN),
and only the runs the selected tests read are made.
"""

import concurrent.futures
import hashlib
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import xml.etree.ElementTree as ElementTree
from dataclasses import dataclass, field
from typing import Dict, Iterator, List, Optional, Tuple

import pytest

from pellix import scale
from pellix.protocol import judge

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
OUT = os.path.join(TOP, "out", "armv5te")
KIT = os.path.join(OUT, "bin", "lights-conformance")
MANIFEST = os.path.join(TOP, "build", "armv5te", "conformance", "tests", "samples.json")
MISSING = "the armv5te tree is not built and installed (make): no " + \
    (MANIFEST if not os.path.exists(MANIFEST) else KIT)
BUILT = os.path.exists(MANIFEST) and os.path.exists(KIT)


def found(element: ElementTree.Element, path: str) -> ElementTree.Element:
    """The element at PATH under ELEMENT, which must be there."""
    child = element.find(path)
    assert child is not None, f"no {path} in <{element.tag} {element.attrib}>"
    return child


def _manifest() -> dict:
    if not BUILT:
        return {"samples": [], "programs": [], "newer_cpu": "", "contract_version": ""}
    with open(MANIFEST) as handle:
        return json.load(handle)


SAMPLES = {sample["name"]: sample for sample in _manifest()["samples"]}


@dataclass
class Plan:
    """One run of the kit: its options, its modules (file: the clauses it
    fails exactly) and the status it must exit with."""

    name: str
    options: Tuple[str, ...]
    expected: Dict[str, List[str]]
    status: int
    kit: str = "installed"  # or "broken-judge", a kit whose judge the device cannot run

    @property
    def keep_going(self) -> bool:
        return "--keep-going" in self.options


def _plans() -> Dict[str, Plan]:
    manifest = _manifest()
    if not BUILT:
        return {}
    # Reached without --keep-going, beside a module that fails a binary
    # fact, one that passes, and one that hangs as it loads.
    first_failure = {manifest["newer_cpu"]: ["backlight.greys", "binary.armv5te"],
                     SAMPLES["new_symbols"]["file"]: ["binary.versions"],
                     SAMPLES["lumivane"]["file"]: [],
                     SAMPLES["hangs_at_load"]["file"]: SAMPLES["hangs_at_load"]["fails"]}
    # Every other sample in two runs with --keep-going, which the device
    # can run side by side.
    rest = [sample for sample in manifest["samples"] if sample["name"] != "hangs_at_load"]
    half = len(rest) // 2
    halves = [{sample["file"]: sample["fails"] for sample in part} for part in (rest[:half], rest[half:])]
    # Keeps the contract, breaks three policies.
    contract_only = SAMPLES["contract_only"]["file"]
    return {plan.name: plan for plan in [
        Plan("samples-a", ("--keep-going",), halves[0], 1),
        Plan("samples-b", ("--keep-going",), halves[1], 1),
        Plan("contract-only", ("--contract-only",), {contract_only: [], SAMPLES["lumivane"]["file"]: []}, 0),
        Plan("first-failure", (), first_failure, 1),
        Plan("broken-judge", (), {SAMPLES["lumivane"]["file"]: []}, 125, kit="broken-judge"),
    ]}


PLANS = _plans()
QUALIFYING = [name for name, plan in PLANS.items() if plan.status != 125]


def _holding(sample: str) -> str:
    """The run that holds SAMPLE's file."""
    return next(name for name in QUALIFYING if SAMPLES[sample]["file"] in PLANS[name].expected)


def boots_holding(sample: str) -> pytest.MarkDecorator:
    return pytest.mark.boots(_holding(sample) if BUILT else "samples-a")


def plan_params(names: List[str]) -> list:
    if not names:
        return [pytest.param(None, marks=pytest.mark.skip(reason=MISSING))]
    return [pytest.param(name, id=name, marks=pytest.mark.boots(name)) for name in names]


def module_params() -> list:
    params = [pytest.param(name, path, id=f"{name}:{os.path.basename(path)}", marks=pytest.mark.boots(name))
              for name in QUALIFYING for path in PLANS[name].expected]
    return params or [pytest.param(None, None, marks=pytest.mark.skip(reason=MISSING))]


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
    report (written through a link)."""

    plan: Plan
    status: int
    text: str
    errors: str
    link: str
    target: str
    suites: List[ElementTree.Element] = field(default_factory=list)

    def suite(self, module: str) -> ElementTree.Element:
        for suite in self.suites:
            if found(suite, "properties/property[@name='module']").get("value") == module:
                return suite
        raise AssertionError(f"no testsuite for {module}")


class Qualifications:
    """The runs the session's tests read: as many side by side as the
    machine has cores (the clauses' guards are scaled for a busy host, not
    for one loaded beyond that), the biggest first."""

    def __init__(self, folder: str, names: List[str]) -> None:
        self.folder = folder
        self.pool = concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 2)
        self.running: Dict[str, subprocess.Popen] = {}
        self.runs: Dict[str, "concurrent.futures.Future[Qualified]"] = {}
        for name in sorted(names, key=lambda name: -len(PLANS[name].expected)):
            self.runs[name] = self.pool.submit(self._run, PLANS[name])

    def _run(self, plan: Plan) -> Qualified:
        kit = KIT
        if plan.kit == "broken-judge":
            # A judge that is no program of the device: the kit's failure.
            kit = mirror(OUT, os.path.join(self.folder, "broken-judge-kit"), {
                "share/lights-conformance/lights-conformance-judge": SAMPLES["lumivane"]["file"]})
        base = os.path.join(self.folder, plan.name)
        link, target = base + ".xml", base + ".target.xml"
        os.symlink(os.path.basename(target), link)
        with open(base + ".txt", "w+") as out, open(base + ".err", "w+") as err:
            process = subprocess.Popen([kit, "--junit", link, *plan.options, *plan.expected], stdout=out,
                                       stderr=err, stdin=subprocess.DEVNULL, start_new_session=True)
            self.running[plan.name] = process
            status = process.wait()
            out.seek(0)
            err.seek(0)
            done = Qualified(plan, status, out.read(), err.read(), link, target)
        if os.path.exists(target) and os.path.getsize(target) > 0:
            done.suites = ElementTree.parse(target).getroot().findall("testsuite")
        return done

    def get(self, name: str) -> Qualified:
        if name not in self.runs:
            self.runs[name] = self.pool.submit(self._run, PLANS[name])
        return self.runs[name].result()

    def stop(self) -> None:
        """Ends the runs no test waited for, with their runners."""
        self.pool.shutdown(wait=False, cancel_futures=True)
        for process in self.running.values():
            if process.poll() is None:
                os.killpg(process.pid, signal.SIGTERM)
                process.wait()


@pytest.fixture(scope="session")
def qualifications(request: pytest.FixtureRequest,
                   tmp_path_factory: pytest.TempPathFactory) -> Iterator[Qualifications]:
    if not BUILT:
        pytest.skip(MISSING)
    # The device's tests mark runs of their own with the same marker.
    wanted = sorted({mark.args[0] for item in request.session.items for mark in item.iter_markers("boots")}
                    & set(PLANS))
    runs = Qualifications(str(tmp_path_factory.mktemp("kit")), wanted)
    yield runs
    runs.stop()


@pytest.fixture(scope="session")
def listed() -> List[List[str]]:
    """The kit's --list, one clause a row (its fields separated by tabs)."""
    if not BUILT:
        pytest.skip(MISSING)
    output = subprocess.run([KIT, "--list"], check=True, capture_output=True, text=True).stdout
    return [line.split("\t") for line in output.splitlines()]


def _cases(suite: ElementTree.Element) -> List[Tuple[str, str, str]]:
    """Each testcase as (ID, KIND, RESULT): pass, fail, error or skip."""
    rows = []
    for case in suite.findall("testcase"):
        result = "pass"
        for tag, name in (("failure", "fail"), ("error", "error"), ("skipped", "skip")):
            if case.find(tag) is not None:
                result = name
        rows.append((case.get("name", ""), found(case, "properties/property[@name='kind']").get("value", ""), result))
    return rows


# --- Each run as a whole.

@pytest.mark.parametrize("name", plan_params(QUALIFYING))
def test_a_run_exits_with_the_status_its_verdicts_call_for(qualifications: Qualifications, name: str) -> None:
    run = qualifications.get(name)
    assert run.status == run.plan.status, run.errors


@pytest.mark.parametrize("name", plan_params(QUALIFYING))
def test_a_run_writes_its_report_through_the_link_it_was_given(qualifications: Qualifications, name: str) -> None:
    run = qualifications.get(name)
    assert os.path.islink(run.link) and os.path.getsize(run.target) > 0


@pytest.mark.parametrize("name", plan_params(QUALIFYING))
def test_a_run_reports_each_module_with_every_clause_of_the_list_in_order(
        qualifications: Qualifications, listed: List[List[str]], name: str) -> None:
    run = qualifications.get(name)
    for module in run.plan.expected:
        assert [(case[0], case[1]) for case in _cases(run.suite(module))] == [(row[0], row[1]) for row in listed]


@pytest.mark.parametrize("name", plan_params(QUALIFYING))
def test_a_run_names_each_modules_sha256(qualifications: Qualifications, name: str) -> None:
    run = qualifications.get(name)
    for module in run.plan.expected:
        with open(module, "rb") as handle:
            want = hashlib.sha256(handle.read()).hexdigest()
        assert found(run.suite(module), "properties/property[@name='sha256']").get("value") == want


@pytest.mark.parametrize("name", plan_params(QUALIFYING))
def test_a_runs_junit_counts_are_its_cases(qualifications: Qualifications, name: str) -> None:
    run = qualifications.get(name)
    for suite in run.suites:
        results = [case[2] for case in _cases(suite)]
        assert (suite.get("tests"), suite.get("failures"), suite.get("errors"), suite.get("skipped")) == \
            (str(len(results)), str(results.count("fail")), str(results.count("error")), str(results.count("skip")))


@pytest.mark.parametrize("name", plan_params(QUALIFYING))
def test_no_clause_is_left_unjudged_without_cause(qualifications: Qualifications, name: str) -> None:
    """A clause is skipped only as the kit may leave it: a policy clause
    under --contract-only, every device clause after a module that cannot
    be loaded, any clause after the first failure without --keep-going;
    and none could not run."""
    run = qualifications.get(name)
    for module in run.plan.expected:
        contract_only = found(run.suite(module), "properties/property[@name='contract_only']").get("value") == "true"
        failed_first = load_failed = False
        for clause, kind, result in _cases(run.suite(module)):
            assert result != "error", f"{module}: {clause} could not run"
            if result == "skip":
                assert (contract_only and kind == judge.POLICY) or \
                    (load_failed and not clause.startswith("binary.")) or \
                    (not run.plan.keep_going and failed_first), f"{module}: {clause} was not run"
            elif result == "pass":
                assert not (contract_only and kind == judge.POLICY), f"{module}: {clause} judged with --contract-only"
            elif result == "fail":
                failed_first = True
                load_failed = load_failed or clause == judge.LOAD_CLAUSE


# --- Each module.

@pytest.mark.parametrize("name, module", module_params())
def test_a_module_fails_exactly_its_clauses(qualifications: Qualifications, name: str, module: str) -> None:
    run = qualifications.get(name)
    failed = sorted(case[0] for case in _cases(run.suite(module)) if case[2] == "fail")
    assert failed == sorted(run.plan.expected[module])


@boots_holding("contract_module")
def test_the_contract_sample_names_its_version_and_build_id(qualifications: Qualifications) -> None:
    run = qualifications.get(_holding("contract_module"))
    properties = {p.get("name"): p.get("value")
                  for p in run.suite(SAMPLES["contract_module"]["file"]).findall("properties/property")}
    assert properties["version"] == _manifest()["contract_version"]
    assert re.fullmatch(r"[0-9a-f]{40}", properties["build_id"] or "")


@boots_holding("null_request")
def test_a_crash_names_the_function_it_happened_in(qualifications: Qualifications) -> None:
    run = qualifications.get(_holding("null_request"))
    reports = run.text.split("\n\n")
    report = next(part for part in reports if part.startswith(f"lights-conformance: {SAMPLES['null_request']['file']}"))
    line = next(line for line in report.splitlines()
                if line.startswith("fail ") and " backlight.null-request: " in line)
    assert "the fault: in set_light_backlight" in line


@pytest.mark.boots("first-failure")
def test_a_clause_past_its_time_limit_fails_at_that_limit(qualifications: Qualifications,
                                                          listed: List[List[str]]) -> None:
    """The judge ends a clause's process at its time limit (scaled), not
    far past it."""
    run = qualifications.get("first-failure")
    limit = next(int(row[2]) for row in listed if row[0] == judge.LOAD_CLAUSE) * scale.from_environment() / 1000
    case = next(case for case in run.suite(SAMPLES["hangs_at_load"]["file"]).findall("testcase")
                if case.get("name") == judge.LOAD_CLAUSE)
    assert case.find("failure") is not None
    assert limit <= float(case.get("time", "0")) < 2 * limit


@pytest.mark.boots("broken-judge")
def test_a_judge_the_device_cannot_run_is_the_kits_failure(qualifications: Qualifications) -> None:
    run = qualifications.get("broken-judge")
    assert run.status == 125 and run.errors and not re.search(r"^pass ", run.text, re.M)


# --- What needs no boot.

def test_every_clause_has_a_sample_that_fails_it_alone(listed: List[List[str]]) -> None:
    alone = {sample["fails"][0] for sample in SAMPLES.values() if len(sample["fails"]) == 1}
    assert [row[0] for row in listed if row[0] not in alone] == []


def test_every_expectation_names_a_listed_clause(listed: List[List[str]]) -> None:
    named = {clause for sample in SAMPLES.values() for clause in sample["fails"]}
    assert named - {row[0] for row in listed} == set()


def test_the_documented_clauses_are_the_kits_list(listed: List[List[str]]) -> None:
    with open(os.path.join(TOP, "docs", "conformance.md")) as handle:
        rows = re.findall(r"^\| `([a-z0-9.-]*)` \| ([a-z]*) \| (.*) \|$", handle.read(), re.M)
    assert [list(row) for row in rows] == [[row[0], row[1], row[3]] for row in listed]


def test_the_binary_facts_hold_every_check_the_binary_clauses_read() -> None:
    if not BUILT:
        pytest.skip(MISSING)
    from pellix import abi
    from pellix.conformance.clauses import ARMV5TE, BINARY
    ids = {check.id for check in abi.check_module(SAMPLES["lumivane"]["file"]).checks}
    assert {check for clause in BINARY + [ARMV5TE] for check in clause.checks} - ids == set()


def test_one_failed_policy_clause_fails_a_run() -> None:
    """Without --keep-going a module that fails a binary fact never boots."""
    if not BUILT:
        pytest.skip(MISSING)
    result = subprocess.run([KIT, SAMPLES["new_symbols"]["file"]], capture_output=True, text=True)
    assert result.returncode == 1
    assert [line.split()[2] for line in result.stdout.splitlines() if line.startswith("fail ")] == \
        ["binary.versions:"]


@pytest.mark.parametrize("program", [pytest.param(path, id=os.path.basename(path)) for path in _manifest()["programs"]]
                         or [pytest.param(None, marks=pytest.mark.skip(reason=MISSING))])
def test_a_program_is_refused_as_no_module(program: str) -> None:
    result = subprocess.run([KIT, program], capture_output=True, text=True)
    assert result.returncode == 125 and result.stderr and "pass " not in result.stdout


def test_a_device_that_cannot_boot_is_the_kits_failure(tmp_path: "os.PathLike[str]") -> None:
    """Its binary clauses pass; the boot cannot happen."""
    if not BUILT:
        pytest.skip(MISSING)
    kit = mirror(OUT, str(tmp_path), {"share/pellix-device/zImage": None})
    result = subprocess.run([kit, SAMPLES["lumivane"]["file"]], capture_output=True, text=True)
    assert result.returncode == 125 and result.stderr and not re.search(r"^pass ", result.stdout, re.M)


# --- One clause at a time, and a debugger on it: each its own boot.

def test_clause_runs_one_device_and_one_binary_clause_in_one_boot(tmp_path: "os.PathLike[str]") -> None:
    """The judge runs only the selected device clause (a verdict for any
    other would be the kit's failure, 125); the reports hold only these."""
    if not BUILT:
        pytest.skip(MISSING)
    careless, ours = SAMPLES["careless_module"]["file"], SAMPLES["lumivane"]["file"]
    report = os.path.join(str(tmp_path), "r.xml")
    result = subprocess.run([KIT, "--keep-going", "--junit", report, "--clause", "backlight.gr*",
                             "--clause", "binary.versions", careless, ours], capture_output=True, text=True)
    assert result.returncode == 1, result.stderr
    verdicts = [line.split()[:3] for line in result.stdout.splitlines() if line.startswith(("pass ", "fail "))]
    assert verdicts == [["fail", "policy", "binary.versions:"], ["fail", "contract", "backlight.greys:"],
                        ["pass", "policy", "binary.versions:"], ["pass", "contract", "backlight.greys:"]]
    for suite in ElementTree.parse(report).getroot().findall("testsuite"):
        assert [case[0] for case in _cases(suite)] == ["binary.versions", "backlight.greys"]


def _free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


def test_gdb_breaks_in_the_modules_code_and_the_verdict_follows(tmp_path: "os.PathLike[str]") -> None:
    """A supplier's session: gdb-multiarch attached to the clause's
    process stops in the module's set_light_backlight; once it ends, the
    clause is judged as ever (this sample rounds its levels: it fails)."""
    if not BUILT:
        pytest.skip(MISSING)
    if shutil.which("gdb-multiarch") is None:
        pytest.skip("gdb-multiarch is not installed")
    port = str(_free_port())
    folder = str(tmp_path)
    with open(os.path.join(folder, "kit.out"), "w+") as out, open(os.path.join(folder, "kit.err"), "w+") as err:
        kit = subprocess.Popen([KIT, "--clause", "backlight.greys", "--gdb", port, SAMPLES["rounds"]["file"]],
                               stdout=out, stderr=err, stdin=subprocess.DEVNULL, start_new_session=True)
        try:
            # gdb waits for the line (tcp auto-retry) and for the device's answers.
            session = subprocess.run(
                ["gdb-multiarch", "-q", "-nx", "-batch", "-ex", "set tcp auto-retry on",
                 "-ex", "set tcp connect-timeout 600", "-ex", "set remotetimeout 600",
                 "-ex", f"target remote 127.0.0.1:{port}", "-ex", "break set_light_backlight",
                 "-ex", "continue", "-ex", "delete", "-ex", "continue"],
                capture_output=True, text=True, stdin=subprocess.DEVNULL)
            status = kit.wait()
        finally:
            if kit.poll() is None:
                os.killpg(kit.pid, signal.SIGTERM)
                kit.wait()
        out.seek(0)
        err.seek(0)
        text, errors = out.read(), err.read()
    assert re.search(r"^Breakpoint 1, .* in set_light_backlight .*module-1\.so", session.stdout, re.M), \
        session.stdout + session.stderr
    assert "exited normally" in session.stdout
    assert "backlight.greys: process " in errors and "waits for the debugger" in errors
    assert status == 1, errors
    assert [line.split()[:3] for line in text.splitlines() if line.startswith(("pass ", "fail "))] == \
        [["fail", "contract", "backlight.greys:"]]
