# SPDX-License-Identifier: Apache-2.0
"""lights-conformance's host side, run in-process against a kit of fakes:
a judge list, a runner that answers as the judge would (its lines built
from the protocol's declaration) and binary facts given by the test. The
real kit on the real device is test_conformance_kit.py's."""

import hashlib
import json
import os
import struct
import tempfile
import xml.etree.ElementTree as ElementTree
from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Optional, Union

import pytest

from pellix import abi, report
from pellix.conformance import command
from pellix.conformance.clauses import ARMV5TE, BINARY, Clause
from pellix.conformance.verdicts import Module, Run, Verdict
from pellix.protocol import judge

TOOLS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

DEVICE_LIST = [("record.load", "contract", "10", "the module loads"),
               ("log.warning", "contract", "10", "the open warning"),
               ("fault.cancel", "policy", "30", "cancellation held off")]
ALL = len(BINARY) + len(DEVICE_LIST) + 1

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
json.dump({"argv": args, "token": token}, open(os.path.join(here, "called.json"), "w"))
scenario = json.load(open(os.path.join(here, "scenario.json"))) if os.path.exists(here + "/scenario.json") else {}
listed = [line.split(judge.SEPARATOR) for line in open(LIST).read().splitlines()]
after = args[args.index("--") + 2:]
chosen = [after[i + 1] for i, a in enumerate(after) if a == judge.OPTION_CLAUSE]
if chosen and not scenario.get("ignore_clause"):
    listed = [row for row in listed if row[0] in chosen]
def say(kind, **fields):
    print(judge.SEPARATOR.join([token, kind] + [str(fields[name]) for name in judge.FIELDS[kind]]))
for line in scenario.get("before", []):
    print(line.replace("TOKEN", token))
for number in range(1, len([a for a in after if a.endswith(".so")]) + 1):
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


def unreadable(path: str) -> abi.Result:
    raise abi.AbiError(f"{path} has no dynamic section")


def elf_bytes(e_type: int = 3) -> bytes:
    """A minimal little-endian ELF32 ARM file of type E_TYPE (3, a shared object)."""
    return struct.pack("<16sHHIIIIIHHHHHH", b"\x7fELF\x01\x01\x01" + bytes(9), e_type, 40, 1, 0, 0, 0,
                       0x05000200, 52, 32, 0, 40, 0, 0)


def clause_line(clause: str, verdict: str, token: str = "TOKEN", module: str = "1") -> str:
    fields = {"module": module, "clause": clause, "verdict": verdict, "pid": "7", "seconds": "0.5", "signal": "0",
              "evidence": ""}
    return judge.SEPARATOR.join([token, judge.CLAUSE] + [fields[name] for name in judge.FIELDS[judge.CLAUSE]])


@dataclass
class Outcome:
    status: int
    out: str
    err: str

    @property
    def lines(self) -> List[str]:
        return self.out.splitlines()

    def verdicts(self) -> Dict[str, str]:
        """Clause id: its line's first word (pass, fail, could)."""
        words = [line.split() for line in self.lines if line.startswith(("pass ", "fail ", "could "))]
        return {(row[3] if row[0] == "could" else row[2]).rstrip(":"): row[0] for row in words}


