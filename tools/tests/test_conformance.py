# SPDX-License-Identifier: Apache-2.0
"""lights-conformance's host side, run in-process against a kit of fakes:
a judge list, a runner that answers as the judge would (its lines built
from the protocol's declaration) and binary facts given by the test. The
real kit on the real device is test_conformance_kit.py's."""

import json
import os
import struct
import tempfile
import xml.etree.ElementTree as ElementTree
from dataclasses import dataclass, field
from typing import Callable, Dict, List, Optional, Union

import pytest

from pellix import abi
from pellix.conformance import command
from pellix.conformance.clauses import ARMV5TE, BINARY, Clause
from pellix.conformance.verdicts import Module, Run, Verdict
from pellix.protocol import judge

TOOLS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

DEVICE_LIST = [("record.load", "contract", "10", "the module loads"),
               ("log.warning", "contract", "10", "the open warning"),
               ("fault.cancel", "policy", "30", "cancellation held off")]

# The runner stands in for pellix-device and the judge behind it: each
# device clause passes for each module given, unless scenario.json says
# otherwise; what it was given is kept in called.json.
FAKE_RUNNER = """#!/usr/bin/python3
import json, os, sys
sys.path.insert(0, TOOLS)
from pellix.protocol import judge
here = os.path.dirname(os.path.abspath(__file__))
args = sys.argv[1:]
token = open(args[args.index("--stdin") + 1]).read().strip()
with open(os.path.join(here, "called.json"), "w") as handle:
    json.dump({"argv": args, "token": token}, handle)
scenario = {}
if os.path.exists(os.path.join(here, "scenario.json")):
    scenario = json.load(open(os.path.join(here, "scenario.json")))
listed = [line.split(judge.SEPARATOR) for line in open(LIST).read().splitlines()]
after = args[args.index("--") + 2:]
modules = [a for a in after if not a.startswith("-") and a.endswith(".so")]
chosen = [after[i + 1] for i, a in enumerate(after) if a == judge.OPTION_CLAUSE]
if chosen and not scenario.get("ignore_clause"):
    listed = [row for row in listed if row[0] in chosen]
def say(kind, **fields):
    print(judge.SEPARATOR.join([token, kind] + [str(fields[name]) for name in judge.FIELDS[kind]]))
for line in scenario.get("before", []):
    print(line.replace("TOKEN", token))
for number in range(1, len(modules) + 1):
    for clause, kind, _, _ in listed:
        if kind == judge.POLICY and judge.OPTION_CONTRACT_ONLY in after:
            continue
        given = scenario.get("verdicts", {}).get(str(number), {}).get(clause, {})
        verdict = given.get("verdict", judge.PASS)
        say(judge.CLAUSE, module=number, clause=clause, verdict=verdict, pid=given.get("pid", 100 + number),
            seconds="0.250", signal=given.get("signal", 0), evidence=given.get("evidence", ""))
        if verdict != judge.PASS and judge.OPTION_KEEP_GOING not in after:
            break
    say(judge.DONE, module=number)
for line in scenario.get("after", []):
    print(line.replace("TOKEN", token))
if scenario.get("end", True):
    say(judge.END)
sys.stderr.write(scenario.get("stderr", ""))
sys.exit(scenario.get("status", 0))
"""


def facts(failed: Optional[Dict[str, str]] = None, without: str = "") -> abi.Result:
    """Every check, passed but those FAILED (id: detail)."""
    failed = failed or {}
    return abi.Result([abi.Check(check_id, text, check_id not in failed, failed.get(check_id, ""))
                       for check_id, text in abi.DESCRIPTIONS.items() if check_id != without],
                      build_id="0123abcd", version="9.9-test")


def elf_bytes(e_type: int = 3) -> bytes:
    """A minimal little-endian ELF32 ARM file of type E_TYPE (3, a shared
    object)."""
    return struct.pack("<16sHHIIIIIHHHHHH", b"\x7fELF\x01\x01\x01" + bytes(9), e_type, 40, 1, 0, 0, 0,
                       0x05000200, 52, 32, 0, 40, 0, 0)


