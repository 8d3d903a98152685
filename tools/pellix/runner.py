# SPDX-License-Identifier: Apache-2.0
"""pellix-device's command line: its options, --help, and its exit
statuses, around one run of pellix.device.Device."""

import os
import re
import signal
import sys
from types import FrameType
from typing import List, Optional

from pellix import device, scale
from pellix.device import DEVICE_FAILURE, Device, DeviceFailure, Request

USAGE = f"""\
usage: pellix-device [OPTION]... [--] PROGRAM [ARG]...
       pellix-device --gdb PORT [OPTION]... [--] PROGRAM [ARG]...
       pellix-device --gdb-attach PORT [OPTION]... [--] PROGRAM [ARG]...

Boots the emulated Pellix device and runs PROGRAM (an ARM executable on this
host) there as root, in /work, with every ARG. Each --file is copied into /work
beside it. The module (lumivane.so) and the log library are on the dynamic
linker's path; the loader (lights-loader) and backlight-report, which runs a
command and then shows what the backlight holds, are on PATH; the backlight is
/sys/class/backlight/pellix-bl.

  --file PATH            copy PATH into /work on the device (repeatable)
  --stdin PATH           PROGRAM's standard input (default: empty)
  --console              show the device's console (the kernel's messages)
                         on standard error after the run
  --timeout SECONDS      give up on PROGRAM after this long (default
                         {device.PROGRAM_TIMEOUT}), counted from its start
  --boot-timeout SECONDS give up on a device that has not started its first
                         process after this long (default {device.BOOT_TIMEOUT})
  --gdb PORT             run PROGRAM under gdbserver, which waits for a
                         debugger on 127.0.0.1:PORT of this host (target
                         remote 127.0.0.1:PORT); the status is gdbserver's
  --gdb-attach PORT      as --gdb, but PROGRAM runs as itself and attaches
                         gdbserver to a process of its own: /usr/bin/gdbserver
                         --once --attach /dev/NODE PID, NODE the virtio port
                         named pellix.gdb
  --cores DIR            copy every core of the run into DIR (made if
                         missing), each named PROGRAM.PID.core
  --verbose              show the qemu command line and each phase's time
                         on standard error

PELLIX_TIMEOUT_SCALE (a positive number, default 1) multiplies every
time-out, those given here included, for a slow or busy host.

PROGRAM finds the environment PATH=/work:/usr/bin:/bin, HOME=/work,
PWD=/work and nothing else, standard output and error that come back here
as written (not terminals), no shell, no network, one CPU, and room for an
image of at most {device.PAYLOAD_LIMIT_MIB} MiB; the device's documentation
(docs/device.md) says all it finds, and shows a gdb session.

When PROGRAM, or any process of the run, dies of a signal that dumps core
(SIGSEGV, SIGBUS, SIGILL, SIGABRT, SIGFPE), a crash report follows the
program's own output on standard error: the process and signal, the fault
address, the registers and the backtrace, read from the core on this host
(pellix-crash-report).

Exits with PROGRAM's status (128+N when signal N ended it; 130 or 143 when
this command is interrupted or terminated, 141 when its output is a pipe
nobody reads any more). Exits with {DEVICE_FAILURE}, after
saying why, when the device could not run PROGRAM: bad usage, an input it
cannot read, no kernel image, a device that did not boot, arguments or an
image too big, output that could not be passed on, or the time-out.
"""

# Options that take a value, as the next word or after "=".
_VALUED = ("--file", "--stdin", "--timeout", "--boot-timeout", "--cores", "--gdb", "--gdb-attach")
# The signals that stop a run: the status a shell gives, and what to say.
_STOPS = {signal.SIGINT: (130, "interrupted"), signal.SIGTERM: (143, "terminated"), signal.SIGHUP: (129, "hung up")}


class Help(Exception):
    """--help: the usage, on standard output, and status 0."""