class FakeKit:
    """An installed kit of fakes under ROOT/prefix, run in-process."""

    def __init__(self, root: str, capsys: pytest.CaptureFixture, monkeypatch: pytest.MonkeyPatch) -> None:
        self.root, self.capsys, self.monkeypatch = root, capsys, monkeypatch
        self.prefix = os.path.join(root, "prefix")
        self.share = os.path.join(self.prefix, "share", "lights-conformance")
        self.bin = os.path.join(self.prefix, "bin")
        self.list_file = os.path.join(self.share, "device-clauses.tsv")
        self.report = os.path.join(root, "r.xml")
        os.makedirs(self.share)
        os.makedirs(self.bin)
        self.write(self.list_file, "".join(judge.SEPARATOR.join(fields) + "\n" for fields in DEVICE_LIST))
        self.write(os.path.join(self.share, "lights-conformance-judge"), "")
        self.write(os.path.join(self.bin, "pellix-device"),
                   FAKE_RUNNER.replace("TOOLS", repr(TOOLS)).replace("LIST", repr(self.list_file)))
        os.chmod(os.path.join(self.bin, "pellix-device"), 0o755)
        monkeypatch.delenv("PELLIX_TIMEOUT_SCALE", raising=False)

    def write(self, path: str, data: Union[str, bytes], mode: str = "w") -> str:
        with open(path, mode + ("b" if isinstance(data, bytes) else "")) as handle:
            handle.write(data)
        return path

    def module(self, name: str = "m.so", data: Optional[bytes] = None) -> str:
        return self.write(os.path.join(self.root, name), elf_bytes() if data is None else data)

    def device(self, **scenario: object) -> None:
        self.write(os.path.join(self.bin, "scenario.json"), json.dumps(scenario))

    def called(self) -> Optional[dict]:
        path = os.path.join(self.bin, "called.json")
        if not os.path.exists(path):
            return None
        with open(path) as handle:
            return json.load(handle)

    def after(self) -> List[str]:
        """What the judge was given: its path, then its options and modules."""
        argv = (self.called() or {"argv": ["--"]})["argv"]
        return argv[argv.index("--") + 1:]

    def runner_option(self, option: str) -> str:
        argv = (self.called() or {"argv": []})["argv"]
        return argv[argv.index(option) + 1]

    def run(self, *argv: str, given: Union[None, abi.Result, Callable[[str], abi.Result]] = None) -> Outcome:
        """The kit's status and output on ARGV, the binary facts GIVEN (or
        a function of the module's path that gives them)."""
        def fixed(path: str) -> abi.Result:
            return given if isinstance(given, abi.Result) else facts()
        status = command.main(list(argv), prefix=self.prefix, check_module=given if callable(given) else fixed)
        captured = self.capsys.readouterr()
        return Outcome(status, captured.out, captured.err)

    def junit(self) -> Dict[str, report.Case]:
        """The first testsuite's cases, by clause."""
        return {case.name: case for case in report.read(self.report)[0].cases}


@pytest.fixture
def kit(tmp_path: "os.PathLike[str]", capsys: pytest.CaptureFixture, monkeypatch: pytest.MonkeyPatch) -> FakeKit:
    return FakeKit(str(tmp_path), capsys, monkeypatch)


def test_the_list_puts_the_judges_clauses_between_the_binary_ones_and_armv5te(kit: FakeKit) -> None:
    outcome = kit.run("--list")
    assert outcome.status == 0
    assert [line.split("\t") for line in outcome.lines] == [[c.id, c.kind, "-", c.title] for c in BINARY] + \
        [list(row) for row in DEVICE_LIST] + [[ARMV5TE.id, ARMV5TE.kind, "-", ARMV5TE.title]]


def test_help_prints_the_usage_and_exits_0(kit: FakeKit) -> None:
    outcome = kit.run("--help")
    assert outcome.status == 0 and outcome.lines[0].startswith("usage: lights-conformance")


def test_list_shows_only_the_selected_clauses(kit: FakeKit) -> None:
    outcome = kit.run("--clause", "*.load", "--clause", "fault.*", "--list")
    assert outcome.status == 0 and [line.split("\t")[0] for line in outcome.lines] == ["record.load", "fault.cancel"]


