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
from elftools.elf.elffile import ELFFile

from pellix import report


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
    with open(path, "rb") as handle:
        elf = ELFFile(handle)
        comment = elf.get_section_by_name(".comment")
        dynamic = elf.get_section_by_name(".dynamic")
        flags = [tag.entry.d_tag for tag in dynamic.iter_tags()] if dynamic is not None else []
        flag_bits = sum(tag.entry.d_val for tag in dynamic.iter_tags() if tag.entry.d_tag == "DT_FLAGS") \
            if dynamic is not None else 0
        entry = next(symbol for symbol in elf.get_section_by_name(".dynsym").iter_symbols()
                     if symbol.name == "init_globals")
        address = entry["st_value"]
        code = b""
        for section in elf.iter_sections():
            start = section["sh_addr"]
            if section["sh_type"] == "SHT_PROGBITS" and start <= address < start + section["sh_size"]:
                code = section.data()[address - start:address - start + len(VENEER)]
        return {
            "clang": comment is not None and b"clang version" in comment.data(),
            "stripped": elf.get_section_by_name(".symtab") is None,
            "debug": elf.get_section_by_name(".debug_info") is not None,
            "bsymbolic": "DT_SYMBOLIC" in flags or bool(flag_bits & 0x2),
            "veneer": address & 1 == 0 and code == VENEER,
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
