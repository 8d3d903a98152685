# SPDX-License-Identifier: Apache-2.0
"""The judge's protocol has one home, pellix.protocol.judge: the device's
end (conformance/device/judge.cpp and the list in harness.cpp) spells it
only through the header generated from it, and the built header is the
declaration's."""

import glob
import os
import re

import pytest

from pellix import protocol
from pellix.protocol import judge

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SOURCES = {}
for name in ("judge.cpp", "harness.cpp"):
    with open(os.path.join(TOP, "conformance", "device", name)) as handle:
        SOURCES[name] = handle.read()


def test_the_device_end_uses_every_constant_of_the_declaration() -> None:
    source = "".join(SOURCES.values())
    assert [constant.name for constant in judge.CONSTANTS if not re.search(rf"\b{constant.name}\b", source)] == []


def test_the_device_end_spells_no_word_of_the_protocol_itself() -> None:
    words = {constant.value for constant in judge.CONSTANTS if isinstance(constant.value, str)}
    # The C string literals, comments left out and escapes read.
    code = re.sub(r"/\*.*?\*/|//[^\n]*", "", "".join(SOURCES.values()), flags=re.S)
    literals = [bytes(body, "ascii").decode("unicode_escape") for body in re.findall(r'"((?:[^"\\\n]|\\.)*)"', code)]
    assert [literal for literal in literals if literal in words] == []
    assert re.findall(r"(?<![\w])(?:exit\(\s*\d+\s*\)|return\s+\d+\s*;)", SOURCES["judge.cpp"]) == []


def test_every_built_header_is_the_declarations(tmp_path: "os.PathLike[str]") -> None:
    built = glob.glob(os.path.join(TOP, "build", "*", "conformance", "judge_protocol.h"))
    if not built:
        pytest.skip("no configuration is built (make): no build/*/conformance/judge_protocol.h")
    fresh = os.path.join(tmp_path, "judge_protocol.h")
    assert protocol.main(["judge", fresh]) == 0
    with open(fresh) as handle:
        want = handle.read()
    for path in built:
        with open(path) as handle:
            assert handle.read() == want, f"{path} is not generated from the declaration: rebuild"
