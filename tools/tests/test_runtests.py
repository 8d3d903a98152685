# SPDX-License-Identifier: Apache-2.0
"""make test's runner, driven with a stand-in ctest that does what each
test asks of it: writes a given report, prints, exits with a status, leaves
a process running."""

import contextlib
import io
import json
import os
import stat
import textwrap
from typing import Dict, List, Optional, Tuple

import pytest

from pellix import runtests

FAKE_CTEST = """\
#!/usr/bin/python3
import json, os, subprocess, sys, time
args = sys.argv[1:]
config = args[args.index("--preset") + 1]
# As ctest takes it, or as pytest does when it stands in for the tools' suite.
junit = args[args.index("--output-junit") + 1] if "--output-junit" in args else args[-1].split("=", 1)[1]
with open(os.path.join("fake", config + ".json")) as handle:
    plan = json.load(handle)
if plan.get("junit") is not None:
    with open(junit, "w") as handle:
        handle.write(plan["junit"])
if plan.get("log") is not None:
    folder = os.path.join("build", config, "Testing", "Temporary")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "LastTest.log"), "w") as handle:
        handle.write(plan["log"])
if plan.get("touch"):
    open(plan["touch"], "w").close()
for _ in range(600 if plan.get("wait_for") else 0):
    if os.path.exists(plan["wait_for"]):
        break
    time.sleep(0.05)
else:
    if plan.get("wait_for"):
        sys.exit(3)
if plan.get("leave"):
    # Holds the output open too: the runner must not wait for it.
    child = subprocess.Popen(["sleep", "1000"])
    with open(os.path.join("fake", config + ".pid"), "w") as handle:
        handle.write(str(child.pid))
print(plan.get("output", "ran " + config), flush=True)
sys.exit(plan.get("status", 0))
"""


def junit(*outcomes: str) -> str:
    """ctest's JUnit for cases with these outcomes: pass, fail, notrun, disabled."""
    cases = []
    for number, outcome in enumerate(outcomes):
        body = {"pass": "", "fail": '<failure message="Failed"/>', "notrun": '<skipped message="skipped"/>',
                "disabled": ""}[outcome]
        status = {"pass": "run", "fail": "fail"}.get(outcome, outcome)
        cases.append(f'<testcase name="t{number}" classname="t{number}" time="0" status="{status}">{body}</testcase>')
    return f'<?xml version="1.0"?><testsuite name="x" tests="{len(cases)}">{"".join(cases)}</testsuite>'


class Top:
    """A checkout with a stand-in ctest on the PATH and a stand-in tools' suite."""

    def __init__(self, path: str, monkeypatch: pytest.MonkeyPatch) -> None:
        self.path = path
        for folder in ("bin", "fake", "build", "tools"):
            os.makedirs(os.path.join(path, folder))
        ctest = os.path.join(path, "bin", "ctest")
        with open(ctest, "w") as handle:
            handle.write(FAKE_CTEST)
        os.chmod(ctest, stat.S_IRWXU)
        monkeypatch.setenv("PATH", os.path.join(path, "bin") + os.pathsep + os.environ["PATH"])
        self.plan("tools", junit=junit("pass"))

    def plan(self, config: str, **plan: object) -> None:
        with open(os.path.join(self.path, "fake", config + ".json"), "w") as handle:
            json.dump(plan, handle)

    def run(self, *configs: str, tools: Optional[List[str]] = None) -> Tuple[int, str]:
        out = io.BytesIO()
        # The tools' suite is the same stand-in, as the configuration "tools".
        command = tools or [os.path.join(self.path, "bin", "ctest"), "--preset", "tools"]
        if tools is None:
            os.symlink(os.path.join(self.path, "fake"), os.path.join(self.path, "tools", "fake"))
        status = runtests.run(list(configs), top=self.path, out=out, tools_command=command)
        return status, out.getvalue().decode()

    def read(self, *parts: str) -> str:
        with open(os.path.join(self.path, *parts)) as handle:
            return handle.read()


@pytest.fixture
def top(tmp_path: "os.PathLike[str]", monkeypatch: pytest.MonkeyPatch) -> Top:
    return Top(str(tmp_path), monkeypatch)


def summary(output: str) -> List[str]:
    return [line for line in output.splitlines() if line.endswith(" skipped")]


def test_each_configuration_has_a_line_from_its_report_and_the_total_adds_them(top: Top) -> None:
    top.plan("one", junit=junit("pass", "pass", "fail", "notrun", "disabled"), status=8)
    top.plan("two", junit=junit("pass"))
    status, output = top.run("one", "two")
    assert summary(output) == ["one: 2 passed, 1 failed, 2 skipped", "two: 1 passed, 0 failed, 0 skipped",
                               "tools: 1 passed, 0 failed, 0 skipped", "total: 4 passed, 1 failed, 2 skipped"]
    assert status == 1


def test_a_failing_runner_whose_report_shows_no_failure_fails_once(top: Top) -> None:
    top.plan("one", junit=junit("pass", "pass"), status=8)
    status, output = top.run("one")
    assert "one: 1 passed, 1 failed, 0 skipped" in summary(output)
    assert status == 1


@pytest.mark.parametrize("plan", [{"junit": junit()}, {"junit": None}, {"junit": "<testsuite"}, {"stale": True}],
                         ids=["no test", "no report", "unreadable report", "a report left by an earlier run"])
