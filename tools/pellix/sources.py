# SPDX-License-Identifier: Apache-2.0
"""The project's own source files, as make lint needs them listed.

python3 -m pellix.sources units DATABASE [--only PART]
    the translation units of a compile_commands.json, the project's own
    (GoogleTest's left out), one a line, sorted; --only keeps the paths
    that hold PART
python3 -m pellix.sources shell [TOP]
    every file git tracks under TOP that is a shell script: named .sh, or
    starting with a #! line of sh or bash
"""

import json
import os
import subprocess
import sys
from typing import List, Optional

SHELLS = ("/sh", "/bash", "env bash")


def translation_units(database: str, only: Optional[str] = None) -> List[str]:
    with open(database, encoding="utf-8") as handle:
        entries = json.load(handle)
    files = {entry["file"] for entry in entries if "googletest" not in entry["file"]}
    return sorted(name for name in files if only is None or only in name)


def is_shell_script(path: str) -> bool:
    if path.endswith(".sh"):
        return True
    try:
        with open(path, "rb") as handle:
            first = handle.readline(200).decode("utf-8", "replace").rstrip()
    except OSError:
        return False
    return first.startswith("#!") and first.endswith(SHELLS)


def shell_scripts(top: str = ".") -> List[str]:
    listed = subprocess.run(["git", "-C", top, "ls-files", "-z"], check=True, capture_output=True).stdout
    names = [name for name in listed.decode().split("\0") if name]
    return [name for name in names if os.path.isfile(os.path.join(top, name))
            and is_shell_script(os.path.join(top, name))]


def main(argv: List[str]) -> int:
    if len(argv) >= 2 and argv[0] == "units":
        only = argv[3] if len(argv) == 4 and argv[2] == "--only" else None
        if len(argv) not in (2, 4) or (len(argv) == 4 and only is None):
            return _usage()
        names = translation_units(argv[1], only)
    elif argv[:1] == ["shell"] and len(argv) <= 2:
        names = shell_scripts(argv[1] if len(argv) == 2 else ".")
    else:
        return _usage()
    sys.stdout.write("".join(name + "\n" for name in names))
    return 0


def _usage() -> int:
    print("usage: python3 -m pellix.sources units DATABASE [--only PART] | shell [TOP]", file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
