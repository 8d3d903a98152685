# SPDX-License-Identifier: Apache-2.0
"""pellix-device as its callers use it, through its installed copy: a
program's status, standard output and standard error come back exactly as
the same program gives them under user-mode emulation, the output while the
program runs; every argument arrives; --file and --stdin land where the
program finds them; nothing the program writes makes its status; the
time-outs hold, scaled; an interrupted or killed runner leaves nothing
behind; the runner's own failures exit 125 and say why.

The one program of these tests is platform/device/tests/runner_test_program.c.
"""

import functools
import os
import re
import select
import shutil
import signal
import subprocess
import time
from typing import Dict

import pytest

from device.runs import (EMULATOR, SLACK, Context, Outcome, bound, eventually, group_members, job,
                         processes_naming, qemu_under, run, scaled)
from pellix.protocol import device as protocol

# A run that should end soon is still given a time-out of the runner's, so
# that the runner, not only the test, bounds it.
SOON = 60


def device(context: Context, *arguments: str, timeout: int = SOON, **options) -> Outcome:
    """The runner with ARGUMENTS, bounded by the test."""
    return run([context.built.runner, "--timeout", str(timeout), *arguments], bound(timeout), **options)


def user(context: Context, *arguments: str) -> Outcome:
    """A program under user-mode emulation."""
    return run(EMULATOR + list(arguments), scaled(SOON))


def scratch_file(context: Context, name: str, data: bytes) -> str:
    path = os.path.join(context.scratch, name)
    if not os.path.exists(path):
        with open(path, "wb") as file:
            file.write(data)
    return path


# --- Every result of a program, passed through untouched: a usage error
# (status 2, standard error only), a failure with a message (status 1), and
# an abort after a line on standard output, which is lost on both because
# the output is not a terminal, so the line sat in stdio's buffer.

job("usage.user")(lambda context: user(context, context.built.loader))
job("usage.device")(lambda context: device(context, context.built.loader))
job("missing.user")(lambda context: user(context, context.built.loader, "./missing.so"))
job("missing.device")(lambda context: device(context, context.built.loader, "./missing.so"))
job("abort.user")(lambda context: user(context, context.built.test_program, "abort"))
job("abort.device")(lambda context: device(context, context.built.test_program, "abort"))

# (qemu-arm adds its own line on standard error when a program aborts)
AS_UNDER_USER_MODE = [(name, part) for name in ("usage", "missing", "abort") for part in ("status", "out", "err")
                      if (name, part) != ("abort", "err")]


@pytest.mark.boots(*(f"{name}.{side}" for name in ("usage", "missing", "abort") for side in ("user", "device")))
@pytest.mark.parametrize("name, part", AS_UNDER_USER_MODE)
def test_a_programs_result_is_as_under_user_mode_emulation(boots, name, part):
    there, here = boots[f"{name}.user"], boots[f"{name}.device"]
    assert getattr(here, part) == getattr(there, part), here.text


@pytest.mark.boots("usage.device", "missing.device", "abort.device")
def test_the_statuses_are_the_programs(boots):
    assert [boots[name].status for name in ("usage.device", "missing.device", "abort.device")] == [2, 1, 134]


@pytest.mark.boots("abort.user", "abort.device")
def test_no_standard_stream_is_a_terminal_here_as_there(boots):
    assert boots["abort.device"].says("stdin 0, stdout 0, stderr 0")
    assert boots["abort.user"].says("stdin 0, stdout 0, stderr 0")


@pytest.mark.boots("abort.device")
def test_a_crash_report_follows_the_programs_output(boots):
    lines = boots["abort.device"].text.splitlines()
    program = next(at for at, line in enumerate(lines) if "stdin 0, stdout 0" in line)
    assert any("crash: process" in line for line in lines[program:]), boots["abort.device"].text