class FakeKit:
    """An installed kit of fakes under ROOT/prefix."""

    def __init__(self, root: str) -> None:
        self.root = root
        self.prefix = os.path.join(root, "prefix")
        self.share = os.path.join(self.prefix, "share", "lights-conformance")
        self.bin = os.path.join(self.prefix, "bin")
        os.makedirs(self.share)
        os.makedirs(self.bin)
        self.list_file = os.path.join(self.share, "device-clauses.tsv")
        with open(self.list_file, "w") as handle:
            handle.write("".join(judge.SEPARATOR.join(fields) + "\n" for fields in DEVICE_LIST))
        open(os.path.join(self.share, "lights-conformance-judge"), "w").close()
        runner = os.path.join(self.bin, "pellix-device")
        with open(runner, "w") as handle:
            handle.write(FAKE_RUNNER.replace("TOOLS", repr(TOOLS)).replace("LIST", repr(self.list_file)))
        os.chmod(runner, 0o755)

    def module(self, name: str = "m.so", data: Optional[bytes] = None) -> str:
        path = os.path.join(self.root, name)
        with open(path, "wb") as handle:
            handle.write(elf_bytes() if data is None else data)
        return path

    def device(self, **scenario: object) -> None:
        with open(os.path.join(self.bin, "scenario.json"), "w") as handle:
            json.dump(scenario, handle)

    def called(self) -> Optional[dict]:
        path = os.path.join(self.bin, "called.json")
        if not os.path.exists(path):
            return None
        with open(path) as handle:
            return json.load(handle)


@dataclass
class Outcome:
    status: int
    out: str
    err: str
    lines: List[str] = field(default_factory=list)


@pytest.fixture
def kit(tmp_path: "os.PathLike[str]") -> FakeKit:
    return FakeKit(str(tmp_path))


RunKit = Callable[..., Outcome]


@pytest.fixture
def run_kit(kit: FakeKit, capsys: "pytest.CaptureFixture[str]", monkeypatch: pytest.MonkeyPatch) -> RunKit:
    """Runs the kit in-process: run_kit(ARGUMENT..., given=FACTS, or a
    function of the module's path that gives them)."""
    monkeypatch.delenv("PELLIX_TIMEOUT_SCALE", raising=False)

    def run(*argv: str, given: Union[None, abi.Result, Callable[[str], abi.Result]] = None) -> Outcome:
        if callable(given):
            checker = given
        else:
            fixed = given or facts()
            checker = lambda path: fixed  # noqa: E731
        status = command.main(list(argv), prefix=kit.prefix, check_module=checker)
        captured = capsys.readouterr()
        return Outcome(status, captured.out, captured.err, captured.out.splitlines())
    return run


def verdict_lines(outcome: Outcome) -> Dict[str, str]:
    """Clause id: its line's first word (pass, fail, could)."""
    found = {}
    for line in outcome.lines:
        words = line.split()
        if words and words[0] in ("pass", "fail", "could"):
            clause = words[3] if words[0] == "could" else words[2]
            found[clause.rstrip(":")] = words[0]
    return found


def found(element: ElementTree.Element, path: str) -> ElementTree.Element:
    """The element at PATH under ELEMENT, which must be there."""
    child = element.find(path)
    assert child is not None, f"no {path} in <{element.tag} {element.attrib}>"
    return child


def junit_suites(path: str) -> List[ElementTree.Element]:
    return ElementTree.parse(path).getroot().findall("testsuite")


def junit_cases(path: str) -> Dict[str, ElementTree.Element]:
    return {case.get("name", ""): case for case in junit_suites(path)[0].findall("testcase")}


# --- The list.

def test_the_list_puts_the_judges_clauses_between_the_binary_ones_and_armv5te(run_kit: RunKit, kit: FakeKit) -> None:
    outcome = run_kit("--list")
    assert outcome.status == 0
    rows = [line.split("\t") for line in outcome.lines]
    want = [[c.id, c.kind, "-", c.title] for c in BINARY] + [list(row) for row in DEVICE_LIST] + \
        [[ARMV5TE.id, ARMV5TE.kind, "-", ARMV5TE.title]]
    assert rows == want


