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
import subprocess

import pytest

from device.runs import SOON, SYSROOT, bound, free_port, job, run, scaled
from pellix import elf


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


@job("session")
def _session(context):
    """A gdb-multiarch session through --gdb: it stops at the module's
    set_light_backlight, prints the request's colour, steps a line, and lets
    the program end, which then exits 0 through the runner."""
    built = context.built
    port = free_port()

    def debug(runner, out):
        # The runner takes the debugger once gdbserver on the device holds
        # the port: until then gdb's connection is refused, and it tries again.
        return {"gdb": run(target_gdb(
            built, "-ex", "set breakpoint pending on", "-ex", "set tcp auto-retry on",
            "-ex", f"set tcp connect-timeout {int(scaled(SOON))}", "-ex", f"set remotetimeout {int(scaled(30))}",
            "-ex", f"file {built.loader}", "-ex", f"target remote 127.0.0.1:{port}",
            "-ex", "break set_light_backlight", "-ex", "continue",
            "-ex", 'python print("stopped in " + gdb.selected_frame().name())',
            "-ex", r'printf "argb=%#x\n", request->argb',
            "-ex", 'python print("line %d" % gdb.selected_frame().find_sal().line)', "-ex", "next",
            "-ex", 'python print("line %d" % gdb.selected_frame().find_sal().line)',
            "-ex", "continue", "-ex", r'printf "exit code %d\n", $_exitcode'), bound(SOON))}
    return run([built.runner, "--timeout", str(SOON), "--gdb", str(port), "--", built.loader, "/usr/lib/lumivane.so",
                "backlight"], bound(SOON), during=debug)


# The crash report: the status is the program's, and its own output still
# passes; the report names the process, its signal and fault address, the
# registers, and each frame with binary and offset, function, file and line:
# the module's through its debug file, module-fault's through its own.
@pytest.mark.boots("crash")
def test_a_crash_in_a_process_of_the_run_gives_the_programs_status(boots):
    assert boots["crash"].status == 139, boots["crash"].text
    assert b"brightness" in boots["crash"].out


@pytest.mark.boots("crash")
@pytest.mark.parametrize("line", [
    r"pellix-device: crash: process [0-9]+ \(module-fault\) died of SIGSEGV \(signal 11\)",
    r"  fault address 0x00000010",
    r"    r12  0x[0-9a-f]{8}  sp   0x[0-9a-f]{8}  lr   0x[0-9a-f]{8}  pc   0x[0-9a-f]{8}",
    r"    #0  lumivane\.so\+0x[0-9a-f]+  set_light_backlight  [^ ]*lights/backlight\.cpp:[0-9]+",
    r"    #1  module-fault\+0x[0-9a-f]+  apply_to_nowhere  [^ ]*module_fault\.c:[0-9]+"])
def test_the_report_has_the_line(boots, line):
    assert re.search(f"^{line}$", boots["crash"].text, re.MULTILINE), boots["crash"].text


@pytest.mark.boots("crash")
def test_the_report_gives_the_modules_build_id_which_names_its_debug_file(boots, built):
    build_id = elf.ElfFile(os.path.join(built.lib, "lumivane.so")).build_id()
    assert build_id and re.search(rf"^    lumivane\.so +{build_id}$", boots["crash"].text, re.MULTILINE)


# --- The core came back, named by program and process, and gdb-multiarch
# reads it (its machine interface) to the frames of the report.

@pytest.fixture(scope="module")
def core(boots):
    """The one core of the crash, or a failure."""
    cores = os.listdir(boots["crash"].facts["cores"]) if os.path.isdir(boots["crash"].facts["cores"]) else []
    if len(cores) != 1:
        pytest.fail(f"--cores holds {cores or 'nothing'}")
    return os.path.join(boots["crash"].facts["cores"], cores[0])


@pytest.mark.boots("crash")
def test_cores_holds_the_one_core_named_by_program_and_process(boots, core):
    pid = re.search(r"^pellix-device: crash: process ([0-9]+) ", boots["crash"].text, re.MULTILINE)
    assert pid and os.path.basename(core) == f"module-fault.{pid.group(1)}.core"


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
@pytest.mark.boots("crash")
@pytest.mark.parametrize("debug_file, frame_0", [(True, r"  set_light_backlight  .*backlight\.cpp:[0-9]*$"),
                                                 (False, r"  \?\?$")])
def test_the_debug_file_found_by_build_id_names_the_modules_frame(built, core, tmp_path, debug_file, frame_0):
    for name in ("lumivane.so", "liblog.so"):
        shutil.copy(os.path.join(built.lib, name), tmp_path)
    build_id = elf.ElfFile(str(tmp_path / "lumivane.so")).build_id()
    assert build_id
    if debug_file:
        debug = tmp_path / "debug" / ".build-id" / build_id[:2] / f"{build_id[2:]}.debug"
        debug.parent.mkdir(parents=True)
        shutil.copy(os.path.join(built.lib, "lumivane.so.debug"), debug)
    report = subprocess.run([built.crash_report, "--program", built.module_fault, "--search", str(tmp_path), core],
                            stdout=subprocess.PIPE, timeout=scaled(SOON), check=False)
    line = next((line for line in report.stdout.decode().splitlines() if line.startswith("    #0 ")), "")
    assert re.search(frame_0, line), line


# The gdb session.
@pytest.mark.boots("session")
@pytest.mark.parametrize("line", ["stopped in set_light_backlight", "argb=0xffffffff", "exit code 0"])
def test_gdb_says(boots, line):
    assert line in boots["session"].facts["gdb"].out.decode().splitlines()


@pytest.mark.boots("session")
def test_the_gdb_session_steps_to_a_later_line_and_the_debugged_program_and_its_runner_end_well(boots):
    runner, session = boots["session"], boots["session"].facts["gdb"]
    assert session.status == 0, session.text[-2000:]
    assert runner.status == 0, runner.text[-2000:]
    lines = [int(number) for number in re.findall(r"^line ([0-9]+)$", session.out.decode(), re.MULTILINE)]
    assert len(lines) == 2 and lines[1] > lines[0], lines
    assert "apply 0xffffffff = 0" in runner.out.decode().splitlines()
