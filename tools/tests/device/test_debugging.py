# SPDX-License-Identifier: Apache-2.0
"""Debugging on the emulated device, as its users do it: a crash in the
module, in a process the program started, gives a crash report naming the
function, file and line of each frame and comes back as a core that
gdb-multiarch reads to the same frames; a gdb-multiarch session through
--gdb stops in the module, shows its request, steps and lets the program
end.

The crash is platform/device/tests/module_fault.c's: backlight-report runs
module-fault, which applies a request that points nowhere.
"""

import os
import re
import shutil
import socket
import subprocess

import pytest

from device.runs import SYSROOT, Outcome, bound, job, run, scaled
from pellix import elf

SOON = 60


@job("crash")
def _crash(context):
    cores = os.path.join(context.scratch, "cores")
    outcome = run([context.built.runner, "--timeout", str(SOON), "--cores", cores, "--file",
                   context.built.module_fault, "--", os.path.join(context.built.share, "backlight-report"),
                   "module-fault"], bound(SOON))
    outcome.facts = {"cores": cores}
    return outcome


def target_gdb(built, *commands: str) -> list:
    """gdb-multiarch on the target's binaries, quiet, with COMMANDS."""
    return ["gdb-multiarch", "-nx", "-batch", "-ex", "set pagination off", "-ex", f"set sysroot {SYSROOT}",
            "-ex", f"set solib-search-path {built.lib}", *commands]


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@job("session")
def _session(context):
    """A gdb-multiarch session through --gdb: it stops at the module's
    set_light_backlight, prints the request's colour, steps a line, and lets
    the program end, which then exits 0 through the runner."""
    built = context.built
    port = free_port()
    runner = subprocess.Popen([built.runner, "--timeout", str(SOON), "--gdb", str(port), "--", built.loader,
                               "/usr/lib/lumivane.so", "backlight"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              stdin=subprocess.DEVNULL, process_group=0)
    # The runner takes the debugger once gdbserver on the device holds the
    # port: until then gdb's connection is refused, and it tries again.
    session = run(target_gdb(
        built, "-ex", "set breakpoint pending on", "-ex", "set tcp auto-retry on",
        "-ex", f"set tcp connect-timeout {int(scaled(SOON))}", "-ex", f"set remotetimeout {int(scaled(30))}",
        "-ex", f"file {built.loader}", "-ex", f"target remote 127.0.0.1:{port}", "-ex", "break set_light_backlight",
        "-ex", "continue", "-ex", 'python print("stopped in " + gdb.selected_frame().name())',
        "-ex", r'printf "argb=%#x\n", request->argb',
        "-ex", 'python print("line %d" % gdb.selected_frame().find_sal().line)', "-ex", "next",
        "-ex", 'python print("line %d" % gdb.selected_frame().find_sal().line)',
        "-ex", "continue", "-ex", r'printf "exit code %d\n", $_exitcode'), bound(SOON))
    try:
        out, err = runner.communicate(timeout=bound(SOON))
    except subprocess.TimeoutExpired:
        os.killpg(runner.pid, 9)
        out, err = runner.communicate()
    session.facts = {"runner": Outcome(runner.returncode, out, err)}
    return session


# --- The crash report: the status is the program's; the report names the
# process, its signal and fault address, the registers, and each frame with
# binary and offset, function, file and line: the module's through its
# debug file, module-fault's through its own.

def says(outcome: Outcome, pattern: str) -> bool:
    return re.search(pattern, outcome.text, re.MULTILINE) is not None


@pytest.mark.boots("crash")
def test_a_crash_in_a_process_of_the_run_gives_the_programs_status(boots):
    assert boots["crash"].status == 139, boots["crash"].text


@pytest.mark.boots("crash")
def test_the_report_names_the_process_and_its_signal(boots):
    assert says(boots["crash"], r"^pellix-device: crash: process [0-9]+ \(module-fault\) died of SIGSEGV "
                                r"\(signal 11\)$")


@pytest.mark.boots("crash")
def test_the_report_gives_the_requests_fault_address(boots):
    assert says(boots["crash"], r"^  fault address 0x00000010$")


@pytest.mark.boots("crash")
def test_the_report_gives_the_registers(boots):
    assert says(boots["crash"], r"^    r12  0x[0-9a-f]{8}  sp   0x[0-9a-f]{8}  lr   0x[0-9a-f]{8}  pc   0x[0-9a-f]{8}$")


@pytest.mark.boots("crash")
def test_frame_0_is_set_light_backlight_in_the_module_with_file_and_line(boots):
    assert says(boots["crash"], r"^    #0  lumivane\.so\+0x[0-9a-f]+  set_light_backlight  [^ ]*lights/backlight\.cpp:"
                                r"[0-9]+$")


@pytest.mark.boots("crash")
def test_frame_1_is_its_caller_in_module_fault_with_file_and_line(boots):
    assert says(boots["crash"], r"^    #1  module-fault\+0x[0-9a-f]+  apply_to_nowhere  [^ ]*module_fault\.c:[0-9]+$")


@pytest.mark.boots("crash")
def test_the_report_gives_the_modules_build_id_which_names_its_debug_file(boots, built):
    build_id = elf.ElfFile(os.path.join(built.lib, "lumivane.so")).build_id()
    assert build_id and says(boots["crash"], rf"^    lumivane\.so +{build_id}$")


@pytest.mark.boots("crash")
def test_the_programs_own_output_still_passes(boots):
    assert b"brightness" in boots["crash"].out


# --- The core came back, named by program and process, and gdb-multiarch
# reads it (its machine interface) to the frames of the report.

def crashed_pid(outcome: Outcome) -> str:
    found = re.search(r"^pellix-device: crash: process ([0-9]+) ", outcome.text, re.MULTILINE)
    return found.group(1) if found else "none"


@pytest.fixture(scope="module")
def core(boots):
    """The one core of the crash, or a failure."""
    cores = os.listdir(boots["crash"].facts["cores"]) if os.path.isdir(boots["crash"].facts["cores"]) else []
    if len(cores) != 1:
        pytest.fail(f"--cores holds {cores or 'nothing'}")
    return os.path.join(boots["crash"].facts["cores"], cores[0])


@pytest.mark.boots("crash")
def test_cores_holds_the_one_core_named_by_program_and_process(boots):
    cores = boots["crash"].facts["cores"]
    assert os.listdir(cores) == [f"module-fault.{crashed_pid(boots['crash'])}.core"]


def report_frames(text: str) -> list:
    """"FUNCTION FILE:LINE" of each frame of a report."""
    return [f"{function} {place}" for function, place in
            re.findall(r"^    #[0-9]+ +[^ ]+  ([^ ]+)  [^ ]*/([^/ ]+:[0-9]+)$", text, re.MULTILINE)]


def gdb_frames(answer: str) -> list:
    """"FUNCTION FILE:LINE" of each frame of gdb's machine interface's -stack-list-frames."""
    listing = next((line for line in answer.splitlines() if line.startswith("^done,stack=")), "")
    return [f"{function} {os.path.basename(file)}:{line}" for function, file, line in
            re.findall(r'frame=\{[^}]*?func="([^"]+)",file="([^"]+)",[^}]*?line="([0-9]+)"[^}]*\}', listing)]


@pytest.mark.boots("crash")
def test_gdb_reads_the_core_to_the_reports_frames(boots, built, core):
    answer = subprocess.run(target_gdb(built, "-ex", f"file {built.module_fault}", "-ex", f"core-file {core}",
                                       "-ex", 'interpreter-exec mi "-stack-list-frames"'),
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=scaled(SOON), check=False)
    frames = report_frames(boots["crash"].text)
    assert frames and gdb_frames(answer.stdout.decode("utf-8", "replace")) == frames


# The module's debug file is found by build ID too, in a .build-id folder
# (the release's layout), with no copy beside the module; without it the
# module's frame has no name.

def frame_0(built, core: str, search: str) -> str:
    report = subprocess.run([built.crash_report, "--program", built.module_fault, "--search", search, core],
                            stdout=subprocess.PIPE, timeout=scaled(SOON), check=False)
    return next((line for line in report.stdout.decode().splitlines() if line.startswith("    #0 ")), "")


@pytest.fixture
def by_id(built, tmp_path):
    """The module and the log library alone in a folder, and where the module's debug file goes by build ID."""
    for name in ("lumivane.so", "liblog.so"):
        shutil.copy(os.path.join(built.lib, name), tmp_path)
    build_id = elf.ElfFile(str(tmp_path / "lumivane.so")).build_id()
    assert build_id
    return str(tmp_path), tmp_path / "debug" / ".build-id" / build_id[:2] / f"{build_id[2:]}.debug"


@pytest.mark.boots("crash")
def test_the_debug_file_found_by_build_id_names_the_modules_frame(built, core, by_id):
    folder, debug = by_id
    debug.parent.mkdir(parents=True)
    shutil.copy(os.path.join(built.lib, "lumivane.so.debug"), debug)
    assert re.search(r"  set_light_backlight  .*backlight\.cpp:[0-9]*$", frame_0(built, core, folder))


@pytest.mark.boots("crash")
def test_without_a_debug_file_the_modules_frame_has_no_name(built, core, by_id):
    folder, _ = by_id
    assert frame_0(built, core, folder).endswith("  ??")


# --- The gdb session.

def lines_of(outcome: Outcome) -> list:
    return [int(number) for number in re.findall(r"^line ([0-9]+)$", outcome.out.decode(), re.MULTILINE)]


@pytest.mark.boots("session")
def test_the_gdb_session_ends_well(boots):
    assert boots["session"].status == 0, boots["session"].text[-2000:]


@pytest.mark.boots("session")
def test_gdb_stops_in_set_light_backlight(boots):
    assert "stopped in set_light_backlight" in boots["session"].out.decode().splitlines()


@pytest.mark.boots("session")
def test_gdb_shows_the_requests_argb(boots):
    assert "argb=0xffffffff" in boots["session"].out.decode().splitlines()


@pytest.mark.boots("session")
def test_next_steps_to_a_later_line(boots):
    lines = lines_of(boots["session"])
    assert len(lines) == 2 and lines[1] > lines[0], lines


@pytest.mark.boots("session")
def test_the_debugged_program_exits_0(boots):
    assert "exit code 0" in boots["session"].out.decode().splitlines()


@pytest.mark.boots("session")
def test_the_runner_of_a_debugged_program_exits_0(boots):
    runner = boots["session"].facts["runner"]
    assert runner.status == 0, runner.text[-2000:]


@pytest.mark.boots("session")
def test_the_debugged_programs_output_passes(boots):
    assert "apply 0xffffffff = 0" in boots["session"].facts["runner"].out.decode().splitlines()
