# SPDX-License-Identifier: Apache-2.0
"""What scripts/device-kernel and scripts/device-gdbserver ask of other
tools' output and of binaries, which a shell script does not read: one
command a function below (main's usage names them). Exits 0, or 1 saying
why on standard error; lost-config exits 1 when a line is lost.
"""

import hashlib
import os
import sys
from typing import BinaryIO, List, TextIO

from pellix import elf

PROGRESS_EVERY = 100


class BuildError(Exception):
    """What the calling script fails with: the message says why."""


def progress(source: BinaryIO, copy: BinaryIO, err: TextIO) -> None:
    """SOURCE copied to COPY, with a line on ERR every PROGRESS_EVERY files
    the kernel's build compiled (its "  CC" lines)."""
    compiled = 0
    for line in source:
        copy.write(line)
        if line.startswith(b"  CC"):
            compiled += 1
            if compiled % PROGRESS_EVERY == 0:
                err.write(f"device-kernel:   {compiled} files compiled\n")
                err.flush()
    copy.flush()


def lost_config(fragment: str, config: str) -> List[str]:
    """The option lines of FRAGMENT ("CONFIG_X=..." or "# CONFIG_X is not
    set") that are not lines of CONFIG: Kconfig drops an option whose
    dependencies are not met."""
    with open(config, encoding="utf-8", errors="replace") as file:
        kept = set(file.read().splitlines())
    with open(fragment, encoding="utf-8") as file:
        wanted = [line for line in file.read().splitlines() if line.startswith(("CONFIG_", "# CONFIG_"))]
    return [line for line in wanted if line not in kept]


def apt_download(work: str, record: str) -> str:
    """The file apt's RECORD names, in WORK, checked against the record's
    SHA256 and renamed WORK/package.deb; returns its name."""
    fields = record.split()
    if len(fields) < 4:
        raise BuildError(f"apt's record of gdbserver is not 'URI FILE SIZE SHA256:HEX': {record}")
    name, digest = fields[1], fields[3]
    if not digest.startswith("SHA256:") or os.path.basename(name) != name:
        raise BuildError(f"apt's record of gdbserver has no SHA256: {record}")
    path = os.path.join(work, name)
    if not os.path.isfile(path):
        raise BuildError(f"apt-get download left no {name}")
    with open(path, "rb") as file:
        if hashlib.sha256(file.read()).hexdigest() != digest[len("SHA256:"):].lower():
            raise BuildError(f"{name} does not match the SHA256 of apt's record")
    os.replace(path, os.path.join(work, "package.deb"))
    return name


def arm_program(program: str, sysroot: str) -> None:
    """BuildError unless PROGRAM is an ARM executable whose libraries are in SYSROOT/lib."""
    name = os.path.basename(program)
    try:
        binary = elf.ElfFile(program)
        machine = binary.header().machine
        needed = binary.dynamic().needed
    except elf.ElfError as error:
        raise BuildError(str(error)) from None
    if machine != "EM_ARM":
        raise BuildError(f"{name} is not an ARM program (ELF machine {machine})")
    for library in needed:
        if not os.path.isfile(os.path.join(sysroot, "lib", library)):
            raise BuildError(f"{name} needs {library}, which the target's sysroot lacks")


def main(argv: List[str]) -> int:
    try:
        if argv == ["progress"]:
            progress(sys.stdin.buffer, sys.stdout.buffer, sys.stderr)
        elif len(argv) == 3 and argv[0] == "lost-config":
            lost = lost_config(argv[1], argv[2])
            sys.stdout.write("".join(f"  {line}\n" for line in lost))
            return 1 if lost else 0
        elif len(argv) == 3 and argv[0] == "apt-download":
            apt_download(argv[1], argv[2])
        elif len(argv) == 3 and argv[0] == "arm-program":
            arm_program(argv[1], argv[2])
        else:
            raise BuildError("usage: python3 -m pellix.devicebuild progress | lost-config FRAGMENT CONFIG"
                             " | apt-download WORK RECORD | arm-program PROGRAM SYSROOT")
    except (BuildError, OSError) as error:
        sys.stderr.write(f"{error}\n")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