@pytest.mark.parametrize("damage", ["missing", "garbled"])
def test_a_kit_without_its_judges_list_cannot_run(run_kit: RunKit, kit: FakeKit, damage: str) -> None:
    if damage == "missing":
        os.unlink(kit.list_file)
    else:
        with open(kit.list_file, "a") as handle:
            handle.write("acquire.others\tcontract\tten\tevery other name\n")
    for argv in (["--list"], [kit.module()]):
        outcome = run_kit(*argv)
        assert outcome.status == 125 and "device-clauses.tsv" in outcome.err and not outcome.out


# --- What the kit refuses before it qualifies anything.

def test_help_prints_the_usage_and_exits_0(run_kit: RunKit) -> None:
    outcome = run_kit("--help")
    assert outcome.status == 0 and outcome.lines[0].startswith("usage: lights-conformance")


@pytest.mark.parametrize("argv", [[], ["--fast", "MODULE"], ["--junit"], ["--list", "MODULE"]],
                         ids=["no arguments", "an unknown option", "--junit without a file", "--list with a module"])
def test_bad_usage_cannot_run(run_kit: RunKit, kit: FakeKit, argv: List[str]) -> None:
    module = kit.module()
    outcome = run_kit(*[module if argument == "MODULE" else argument for argument in argv])
    assert outcome.status == 125 and outcome.err and "pass " not in outcome.out
    assert kit.called() is None


@pytest.mark.parametrize("what", ["a missing file", "a missing file beside a module", "a text file", "an empty file",
                                  "a program", "a directory"])
def test_what_is_no_module_cannot_run(run_kit: RunKit, kit: FakeKit, what: str) -> None:
    module = kit.module()
    given = {"a missing file": [os.path.join(kit.root, "missing.so")],
             "a missing file beside a module": [module, os.path.join(kit.root, "missing.so")],
             "a text file": [kit.module("text.so", b"not a module\n")],
             "an empty file": [kit.module("empty.so", b"")],
             "a program": [kit.module("program", elf_bytes(2))],
             "a directory": [kit.root]}[what]
    outcome = run_kit(*given)
    assert outcome.status == 125 and outcome.err and not outcome.out
    assert kit.called() is None


@pytest.mark.parametrize("where", ["in a missing folder", "where a folder is"])
def test_a_report_that_cannot_be_written_cannot_run(run_kit: RunKit, kit: FakeKit, where: str) -> None:
    report = os.path.join(kit.root, "no", "such", "r.xml") if where == "in a missing folder" else kit.root
    outcome = run_kit("--junit", report, kit.module())
    assert outcome.status == 125 and "cannot write the report" in outcome.err
    assert kit.called() is None


@pytest.mark.parametrize("text", ["0", "fast", "1e1"])
def test_a_time_scale_the_rule_refuses_cannot_run(run_kit: RunKit, kit: FakeKit, monkeypatch: pytest.MonkeyPatch,
                                                  text: str) -> None:
    monkeypatch.setenv("PELLIX_TIMEOUT_SCALE", text)
    outcome = run_kit(kit.module())
    assert outcome.status == 125 and "PELLIX_TIMEOUT_SCALE" in outcome.err
    assert kit.called() is None


@pytest.mark.parametrize("part", ["share/lights-conformance/lights-conformance-judge", "bin/pellix-device"])
def test_a_kit_missing_a_part_cannot_run(run_kit: RunKit, kit: FakeKit, part: str) -> None:
    os.unlink(os.path.join(kit.prefix, part))
    outcome = run_kit(kit.module())
    assert outcome.status == 125 and "run make" in outcome.err


@pytest.mark.parametrize("broken", ["no scratch directory", "a runner that cannot start"])
def test_a_kit_whose_set_up_fails_cannot_run(run_kit: RunKit, kit: FakeKit, monkeypatch: pytest.MonkeyPatch,
                                             broken: str) -> None:
    if broken == "no scratch directory":
        monkeypatch.setattr(tempfile, "tempdir", os.path.join(kit.root, "missing"))
    else:
        os.chmod(os.path.join(kit.bin, "pellix-device"), 0o644)
    outcome = run_kit(kit.module())
    assert outcome.status == 125 and outcome.err and not outcome.out


