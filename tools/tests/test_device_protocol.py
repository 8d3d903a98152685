# SPDX-License-Identifier: Apache-2.0
"""The device's protocol has one home, pellix/protocol/device.py: init
takes every fact of it from the header the build generates, the runner
from the module, and neither end spells one of its own."""

import os
import re

import pytest

from pellix import device
from pellix.protocol import c_header
from pellix.protocol import device as protocol

TEXTS = [constant for constant in protocol.CONSTANTS if isinstance(constant.value, str)]
# (init finds its ports by name; how many there are is the runner's to say)
USED_BY_INIT = [constant for constant in protocol.CONSTANTS if constant.name != "PELLIX_PORTS"]


def source(top: str, *path: str) -> str:
    with open(os.path.join(top, *path), encoding="utf-8") as file:
        return file.read()


def code_of_c(text: str) -> str:
    """C source without its comments."""
    return re.sub(r"/\*.*?\*/|//[^\n]*", "", text, flags=re.DOTALL)


def test_init_includes_the_generated_header(top):
    assert '#include "pellix_device_protocol.h"' in source(top, "platform", "device", "init.c")


@pytest.mark.parametrize("constant", USED_BY_INIT, ids=[c.name for c in USED_BY_INIT])
def test_init_uses_each_fact_by_its_name(top, constant):
    code = code_of_c(source(top, "platform", "device", "init.c"))
    assert re.search(rf"\b{constant.name}\b", code)


@pytest.mark.parametrize("constant", TEXTS, ids=[c.name for c in TEXTS])
def test_init_spells_no_fact_of_its_own(top, constant):
    code = code_of_c(source(top, "platform", "device", "init.c"))
    # (a word may begin a longer literal, as "failed: %s" does)
    assert not re.search(r'"' + re.escape(constant.value) + r'[ "%]', code), constant.value


@pytest.mark.parametrize("constant", TEXTS, ids=[c.name for c in TEXTS])
def test_the_runner_spells_no_fact_of_its_own(top, constant):
    for name in ("device.py", "runner.py", "qemu.py"):
        code = source(top, "tools", "pellix", name)
        if constant.value in ("boot", "end", "core"):
            # (the phase "boot" and the prose's words share the protocol's spelling)
            assert f'"{constant.value} "' not in code and f"'{constant.value}'" not in code
        else:
            assert f'"{constant.value}' not in code and f"'{constant.value}" not in code, (name, constant.value)


def test_the_built_header_is_the_declaration(top):
    built = os.path.join(top, "build", "armv5te", "platform", "device", "generated", "pellix_device_protocol.h")
    if not os.path.exists(built):
        pytest.skip("build/armv5te is not built: run make")
    summary = (protocol.__doc__ or "").strip().splitlines()[0]
    assert source(top, built) == c_header("device", summary, protocol.CONSTANTS)


def test_the_port_count_is_the_ports_named():
    assert dict((c.name, c.value) for c in protocol.CONSTANTS)["PELLIX_PORTS"] == len(protocol.PORTS) == 4


def test_the_runners_core_names_are_inits():
    assert device._CORE_NAME.fullmatch("a-b_c+d.e.12.core")
    assert not device._CORE_NAME.fullmatch("a/b.12.core") and not device._CORE_NAME.fullmatch("a b.12.core")