def damage(kit: FakeKit, what: str) -> None:
    """Breaks the kit of fakes as WHAT says."""
    if what == "no list":
        os.unlink(kit.list_file)
    elif what == "a garbled list":
        kit.write(kit.list_file, "acquire.others\tcontract\tten\tevery other name\n", "a")
    elif what in ("share/lights-conformance/lights-conformance-judge", "bin/pellix-device"):
        os.unlink(os.path.join(kit.prefix, what))
    elif what == "a runner that cannot start":
        os.chmod(os.path.join(kit.bin, "pellix-device"), 0o644)
    elif what == "no scratch directory":
        kit.monkeypatch.setattr(tempfile, "tempdir", os.path.join(kit.root, "missing"))
    elif what.startswith("PELLIX_TIMEOUT_SCALE="):
        kit.monkeypatch.setenv("PELLIX_TIMEOUT_SCALE", what.split("=")[1])


def _line(*fields: str) -> str:
    return judge.SEPARATOR.join(fields)


def refused(kit: FakeKit, argv: List[str], given: Any = None) -> Outcome:
    """The kit's run on ARGV (M is a module, B a second one, and the other
    capitals other files made here), which must exit 125 and print nothing."""
    made = {"M": "m.so", "B": "b.so", "TEXT": "text.so", "EMPTY": "empty.so", "PROGRAM": "program"}
    data = {"TEXT": b"not a module\n", "EMPTY": b"", "PROGRAM": elf_bytes(2)}
    paths = {"MISSING": os.path.join(kit.root, "missing.so"), "ROOT": kit.root,
             "NOWHERE": os.path.join(kit.root, "no", "such", "r.xml")}
    outcome = kit.run(*[kit.module(made[word], data.get(word)) if word in made else paths.get(word, word)
                        for word in argv], given=given)
    assert outcome.status == 125 and not outcome.out
    return outcome


# Each way the kit cannot run before it starts the device: ARGV, how the
# kit is broken, the binary facts, and what its standard error says.
BEFORE_THE_DEVICE = {
    "no list, --list": (["--list"], "no list", None, "device-clauses.tsv"),
    "no list, a module": (["M"], "no list", None, "device-clauses.tsv"),
    "a garbled list, --list": (["--list"], "a garbled list", None, "device-clauses.tsv"),
    "a garbled list, a module": (["M"], "a garbled list", None, "device-clauses.tsv"),
    "no arguments": ([], "", None, "usage: lights-conformance"),
    "an unknown option": (["--fast", "M"], "", None, "unknown option --fast"),
    "--junit without a file": (["--junit"], "", None, "--junit needs a value"),
    "--list with a module": (["--list", "M"], "", None, "--list takes no module"),
    "a missing file": (["MISSING"], "", None, "cannot read"),
    "a missing file beside a module": (["M", "MISSING"], "", None, "cannot read"),
    "a text file": (["TEXT"], "", None, "not a module"),
    "an empty file": (["EMPTY"], "", None, "not a module"),
    "a program": (["PROGRAM"], "", None, "not a shared object"),
    "a directory": (["ROOT"], "", None, "cannot read"),
    "a report in a missing folder": (["--junit", "NOWHERE", "M"], "", None, "cannot write the report"),
    "a report where a folder is": (["--junit", "ROOT", "M"], "", None, "cannot write the report"),
    "time scale 0": (["M"], "PELLIX_TIMEOUT_SCALE=0", None, "PELLIX_TIMEOUT_SCALE"),
    "time scale fast": (["M"], "PELLIX_TIMEOUT_SCALE=fast", None, "PELLIX_TIMEOUT_SCALE"),
    "time scale 1e1": (["M"], "PELLIX_TIMEOUT_SCALE=1e1", None, "PELLIX_TIMEOUT_SCALE"),
    "no judge": (["M"], "share/lights-conformance/lights-conformance-judge", None, "run make"),
    "no runner": (["M"], "bin/pellix-device", None, "run make"),
    "no scratch directory": (["M"], "no scratch directory", None, "no scratch directory"),
    "a runner that cannot start": (["M"], "a runner that cannot start", None, "cannot start"),
    "a check missing from the facts": (["M"], "", facts(without="soname"), '"soname"'),
    "facts that cannot be read": (["M"], "", unreadable, "has no dynamic section"),
    "--gdb without --clause": (["--gdb", "5555", "M"], "", None, "--gdb"),
    "--gdb on every clause": (["--gdb", "5555", "--clause", "*", "M"], "", None, "--gdb"),
    "--gdb on a binary clause": (["--gdb", "5555", "--clause", "binary.object", "M"], "", None, "--gdb"),
    "--gdb on two modules": (["--gdb", "5555", "--clause", "log.warning", "M", "B"], "", None, "--gdb"),
    "--gdb on port 0": (["--gdb", "0", "--clause", "log.warning", "M"], "", None, "--gdb"),
    "--gdb on no port": (["--gdb", "port", "--clause", "log.warning", "M"], "", None, "--gdb"),
}


