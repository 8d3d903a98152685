# SPDX-License-Identifier: Apache-2.0
"""pellix-device as its callers use it, through its installed copy: a
program's status, standard output and standard error come back exactly as
the same program gives them under user-mode emulation, the output while the
program runs; every argument arrives; --file and --stdin land where the
program finds them; nothing the program writes makes its status; the
time-outs hold, scaled; an interrupted or killed runner leaves nothing
behind; the runner's own failures exit 125 and say why.

The one program of these tests is platform/device/tests/runner_test_program.c.
Each run boots once, and the tests read its outcome.
"""

import functools
import os
import re
import shutil
import signal
import time

import pytest

from device.runs import (EMULATOR, SLACK, SOON, Context, Outcome, bound, eventually, group_members, job,
                         processes_naming, qemu_under, reads, run, scaled)
from pellix.protocol import device as protocol


def device(context: Context, *arguments: str, timeout: int = SOON, **options) -> Outcome:
    """The runner with ARGUMENTS, bounded by the test."""
    return run([context.built.runner, "--timeout", str(timeout), *arguments], bound(timeout), **options)


def scratch_file(context: Context, name: str, data: bytes) -> str:
    path = os.path.join(context.scratch, name)
    if not os.path.exists(path):
        with open(path, "wb") as file:
            file.write(data)
    return path


def both(name: str, program: str, *arguments: str) -> None:
    """Registers NAME.user and NAME.device: the built PROGRAM with
    ARGUMENTS under user-mode emulation and on the device."""
    def under_user_mode(context: Context) -> Outcome:
        return run(EMULATOR + [getattr(context.built, program), *arguments], scaled(SOON))

    def on_device(context: Context) -> Outcome:
        return device(context, getattr(context.built, program), *arguments)
    job(f"{name}.user")(under_user_mode)
    job(f"{name}.device")(on_device)


# Every result of a program, passed through untouched: a usage error
# (status 2, standard error only), a failure with a message (status 1), an
# abort after a line on standard output, which is lost on both because the
# output is not a terminal, so the line sat in stdio's buffer; and 10 MiB of
# every byte value, byte for byte.
both("usage", "loader")
both("missing", "loader", "./missing.so")
both("abort", "test_program", "abort")
both("emit", "test_program", "emit", "10485760")


# (qemu-arm adds its own line on standard error when a program aborts)
AS_UNDER_USER_MODE = [pytest.param(name, part, marks=pytest.mark.boots(f"{name}.user", f"{name}.device"))
                      for name, part in [("usage", "status"), ("usage", "out"), ("usage", "err"),
                                         ("missing", "status"), ("missing", "out"), ("missing", "err"),
                                         ("abort", "status"), ("abort", "out"), ("emit", "out")]]


@pytest.mark.parametrize("name, part", AS_UNDER_USER_MODE)
def test_a_programs_result_is_as_under_user_mode_emulation(boots, name, part):
    there, here = boots[f"{name}.user"], boots[f"{name}.device"]
    assert getattr(here, part) == getattr(there, part), here.text


# Output nobody takes any more ends the run rather than stalling it: a
# closed pipe as it would any program (141), a full disk as a failure.
job("closed_pipe")(lambda context: run(
    ["bash", "-c", '"$@" | head -c 1 >/dev/null; exit "${PIPESTATUS[0]}"', "-", context.built.runner, "--timeout",
     str(SOON), context.built.test_program, "emit", "10485760"], bound(SOON)))


@job("full")
def _full(context):
    with open("/dev/full", "wb") as full:
        return device(context, context.built.test_program, "emit", "100000", stdout=full)


# Arguments: 300 of them, one of 100 KiB, empty ones, blanks, quotes,
# newlines and a leading dash, each arriving as given, however far the
# runner lags behind the device: every process of the runner but qemu is
# stopped from the device's start until it has powered off, and what the
# program wrote waits for the runner, whole. Once the run has returned,
# nothing of it runs or stays.
ARGUMENTS = ["", " ", "a b", "'\"", "two\nlines", "-x", "--", "x" * 102400] + [str(n) for n in range(1, 301)]


@job("arguments")
def _arguments(context):
    tmp = os.path.join(context.scratch, "tmp.arguments")
    os.makedirs(tmp)

    def lag(process, out):
        facts = {"qemu ran": eventually(SOON, lambda: bool(qemu_under(tmp)))}
        stopped = [pid for pid in group_members(process.pid) if pid not in qemu_under(tmp)]
        for pid in stopped:
            os.kill(pid, signal.SIGSTOP)
        facts["qemu ended"] = eventually(SOON, lambda: not qemu_under(tmp))
        for pid in stopped:
            os.kill(pid, signal.SIGCONT)
        return facts
    outcome = device(context, context.built.test_program, "args", *ARGUMENTS, env={"TMPDIR": tmp}, during=lag)
    outcome.facts.update(group=group_members(outcome.pid), left=os.listdir(tmp))
    return outcome