@pytest.mark.boots("abort.device")
def test_the_report_names_sigabrt_and_aborts_frame(boots):
    text = boots["abort.device"].text
    assert "died of SIGABRT (signal 6)" in text
    assert re.search(r"^    #[0-9]+ +libc\.so\.6\+0x[0-9a-f]+  abort$", text, re.MULTILINE), text


# --- Output: 10 MiB of every byte value, byte for byte. Output nobody takes
# any more ends the run rather than stalling it: a closed pipe as it would
# any program (141), a full disk as a failure.

job("emit.user")(lambda context: user(context, context.built.test_program, "emit", "10485760"))
job("emit.device")(lambda context: device(context, context.built.test_program, "emit", "10485760"))


@job("closed_pipe")
def _closed_pipe(context):
    process = subprocess.Popen([context.built.runner, "--timeout", str(SOON), context.built.test_program, "emit",
                                "10485760"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                               stdin=subprocess.DEVNULL, process_group=0)
    assert process.stdout is not None
    if select.select([process.stdout], [], [], bound(SOON))[0]:
        process.stdout.read(1)
    process.stdout.close()
    try:
        return Outcome(process.wait(bound(SOON)))
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()
        return Outcome(None)


@job("full")
def _full(context):
    with open("/dev/full", "wb") as full:
        return device(context, context.built.test_program, "emit", "100000", stdout=full)


@pytest.mark.boots("emit.user", "emit.device")
def test_ten_mib_of_output_are_as_under_user_mode_emulation(boots):
    assert boots["emit.device"].status == 0, boots["emit.device"].text
    assert boots["emit.device"].out == boots["emit.user"].out


@pytest.mark.boots("closed_pipe")
def test_output_into_a_closed_pipe_ends_the_run_with_141(boots):
    assert boots["closed_pipe"].status == 141


@pytest.mark.boots("full")
def test_output_onto_a_full_disk_is_the_runners_failure(boots):
    assert boots["full"].status == 125
    assert boots["full"].says("output could not be passed on")


# --- Arguments: 300 of them, one of 100 KiB, empty ones, blanks, quotes,
# newlines and a leading dash, each arriving as given.

ARGUMENTS = ["", " ", "a b", "'\"", "two\nlines", "-x", "--", "x" * 102400] + [str(n) for n in range(1, 301)]
ARGUMENTS_OUT = b"".join(argument.encode() + b"\0" for argument in ARGUMENTS)

job("arguments")(lambda context: device(context, context.built.test_program, "args", *ARGUMENTS))


@job("too_many")
def _too_many(context):
    # More than the device's kernel takes (2 MiB with an 8 MiB stack); this
    # host takes them with a larger stack limit.
    # (built by the shell, whose larger limit takes them: this process's would not)
    return run(["sh", "-c", 'ulimit -s unlimited 2>/dev/null || ulimit -s 65536\n'
                'big=$(head -c 60000 /dev/zero | tr "\\0" y)\n'
                'for _ in $(seq 1 60); do set -- "$@" "$big"; done\n'
                'exec "$0" --timeout 60 "$RUNNER_TEST_PROGRAM" args "$@"', context.built.runner],
               bound(SOON), env={"RUNNER_TEST_PROGRAM": context.built.test_program})


@job("lagging")
def _lagging(context):
    """The arguments' output, while every process of the runner but qemu is
    stopped, from the device's start until it has powered off: what the
    program wrote must wait for the runner, whole, however far it lags."""
    tmp = os.path.join(context.scratch, "tmp.lagging")
    os.makedirs(tmp)
    process = subprocess.Popen([context.built.runner, "--timeout", str(SOON), context.built.test_program, "args",
                                *ARGUMENTS], env=dict(os.environ, TMPDIR=tmp), stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL, process_group=0)
    facts = {"qemu ran": eventually(SOON, lambda: bool(qemu_under(tmp)))}
    stopped = [pid for pid in group_members(process.pid) if pid not in qemu_under(tmp)]
    for pid in stopped:
        os.kill(pid, signal.SIGSTOP)
    facts["qemu ended"] = eventually(SOON, lambda: not qemu_under(tmp))
    for pid in stopped:
        os.kill(pid, signal.SIGCONT)
    try:
        out, _ = process.communicate(timeout=bound(SOON))
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        out, _ = process.communicate()
    return Outcome(process.returncode, out, facts=facts)


@pytest.mark.boots("arguments")
def test_every_argument_arrives_as_given(boots):
    assert boots["arguments"].status == 0, boots["arguments"].text
    assert boots["arguments"].out == ARGUMENTS_OUT


@pytest.mark.boots("lagging")
def test_the_output_is_whole_however_far_the_runner_lags_behind_the_device(boots):
    assert boots["lagging"].facts == {"qemu ran": True, "qemu ended": True}
    assert boots["lagging"].status == 0
    assert boots["lagging"].out == ARGUMENTS_OUT


@pytest.mark.boots("too_many")
def test_arguments_past_the_kernels_limit_are_the_runners_failure(boots):
    assert boots["too_many"].status == 125
    assert re.search("arguments.*Argument list too long", boots["too_many"].text), boots["too_many"].text


# --- Files: names starting with a dash, a --file beside the program, and
# --stdin as the program's standard input.

INPUT = b"line one\n\0binary\377 and no newline"


def dashed(context: Context) -> None:
    """The loader and the module under names that start with a dash, and an input."""
    for name, source in (("-loader", context.built.loader), ("-lumivane.so", context.built.module)):
        if not os.path.exists(os.path.join(context.scratch, name)):
            shutil.copy(source, os.path.join(context.scratch, name))
    scratch_file(context, "-input", INPUT)


@job("file")
def _file(context):
    dashed(context)
    return device(context, "--file", os.path.join(context.scratch, "-lumivane.so"), "--",
                  os.path.join(context.scratch, "-loader"), "./-lumivane.so", "backlight", "#808080")


@job("stdin")
def _stdin(context):
    dashed(context)
    return device(context, "--stdin", os.path.join(context.scratch, "-input"), context.built.test_program, "stdin")


@job("relative")
def _relative(context):
    # Relative names that start with a dash, given without ./ from their
    # own folder: taken as names, not options.
    dashed(context)
    return device(context, "--file", "-lumivane.so", "--stdin", "-input", "--", "-loader", "./-lumivane.so",
                  "backlight", cwd=context.scratch)


@pytest.mark.boots("file")
def test_a_file_beside_the_program_serves_the_request(boots):
    assert boots["file"].status == 0, boots["file"].text


@pytest.mark.boots("file")
def test_the_loader_reports_the_request_on_standard_output(boots):
    assert "apply 0xff808080 = 0" in boots["file"].out.decode().splitlines()


@pytest.mark.boots("file")
def test_standard_error_holds_the_log_line_alone(boots):
    assert boots["file"].err.rstrip(b"\n") == b"I/lights: set_light_backlight brightness=22"


@pytest.mark.boots("stdin")
def test_the_program_reads_the_stdin_file(boots):
    assert boots["stdin"].status == 0, boots["stdin"].text
    assert boots["stdin"].out == INPUT


@pytest.mark.boots("relative")
def test_relative_names_starting_with_a_dash_are_names(boots):
    assert boots["relative"].status == 0, boots["relative"].text
    assert "apply 0xffffffff = 0" in boots["relative"].out.decode().splitlines()


# --- What a program starts with: exactly the documented environment, in
# /work, as root. A program the kernel cannot start because its dynamic
# linker is missing ends with 127, as a shell gives, and says why.

job("env")(lambda context: run([context.built.runner, "--verbose", context.built.test_program, "env"],
                               bound(SOON)))


@job("no_linker")
def _no_linker(context):
    with open(context.built.test_program, "rb") as program:
        data = program.read().replace(b"/lib/ld-linux.so.3", b"/lib/ld-absent.so3")
    path = scratch_file(context, "no-linker", data)
    return device(context, path, "args")


@pytest.mark.boots("env")
def test_the_environment_directory_and_user_are_the_documented_ones(boots):
    assert boots["env"].status == 0, boots["env"].text
    assert boots["env"].out == b"PATH=/work:/usr/bin:/bin\0HOME=/work\0PWD=/work\0cwd=/work\0uid=0\0"


@pytest.mark.boots("env")
def test_verbose_shows_the_qemu_command_line_and_each_phases_time(boots):
    assert re.search(r"^pellix-device: qemu: qemu-system-arm ", boots["env"].text, re.MULTILINE)
    assert re.search(r"^pellix-device: run +[0-9]+\.[0-9]{3} s$", boots["env"].text, re.MULTILINE)


@pytest.mark.boots("no_linker")
def test_a_program_whose_dynamic_linker_is_missing_ends_127_named(boots):
    assert boots["no_linker"].status == 127
    assert boots["no_linker"].says("cannot run /work/no-linker")


# --- The time-out counts from the program's start, within its own time:
# not before, and not after the boot time-out as well. PELLIX_TIMEOUT_SCALE
# multiplies the time-outs given, the run's included, and takes only a
# positive number.

job("own_time", waits=3)(lambda context: run(
    [context.built.runner, "--timeout", "3", "--boot-timeout", "60", context.built.test_program, "wait"],
    bound(3, boot=60)))
# The run's limit, 2 s scaled by 5, against the 2 s of a runner that forgot
# the scale in the run: far enough apart that neither the program's start
# after the boot nor the runner's own end blurs them.
SCALE, SCALED_TIMEOUT = 5, 2
job("scaled_time", waits=SCALE * SCALED_TIMEOUT)(lambda context: run(
    [context.built.runner, "--timeout", str(SCALED_TIMEOUT), context.built.test_program, "wait"],
    scaled(SCALE * (SCALED_TIMEOUT + 30) + SLACK), env={"PELLIX_TIMEOUT_SCALE": str(SCALE)}))


@pytest.mark.boots("own_time")
def test_the_time_out_is_the_runners_failure(boots):
    assert boots["own_time"].status == 125
    assert boots["own_time"].says("timed out after 3 s")


@pytest.mark.boots("own_time")
def test_the_time_out_comes_neither_before_its_time_nor_after_the_boot_time_out_too(boots):
    assert scaled(3) <= boots["own_time"].elapsed < scaled(60)


@pytest.mark.boots("scaled_time")
def test_the_scale_multiplies_the_time_out_and_says_so(boots):
    assert boots["scaled_time"].status == 125
    limit = SCALE * SCALED_TIMEOUT
    assert boots["scaled_time"].says(f"timed out after {SCALED_TIMEOUT} s (PELLIX_TIMEOUT_SCALE {SCALE}: {limit} s)")
    assert boots["scaled_time"].elapsed >= limit


@pytest.mark.boots("scaled_time")
def test_the_scale_multiplies_the_run_phase_itself(boots):
    # From the program's first output, which it gives as it starts, to the
    # runner's end: the run's own time, without the boot's.
    outcome = boots["scaled_time"]
    assert outcome.first_out is not None
    assert outcome.ended - outcome.first_out >= (1 + SCALE) * SCALED_TIMEOUT / 2


@pytest.mark.parametrize("text, says", [("0", "PELLIX_TIMEOUT_SCALE must be above 0"),
                                        ("slow", "PELLIX_TIMEOUT_SCALE takes a positive number"),
                                        ("1e1", "PELLIX_TIMEOUT_SCALE takes a positive number")])
def test_a_scale_that_is_no_positive_number_is_the_runners_failure(built, text, says):
    outcome = run([built.runner, built.test_program, "args"], scaled(SOON), env={"PELLIX_TIMEOUT_SCALE": text})
    assert outcome.status == 125
    assert outcome.says(says)


# --- The image's size: one at the limit is refused, by name, before boot.

def test_an_image_past_96_mib_is_refused_before_boot(built, tmp_path):
    large = tmp_path / "large"
    with open(large, "wb") as file:
        file.truncate(96 << 20)
    outcome = run([built.runner, "--file", str(large), built.test_program, "args"], scaled(SOON))
    assert outcome.status == 125
    assert re.search("the image is [0-9]* MiB.*at most 96 MiB", outcome.text), outcome.text


# --- The status is the runner's to tell: a program that writes status
# lines everywhere it can and then never ends has timed out.

job("forge", waits=10)(lambda context: device(context, context.built.test_program, "forge", timeout=10))


@pytest.mark.boots("forge")
def test_a_forged_status_ends_in_the_time_out(boots):
    assert boots["forge"].status == 125
    assert boots["forge"].says("timed out after 10 s")


@pytest.mark.boots("forge")
def test_a_forging_program_can_open_no_status_port(boots):
    assert not boots["forge"].says("opened")


@pytest.mark.boots("forge")
def test_a_forging_program_inherited_no_descriptor_of_the_devices(boots):
    assert not boots["forge"].says("inherited")


@pytest.mark.boots("forge")
def test_a_forging_programs_output_still_passes(boots):
    assert "exit 0" in boots["forge"].out.decode().splitlines()


# --- Cores the device keeps: at most protocol.CORES_LIMIT bytes of them;
# one past it is dropped, and both ends say so.

LARGE_CORE_MIB = (protocol.CORES_LIMIT >> 20) + 1


@job("cores")
def _cores(context):
    cores = os.path.join(context.scratch, "cores.limit")
    outcome = device(context, "--console", "--cores", cores, context.built.test_program, "cores",
                     str(LARGE_CORE_MIB))
    outcome.facts = {"kept": sorted(os.listdir(cores)) if os.path.isdir(cores) else [],
                     "pids": dict(line.split()[::-1] for line in outcome.out.decode().splitlines())}
    return outcome


@pytest.mark.boots("cores")
def test_a_core_past_the_devices_limit_is_dropped_and_the_next_kept(boots):
    outcome = boots["cores"]
    assert outcome.status == 0, outcome.text
    small = next(pid for pid, size in outcome.facts["pids"].items() if size == "0")
    assert outcome.facts["kept"] == [f"runner-test-program.{small}.core"]


@pytest.mark.boots("cores")
def test_a_dropped_core_is_named_by_the_device_and_by_the_runner(boots):
    outcome = boots["cores"]
    large = next(pid for pid, size in outcome.facts["pids"].items() if size != "0")
    name = f"runner-test-program.{large}.core"
    assert re.search(rf"^pellix-init: core {re.escape(name)} dropped", outcome.text, re.MULTILINE), outcome.text
    assert re.search(rf"^pellix-device: the core {re.escape(name)} \([0-9]+ bytes\) was dropped", outcome.text,
                     re.MULTILINE), outcome.text


# --- Ended by Ctrl-C (SIGINT to the whole process group), SIGTERM to the
# runner alone, or killed while the program runs: the output so far is out,
# the status says so, and neither qemu nor the scratch folder stays.

def nothing_left(tmp: str) -> bool:
    """No process of a run under TMP, and nothing left in TMP."""
    return not processes_naming(tmp + "/") and not os.listdir(tmp)


@job("done")
def _done(context):
    tmp = os.path.join(context.scratch, "tmp.done")
    os.makedirs(tmp)
    outcome = device(context, context.built.test_program, "args", env={"TMPDIR": tmp})
    outcome.facts = {"group": group_members(outcome.pid), "left": os.listdir(tmp)}
    return outcome


@pytest.mark.boots("done")
def test_nothing_of_a_finished_run_runs_or_stays_once_it_has_returned(boots):
    assert boots["done"].status == 0
    assert boots["done"].facts == {"group": [], "left": []}


def _stopped(context: Context, name: str) -> Outcome:
    tmp = os.path.join(context.scratch, f"tmp.{name}")
    os.makedirs(tmp)
    out = os.path.join(context.scratch, f"{name}.out")
    with open(out, "wb") as output:
        process = subprocess.Popen([context.built.runner, context.built.test_program, "wait"], stdout=output,
                                   stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL,
                                   env=dict(os.environ, TMPDIR=tmp), process_group=0)

    def printed() -> bool:
        with open(out, "rb") as file:
            return b"waiting" in file.read()
    facts: Dict[str, object] = {"arrived while running": eventually(120, printed), "qemu ran": bool(qemu_under(tmp))}
    if name == "INT":
        os.killpg(process.pid, signal.SIGINT)
    else:
        process.send_signal(getattr(signal, "SIG" + name))
    try:
        status = process.wait(scaled(SLACK))
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        status = process.wait()
    facts["group left"] = group_members(process.pid)
    facts["folder left"] = os.listdir(tmp)
    with open(out, "rb") as file:
        facts["passed on"] = b"waiting" in file.read().splitlines()
    facts["nothing left"] = eventually(30, lambda: nothing_left(tmp))
    return Outcome(status, facts=facts)


SIGNALS = ("INT", "TERM", "KILL")
for _signal in SIGNALS:
    job(f"stopped.{_signal}")(functools.partial(_stopped, name=_signal))


@pytest.mark.boots(*(f"stopped.{name}" for name in SIGNALS))
@pytest.mark.parametrize("name", SIGNALS)
def test_the_output_arrives_while_the_program_runs(boots, name):
    assert boots[f"stopped.{name}"].facts["arrived while running"]


@pytest.mark.boots(*(f"stopped.{name}" for name in SIGNALS))
@pytest.mark.parametrize("name", SIGNALS)
def test_qemu_runs_while_the_program_does(boots, name):
    assert boots[f"stopped.{name}"].facts["qemu ran"]


@pytest.mark.boots("stopped.INT", "stopped.TERM")
@pytest.mark.parametrize("name, status", [("INT", 130), ("TERM", 143)])
def test_a_stopped_run_ends_with_a_shells_status(boots, name, status):
    assert boots[f"stopped.{name}"].status == status


@pytest.mark.boots(*(f"stopped.{name}" for name in SIGNALS))
@pytest.mark.parametrize("name", SIGNALS)
def test_the_output_so_far_was_passed_on(boots, name):
    assert boots[f"stopped.{name}"].facts["passed on"]


@pytest.mark.boots("stopped.INT", "stopped.TERM")
@pytest.mark.parametrize("name", ["INT", "TERM"])
def test_nothing_of_a_stopped_run_runs_or_stays_once_it_has_returned(boots, name):
    facts = boots[f"stopped.{name}"].facts
    assert (facts["group left"], facts["folder left"]) == ([], [])


@pytest.mark.boots(*(f"stopped.{name}" for name in SIGNALS))
@pytest.mark.parametrize("name", SIGNALS)
def test_nothing_of_a_stopped_or_killed_run_is_left_behind(boots, name):
    assert boots[f"stopped.{name}"].facts["nothing left"]


# --- The runner's own failures, each named, before anything boots.

@pytest.fixture(scope="module")
def inputs(built, tmp_path_factory):
    folder = tmp_path_factory.mktemp("inputs")
    (folder / "folder").mkdir()
    # What cannot be read even by root: reading /proc/self/mem at its start.
    unreadable = folder / "unreadable"
    unreadable.touch()
    unreadable.chmod(0)
    os.mkfifo(folder / "fifo")
    return {"scratch": str(folder), "program": built.test_program,
            "unreadable": str(unreadable) if not os.access(unreadable, os.R_OK) else "/proc/self/mem"}


FAILURES = [
    ("no_program", "no-such-program': no such file", ["{scratch}/no-such-program"]),
    ("program_folder", "folder' is a directory", ["{scratch}/folder"]),
    ("program_unreadable", "cannot be read", ["{unreadable}"]),
    ("file_missing", "--file '.*absent': no such file", ["--file", "{scratch}/absent", "{program}"]),
    ("file_folder", "--file '.*folder' is a directory", ["--file", "{scratch}/folder", "{program}"]),
    ("file_unreadable", "--file '.*' cannot be read", ["--file", "{unreadable}", "{program}"]),
    ("stdin_missing", "--stdin '.*absent': no such file", ["--stdin", "{scratch}/absent", "{program}"]),
    ("stdin_device", "--stdin '/dev/null' is not a regular file", ["--stdin", "/dev/null", "{program}", "stdin"]),
    ("two_names", "two files are named 'runner-test-program'", ["--file", "{program}", "{program}"]),
    ("bad_timeout", "--timeout takes a whole number", ["--timeout", "soon", "{program}"]),
    ("bad_option", "unknown option --fast", ["--fast", "{program}"]),
    ("cores_file", "--cores '.*runner-test-program' is not a folder", ["--cores", "{program}", "{program}"]),
    ("bad_gdb_port", "--gdb takes a TCP port", ["--gdb", "65536", "{program}"]),
    # A FIFO is refused by its type before anything opens it, which would
    # wait for a writer (the test's bound only guards against that wait).
    ("stdin_fifo", "--stdin '.*fifo' is not a regular file", ["--stdin", "{scratch}/fifo", "{program}", "stdin"]),
    ("file_fifo", "--file '.*fifo' is not a regular file", ["--file", "{scratch}/fifo", "{program}", "args"]),
]


@pytest.mark.parametrize("name, says, arguments", FAILURES, ids=[case[0] for case in FAILURES])
def test_the_runners_own_failure_is_125_and_named(built, inputs, name, says, arguments):
    outcome = run([built.runner] + [argument.format(**inputs) for argument in arguments], scaled(SOON))
    assert outcome.status == 125
    assert re.search(says, outcome.text), outcome.text


# --- A device that does not boot: a truncated kernel is named within the
# boot time-out, with the console's end; a missing one before booting.

def broken_device(context: Context, name: str) -> str:
    """A copy of the installed tree whose kernel is cut short; its runner."""
    folder = os.path.join(context.scratch, name)
    prefix = context.built.out
    for part in ("bin", "lib", "share"):
        shutil.copytree(os.path.join(prefix, part), os.path.join(folder, part), symlinks=True)
    with open(os.path.join(prefix, "share/pellix-device/zImage"), "rb") as kernel:
        head = kernel.read(200000)
    with open(os.path.join(folder, "share/pellix-device/zImage"), "wb") as kernel:
        kernel.write(head)
    return os.path.join(folder, "bin", "pellix-device")


job("corrupt", waits=5)(lambda context: run(
    [broken_device(context, "corrupt"), "--boot-timeout", "5", context.built.test_program, "args"],
    bound(SOON, boot=5)))


@pytest.mark.boots("corrupt")
def test_a_corrupt_kernel_is_named_within_the_boot_time_out(boots):
    assert boots["corrupt"].status == 125
    assert re.search("first process within 5 s: its kernel, .*/zImage, is corrupt", boots["corrupt"].text)


@pytest.mark.boots("corrupt")
def test_a_corrupt_kernel_shows_the_console(boots):
    assert boots["corrupt"].says("device console")


def test_a_missing_kernel_is_named_before_booting(built, tmp_path):
    runner = broken_device(Context(built, str(tmp_path)), "missing")
    os.unlink(os.path.join(tmp_path, "missing/share/pellix-device/zImage"))
    outcome = run([runner, built.test_program, "args"], scaled(SOON))
    assert outcome.status == 125
    assert outcome.says("zImage is missing")


# --- The tests' own bound: a run that outlives it ends, and fails its test.

def test_a_run_that_outlives_its_bound_is_ended_as_a_failure():
    started = time.monotonic()
    outcome = run(["sh", "-c", "sleep 600 & wait"], 0.5)
    assert outcome.status is None
    assert time.monotonic() - started < scaled(SLACK)
