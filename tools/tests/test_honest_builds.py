# SPDX-License-Identifier: Apache-2.0
"""No honest build fails a clause: the plain module
(checks/samples/plain_module.c), built the ways a supplier builds it
(conformance/tests/honest_builds.cmake lists them in honest-builds.tsv),
qualified by the installed kit, every build in one boot."""

import os
import struct
import subprocess
from typing import Dict, List, NamedTuple

import pytest
from pellix import elf, report


class Build(NamedTuple):
    name: str
    path: str
    ways: List[str]


# What the matrix must hold at least: each compiler at these optimisation
# levels, and each other way by some build.
LEVELS = {"gcc": ["-O0", "-O2", "-Os", "-O3"], "clang": ["-O0", "-O2", "-Os"]}
WAYS = ["version-script", "visibility", "bsymbolic", "stripped", "debug"]

# The linker's ARM-state interworking veneer: ldr ip, [pc, #4];
# add ip, ip, pc; bx ip (the offset to the Thumb body follows).
VENEER = struct.pack("<3I", 0xE59FC004, 0xE08CC00F, 0xE12FFF1C)
DF_SYMBOLIC = 0x2


@pytest.fixture(scope="module")
def honest_builds(top: str) -> List[Build]:
    listing = os.path.join(top, "build", "armv5te", "conformance", "tests", "honest-builds.tsv")
    if not os.path.isfile(listing):
        pytest.skip("the honest builds are not built: build the armv5te configuration")
    with open(listing, encoding="utf-8") as lines:
        builds = [Build(name, path, ways.split())
                  for name, path, ways in (line.rstrip("\n").split("\t") for line in lines if line.strip())]
    unbuilt = [build.name for build in builds if not os.path.isfile(build.path)]
    if unbuilt:
        pytest.skip(f"honest builds not built yet: {' '.join(unbuilt)}")
    return builds


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


def test_the_matrix_holds_the_ways_a_supplier_builds(honest_builds: List[Build]) -> None:
    declared = {(build.ways[0], build.ways[1]) for build in honest_builds}
    for compiler, levels in LEVELS.items():
        for level in levels:
            assert (compiler, level) in declared, f"no {compiler} {level} build"
    for way in WAYS:
        assert any(way in build.ways for build in honest_builds), f"no build by {way}"
    # Each build is what it says, read from its file.
    shown = {build.name: facts(build.path) for build in honest_builds}
    for build in honest_builds:
        seen = shown[build.name]
        assert seen["clang"] == (build.ways[0] == "clang"), f"{build.name}: compiler"
        for way in ("stripped", "debug", "bsymbolic"):
            assert seen[way] == (way in build.ways), f"{build.name}: {way} {seen[way]}"
    # The case a kit fitted to our own module refused: init_globals entered
    # through the linker's ARM-state veneer.
    assert any(seen["veneer"] for seen in shown.values()), "no build enters init_globals through a veneer"


def test_no_honest_build_fails_a_clause(armv5te_out: str, honest_builds: List[Build], tmp_path: str,
                                        capsys: pytest.CaptureFixture) -> None:
    kit = os.path.join(armv5te_out, "bin", "lights-conformance")
    junit = os.path.join(str(tmp_path), "honest.xml")
    run = subprocess.run([kit, "--keep-going", "--junit", junit] + [build.path for build in honest_builds],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=False)
    assert run.returncode in (0, 1), \
        f"the kit could not qualify (status {run.returncode}): {run.stderr.decode(errors='replace')[-2000:]}"
    suites = {suite.properties.get("module"): suite for suite in report.read(junit)}
    refused = {}
    for build in honest_builds:
        suite = suites.get(build.path)
        assert suite is not None, f"the report holds no testsuite for {build.name}"
        refusals = [f"{case.name} ({case.outcome}): {case.message}" for case in suite.cases if case.outcome != "pass"]
        if refusals:
            refused[build.name] = refusals
    with capsys.disabled():
        print(f"\nhonest builds qualified: {len(honest_builds) - len(refused)} of {len(honest_builds)}")
    assert not refused, "honest builds refused:\n" + "\n".join(
        f"{name}: {refusal}" for name, refusals in refused.items() for refusal in refusals)
    assert run.returncode == 0
