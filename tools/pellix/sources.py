# SPDX-License-Identifier: Apache-2.0
"""The project's own source files, as make lint needs them listed, one a line.

python3 -m pellix.sources units DATABASE [--only PART]
    the translation units of a compile_commands.json, sorted, GoogleTest's left out; --only keeps the
    paths that hold PART
python3 -m pellix.sources shell [TOP]
    every file git tracks under TOP that is a shell script: named .sh, or starting with a #! line of sh
    or bash
"""

import json
import os
import subprocess
import sys
from typing import List, Optional

USAGE = "usage: python3 -m pellix.sources units DATABASE [--only PART] | shell [TOP]"


def translation_units(database: str, only: Optional[str] = None) -> List[str]:
    with open(database, encoding="utf-8") as handle:
        files = {entry["file"] for entry in json.load(handle) if "googletest" not in entry["file"]}
    return sorted(name for name in files if only is None or only in name)


def is_shell_script(path: str) -> bool:
    first = ""
    try:
        with open(path, "rb") as handle:
            first = handle.readline(200).decode("utf-8", "replace").rstrip()
    except OSError:
        pass
    return os.path.isfile(path) and (path.endswith(".sh") or first.startswith("#!")
                                     and first.endswith(("/sh", "/bash", "env bash")))


def shell_scripts(top: str = ".") -> List[str]:
    listed = subprocess.run(["git", "-C", top, "ls-files", "-z"], check=True, capture_output=True).stdout
    return [name for name in listed.decode().split("\0") if name and is_shell_script(os.path.join(top, name))]


def main(argv: List[str]) -> int:
    if argv[:1] == ["units"] and (len(argv) == 2 or len(argv) == 4 and argv[2] == "--only"):
        names = translation_units(argv[1], argv[3] if len(argv) == 4 else None)
    elif argv[:1] == ["shell"] and len(argv) <= 2:
        names = shell_scripts(*argv[1:])
    else:
        print(USAGE, file=sys.stderr)
        return 2
    sys.stdout.write("".join(name + "\n" for name in names))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
