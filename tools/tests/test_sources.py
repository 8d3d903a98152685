# SPDX-License-Identifier: Apache-2.0
import json
import os
import subprocess

from pellix import sources


def test_translation_units_leave_out_googletest_and_keep_a_part(tmp_path):
    database = os.path.join(tmp_path, "compile_commands.json")
    with open(database, "w") as handle:
        json.dump([{"file": "/t/lights/fuzz/b.cpp"}, {"file": "/usr/src/googletest/g.cc"},
                   {"file": "/t/lights/a.cpp"}, {"file": "/t/lights/a.cpp"}], handle)
    assert sources.translation_units(database) == ["/t/lights/a.cpp", "/t/lights/fuzz/b.cpp"]
    assert sources.translation_units(database, "/fuzz/") == ["/t/lights/fuzz/b.cpp"]


def test_shell_scripts_are_known_by_name_or_first_line(tmp_path):
    files = {"a.sh": "echo\n", "b": "#!/bin/sh\n", "c": "#!/usr/bin/env bash\n", "d": "#!/usr/bin/python3\n",
             "e.txt": "bash\n"}
    for name, text in files.items():
        with open(os.path.join(tmp_path, name), "w") as handle:
            handle.write(text)
    subprocess.run(["git", "init", "-q", str(tmp_path)], check=True)
    subprocess.run(["git", "-C", str(tmp_path), "add", "."], check=True)
    assert sources.shell_scripts(str(tmp_path)) == ["a.sh", "b", "c"]


def test_bad_usage_exits_2():
    assert sources.main(["units"]) == 2
    assert sources.main(["units", "db", "--other", "x"]) == 2
    assert sources.main(["shell", "top", "more"]) == 2