# --- Binary facts.

def test_failed_checks_fail_their_clause_with_what_they_saw(run_kit: RunKit, kit: FakeKit) -> None:
    outcome = run_kit("--keep-going", kit.module(), given=facts({"textrel": "TEXTREL", "stack": "GNU_STACK\n  RWE "}))
    assert outcome.status == 1
    assert [line for line in outcome.lines if line.startswith("fail")] == [
        "fail  policy    binary.relocations: no text relocations, no executable stack: "
        "no text relocations failed (TEXTREL); non-executable stack failed (GNU_STACK RWE)"]


def test_a_passing_clause_shows_what_its_checks_noted(run_kit: RunKit, kit: FakeKit) -> None:
    noted = facts()
    next(check for check in noted.checks if check.id == "thumb").detail = "init_globals enters through a veneer"
    outcome = run_kit(kit.module(), given=noted)
    assert outcome.status == 0
    thumb = next(line for line in outcome.lines if " binary.thumb:" in line)
    assert thumb.startswith("pass  ") and thumb.endswith("(init_globals enters through a veneer)")


def test_a_check_missing_from_the_facts_cannot_run(run_kit: RunKit, kit: FakeKit) -> None:
    outcome = run_kit(kit.module(), given=facts(without="soname"))
    assert outcome.status == 125 and '"soname"' in outcome.err and not outcome.out


def test_facts_that_cannot_be_read_cannot_run(run_kit: RunKit, kit: FakeKit) -> None:
    def unreadable(path: str) -> abi.Result:
        raise abi.AbiError(f"{path} has no dynamic section")
    outcome = run_kit(kit.module(), given=unreadable)
    assert outcome.status == 125 and "has no dynamic section" in outcome.err and not outcome.out


def test_newer_build_attributes_fail_binary_armv5te_after_the_device(run_kit: RunKit, kit: FakeKit) -> None:
    outcome = run_kit(kit.module(), given=facts({"cpu-arch": "Tag_CPU_arch: v7"}))
    assert kit.called() is not None
    assert verdict_lines(outcome)["binary.armv5te"] == "fail"
    assert outcome.lines[-2].endswith("Tag_CPU_arch no newer than v5TE failed (Tag_CPU_arch: v7)")


def test_an_illegal_instruction_on_the_device_fails_binary_armv5te(run_kit: RunKit, kit: FakeKit) -> None:
    line = judge.SEPARATOR.join(["TOKEN", judge.ILLEGAL_INSTRUCTION, "1", "log.warning"])
    kit.device(after=[line], verdicts={"1": {"log.warning": {"verdict": "fail", "signal": 4}}})
    outcome = run_kit("--keep-going", kit.module())
    assert verdict_lines(outcome)["binary.armv5te"] == "fail"
    assert "an instruction newer than ARMv5TE was reached in log.warning" in outcome.lines[-2]


# --- Stopping, and the contract alone.

def test_without_keep_going_a_module_stops_at_its_first_failure(run_kit: RunKit, kit: FakeKit,
                                                                tmp_path: "os.PathLike[str]") -> None:
    report = os.path.join(kit.root, "r.xml")
    failing, passing = kit.module("a.so"), kit.module("b.so")
    outcome = run_kit("--junit", report, failing, passing,
                      given=lambda path: facts({"needed": "libz.so.1"} if path == failing else {}))
    assert outcome.status == 1
    called = kit.called()
    assert called is not None and "./module-1.so" not in called["argv"] and "./module-2.so" in called["argv"]
    first = outcome.out.split("\n\n")[0]
    assert "fail  contract  binary.needed" in first and "pass  contract  binary.object" in first
    assert "binary.versions" not in first and "record.load" not in first
    assert f"{len(BINARY) + len(DEVICE_LIST) + 1 - 3} clause(s) not run after the first failure" in first
    cases = junit_cases(report)
    skipped = cases["record.load"].find("skipped")
    assert skipped is not None and skipped.get("message") == "not run after the first failure"