@job("too_many")
def _too_many(context):
    # More than the device's kernel takes (2 MiB with an 8 MiB stack), built
    # by the shell, whose larger stack limit takes them: this process's would not.
    return run(["sh", "-c", 'ulimit -s unlimited 2>/dev/null || ulimit -s 65536\n'
                'big=$(head -c 60000 /dev/zero | tr "\\0" y)\n'
                'for _ in $(seq 1 60); do set -- "$@" "$big"; done\n'
                'exec "$0" --timeout 60 "$RUNNER_TEST_PROGRAM" args "$@"', context.built.runner],
               bound(SOON), env={"RUNNER_TEST_PROGRAM": context.built.test_program})


@pytest.mark.boots("arguments")
def test_the_arguments_run_lagged_and_left_nothing(boots):
    assert boots["arguments"].facts == {"qemu ran": True, "qemu ended": True, "group": [], "left": []}


# Files: relative names that start with a dash, given without ./ from their
# own folder, are names, not options: a --file beside the program serves
# the request, and --stdin is the program's standard input.
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
    return device(context, "--file", "-lumivane.so", "--stdin", "-input", "--", "-loader", "./-lumivane.so",
                  "backlight", "#808080", cwd=context.scratch)


@job("stdin")
def _stdin(context):
    dashed(context)
    return device(context, "--stdin", os.path.join(context.scratch, "-input"), context.built.test_program, "stdin")


# What a program starts with: exactly the documented environment, in /work,
# as root. A program the kernel cannot start because its dynamic linker is
# missing ends with 127, as a shell gives, and says why.
job("env")(lambda context: run([context.built.runner, "--verbose", context.built.test_program, "env"], bound(SOON)))


@job("no_linker")
def _no_linker(context):
    with open(context.built.test_program, "rb") as program:
        data = program.read().replace(b"/lib/ld-linux.so.3", b"/lib/ld-absent.so3")
    return device(context, scratch_file(context, "no-linker", data), "args")


# The time-out counts from the program's start, within its own time: not
# before, and not after the boot time-out as well. PELLIX_TIMEOUT_SCALE
# multiplies the time-outs given, the run's included, and takes only a
# positive number. The status is the runner's to tell: a program that
# writes status lines everywhere it can and then never ends has timed out.
# (A runner that waited for the boot time-out as well would take 100 s.)
job("forge", waits=10)(lambda context: run(
    [context.built.runner, "--timeout", "10", "--boot-timeout", "90", context.built.test_program, "forge"],
    bound(10, boot=90)))
# The run's limit, 2 s scaled by 5, against the 2 s of a runner that forgot
# the scale in the run: far enough apart that neither the program's start
# after the boot nor the runner's own end blurs them.
SCALE, SCALED_TIMEOUT = 5, 2
job("scaled_time", waits=SCALE * SCALED_TIMEOUT)(lambda context: run(
    [context.built.runner, "--timeout", str(SCALED_TIMEOUT), context.built.test_program, "wait"],
    scaled(SCALE * (SCALED_TIMEOUT + 30) + SLACK), env={"PELLIX_TIMEOUT_SCALE": str(SCALE)}))


# Cores the device keeps: at most protocol.CORES_LIMIT bytes of them; one
# past it is dropped, and both ends say so.
@job("cores")
def _cores(context):
    cores = os.path.join(context.scratch, "cores.limit")
    outcome = device(context, "--console", "--cores", cores, context.built.test_program, "cores",
                     str((protocol.CORES_LIMIT >> 20) + 1))
    outcome.facts = {"kept": sorted(os.listdir(cores)) if os.path.isdir(cores) else [],
                     "pids": dict(line.split()[::-1] for line in outcome.out.decode().splitlines())}
    return outcome


@pytest.mark.boots("cores")
def test_a_core_past_the_devices_limit_is_dropped_and_named_by_both_ends_and_the_next_kept(boots):
    outcome = boots["cores"]
    small = next(pid for pid, size in outcome.facts["pids"].items() if size == "0")
    assert outcome.facts["kept"] == [f"runner-test-program.{small}.core"]
    large = next(pid for pid, size in outcome.facts["pids"].items() if size != "0")
    name = re.escape(f"runner-test-program.{large}.core")
    assert re.search(rf"^pellix-init: core {name} dropped", outcome.text, re.MULTILINE), outcome.text
    assert re.search(rf"^pellix-device: the core {name} \([0-9]+ bytes\) was dropped", outcome.text,
                     re.MULTILINE), outcome.text