class Usage(Exception):
    """No PROGRAM: the usage, on standard error, and status 125."""


class Interrupted(Exception):
    """A signal that ends the run."""


def _seconds(name: str, value: str) -> int:
    if not re.fullmatch(r"[1-9][0-9]{0,6}", value):
        raise DeviceFailure(f"{name} takes a whole number of seconds, not '{value}'")
    return int(value)


def parse(argv: List[str]) -> Request:
    """The request of a command line; Help, Usage or DeviceFailure."""
    arguments = list(argv)
    values = {"--stdin": "", "--cores": "", "--gdb": "", "--gdb-attach": "", "--timeout": str(device.PROGRAM_TIMEOUT),
              "--boot-timeout": str(device.BOOT_TIMEOUT)}
    files: List[str] = []
    flags = set()
    while arguments and arguments[0].startswith("-"):
        word = arguments.pop(0)
        name, equals, value = word.partition("=")
        if word in ("-h", "--help"):
            raise Help()
        if word in _VALUED:
            if not arguments:
                raise DeviceFailure(f"{word} needs a value (see --help)")
            equals, value = "=", arguments.pop(0)
        if equals and name in _VALUED:
            if name == "--file":
                files.append(value)
            else:
                values[name] = value
        elif word in ("--console", "--verbose"):
            flags.add(word)
        elif word == "--":
            break
        else:
            raise DeviceFailure(f"unknown option {word} (see --help; a program whose name starts with - goes after --)")
    if not arguments:
        raise Usage()
    request = Request(program=arguments[0], arguments=arguments[1:], files=files, stdin=values["--stdin"],
                      cores=values["--cores"], console="--console" in flags, verbose="--verbose" in flags,
                      timeout=_seconds("--timeout", values["--timeout"]),
                      boot_timeout=_seconds("--boot-timeout", values["--boot-timeout"]))
    for name in ("--gdb", "--gdb-attach"):
        port = values[name]
        if port:
            if not re.fullmatch(r"[1-9][0-9]{0,4}", port) or int(port) > 65535:
                raise DeviceFailure(f"{name} takes a TCP port (1 to 65535), not '{port}'")
            request.gdb_port = int(port)
            request.gdb_attach = name == "--gdb-attach"
    return request


def _stop(number: int, frame: Optional[FrameType]) -> None:
    for each in _STOPS:
        signal.signal(each, signal.SIG_IGN)
    raise Interrupted(number)


def _failed(error: Exception) -> int:
    sys.stderr.write(f"pellix-device: {error}\n")
    sys.stderr.flush()
    return DEVICE_FAILURE


def main(argv: List[str]) -> int:
    """pellix-device ARGV: the run's exit status."""
    # Until the run has a scratch folder, a signal ends this process as it
    # would any other.
    signal.signal(signal.SIGINT, signal.SIG_DFL)
    try:
        request = parse(argv)
        per_mille = scale.from_environment()
    except Help:
        sys.stdout.write(USAGE)
        return 0
    except Usage:
        sys.stderr.write(USAGE)
        return DEVICE_FAILURE
    except (DeviceFailure, scale.ScaleError) as error:
        return _failed(error)
    # (installed as PREFIX/bin/pellix-device)
    prefix = os.path.dirname(os.path.dirname(os.path.realpath(sys.argv[0])))
    run = Device(request, prefix, per_mille, os.environ.get(scale.VARIABLE) or "1")
    # From here on, a signal stops the device and ends the run with the
    # status a shell gives; nothing of the run stays.
    for number in _STOPS:
        signal.signal(number, _stop)
    try:
        try:
            status = run.main()
        except DeviceFailure as error:
            status = _failed(error)
        run.close()
    except Interrupted as stop:
        status, word = _STOPS[stop.args[0]]
        sys.stderr.write(f"pellix-device: {word}: stopping the device\n")
        sys.stderr.flush()
        run.close()
    return status
