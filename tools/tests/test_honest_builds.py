# SPDX-License-Identifier: Apache-2.0
"""No honest build fails a clause: the plain module
(checks/samples/plain_module.c), built the ways a supplier builds it
(conformance/tests/honest_builds.cmake lists them in honest-builds.tsv),
qualified by the installed kit, every build in one boot (the run
"honest" of test_conformance_kit.py's pool)."""

import struct
from typing import Dict, List

import pytest
from pellix import elf

from test_conformance_kit import Qualifications, honest_builds

BUILDS = honest_builds()
# What the matrix must hold at least: each compiler at these optimisation
# levels, and each other way by some build.
LEVELS = {"gcc": ["-O0", "-O2", "-Os", "-O3"], "clang": ["-O0", "-O2", "-Os"]}
WAYS = ["version-script", "visibility", "bsymbolic", "stripped", "debug"]
# The linker's ARM-state interworking veneer: ldr ip, [pc, #4];
# add ip, ip, pc; bx ip (the offset to the Thumb body follows).
VENEER = struct.pack("<3I", 0xE59FC004, 0xE08CC00F, 0xE12FFF1C)
DF_SYMBOLIC = 0x2
pytestmark = pytest.mark.skipif(not BUILDS, reason="the honest builds are not built: build the armv5te configuration")


def facts(path: str) -> Dict[str, bool]:
    """What the file itself shows of how it was built."""
    module = elf.ElfFile(path)
    comment = module.section(".comment")
    entry = next(symbol for symbol in module.symbols(".dynsym") if symbol.name == "init_globals")
    return {
        "clang": comment is not None and b"clang version" in module.section_data(comment),
        "stripped": module.section(".symtab") is None,
        "debug": module.section(".debug_info") is not None,
        "bsymbolic": bool(module.dynamic().flags & DF_SYMBOLIC),
        "veneer": entry.value & 1 == 0 and module.code_at(entry.value, len(VENEER)) == VENEER,
    }


def test_the_matrix_holds_the_ways_a_supplier_builds() -> None:
    declared = {(ways[0], ways[1]) for _, _, ways in BUILDS}
    for compiler, levels in LEVELS.items():
        for level in levels:
            assert (compiler, level) in declared, f"no {compiler} {level} build"
    for way in WAYS:
        assert any(way in ways for _, _, ways in BUILDS), f"no build by {way}"
    # Each build is what it says, read from its file.
    shown = {name: facts(path) for name, path, _ in BUILDS}
    for name, _, ways in BUILDS:
        assert shown[name]["clang"] == (ways[0] == "clang"), f"{name}: compiler"
        for way in ("stripped", "debug", "bsymbolic"):
            assert shown[name][way] == (way in ways), f"{name}: {way} {shown[name][way]}"
    # The case a kit fitted to our own module refused: init_globals entered
    # through the linker's ARM-state veneer.
    assert any(seen["veneer"] for seen in shown.values()), "no build enters init_globals through a veneer"


@pytest.mark.boots("honest")
def test_no_honest_build_fails_a_clause(qualifications: Qualifications,
                                        capsys: pytest.CaptureFixture) -> None:
    run = qualifications.get("honest")
    assert run.status in (0, 1), f"the kit could not qualify (status {run.status}): {run.errors[-2000:]}"
    refused: Dict[str, List[str]] = {}
    for name, path, _ in BUILDS:
        suite = next((suite for suite in run.suites if suite.properties.get("module") == path), None)
        assert suite is not None, f"the report holds no testsuite for {name}"
        refusals = [f"{case.name} ({case.outcome}): {case.message}" for case in suite.cases if case.outcome != "pass"]
        if refusals:
            refused[name] = refusals
    with capsys.disabled():
        print(f"\nhonest builds qualified: {len(BUILDS) - len(refused)} of {len(BUILDS)}")
    assert not refused, "honest builds refused:\n" + "\n".join(
        f"{name}: {refusal}" for name, refusals in refused.items() for refusal in refusals)
    assert run.status == 0
