# SPDX-License-Identifier: Apache-2.0
"""spdx-headers: every source file names its licence.

    spdx-headers [--check | --insert]

Every source file tracked by git names its licence in an
"SPDX-License-Identifier:" line among its first three lines: GPL-2.0-only
for the emulated device's kernel driver (platform/device/driver/),
Apache-2.0 for everything else. The line is written in the file's own
comment syntax, after a "#!" line where there is one.

    --check   (the default; make lint runs it) names each source file
              without the line, or with another licence, and exits 1
    --insert  adds the line where it is missing and corrects the licence
              where it is another (after a merge that brought new files)

Source files are known by their names; data, documents, licence texts and
JSON (which has no comments) are not source files. In a file whose line
numbers are part of what it does (the character-traits self-test prints the
line of a failed check, which must be 42 or 43), the line takes the place of
the empty comment line after the first, so that no line moves.
"""

import fnmatch
import os
import re
import subprocess
import sys
from typing import List, Optional, Sequence

from pellix import report

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
USAGE = "usage: spdx-headers [--check | --insert]"
PINNED_LINES = ("tests/test_char_traits.cpp",)
NAMED = re.compile(rb"SPDX-License-Identifier: *([A-Za-z0-9.+-]*)")

# (patterns, syntax): the first whose pattern matches a path decides; "*" matches "/" too, as in a shell's case.
NOT_SOURCE = ("LICENSES/*", "lights/fuzz/seeds/*", "*.md", "*.json", "NEWS", "VERSION", ".gitignore")
C_STYLE = ("*.c", "*.h", "*.map")
HASH_STYLE = ("CMakeLists.txt", "*/CMakeLists.txt", "*.cmake", "*.sh", "*.py", "*.in", "*.config", "Makefile",
              "Kbuild", "*/Kbuild", ".clang-format", "*/.clang-format", ".clang-tidy", "*/.clang-tidy",
              ".shellcheckrc")
COMMENT = {"c": "/* SPDX-License-Identifier: {} */", "cxx": "// SPDX-License-Identifier: {}",
           "hash": "# SPDX-License-Identifier: {}"}


class Refused(Exception):
    """A file whose line cannot be written as asked; the message says why."""


def _matches(path: str, patterns: Sequence[str]) -> bool:
    return any(fnmatch.fnmatchcase(path, pattern) for pattern in patterns)


def licence_of(path: str) -> str:
    return "GPL-2.0-only" if path.startswith("platform/device/driver/") else "Apache-2.0"


def syntax_of(path: str, first_line: bytes) -> Optional[str]:
    """How PATH writes a comment line, "c", "cxx" or "hash"; None when it is no source file."""
    if _matches(path, NOT_SOURCE):
        return None
    if _matches(path, C_STYLE):
        return "c"
    if path.endswith(".cpp"):
        return "cxx"
    # The traits library's headers and the faulty samples' take the names of C++ headers: no dot.
    if _matches(path, ("include/*", "tests/faulty/*")):
        if "." not in os.path.basename(path):
            return "cxx"
    elif _matches(path, HASH_STYLE):
        return "hash"
    return "hash" if first_line.startswith(b"#!") else None


def named_licence(lines: List[bytes]) -> str:
    """The licence the SPDX line among the first three lines names, or ""."""
    for line in lines[:3]:
        match = NAMED.search(line)
        if match:
            return match.group(1).decode()
    return ""


def with_licence(path: str, lines: List[bytes], syntax: str, licence: str) -> List[bytes]:
    """LINES with their SPDX line added, or its licence corrected."""
    named = named_licence(lines)
    if named:
        return [NAMED.sub(b"SPDX-License-Identifier: " + licence.encode(), line, count=1) if number < 3 else line
                for number, line in enumerate(lines)]
    line = (COMMENT[syntax].format(licence) + "\n").encode()
    if path in PINNED_LINES:
        if len(lines) < 2 or lines[1].rstrip(b"\n") != b"//":
            raise Refused(f"{path}: line 2 is not an empty comment line to hold the licence")
        return lines[:1] + [f"// SPDX-License-Identifier: {licence}\n".encode()] + lines[2:]
    if lines and lines[0].startswith(b"#!"):
        return lines[:1] + [line] + lines[1:]
    return [line] + lines


def tracked_files(top: str) -> List[str]:
    listed = subprocess.run(["git", "-C", top, "ls-files", "-z"], capture_output=True, check=True).stdout
    return [name.decode() for name in listed.split(b"\0") if name]


def run(top: str, insert: bool) -> int:
    missing = 0
    for name in tracked_files(top):
        path = os.path.join(top, name)
        if os.path.islink(path) or not os.path.isfile(path):
            continue
        with open(path, "rb") as handle:
            lines = handle.readlines()
        syntax = syntax_of(name, lines[0] if lines else b"")
        licence = licence_of(name)
        named = named_licence(lines)
        if syntax is None or named == licence:
            continue
        if insert:
            mode = os.stat(path).st_mode & 0o7777
            report.place(path, b"".join(with_licence(name, lines, syntax, licence)))
            os.chmod(path, mode)
            print(f"spdx-headers: {name}: {licence}")
        else:
            print(f"spdx-headers: {name}: " + (f"names {named}, " if named else "")
                  + f"no SPDX-License-Identifier: {licence} line")
            missing += 1
    if missing:
        print(f"spdx-headers: {missing} source file(s) without their licence line")
        return 1
    return 0


def main(argv: Sequence[str], top: str = TOP) -> int:
    mode = argv[0] if argv else "--check"
    if len(argv) > 1 or mode not in ("--check", "--insert"):
        print(USAGE, file=sys.stderr)
        return 2
    try:
        return run(top, mode == "--insert")
    except Refused as error:
        print(f"spdx-headers: {error}", file=sys.stderr)
        return 1
    except (OSError, subprocess.CalledProcessError) as error:
        print(f"spdx-headers: {error}", file=sys.stderr)
        return 2
