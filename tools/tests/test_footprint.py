# SPDX-License-Identifier: Apache-2.0
"""check-footprint, on small modules compiled here for the target: each of
its checks passes on a lean module and fails where it must."""

import os
import subprocess

import pytest

from pellix import elf, footprint

STRIP = "arm-linux-gnueabi-strip"
LEAN = "__attribute__((visibility(\"default\"))) int level(int luma) { return luma * 3 / 7; }\n"
# Run-time double arithmetic, which on the soft-float target links in the
# compiler's helpers.
FLOATING = "__attribute__((visibility(\"default\"))) int level(int luma) { return (int)((double)luma / 5.666); }\n"
HELPERS = ["__aeabi_dadd", "__aeabi_fmul", "__aeabi_cdcmple", "__aeabi_i2d", "__aeabi_ul2f", "__adddf3",
           "__floatsidf", "__fixdfsi", "__fixunssfsi", "__extendsfdf2", "__muldc3", "___aeabi_d2iz"]
# Integer helpers and other names.
NOT_HELPERS = ["__aeabi_idiv", "__aeabi_uidivmod", "__aeabi_lmul", "__aeabi_i2dx", "__divsi3", "__udivmoddi4",
               "level", "__cxa_finalize", "__gmon_start__"]


@pytest.fixture(scope="module")
def modules(cross, tmp_path_factory):
    """A lean module, one with soft-float helpers, and the lean one stripped."""
    folder = str(tmp_path_factory.mktemp("footprint"))
    # Linked to 4 KiB pages as the armv5te toolchain links: a newer linker
    # pads a shared object to 64 KiB pages otherwise.
    options = ("-O2", "-fvisibility=hidden", "-static-libgcc", "-Wl,-z,max-page-size=4096",
               "-Wl,-z,common-page-size=4096")
    built = {name: cross.shared(folder, source, *options, name=name + ".so")
             for name, source in (("lean", LEAN), ("floating", FLOATING))}
    built["stripped"] = os.path.join(folder, "stripped.so")
    subprocess.run([STRIP, "-o", built["stripped"], built["lean"]], check=True)
    return built


def run(capsys, *argv):
    status = footprint.main(["--strip", STRIP, *argv])
    captured = capsys.readouterr()
    return status, captured.out.splitlines(), captured.err


def test_a_lean_module_passes_with_its_figures(modules, capsys):
    status, lines, _ = run(capsys, modules["lean"])
    text = elf.ElfFile(modules["lean"]).section(".text")
    assert text is not None
    assert f"figure: text_bytes {text.size}" in lines
    assert "figure: soft_float_symbols 0" in lines
    assert f"figure: stripped_bytes {os.path.getsize(modules['stripped'])}" in lines
    assert status == 0


@pytest.mark.parametrize("argv, module, line", [
    (["--text-limit", "8"], "lean", "fail  .text is {text} bytes (at most 8)"),
    (["--stripped-limit", "100"], "lean", "fail  stripped, the file is {stripped} bytes (at most 100)"),
    (["--strip", "false"], "lean", "fail  stripped, the file is at most 6144 bytes: false cannot strip {path}"),
    ([], "stripped", "fail  no soft-float helper defined or referenced: the file has no .symtab, so helpers linked "
                     "in statically cannot be seen; check an unstripped build")],
    ids=["text", "stripped", "cannot-strip", "no-symtab"])
def test_each_check_fails_over_its_limit_or_where_it_cannot_see(modules, capsys, argv, module, line):
    status, lines, _ = run(capsys, *argv, modules[module])
    text = elf.ElfFile(modules["lean"]).section(".text")
    assert text is not None
    assert line.format(text=text.size, stripped=os.path.getsize(modules["stripped"]), path=modules[module]) in lines
    assert status == 1


def test_soft_float_helpers_linked_in_are_named_and_expected_faults_turn_the_verdict(modules, capsys):
    status, lines, _ = run(capsys, modules["floating"])
    failure = next(line for line in lines if line.startswith("fail  no soft-float helper defined or referenced: "))
    assert "__aeabi_i2d" in failure.split() and "__aeabi_ddiv" in failure.split()
    assert status == 1
    limits = ("--text-limit", "1000000", "--stripped-limit", "1000000")
    assert run(capsys, "--expect-fail", "soft-float helper", *limits, modules["floating"])[0] == 0
    assert run(capsys, "--expect-fail", "soft-float helper", *limits, modules["lean"])[0] == 1


@pytest.mark.parametrize("name", HELPERS + NOT_HELPERS)
def test_every_kind_of_helper_name_is_known_and_no_other(name):
    assert bool(footprint.SOFT_FLOAT.search(name)) == (name in HELPERS)


def test_bad_input_is_refused_with_status_2(tmp_path, capsys):
    text = os.path.join(tmp_path, "text.so")
    with open(text, "w") as handle:
        handle.write("no ELF")
    assert run(capsys, os.path.join(tmp_path, "missing.so"))[::2] == \
        (2, f"check-footprint: no such file: {os.path.join(tmp_path, 'missing.so')}\n")
    assert run(capsys, text)[::2] == (2, f"check-footprint: {text} is not an ELF file\n")
    assert run(capsys, "--text-limit", "lots", text)[::2] == (2, footprint.USAGE + "\n")
    assert run(capsys)[::2] == (2, footprint.USAGE + "\n")