@pytest.mark.parametrize("argv, broken, given, said", BEFORE_THE_DEVICE.values(), ids=BEFORE_THE_DEVICE)
def test_what_the_kit_cannot_run_it_refuses_before_the_device(kit: FakeKit, argv: List[str], broken: str,
                                                              given: Any, said: str) -> None:
    damage(kit, broken)
    assert said in refused(kit, argv, given).err
    assert kit.called() is None


# Each way the judge's run on the device leaves the kit unable to qualify:
# the device's scenario (its lines, exit status and standard error), and
# what the kit's standard error says.
ON_THE_DEVICE = {
    "an unknown verdict": ({"after": [clause_line("log.warning", "passed")]}, ["the verdict 'passed'"]),
    "an unknown clause": ({"after": [clause_line("record.nonesuch", "pass")]}, ["unknown clause 'record.nonesuch'"]),
    "two verdicts": ({"after": [clause_line("record.load", "pass")]}, ["two verdicts for record.load"]),
    "a module not sent": ({"after": [clause_line("record.load", "pass", module="2")]}, ["names no module sent"]),
    "no module number": ({"after": [clause_line("record.load", "pass", module="one")]}, ["names no module sent"]),
    "too few fields": ({"after": [_line("TOKEN", judge.CLAUSE, "1", "record.load", "pass")]},
                       ["not of its protocol"]),
    "an unknown kind": ({"after": [_line("TOKEN", "verdict", "1")]}, ["not of its protocol"]),
    "the kit's own failure": ({"before": [_line("TOKEN", judge.KIT, "the backlight driver cannot be reset")],
                               "end": False, "status": judge.EXIT_KIT}, ["the backlight driver cannot be reset"]),
    "a judge that ends before its last verdict": ({"end": False, "stderr": "Segmentation fault\n"},
                                                  ["before its last verdict: Segmentation fault"]),
    "a device that failed": ({"status": 125, "stderr": "pellix-device: the device did not start its first process\n"},
                             ["the device did not start its first process", "status 125"]),
}


@pytest.mark.parametrize("device, said", ON_THE_DEVICE.values(), ids=ON_THE_DEVICE)
def test_a_run_on_the_device_out_of_the_protocol_cannot_run(kit: FakeKit, device: dict, said: List[str]) -> None:
    kit.device(**device)
    errors = refused(kit, ["--keep-going", "M"]).err
    assert [part for part in said if part not in errors] == []
    assert kit.called() is not None


def test_a_verdict_for_a_clause_not_selected_cannot_run(kit: FakeKit) -> None:
    kit.device(ignore_clause=True)
    assert "record.load, which this run does not judge" in refused(kit, ["--clause", "log.warning", "M"]).err


# --- Binary facts.

def test_failed_checks_fail_their_clause_with_what_they_saw(kit: FakeKit) -> None:
    outcome = kit.run("--keep-going", kit.module(), given=facts({"textrel": "TEXTREL", "stack": "GNU_STACK\n  RWE "}))
    assert outcome.status == 1
    assert [line for line in outcome.lines if line.startswith("fail")] == [
        "fail  policy    binary.relocations: no text relocations, no executable stack: "
        "no text relocations failed (TEXTREL); non-executable stack failed (GNU_STACK RWE)"]


