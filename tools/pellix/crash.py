# SPDX-License-Identifier: Apache-2.0
"""The crash report of one core from the emulated Pellix device
(pellix-crash-report [--program PATH] [--search DIR]... CORE): the process
and its signal, the fault address, the registers and the crashing thread's
backtrace, each frame as binary+offset, function, and source file and line
where debug information has them, and each binary's GNU build ID.

gdb-multiarch reads the core (pellix/crash_gdb.py, run inside it, writes
what it found as JSON); the modules the core maps, with their build IDs,
come from elfutils' listing (eu-unstrip -n --core), whose lines are
"START+SIZE BUILDID@ADDR FILE DEBUGFILE NAME".

Where the binaries are found: PATH is the crashed program on this host;
each DIR is searched for the shared libraries the core names (the module,
the log library, any --file of the run), the target's sysroot for the C
library. Debug files are found by build ID under each DIR's debug/.build-id
(the release's layout), or beside their binary (lumivane.so.debug).

Exits 0 when the report was printed, 1 (saying why) when it could not be.
"""

import contextlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
from dataclasses import dataclass
from typing import Any, Dict, List, Optional, TextIO

from pellix import elf, mend

SYSROOT = "/usr/arm-linux-gnueabi"
USAGE = "usage: pellix-crash-report [--program PATH] [--search DIR]... CORE"
SIGNALS = {4: "SIGILL", 5: "SIGTRAP", 6: "SIGABRT", 7: "SIGBUS", 8: "SIGFPE", 11: "SIGSEGV",
           3: "SIGQUIT", 24: "SIGXCPU", 25: "SIGXFSZ", 31: "SIGSYS"}


class CrashError(Exception):
    """No report: the message says why."""


@dataclass(frozen=True)
class Module:
    """One binary the core maps, from elfutils' listing."""

    start: int
    end: int
    name: str
    path: str  # the file on this host, or "-"
    build_id: str  # lower-case hex, or "none"


def read_modules(listing: str) -> List[Module]:
    """The modules of an `eu-unstrip -n --core` listing."""
    found = []
    for line in listing.splitlines():
        fields = line.split()
        if len(fields) < 5 or "+" not in fields[0]:
            continue
        try:
            start, size = (int(part, 16) for part in fields[0].split("+"))
        except ValueError:
            continue
        build_id = fields[1].split("@")[0]
        found.append(Module(start, start + size, os.path.basename(fields[4]), fields[2],
                            build_id if build_id != "-" else "none"))
    return found


def is_executable(path: str) -> bool:
    """Whether the file is a fixed-address executable (not moved where it loads)."""
    try:
        return elf.ElfFile(path).header().type == "ET_EXEC"
    except elf.ElfError:
        return False


def place(pc: int, modules: List[Module]) -> str:
    """The binary and offset of pc: "lumivane.so+0x5c4". Ranges can nest:
    the dynamic linker's reaches over libraries mapped in its gaps, so the
    narrowest range that holds pc names its binary."""
    holding = [module for module in modules if module.start <= pc < module.end]
    if not holding:
        return "0x%08x" % pc
    module = min(holding, key=lambda each: each.end - each.start)
    base = 0 if is_executable(module.path) else module.start
    return "%s+0x%x" % (module.name, pc - base)


def report_lines(facts: Dict[str, Any], name: str, modules: List[Module]) -> List[str]:
    """The report of a core, from the facts gdb read and the modules."""
    number = facts["signal"]
    lines = ["pellix-device: crash: process %d (%s) died of %s (signal %d)"
             % (facts["pid"], name, SIGNALS.get(number, "signal %d" % number), number)]
    if facts["address"] is not None:
        lines.append("  fault address 0x%08x" % facts["address"])
    else:
        lines.append("  fault address: none (the signal was sent: si_code %d)" % facts["code"])
    lines.append("  registers")
    values = ["%-4s 0x%08x" % (register, value) for register, value in facts["registers"]]
    lines += ["    " + "  ".join(values[at:at + 4]) for at in range(0, len(values), 4)]
    lines.append("  backtrace of thread %d" % facts["thread"])
    seen: List[str] = []
    for level, frame in enumerate(facts["frames"]):
        where = place(frame["pc"], modules)
        binary = where.split("+")[0]
        if "+" in where and binary not in seen:
            seen.append(binary)
        line = "  %s:%d" % (frame["file"], frame["line"]) if frame["file"] else ""
        lines.append("    #%-2d %s  %s%s" % (level, where, frame["function"] or "??", line))
    lines.append("  build IDs")
    ids = {module.name: module.build_id for module in modules}
    lines += ["    %-20s %s" % (binary, ids.get(binary, "none")) for binary in seen]
    return lines