def test_contract_only_judges_no_policy_clause(run_kit: RunKit, kit: FakeKit) -> None:
    report = os.path.join(kit.root, "r.xml")
    outcome = run_kit("--contract-only", "--junit", report, kit.module(), given=facts({"versions": "GLIBC_2.34"}))
    assert outcome.status == 0
    assert outcome.lines[0].endswith(", against the contract alone")
    judged = verdict_lines(outcome)
    assert "binary.versions" not in judged and "fault.cancel" not in judged and "record.load" in judged
    assert "3 policy clause(s) not judged (--contract-only)" in outcome.lines
    assert "--contract-only" in (kit.called() or {})["argv"]
    suite = junit_suites(report)[0]
    assert found(suite, "properties/property[@name='contract_only']").get("value") == "true"
    assert found(junit_cases(report)["fault.cancel"], "skipped").get("message") == \
        "a policy clause, not judged with --contract-only"


# --- The judge's lines.

def clause_line(clause: str, verdict: str, token: str = "TOKEN", module: str = "1", evidence: str = "") -> str:
    fields = {"module": module, "clause": clause, "verdict": verdict, "pid": "7", "seconds": "0.5", "signal": "0",
              "evidence": evidence}
    return judge.SEPARATOR.join([token, judge.CLAUSE] + [fields[name] for name in judge.FIELDS[judge.CLAUSE]])


def test_a_line_without_the_token_is_not_read(run_kit: RunKit, kit: FakeKit) -> None:
    forged = [clause_line("log.warning", "pass", token=token) for token in ("0" * 32, "", "TOKENX")]
    forged.append(judge.SEPARATOR.join(forged[0].split(judge.SEPARATOR)[1:]))
    kit.device(before=forged, after=[clause_line("record.identity", "pass", token="f" * 32)],
               verdicts={"1": {"log.warning": {"verdict": "fail", "evidence": "priority 5, not 6"}}})
    outcome = run_kit("--keep-going", kit.module())
    assert outcome.status == 1
    assert verdict_lines(outcome)["log.warning"] == "fail"


def test_a_clause_that_could_not_run_is_not_counted_as_passed(run_kit: RunKit, kit: FakeKit) -> None:
    report = os.path.join(kit.root, "r.xml")
    kit.device(verdicts={"1": {"log.warning": {"verdict": "could-not-run", "evidence": "no mount namespace"}}})
    outcome = run_kit("--keep-going", "--junit", report, kit.module())
    assert outcome.status == 125
    assert "could not run  contract  log.warning: the open warning: no mount namespace" in outcome.lines
    assert outcome.lines[-1] == f"{len(BINARY) + len(DEVICE_LIST)} passed, 0 failed, 1 could not run"
    suite = junit_suites(report)[0]
    assert (suite.get("errors"), suite.get("failures")) == ("1", "0")
    assert found(junit_cases(report)["log.warning"], "error").get("message") == \
        "could not run: the open warning: no mount namespace"


def test_a_failed_clause_fails_the_run_and_its_report(run_kit: RunKit, kit: FakeKit) -> None:
    report = os.path.join(kit.root, "r.xml")
    kit.device(verdicts={"1": {"log.warning": {"verdict": "fail", "evidence": "the warning's priority 5, not 6"}}})
    outcome = run_kit("--keep-going", "--junit", report, kit.module())
    assert outcome.status == 1
    assert outcome.lines[-1] == f"{len(BINARY) + len(DEVICE_LIST)} passed, 1 failed, 0 could not run"
    suite = junit_suites(report)[0]
    assert (suite.get("tests"), suite.get("failures"), suite.get("errors"), suite.get("skipped")) == \
        (str(len(BINARY) + len(DEVICE_LIST) + 1), "1", "0", "0")
    assert found(junit_cases(report)["log.warning"], "failure").get("message") == \
        "the open warning: the warning's priority 5, not 6"