def test_a_passing_clause_shows_what_its_checks_noted(kit: FakeKit) -> None:
    noted = facts()
    next(check for check in noted.checks if check.id == "thumb").detail = "init_globals enters through a veneer"
    outcome = kit.run(kit.module(), given=noted)
    thumb = next(line for line in outcome.lines if " binary.thumb:" in line)
    assert outcome.status == 0 and thumb.startswith("pass  ")
    assert thumb.endswith("(init_globals enters through a veneer)")


@pytest.mark.parametrize("options, given, device, evidence", [
    ([], facts({"cpu-arch": "Tag_CPU_arch: v7"}), {}, "Tag_CPU_arch no newer than v5TE failed (Tag_CPU_arch: v7)"),
    (["--keep-going"], facts(), {"after": [_line("TOKEN", judge.ILLEGAL_INSTRUCTION, "1", "log.warning")],
                                 "verdicts": {"1": {"log.warning": {"verdict": "fail", "signal": 4}}}},
     "an instruction newer than ARMv5TE was reached in log.warning"),
], ids=["newer build attributes", "an illegal instruction on the device"])
def test_binary_armv5te_fails_after_the_device(kit: FakeKit, options: List[str], given: abi.Result, device: dict,
                                               evidence: str) -> None:
    kit.device(**device)
    outcome = kit.run(*options, kit.module(), given=given)
    assert kit.called() is not None
    assert outcome.verdicts()["binary.armv5te"] == "fail" and outcome.lines[-2].endswith(evidence)


# --- Stopping, and the contract alone.

def test_without_keep_going_a_module_stops_at_its_first_failure(kit: FakeKit) -> None:
    failing, passing = kit.module("a.so"), kit.module("b.so")
    outcome = kit.run("--junit", kit.report, failing, passing,
                      given=lambda path: facts({"needed": "libz.so.1"} if path == failing else {}))
    assert outcome.status == 1
    assert "./module-1.so" not in kit.after() and "./module-2.so" in kit.after()
    first = outcome.out.split("\n\n")[0]
    assert "fail  contract  binary.needed" in first and "pass  contract  binary.object" in first
    assert "binary.versions" not in first and "record.load" not in first
    assert f"{ALL - 3} clause(s) not run after the first failure" in first
    skipped = kit.junit()["record.load"]
    assert (skipped.outcome, skipped.message) == ("skipped", "not run after the first failure")


def test_contract_only_judges_no_policy_clause(kit: FakeKit) -> None:
    outcome = kit.run("--contract-only", "--junit", kit.report, kit.module(), given=facts({"versions": "GLIBC_2.34"}))
    assert outcome.status == 0
    assert outcome.lines[0].endswith(", against the contract alone")
    judged = outcome.verdicts()
    assert "binary.versions" not in judged and "fault.cancel" not in judged and "record.load" in judged
    assert "3 policy clause(s) not judged (--contract-only)" in outcome.lines
    assert "--contract-only" in kit.after()
    assert report.read(kit.report)[0].properties["contract_only"] == "true"
    skipped = kit.junit()["fault.cancel"]
    assert (skipped.outcome, skipped.message) == ("skipped", "a policy clause, not judged with --contract-only")


# --- The judge's lines.

def test_a_line_without_the_token_is_not_read(kit: FakeKit) -> None:
    forged = [clause_line("log.warning", "pass", token=token) for token in ("0" * 32, "", "TOKENX")]
    forged.append(judge.SEPARATOR.join(forged[0].split(judge.SEPARATOR)[1:]))
    kit.device(before=forged, after=[clause_line("record.identity", "pass", token="f" * 32)],
               verdicts={"1": {"log.warning": {"verdict": "fail", "evidence": "priority 5, not 6"}}})
    outcome = kit.run("--keep-going", kit.module())
    assert outcome.status == 1 and outcome.verdicts()["log.warning"] == "fail"