def test_a_configuration_that_ran_no_test_fails(top: Top, plan: Dict[str, object]) -> None:
    if plan.pop("stale", False):
        with open(os.path.join(top.path, "build", "ctest-one.xml"), "w") as handle:
            handle.write(junit("pass"))
        plan["junit"] = None
    top.plan("one", **plan)
    status, output = top.run("one")
    assert "one: 0 passed, 1 failed, 0 skipped" in summary(output)
    assert status == 1


@pytest.mark.parametrize("outcome, status", [("pass", 0), ("notrun", 1)])
def test_it_passes_when_nothing_failed_and_something_passed(top: Top, outcome: str, status: int) -> None:
    top.plan("one", junit=junit(outcome))
    top.plan("tools", junit=junit(outcome))
    assert top.run("one")[0] == status


def test_a_process_the_tests_leave_running_is_named_killed_and_fails_them(top: Top) -> None:
    top.plan("one", junit=junit("pass", "pass"), leave=True)
    status, output = top.run("one")
    assert "run-tests: FAIL: processes the one tests left running (stopped now):" in output
    assert "sleep 1000" in output
    assert "one: 1 passed, 1 failed, 0 skipped" in summary(output)
    assert status == 1
    pid = int(top.read("fake", "one.pid"))
    try:
        with open(f"/proc/{pid}/stat") as handle:
            assert handle.read().rsplit(")", 1)[1].split()[0] == "Z"
    except FileNotFoundError:
        pass


def test_the_tests_output_is_shown_in_order_and_kept_in_a_log(top: Top) -> None:
    top.plan("one", junit=junit("pass"), output="first output")
    top.plan("two", junit=junit("pass"), output="second output", wait_for="fake/tools.started")
    # The tools' suite runs beside the configurations (two waits for it to
    # start), yet its output comes last.
    top.plan("tools", junit=junit("pass"), output="tools output", touch="fake/tools.started")
    status, output = top.run("one", "two")
    assert output.index("== ctest: one") < output.index("first output") < output.index("== ctest: two") \
        < output.index("second output") < output.index("== pytest: tools") < output.index("tools output")
    assert status == 0, output
    assert top.read("build", "ctest-two.log") == "second output\n"


def test_the_figures_are_summed_over_the_logs_of_the_configurations_run(top: Top) -> None:
    top.plan("one", junit=junit("pass"), log=textwrap.dedent("""\
        figure: requests_served 100
        figure: churn_cycles 7
        Done 1000 runs in 1 second(s)
        ==1==ERROR: LeakSanitizer: detected memory leaks
        x.cpp:3:5: runtime error: signed integer overflow
        """))
    top.plan("two", junit=junit("pass"), log=textwrap.dedent("""\
        figure: requests_served 23
        figure: requests_served_twice 1000
        ==2== 8 bytes in 1 blocks are definitely lost in loss record 1 of 1
        WARNING: ThreadSanitizer: data race (pid=3)
        """))
    output = top.run("one", "two")[1]
    assert textwrap.dedent("""\
        | figure                          | value |
        |---------------------------------|-------|
        | backlight requests under stress |   123 |
        | passive requests alongside      |     0 |
        | faults injected and survived    |     0 |
        | acquire/release churn cycles    |     7 |
        | fuzz executions                 |  1000 |
        | leaks found                     |     2 |
        | sanitizer findings              |     2 |
        """) in output


def test_the_tools_tests_count_errors_as_failures(top: Top) -> None:
    tests = os.path.join(top.path, "tools", "test_sample.py")
    with open(tests, "w") as handle:
        handle.write(textwrap.dedent("""\
            import pytest
            @pytest.fixture
            def broken():
                raise RuntimeError("no fixture")
            def test_passes(): pass
            def test_fails(): assert False
            def test_errs(broken): pass
            @pytest.mark.skip(reason="not here")
            def test_skipped(): pass
            """))
    status, output = top.run(tools=["/usr/bin/python3", "-m", "pytest", "-q", "-p", "no:cacheprovider",
                                    "test_sample.py"])
    assert summary(output) == ["tools: 1 passed, 2 failed, 1 skipped", "total: 1 passed, 2 failed, 1 skipped"]
    assert status == 1


@pytest.mark.parametrize("uid, can, prefix", [(0, True, []), (1000, False, []),
                                              (1000, True, ["unshare", "--user", "--map-root-user"])])
def test_tests_run_as_root_of_a_user_namespace_only_when_not_root_and_possible(
        uid: int, can: bool, prefix: List[str]) -> None:
    assert runtests.user_namespace(uid, lambda: can) == prefix


def test_an_interrupted_run_leaves_no_suite_running(top, monkeypatch):
    # The tools' suite still runs (it waits for a file that never comes)
    # when the run is interrupted after the first configuration.
    top.plan("tools", junit=junit("pass"), touch="fake/tools.started", wait_for="fake/never")
    top.plan("one", junit=junit("pass"), wait_for="fake/tools.started")

    def interrupted(*_):
        raise KeyboardInterrupt

    monkeypatch.setattr(runtests, "tally", interrupted)
    with pytest.raises(KeyboardInterrupt):
        top.run("one")
    suites = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        with contextlib.suppress(OSError), open(f"/proc/{entry}/cmdline", "rb") as cmdline:
            if top.path.encode() + b"/bin/ctest\0--preset\0tools" in cmdline.read():
                suites.append(entry)
    assert suites == []
