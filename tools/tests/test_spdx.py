# SPDX-License-Identifier: Apache-2.0
"""spdx-headers in a small tree of its own: one file of each kind, none with its line but the driver, which
names the licence it had before."""

import os
import subprocess
from typing import List

import pytest

from pellix import spdx

FILES = {
    "scripts/run": "#!/bin/sh\necho run\n",
    "platform/device/driver/driver.c": "// SPDX-License-Identifier: GPL-2.0\nint x;\n",
    "tests/test_char_traits.cpp": "// Self-test.\n//\n// More.\nint main() { return 0; }\n",
    "include/type_traits": "#pragma once\n",
    "CMakeLists.txt": "add_test(NAME x COMMAND true)\n",
    "docs/notes.md": "# Not a source file\n",
    "lights/fuzz/seeds/one": "#!/bin/sh\n",
    "tools/pellix/x.py": "# SPDX-License-Identifier: Apache-2.0\n",
}


@pytest.fixture
def tree(tmp_path: str) -> str:
    top = str(tmp_path)
    for name, text in FILES.items():
        os.makedirs(os.path.join(top, os.path.dirname(name)), exist_ok=True)
        with open(os.path.join(top, name), "w") as handle:
            handle.write(text)
    os.chmod(os.path.join(top, "scripts/run"), 0o755)
    subprocess.run(["git", "-C", top, "init", "--quiet"], check=True)
    subprocess.run(["git", "-C", top, "add", "."], check=True)
    return top


def _named(output: str) -> List[str]:
    return sorted(line.split(": ")[1] for line in output.splitlines()[:-1])


def _lines(tree: str, name: str) -> List[str]:
    with open(os.path.join(tree, name)) as handle:
        return handle.read().splitlines()


def test_check_names_each_source_file_without_its_line_or_with_another_licence(
        tree: str, capsys: pytest.CaptureFixture) -> None:
    assert spdx.main(["--check"], top=tree) == 1
    assert _named(capsys.readouterr().out) == ["CMakeLists.txt", "include/type_traits",
                                               "platform/device/driver/driver.c", "scripts/run",
                                               "tests/test_char_traits.cpp"]


def test_insert_writes_each_files_own_comment_and_licence_moving_no_pinned_line(tree: str) -> None:
    assert spdx.main(["--insert"], top=tree) == 0
    assert spdx.main([], top=tree) == 0
    assert _lines(tree, "scripts/run")[:2] == ["#!/bin/sh", "# SPDX-License-Identifier: Apache-2.0"]
    assert _lines(tree, "platform/device/driver/driver.c")[0] == "// SPDX-License-Identifier: GPL-2.0-only"
    assert _lines(tree, "include/type_traits")[0] == "// SPDX-License-Identifier: Apache-2.0"
    assert _lines(tree, "CMakeLists.txt")[0] == "# SPDX-License-Identifier: Apache-2.0"
    assert _lines(tree, "docs/notes.md") == ["# Not a source file"]
    assert os.stat(os.path.join(tree, "scripts/run")).st_mode & 0o777 == 0o755
    # The character-traits self-test prints the line of a failed check: no line of it moves.
    assert _lines(tree, "tests/test_char_traits.cpp") == ["// Self-test.", "// SPDX-License-Identifier: Apache-2.0",
                                                          "// More.", "int main() { return 0; }"]


def test_a_pinned_file_without_room_for_the_line_is_refused_unchanged(tree: str) -> None:
    path = os.path.join(tree, "tests/test_char_traits.cpp")
    with open(path, "w") as handle:
        handle.write("int main() { return 0; }\n")
    assert spdx.main(["--insert"], top=tree) == 1
    assert _lines(tree, "tests/test_char_traits.cpp") == ["int main() { return 0; }"]


def test_bad_usage_exits_2(tree: str, top: str) -> None:
    assert spdx.main(["--fix"], top=tree) == spdx.main(["--check", "--insert"], top=tree) == 2
    # The command enters the library.
    assert subprocess.run([os.path.join(top, "scripts", "spdx-headers"), "--bogus"], capture_output=True,
                          check=False).returncode == 2