@pytest.mark.parametrize("verdict, status, shown, counts, outcome, message", [
    ("could-not-run", 125, "could not run  contract  log.warning: the open warning: it failed",
     f"{ALL - 1} passed, 0 failed, 1 could not run", "error", "could not run: the open warning: it failed"),
    ("fail", 1, "fail  contract  log.warning: the open warning: it failed",
     f"{ALL - 1} passed, 1 failed, 0 could not run", "fail", "the open warning: it failed"),
])
def test_a_clause_that_did_not_pass_sets_the_status_and_its_reports(kit: FakeKit, verdict: str, status: int,
                                                                    shown: str, counts: str, outcome: str,
                                                                    message: str) -> None:
    kit.device(verdicts={"1": {"log.warning": {"verdict": verdict, "evidence": "it failed"}}})
    ran = kit.run("--keep-going", "--junit", kit.report, kit.module())
    assert ran.status == status and shown in ran.lines and ran.lines[-1] == counts
    suite = ElementTree.parse(kit.report).getroot().findall("testsuite")[0]
    assert (suite.get("tests"), suite.get("failures"), suite.get("errors"), suite.get("skipped")) == \
        (str(ALL), str(int(outcome == "fail")), str(int(outcome == "error")), "0")
    assert (kit.junit()["log.warning"].outcome, kit.junit()["log.warning"].message) == (outcome, message)


def test_the_judge_gets_the_runs_options_a_limit_and_a_fresh_token(kit: FakeKit) -> None:
    kit.monkeypatch.setenv("PELLIX_TIMEOUT_SCALE", "2.5")
    kit.run("--keep-going", "--contract-only", kit.module("a.so"), kit.module("b.so"))
    first = kit.called() or {}
    assert kit.runner_option("--timeout") == str(sum(int(row[2]) for row in DEVICE_LIST) * 2 + 60)
    assert kit.after()[0].endswith("/share/lights-conformance/lights-conformance-judge")
    assert kit.after()[1:] == ["--time-scale", "2.500", "--keep-going", "--contract-only", "./module-1.so",
                               "./module-2.so"]
    kit.run(kit.module("a.so"))
    assert judge.TOKEN_MIN_LENGTH <= len(first["token"]) <= judge.TOKEN_MAX_LENGTH
    assert first["token"] != (kit.called() or {})["token"]


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


@pytest.mark.parametrize("signal, shown", [
    (11, "x; the fault: in set_light_backlight at faulty_module.c:205 (module-1.so+0x4f0)"), (0, "x")],
    ids=["a crash names the module's innermost frame of that process", "no signal names no place"])
def test_a_clause_ended_by_a_signal_names_where(kit: FakeKit, signal: int, shown: str) -> None:
    kit.device(stderr=CRASH_REPORT,
               verdicts={"1": {"log.warning": {"verdict": "fail", "pid": 42, "signal": signal, "evidence": "x"}}})
    assert f"fail  contract  log.warning: the open warning: {shown}" in kit.run(kit.module()).lines


# --- The reports and the status.

def test_the_text_report_gives_each_module_its_identity_verdicts_and_counts(kit: FakeKit) -> None:
    first, second = kit.module("a.so"), kit.module("b.so")
    kit.device(verdicts={"2": {"fault.cancel": {"verdict": "fail", "evidence": "a lock held"}}})
    outcome = kit.run("--keep-going", first, second)
    head = [f"sha256: {hashlib.sha256(elf_bytes()).hexdigest()}", "build-id: 0123abcd", "version: 9.9-test",
            *(f"pass  {c.kind:<8}  {c.id}: {c.title}" for c in BINARY),
            "pass  contract  record.load: the module loads", "pass  contract  log.warning: the open warning"]
    armv5te = f"pass  contract  {ARMV5TE.id}: {ARMV5TE.title}"
    assert outcome.out == "\n".join(
        [f"lights-conformance: {first}", f"module: {first}", *head,
         "pass  policy    fault.cancel: cancellation held off", armv5te, "10 passed, 0 failed, 0 could not run", "",
         f"lights-conformance: {second}", f"module: {second}", *head,
         "fail  policy    fault.cancel: cancellation held off: a lock held", armv5te,
         "9 passed, 1 failed, 0 could not run"]) + "\n"


