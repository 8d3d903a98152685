# SPDX-License-Identifier: Apache-2.0
"""check-footprint, on small modules compiled here for the target: each of
its checks passes on a lean module and fails where it must."""

import os
import shutil
import subprocess
from typing import List, Tuple

import pytest

from pellix import elf, footprint

CC = "arm-linux-gnueabi-gcc"
STRIP = "arm-linux-gnueabi-strip"
LEAN = "__attribute__((visibility(\"default\"))) int level(int luma) { return luma * 3 / 7; }\n"
# Run-time double arithmetic, which on the soft-float target links in the
# compiler's helpers.
FLOATING = "__attribute__((visibility(\"default\"))) int level(int luma) { return (int)((double)luma / 5.666); }\n"


def build(folder: str, name: str, source: str) -> str:
    if shutil.which(CC) is None:
        pytest.skip(f"{CC} is not installed")
    path = os.path.join(folder, name)
    with open(path + ".c", "w") as handle:
        handle.write(source)
    subprocess.run([CC, "-march=armv5te", "-mthumb", "-mfloat-abi=soft", "-O2", "-fPIC", "-shared",
                    "-fvisibility=hidden", "-static-libgcc", "-o", path, path + ".c"], check=True)
    return path


@pytest.fixture(scope="module")
def modules(tmp_path_factory: pytest.TempPathFactory) -> Tuple[str, str, str]:
    """A lean module, one with soft-float helpers, and the lean one stripped."""
    folder = str(tmp_path_factory.mktemp("footprint"))
    lean = build(folder, "lean.so", LEAN)
    stripped = os.path.join(folder, "stripped.so")
    subprocess.run([STRIP, "-o", stripped, lean], check=True)
    return lean, build(folder, "floating.so", FLOATING), stripped


def run(capsys: pytest.CaptureFixture[str], *argv: str) -> Tuple[int, List[str], str]:
    status = footprint.main(["--strip", STRIP, *argv])
    captured = capsys.readouterr()
    return status, captured.out.splitlines(), captured.err


def test_a_lean_module_passes_with_its_figures(modules: Tuple[str, str, str],
                                               capsys: pytest.CaptureFixture[str]) -> None:
    status, lines, _ = run(capsys, modules[0])
    text = elf.ElfFile(modules[0]).section(".text")
    assert text is not None
    assert f"figure: text_bytes {text.size}" in lines
    assert "figure: soft_float_symbols 0" in lines
    assert f"figure: stripped_bytes {os.path.getsize(modules[2])}" in lines
    assert status == 0


def test_soft_float_helpers_linked_in_are_named(modules: Tuple[str, str, str],
                                                capsys: pytest.CaptureFixture[str]) -> None:
    status, lines, _ = run(capsys, modules[1])
    failure = next(line for line in lines if line.startswith("fail  no soft-float helper defined or referenced: "))
    assert "__aeabi_i2d" in failure.split() and "__aeabi_ddiv" in failure.split()
    assert status == 1


def test_a_text_section_over_its_limit_fails(modules: Tuple[str, str, str],
                                             capsys: pytest.CaptureFixture[str]) -> None:
    status, lines, _ = run(capsys, "--text-limit", "8", modules[0])
    assert any(line.startswith("fail  .text is ") and line.endswith(" bytes (at most 8)") for line in lines)
    assert status == 1


def test_a_stripped_size_over_its_limit_fails(modules: Tuple[str, str, str],
                                              capsys: pytest.CaptureFixture[str]) -> None:
    status, lines, _ = run(capsys, "--stripped-limit", "100", modules[0])
    assert f"fail  stripped, the file is {os.path.getsize(modules[2])} bytes (at most 100)" in lines
    assert status == 1


def test_a_file_that_cannot_be_stripped_fails_the_size_check(
        modules: Tuple[str, str, str], capsys: pytest.CaptureFixture[str]) -> None:
    status, lines, _ = run(capsys, "--strip", "false", modules[0])
    assert f"fail  stripped, the file is at most 6144 bytes: false cannot strip {modules[0]}" in lines
    assert status == 1


def test_a_module_without_its_full_symbol_table_cannot_pass_the_helper_check(
        modules: Tuple[str, str, str], capsys: pytest.CaptureFixture[str]) -> None:
    status, lines, _ = run(capsys, modules[2])
    assert "fail  no soft-float helper defined or referenced: the file has no .symtab, so helpers linked in " \
           "statically cannot be seen; check an unstripped build" in lines
    assert status == 1


def test_expected_faults_turn_the_verdict(modules: Tuple[str, str, str],
                                          capsys: pytest.CaptureFixture[str]) -> None:
    limits = ("--text-limit", "1000000", "--stripped-limit", "1000000")
    assert run(capsys, "--expect-fail", "soft-float helper", *limits, modules[1])[0] == 0
    assert run(capsys, "--expect-fail", "soft-float helper", *limits, modules[0])[0] == 1


@pytest.mark.parametrize("name", ["__aeabi_dadd", "__aeabi_fmul", "__aeabi_cdcmple", "__aeabi_i2d", "__aeabi_ul2f",
                                  "__adddf3", "__floatsidf", "__fixdfsi", "__fixunssfsi", "__extendsfdf2",
                                  "__muldc3", "___aeabi_d2iz"])
def test_every_kind_of_helper_name_is_known(name: str) -> None:
    assert footprint.SOFT_FLOAT.search(name)


@pytest.mark.parametrize("name", ["__aeabi_idiv", "__aeabi_uidivmod", "__aeabi_lmul", "__aeabi_i2dx", "__divsi3",
                                  "__udivmoddi4", "level", "__cxa_finalize", "__gmon_start__"])
def test_integer_helpers_and_other_names_are_no_soft_float_helpers(name: str) -> None:
    assert not footprint.SOFT_FLOAT.search(name)


def test_bad_input_is_refused_with_status_2(tmp_path: "os.PathLike[str]",
                                            capsys: pytest.CaptureFixture[str]) -> None:
    text = os.path.join(tmp_path, "text.so")
    with open(text, "w") as handle:
        handle.write("no ELF")
    assert run(capsys, os.path.join(tmp_path, "missing.so"))[::2] == \
        (2, f"check-footprint: no such file: {os.path.join(tmp_path, 'missing.so')}\n")
    assert run(capsys, text)[::2] == (2, f"check-footprint: {text} is not an ELF file\n")
    assert run(capsys, "--text-limit", "lots", text)[::2] == (2, footprint.USAGE + "\n")
    assert run(capsys)[::2] == (2, footprint.USAGE + "\n")
