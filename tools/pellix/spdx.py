# SPDX-License-Identifier: Apache-2.0
"""spdx-headers [--check | --insert]: every source file tracked by git names its licence in an
"SPDX-License-Identifier:" line among its first three lines, in its own comment syntax, after a "#!" line where
there is one: GPL-2.0-only for the emulated device's kernel driver (platform/device/driver/), Apache-2.0 for the
rest. --check (the default; make lint runs it) names each file without the line or with another licence and exits
1; --insert adds or corrects the line. Source files are known by their names: data, documents, licence texts and
JSON are none. In a file whose line numbers are part of what it does (the character-traits self-test prints the
line of a failed check), the line takes the place of the empty comment line after the first, so no line moves.
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
    found = [match.group(1).decode() for match in map(NAMED.search, lines[:3]) if match]
    return found[0] if found else ""


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


def run(top: str, insert: bool) -> int:
    missing = 0
    listed = subprocess.run(["git", "-C", top, "ls-files", "-z"], capture_output=True, check=True).stdout
    for name in [name.decode() for name in listed.split(b"\0") if name]:
        path = os.path.join(top, name)
        if os.path.islink(path) or not os.path.isfile(path):
            continue
        with open(path, "rb") as handle:
            lines = handle.readlines()
        syntax = syntax_of(name, lines[0] if lines else b"")
        licence = "GPL-2.0-only" if name.startswith("platform/device/driver/") else "Apache-2.0"
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
    except (Refused, OSError, subprocess.CalledProcessError) as error:
        print(f"spdx-headers: {error}", file=sys.stderr)
        return 1 if isinstance(error, Refused) else 2