# A device that does not boot: a truncated kernel is named within the boot
# time-out, with the console's end; a missing one before booting.
def broken_device(context: Context, name: str) -> str:
    """A copy of the installed tree whose kernel is cut short; its runner."""
    folder = os.path.join(context.scratch, name)
    for part in ("bin", "lib", "share"):
        shutil.copytree(os.path.join(context.built.out, part), os.path.join(folder, part), symlinks=True)
    with open(os.path.join(context.built.out, "share/pellix-device/zImage"), "rb") as kernel:
        head = kernel.read(200000)
    with open(os.path.join(folder, "share/pellix-device/zImage"), "wb") as kernel:
        kernel.write(head)
    return os.path.join(folder, "bin", "pellix-device")


job("corrupt", waits=5)(lambda context: run(
    [broken_device(context, "corrupt"), "--boot-timeout", "5", context.built.test_program, "args"],
    bound(SOON, boot=5)))


# Each run's status, and what its standard error says (each a regular
# expression, ^ and $ at lines), its standard output or a line of it.
ENDS = [
    reads("usage.device", 2, [], None),
    reads("missing.device", 1, [], None),
    reads("abort.device", 134, [r"stdin 0, stdout 0, stderr 0", r"(?s)stdin 0, stdout 0.*\n.*crash: process",
                                r"died of SIGABRT \(signal 6\)", r"^    #[0-9]+ +libc\.so\.6\+0x[0-9a-f]+  abort$"],
          None),
    reads("abort.user", 134, [r"stdin 0, stdout 0, stderr 0"], None),
    reads("emit.device", 0, [], None),
    reads("closed_pipe", 141, [], None),
    reads("full", 125, ["output could not be passed on"], None),
    reads("arguments", 0, [], b"".join(argument.encode() + b"\0" for argument in ARGUMENTS)),
    reads("too_many", 125, ["arguments.*Argument list too long"], None),
    reads("file", 0, [r"\AI/lights: set_light_backlight brightness=22\n*\Z"], "apply 0xff808080 = 0"),
    reads("stdin", 0, [], INPUT),
    reads("env", 0, [r"^pellix-device: qemu: qemu-system-arm ", r"^pellix-device: run +[0-9]+\.[0-9]{3} s$"],
          b"PATH=/work:/usr/bin:/bin\0HOME=/work\0PWD=/work\0cwd=/work\0uid=0\0"),
    reads("no_linker", 127, ["cannot run /work/no-linker"], None),
    reads("scaled_time", 125, [rf"timed out after {SCALED_TIMEOUT} s \(PELLIX_TIMEOUT_SCALE {SCALE}: "
                               rf"{SCALE * SCALED_TIMEOUT} s\)"], None),
    # (the forging program opened no status port, and inherited no descriptor of the device's: neither word)
    reads("forge", 125, ["timed out after 10 s", r"(?s)\A(?!.*opened)(?!.*inherited)"], "exit 0"),
    reads("cores", 0, [], None),
    reads("corrupt", 125, ["first process within 5 s: its kernel, .*/zImage, is corrupt", "device console"], None),
]


@pytest.mark.parametrize("name, status, says, out", ENDS)
def test_each_run_ends_with_its_status_and_says_so(boots, name, status, says, out):
    outcome = boots[name]
    assert outcome.status == status, outcome.text
    for pattern in says:
        assert re.search(pattern, outcome.text, re.MULTILINE), outcome.text
    if isinstance(out, bytes):
        assert outcome.out == out
    elif out is not None:
        assert out in outcome.out.decode().splitlines()


@pytest.mark.boots("forge")
def test_the_time_out_comes_neither_before_its_time_nor_after_the_boot_time_out_too(boots):
    assert scaled(10) <= boots["forge"].ended - boots["forge"].started < scaled(90)


@pytest.mark.boots("scaled_time")
def test_the_scale_multiplies_the_time_out_and_the_run_phase_itself(boots):
    # From the program's first output, which it gives as it starts, to the
    # runner's end: the run's own time, without the boot's.
    outcome = boots["scaled_time"]
    assert outcome.ended - outcome.started >= SCALE * SCALED_TIMEOUT
    assert outcome.first_out is not None
    assert outcome.ended - outcome.first_out >= (1 + SCALE) * SCALED_TIMEOUT / 2