def core_name(core: str) -> str:
    """The program's name in a core's file name, PROGRAM.PID.core."""
    return os.path.basename(core).removesuffix(".core").rsplit(".", 1)[0]


def read_core(core: str, program: str, search: List[str]) -> List[str]:
    """The report of CORE; CrashError when it cannot be made."""
    listing = subprocess.run(["eu-unstrip", "-n", "--core=" + core], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, check=False)
    # (eu-unstrip lists the modules it finds; it exits 1 when it could not
    # open a file it names, which is no fault of the listing)
    if listing.returncode != 0 and not listing.stdout:
        raise CrashError(f"{core}: elfutils reads no modules from it (not a core?)")
    modules = read_modules(listing.stdout.decode("utf-8", "replace"))
    debug = ":".join([os.path.join(folder, "debug") for folder in reversed(search)] + ["/usr/lib/debug"])
    with tempfile.TemporaryDirectory(prefix="pellix-crash.") as scratch:
        facts_file = os.path.join(scratch, "facts.json")
        environment = dict(os.environ, PELLIX_CORE=core, PELLIX_CORE_PROGRAM=program, PELLIX_CORE_FACTS=facts_file)
        gdb = subprocess.run(
            ["gdb-multiarch", "-nx", "-batch", "-ex", "set pagination off", "-ex", "set width 0",
             "-ex", "set confirm off", "-ex", f"set sysroot {SYSROOT}",
             "-ex", "set solib-search-path " + ":".join(search), "-ex", f"set debug-file-directory {debug}",
             "-x", os.path.join(os.path.dirname(os.path.abspath(__file__)), "crash_gdb.py")],
            env=environment, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            check=False)
        facts: Optional[Dict[str, Any]] = None
        with contextlib.suppress(OSError, ValueError), open(facts_file, encoding="utf-8") as file:
            facts = json.load(file)
    if gdb.returncode != 0 or not isinstance(facts, dict):
        raise CrashError(f"{core}: gdb-multiarch could not read it (status {gdb.returncode})")
    return report_lines(facts, core_name(core), modules)


def main(argv: List[str], out: Optional[TextIO] = None) -> int:
    """pellix-crash-report's command line; the report goes to OUT (standard output)."""
    stream = out if out is not None else sys.stdout
    program, search = "", []
    arguments = list(argv)
    try:
        while arguments and arguments[0].startswith("-"):
            word = arguments.pop(0)
            if word in ("-h", "--help"):
                stream.write(f"{USAGE}\n\n{__doc__}")
                return 0
            if word == "--":
                break
            if word not in ("--program", "--search"):
                raise CrashError(f"unknown option {word}")
            if not arguments:
                raise CrashError("--program needs a path" if word == "--program" else "--search needs a folder")
            if word == "--program":
                program = arguments.pop(0)
            else:
                search.append(arguments.pop(0))
        if len(arguments) != 1:
            raise CrashError(USAGE)
        core = arguments[0]
        if not os.path.isfile(core):
            raise CrashError(f"{core}: no such core")
        for tool, package in (("gdb-multiarch", "gdb-multiarch"), ("eu-unstrip", "elfutils")):
            if shutil.which(tool) is None:
                name = tool if tool == package else f"{tool} ({package})"
                raise CrashError(f"{name} is not installed: " + mend("run make", f"install {package}"))
        lines = read_core(core, program, search)
    except CrashError as error:
        sys.stderr.write(f"pellix-crash-report: {error}\n")
        sys.stderr.flush()
        return 1
    stream.write("".join(line + "\n" for line in lines))
    stream.flush()
    return 0