@pytest.mark.parametrize("line", [
    clause_line("log.warning", "passed"),
    clause_line("record.nonesuch", "pass"),
    clause_line("record.load", "pass"),
    clause_line("record.load", "pass", module="2"),
    clause_line("record.load", "pass", module="one"),
    judge.SEPARATOR.join(["TOKEN", judge.CLAUSE, "1", "record.load", "pass"]),
    judge.SEPARATOR.join(["TOKEN", "verdict", "1"]),
], ids=["an unknown verdict", "an unknown clause", "two verdicts", "a module not sent", "no module number",
        "too few fields", "an unknown kind"])
def test_a_line_of_the_token_out_of_the_protocol_cannot_run(run_kit: RunKit, kit: FakeKit, line: str) -> None:
    kit.device(after=[line])
    outcome = run_kit("--keep-going", kit.module())
    assert outcome.status == 125 and outcome.err and not outcome.out


def test_the_kits_own_failure_on_the_device_cannot_run(run_kit: RunKit, kit: FakeKit) -> None:
    kit.device(before=[judge.SEPARATOR.join(["TOKEN", judge.KIT, "the backlight driver cannot be reset"])],
               end=False, status=judge.EXIT_KIT)
    outcome = run_kit(kit.module())
    assert outcome.status == 125 and "the backlight driver cannot be reset" in outcome.err and not outcome.out


def test_a_judge_that_ends_before_its_last_verdict_cannot_run(run_kit: RunKit, kit: FakeKit) -> None:
    kit.device(end=False, stderr="Segmentation fault\n")
    outcome = run_kit(kit.module())
    assert outcome.status == 125 and "Segmentation fault" in outcome.err and not outcome.out


def test_a_device_that_failed_cannot_run_and_says_why(run_kit: RunKit, kit: FakeKit) -> None:
    kit.device(status=125, stderr="pellix-device: the device did not start its first process\n")
    outcome = run_kit(kit.module())
    assert outcome.status == 125 and not outcome.out
    assert "the device did not start its first process" in outcome.err and "status 125" in outcome.err