# Ended by Ctrl-C (SIGINT to the whole process group), SIGTERM to the
# runner alone, or killed while the program runs: the output so far is out,
# the status says so, and neither qemu nor the scratch folder stays.
def _stopped(context: Context, name: str) -> Outcome:
    tmp = os.path.join(context.scratch, f"tmp.{name}")
    os.makedirs(tmp)

    def stop(process, out):
        facts = {"arrived while running": eventually(120, lambda: b"waiting" in b"".join(out)),
                 "qemu ran": bool(qemu_under(tmp))}
        if name == "INT":
            os.killpg(process.pid, signal.SIGINT)
        else:
            process.send_signal(getattr(signal, "SIG" + name))
        return facts
    outcome = run([context.built.runner, context.built.test_program, "wait"], scaled(SLACK), env={"TMPDIR": tmp},
                  during=stop)
    outcome.facts.update({"group left": group_members(outcome.pid), "folder left": os.listdir(tmp),
                          "passed on": b"waiting" in outcome.out.splitlines()})
    outcome.facts["nothing left"] = eventually(30, lambda: not processes_naming(tmp + "/") and not os.listdir(tmp))
    return outcome


# (a killed runner has no status of its own, nor a chance to clean up: what it left goes soon after)
SIGNALS = {"INT": 130, "TERM": 143, "KILL": None}
for _signal in SIGNALS:
    job(f"stopped.{_signal}")(functools.partial(_stopped, name=_signal))


@pytest.mark.parametrize("name, status", [reads(f"stopped.{name}", status) for name, status in SIGNALS.items()])
def test_a_stopped_run_passed_its_output_on_ends_with_a_shells_status_and_leaves_nothing(boots, name, status):
    facts = boots[name].facts
    assert (facts["arrived while running"], facts["qemu ran"], facts["passed on"], facts["nothing left"]) == \
        (True, True, True, True)
    if status is not None:
        assert boots[name].status == status
        assert (facts["group left"], facts["folder left"]) == ([], [])


# The runner's own failures, each named, before anything boots.
@pytest.fixture(scope="module")
def inputs(built, tmp_path_factory):
    folder = tmp_path_factory.mktemp("inputs")
    (folder / "folder").mkdir()
    # What cannot be read even by root: reading /proc/self/mem at its start.
    unreadable = folder / "unreadable"
    unreadable.touch()
    unreadable.chmod(0)
    os.mkfifo(folder / "fifo")
    with open(folder / "large", "wb") as large:
        large.truncate(96 << 20)
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
    # An image at the limit is refused, by name, before boot.
    ("image_size", "the image is [0-9]* MiB.*at most 96 MiB", ["--file", "{scratch}/large", "{program}", "args"]),
]


@pytest.mark.parametrize("name, says, arguments", FAILURES, ids=[case[0] for case in FAILURES])
def test_the_runners_own_failure_is_125_and_named(built, inputs, name, says, arguments):
    outcome = run([built.runner] + [argument.format(**inputs) for argument in arguments], scaled(SOON))
    assert outcome.status == 125
    assert re.search(says, outcome.text), outcome.text


@pytest.mark.parametrize("text, says", [("0", "PELLIX_TIMEOUT_SCALE must be above 0"),
                                        ("slow", "PELLIX_TIMEOUT_SCALE takes a positive number"),
                                        ("1e1", "PELLIX_TIMEOUT_SCALE takes a positive number")])
def test_a_scale_that_is_no_positive_number_is_the_runners_failure(built, text, says):
    outcome = run([built.runner, built.test_program, "args"], scaled(SOON), env={"PELLIX_TIMEOUT_SCALE": text})
    assert outcome.status == 125
    assert says in outcome.text


def test_a_missing_kernel_is_named_before_booting(built, tmp_path):
    runner = broken_device(Context(built, str(tmp_path)), "missing")
    os.unlink(os.path.join(tmp_path, "missing/share/pellix-device/zImage"))
    outcome = run([runner, built.test_program, "args"], scaled(SOON))
    assert outcome.status == 125
    assert "zImage is missing" in outcome.text


# The tests' own bound: a run that outlives it ends, and fails its test.
def test_a_run_that_outlives_its_bound_is_ended_as_a_failure():
    started = time.monotonic()
    outcome = run(["sh", "-c", "sleep 600 & wait"], 0.5)
    assert outcome.status is None
    assert time.monotonic() - started < scaled(SLACK)