def test_the_junit_report_gives_each_clause_its_class_kind_process_and_time(kit: FakeKit) -> None:
    module = kit.module()
    kit.run("--junit", kit.report, module)
    suite = report.read(kit.report)[0]
    assert suite.name == f"lights-conformance {module}"
    assert suite.properties == {"module": module, "sha256": hashlib.sha256(elf_bytes()).hexdigest(),
                                "build_id": "0123abcd", "version": "9.9-test", "contract_only": "false"}
    cases = kit.junit()
    assert list(cases) == [c.id for c in BINARY] + [row[0] for row in DEVICE_LIST] + [ARMV5TE.id]
    device_case, binary_case = cases["fault.cancel"], cases["binary.versions"]
    assert (device_case.classname, device_case.seconds) == ("lights-conformance.policy.fault", 0.25)
    assert device_case.properties == {"kind": "policy", "pid": "101"}
    assert (binary_case.seconds, binary_case.properties["pid"]) == (0, "")


def _module(*outcomes: str) -> Module:
    return Module(1, "m.so", verdicts={f"c.{number}": Verdict(outcome) for number, outcome in enumerate(outcomes)})


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

def test_clause_runs_only_the_matching_clauses_in_the_lists_order(kit: FakeKit) -> None:
    outcome = kit.run("--junit", kit.report, "--clause", "log.*", "--clause", "binary.ob?ect", kit.module())
    assert outcome.status == 0 and list(outcome.verdicts()) == ["binary.object", "log.warning"]
    assert "2 passed, 0 failed, 0 could not run" in outcome.out
    assert kit.after()[1:] == ["--time-scale", "1.000", "--clause", "log.warning", "./module-1.so"]
    assert kit.runner_option("--timeout") == str(10 + 60)
    assert list(kit.junit()) == ["binary.object", "log.warning"]
    assert report.read(kit.report)[0].properties["clauses"] == "binary.object log.warning"


def test_clause_with_only_binary_clauses_boots_no_device(kit: FakeKit) -> None:
    outcome = kit.run("--clause", "binary.armv5te", "--clause", "binary.thumb", kit.module())
    assert outcome.status == 0 and list(outcome.verdicts()) == ["binary.thumb", "binary.armv5te"]
    assert kit.called() is None


@pytest.mark.parametrize("argv", [["--clause", "log.*", "--clause", "logs.*", "MODULE"],
                                  ["--clause", "nothing", "--list"]])
def test_a_pattern_that_matches_nothing_cannot_run_and_shows_the_list(kit: FakeKit, argv: List[str]) -> None:
    outcome = kit.run(*[kit.module() if word == "MODULE" else word for word in argv])
    assert outcome.status == 125 and not outcome.out
    assert "--clause " in outcome.err and " matches no clause" in outcome.err
    assert "log.warning\tcontract\t10\tthe open warning" in outcome.err.splitlines()
    assert kit.called() is None


def test_gdb_asks_the_runner_for_the_debugger_and_the_judge_for_the_clauses_process(kit: FakeKit) -> None:
    outcome = kit.run("--gdb", "5555", "--clause", "log.warning", kit.module())
    assert outcome.status == 0 and list(outcome.verdicts()) == ["log.warning"]
    assert kit.runner_option("--gdb-attach") == "5555" and kit.runner_option("--timeout") == "86400"
    assert kit.after()[1:] == ["--time-scale", "1.000", "--clause", "log.warning", "--gdb", "./module-1.so"]