def test_the_judge_gets_the_runs_options_a_limit_and_a_fresh_token(run_kit: RunKit, kit: FakeKit,
                                                                   monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setenv("PELLIX_TIMEOUT_SCALE", "2.5")
    run_kit("--keep-going", "--contract-only", kit.module("a.so"), kit.module("b.so"))
    first = kit.called()
    run_kit(kit.module("a.so"))
    second = kit.called()
    assert first is not None and second is not None
    argv = first["argv"]
    total = sum(int(row[2]) for row in DEVICE_LIST)
    assert argv[argv.index("--timeout") + 1] == str(total * 2 + 60)
    after = argv[argv.index("--") + 1:]
    assert after[0].endswith("/share/lights-conformance/lights-conformance-judge")
    assert after[1:] == ["--time-scale", "2.500", "--keep-going", "--contract-only", "./module-1.so", "./module-2.so"]
    assert judge.TOKEN_MIN_LENGTH <= len(first["token"]) <= judge.TOKEN_MAX_LENGTH
    assert first["token"] != second["token"]


CRASH_REPORT = """\
pellix-device: crash: process 41 (lights-conformance-judge) died of SIGSEGV (signal 11)
    #0  module-1.so+0x100  acquire_light  faulty_module.c:120
pellix-device: crash: process 42 (lights-conformance-judge) died of SIGSEGV (signal 11)
  fault address 0x00000000
    #0  libc.so.6+0x5a0c4  strlen
    #1  module-1.so+0x4f0  set_light_backlight  faulty_module.c:205
    #2  module-1.so+0x500  main
pellix-device: process 42: end of the crash report
"""


def test_a_crash_names_the_modules_innermost_frame_of_that_process(run_kit: RunKit, kit: FakeKit) -> None:
    kit.device(stderr=CRASH_REPORT, verdicts={"1": {"log.warning": {
        "verdict": "fail", "pid": 42, "signal": 11,
        "evidence": "the module ended the process with signal 11 (Segmentation fault)"}}})
    outcome = run_kit(kit.module())
    assert "fail  contract  log.warning: the open warning: the module ended the process with signal 11 " \
        "(Segmentation fault); the fault: in set_light_backlight at faulty_module.c:205 (module-1.so+0x4f0)" \
        in outcome.lines


def test_a_clause_that_ended_without_a_signal_names_no_place(run_kit: RunKit, kit: FakeKit) -> None:
    kit.device(stderr=CRASH_REPORT, verdicts={"1": {"log.warning": {"verdict": "fail", "pid": 42, "evidence": "x"}}})
    outcome = run_kit(kit.module())
    assert "fail  contract  log.warning: the open warning: x" in outcome.lines


# --- The reports and the status.

def test_the_text_report_gives_each_module_its_identity_verdicts_and_counts(run_kit: RunKit, kit: FakeKit) -> None:
    first, second = kit.module("a.so"), kit.module("b.so")
    kit.device(verdicts={"2": {"fault.cancel": {"verdict": "fail", "evidence": "a lock held"}}})
    outcome = run_kit("--keep-going", first, second)
    binary = [f"pass  {c.kind:<8}  {c.id}: {c.title}" for c in BINARY]
    armv5te = f"pass  contract  {ARMV5TE.id}: {ARMV5TE.title}"
    head = ["sha256: " + __import__("hashlib").sha256(elf_bytes()).hexdigest(), "build-id: 0123abcd",
            "version: 9.9-test"]
    assert outcome.out == "\n".join(
        [f"lights-conformance: {first}", f"module: {first}", *head, *binary,
         "pass  contract  record.load: the module loads", "pass  contract  log.warning: the open warning",
         "pass  policy    fault.cancel: cancellation held off", armv5te, "10 passed, 0 failed, 0 could not run", "",
         f"lights-conformance: {second}", f"module: {second}", *head, *binary,
         "pass  contract  record.load: the module loads", "pass  contract  log.warning: the open warning",
         "fail  policy    fault.cancel: cancellation held off: a lock held", armv5te,
         "9 passed, 1 failed, 0 could not run"]) + "\n"


def test_the_junit_report_gives_each_clause_its_class_kind_process_and_time(run_kit: RunKit, kit: FakeKit) -> None:
    report = os.path.join(kit.root, "r.xml")
    module = kit.module()
    run_kit("--junit", report, module)
    suite = junit_suites(report)[0]
    assert suite.get("name") == f"lights-conformance {module}"
    assert {p.get("name"): p.get("value") for p in suite.findall("properties/property")} == {
        "module": module, "sha256": __import__("hashlib").sha256(elf_bytes()).hexdigest(), "build_id": "0123abcd",
        "version": "9.9-test", "contract_only": "false"}
    cases = junit_cases(report)
    assert list(cases) == [c.id for c in BINARY] + [row[0] for row in DEVICE_LIST] + [ARMV5TE.id]
    device_case, binary_case = cases["fault.cancel"], cases["binary.versions"]
    assert (device_case.get("classname"), device_case.get("time")) == ("lights-conformance.policy.fault", "0.25")
    assert {p.get("name"): p.get("value") for p in device_case.findall("properties/property")} == \
        {"kind": "policy", "pid": "101"}
    assert (binary_case.get("time"), found(binary_case, "properties/property[@name='pid']").get("value")) == ("0", "")


def _module(*outcomes: str) -> Module:
    module = Module(1, "m.so")
    for number, outcome in enumerate(outcomes):
        module.verdicts[f"c.{number}"] = Verdict(outcome)
    return module


@pytest.mark.parametrize("modules, status", [
    ([_module("pass", "pass")], 0),
    ([_module("pass", "fail")], 1),
    ([_module("pass"), _module("fail")], 1),
    ([_module("fail"), _module("could-not-run")], 125),
    ([_module("could-not-run"), _module("fail")], 125),
])
def test_the_status_is_the_worst_verdict_of_any_module(modules: List[Module], status: int) -> None:
    assert Run([Clause("c.0", "contract", 1, "t")], modules).status() == status


# --- One clause at a time, and a debugger on it.

def test_clause_runs_only_the_matching_clauses_in_the_lists_order(run_kit: RunKit, kit: FakeKit) -> None:
    report = os.path.join(kit.root, "r.xml")
    outcome = run_kit("--junit", report, "--clause", "log.*", "--clause", "binary.ob?ect", kit.module())
    assert outcome.status == 0
    assert list(verdict_lines(outcome)) == ["binary.object", "log.warning"]
    assert "2 passed, 0 failed, 0 could not run" in outcome.out
    called = kit.called()
    assert called is not None
    after = called["argv"][called["argv"].index("--") + 1:]
    assert after[1:] == ["--time-scale", "1.000", "--clause", "log.warning", "./module-1.so"]
    assert called["argv"][called["argv"].index("--timeout") + 1] == str(10 + 60)
    assert list(junit_cases(report)) == ["binary.object", "log.warning"]
    properties = {p.get("name"): p.get("value") for p in junit_suites(report)[0].findall("properties/property")}
    assert properties["clauses"] == "binary.object log.warning"


def test_clause_with_only_binary_clauses_boots_no_device(run_kit: RunKit, kit: FakeKit) -> None:
    outcome = run_kit("--clause", "binary.armv5te", "--clause", "binary.thumb", kit.module())
    assert outcome.status == 0 and list(verdict_lines(outcome)) == ["binary.thumb", "binary.armv5te"]
    assert kit.called() is None


def test_a_verdict_for_a_clause_not_selected_cannot_run(run_kit: RunKit, kit: FakeKit) -> None:
    kit.device(ignore_clause=True)
    outcome = run_kit("--clause", "log.warning", kit.module())
    assert outcome.status == 125 and "record.load, which this run does not judge" in outcome.err


def test_a_pattern_that_matches_nothing_cannot_run_and_shows_the_list(run_kit: RunKit, kit: FakeKit) -> None:
    for argv in (["--clause", "log.*", "--clause", "logs.*", kit.module()], ["--clause", "nothing", "--list"]):
        outcome = run_kit(*argv)
        assert outcome.status == 125 and not outcome.out
        assert "--clause " in outcome.err and " matches no clause" in outcome.err
        assert "log.warning\tcontract\t10\tthe open warning" in outcome.err.splitlines()
    assert kit.called() is None


def test_list_shows_only_the_selected_clauses(run_kit: RunKit) -> None:
    outcome = run_kit("--clause", "*.load", "--clause", "fault.*", "--list")
    assert outcome.status == 0
    assert [line.split("\t")[0] for line in outcome.lines] == ["record.load", "fault.cancel"]


@pytest.mark.parametrize("argv", [["--gdb", "5555"], ["--gdb", "5555", "--clause", "*"],
                                  ["--gdb", "5555", "--clause", "binary.object"],
                                  ["--gdb", "5555", "--clause", "log.warning", "TWO"],
                                  ["--gdb", "0", "--clause", "log.warning"],
                                  ["--gdb", "port", "--clause", "log.warning"]],
                         ids=["no-clause", "every-clause", "a-binary-clause", "two-modules", "port-0", "no-port"])
def test_gdb_is_refused_but_for_one_device_clause_of_one_module(run_kit: RunKit, kit: FakeKit,
                                                                argv: List[str]) -> None:
    modules = [kit.module("a.so"), kit.module("b.so")] if "TWO" in argv else [kit.module()]
    outcome = run_kit(*[word for word in argv if word != "TWO"], *modules)
    assert outcome.status == 125 and not outcome.out and "--gdb" in outcome.err
    assert kit.called() is None


def test_gdb_asks_the_runner_for_the_debugger_and_the_judge_for_the_clauses_process(
        run_kit: RunKit, kit: FakeKit) -> None:
    outcome = run_kit("--gdb", "5555", "--clause", "log.warning", kit.module())
    assert outcome.status == 0 and list(verdict_lines(outcome)) == ["log.warning"]
    called = kit.called()
    assert called is not None
    argv = called["argv"]
    assert argv[argv.index("--gdb-attach") + 1] == "5555"
    assert argv[argv.index("--timeout") + 1] == "86400"
    assert argv[argv.index("--") + 2:] == ["--time-scale", "1.000", "--clause", "log.warning", "--gdb",
                                           "./module-1.so"]
