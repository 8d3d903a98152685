# SPDX-License-Identifier: Apache-2.0
"""check-self-tests: the bodies it takes for "return true" and "return 0" in
each instruction set, on programs compiled here, and every way it refuses
a program. (The samples with one fault each, built for every target, are
checked by ctest: self_test_footprint_rejects_*.)"""

import os
import shutil
import subprocess
from typing import List, Tuple

import pytest

from pellix import selftests

# Test functions the compiler decides, inlined into the main that runs them
# and kept out of line as well.
DECIDED = """
namespace kelvo {
bool testDecided() { return sizeof(int) >= 2; }
bool testAlsoDecided() { return true; }
}
int main() { return kelvo::testDecided() && kelvo::testAlsoDecided() ? 0 : 1; }
"""
# The same, with one test decided only at run time and a main that is not
# reduced: each must be named.
UNDECIDED = """
namespace kelvo {
__attribute__((noinline)) bool testDecided() { return true; }
__attribute__((noinline)) bool testAtRunTime(int n) { return n > 3; }
__attribute__((noinline)) bool testUndecided() { volatile int n = 1; return n == 1; }
}
int main(int argc, char**) { return kelvo::testDecided() && kelvo::testUndecided() && argc < 9 ? 0 : 1; }
"""


def compile_program(folder: str, name: str, source: str, compiler: str, *options: str) -> str:
    if shutil.which(compiler) is None:
        pytest.skip(f"{compiler} is not installed")
    path = os.path.join(folder, name)
    with open(path + ".cpp", "w") as handle:
        handle.write(source)
    subprocess.run([compiler, "-O2", "-fno-exceptions", "-o", path, path + ".cpp", *options], check=True)
    return path


def run(capsys: pytest.CaptureFixture[str], *argv: str) -> Tuple[int, List[str], str]:
    status = selftests.main(list(argv))
    captured = capsys.readouterr()
    return status, captured.out.splitlines(), captured.err


@pytest.mark.parametrize("compiler, options", [("g++", ()), ("clang++", ()), ("g++", ("-fcf-protection=full",)),
                                               ("arm-linux-gnueabi-g++", ("-march=armv5te", "-mthumb")),
                                               ("arm-linux-gnueabi-g++", ("-march=armv5te", "-marm"))],
                         ids=["gcc", "clang", "gcc-endbr", "thumb", "arm"])
def test_a_program_whose_tests_the_compiler_decided_passes(
        tmp_path: "os.PathLike[str]", capsys: pytest.CaptureFixture[str], compiler: str, options: Tuple[str]) -> None:
    program = compile_program(str(tmp_path), "decided", DECIDED, compiler, *options)
    status, lines, _ = run(capsys, "--reduced", program)
    assert 'pass  decided: kelvo::testDecided() is just "return true"' in lines
    assert 'pass  decided: main is just "return 0", so the compiler decided every test' in lines
    assert "figure: out_of_line_tests 2" in lines and "figure: std_symbols 0" in lines
    assert status == 0


def test_a_test_or_main_the_compiler_did_not_decide_is_named_with_its_code(
        tmp_path: "os.PathLike[str]", capsys: pytest.CaptureFixture[str]) -> None:
    program = compile_program(str(tmp_path), "undecided", UNDECIDED, "g++")
    status, lines, _ = run(capsys, "--reduced", program)
    failures = [line for line in lines if line.startswith("fail")]
    assert [line.split(": code ")[0] for line in failures] == [
        'fail  undecided: kelvo::testUndecided() is just "return true"',
        'fail  undecided: main is just "return 0", so the compiler decided every test']
    assert status == 1


def test_a_symbol_of_namespace_std_is_named(tmp_path: "os.PathLike[str]",
                                            capsys: pytest.CaptureFixture[str]) -> None:
    program = compile_program(str(tmp_path), "std", "#include <string>\nstd::string s;\n"
                              "int main(int argc, char** argv) { s = argv[0]; return s.size() > argc ? 0 : 1; }\n",
                              "g++")
    status, lines, _ = run(capsys, program)
    failure = next(line for line in lines if line.startswith("fail  std: no symbol of namespace std: "))
    assert "std::" in failure and "@GLIBCXX" not in failure
    assert status == 1
    assert run(capsys, "--allow-std", program)[0] == 0


def test_without_a_sized_main_the_main_check_fails(tmp_path: "os.PathLike[str]",
                                                   capsys: pytest.CaptureFixture[str]) -> None:
    program = compile_program(str(tmp_path), "nomain", "extern \"C\" void _start() { for (;;) {} }\n", "g++",
                              "-nostartfiles", "-static")
    status, lines, _ = run(capsys, "--reduced", program)
    assert 'fail  nomain: main is just "return 0": no sized symbol main' in lines
    assert "figure: out_of_line_tests 0" in lines
    assert status == 1


@pytest.mark.parametrize("arch, thumb, code, value", [
    ("x86", False, "b801000000c3", "true"), ("x86", False, "b001c3", "true"),
    ("x86", False, "f30f1efab801000000c3", "true"), ("x86", False, "f30f1efb31c0c3", "zero"),
    ("x86", False, "31c0c3", "zero"), ("x86", False, "b800000000c3", "zero"),
    ("arm", True, "01207047", "true"), ("arm", True, "00207047", "zero"),
    ("arm", False, "0100a0e31eff2fe1", "true"), ("arm", False, "0000b0e31eff2fe1", "zero")])
def test_each_idiom_of_returning_a_constant_is_taken(arch, thumb, code, value):
    assert selftests.returns(bytes.fromhex(code), "thumb" if thumb else arch, value)
    assert not selftests.returns(bytes.fromhex(code), "thumb" if thumb else arch, "zero" if value == "true" else "true")


@pytest.mark.parametrize("arch, thumb, code", [
    ("x86", False, "b801000000"), ("x86", False, "90b801000000c3"), ("x86", False, "b801000000c390"),
    ("x86", False, "f3c3"), ("x86", False, ""), ("arm", True, "0120"), ("arm", True, "01200047"),
    ("arm", False, "01207047"), ("arm", True, "0100a0e31eff2fe1")])
def test_any_other_code_is_no_constant(arch: str, thumb: bool, code: str) -> None:
    assert not selftests.returns(bytes.fromhex(code), "thumb" if thumb else arch, "true")


@pytest.mark.parametrize("name, std", [("std::size_t f()", True), ("f(std::string)", True),
                                       ("kelvo::std::x()", False), ("mystd::x()", False), ("_std::x", False)])
def test_only_names_of_the_top_namespace_std_count(name: str, std: bool) -> None:
    assert bool(selftests.STD.search(name)) == std


def test_a_program_it_cannot_read_exits_2(tmp_path: "os.PathLike[str]", capsys: pytest.CaptureFixture[str]) -> None:
    missing = os.path.join(tmp_path, "missing")
    assert run(capsys, missing)[::2] == (2, f"check-self-tests: no such program: {missing}\n")
    text = os.path.join(tmp_path, "text")
    with open(text, "w") as handle:
        handle.write("#!/bin/sh\n")
    assert run(capsys, text)[::2] == (2, f"check-self-tests: {text} is not an ELF file\n")
    assert run(capsys)[::2] == (2, selftests.USAGE + "\n")
    assert run(capsys, "--bogus", text)[::2] == (2, selftests.USAGE + "\n")
    assert run(capsys, "--nm", text)[::2] == (2, selftests.USAGE + "\n")


def test_a_stripped_program_or_one_of_another_machine_exits_2(
        tmp_path: "os.PathLike[str]", capsys: pytest.CaptureFixture[str]) -> None:
    program = compile_program(str(tmp_path), "decided", DECIDED, "g++")
    stripped = os.path.join(tmp_path, "stripped")
    subprocess.run(["strip", "-o", stripped, program], check=True)
    assert run(capsys, stripped)[::2] == \
        (2, f"check-self-tests: {stripped} has no symbol table: check the program as built, not stripped\n")
    other = os.path.join(tmp_path, "other")
    with open(program, "rb") as handle:
        data = bytearray(handle.read())
    data[18:20] = (2).to_bytes(2, "little")  # e_machine: SPARC
    with open(other, "wb") as handle:
        handle.write(data)
    assert run(capsys, other)[::2] == (2, f"check-self-tests: {other}: not x86-64, i386 or ARM code\n")


def test_without_a_demangler_it_cannot_check(tmp_path: "os.PathLike[str]", monkeypatch: pytest.MonkeyPatch,
                                             capsys: pytest.CaptureFixture[str]) -> None:
    program = compile_program(str(tmp_path), "decided", DECIDED, "g++")
    monkeypatch.setenv("PATH", str(tmp_path))
    status, _, error = run(capsys, program)
    assert (status, error) == (2, "check-self-tests: cannot run c++filt: No such file or directory\n")


# --- What the programs need and where they look for it.

LIBC_ONLY = "#include <stdio.h>\nint main(void) { puts(\"c\"); return 0; }\n"
WITH_RUNTIME = "struct B { virtual ~B() {} };\nint main() { B* b = new B; delete b; return 0; }\n"


def link(folder: str, name: str, source: str, *options: str) -> str:
    """A program built from SOURCE (C++ unless it names stdio.h) by the host's compilers."""
    compiler = "gcc" if "stdio.h" in source else "g++"
    if shutil.which(compiler) is None:
        pytest.skip(f"{compiler} is not installed")
    path = os.path.join(folder, name)
    suffix = ".c" if compiler == "gcc" else ".cpp"
    with open(path + suffix, "w") as handle:
        handle.write(source)
    subprocess.run([compiler, "-O2", "-o", path, path + suffix, *options], check=True)
    return path


@pytest.fixture(scope="module")
def references(tmp_path_factory: pytest.TempPathFactory) -> Tuple[str, str, str]:
    """The folder, a program that needs libc only and one that needs the language runtime too."""
    folder = str(tmp_path_factory.mktemp("linkage"))
    return (folder, link(folder, "libc", LIBC_ONLY, "-Wl,--as-needed"),
            link(folder, "runtime", WITH_RUNTIME, "-Wl,--as-needed"))


def needs(capsys: pytest.CaptureFixture[str], references: Tuple[str, str, str],
          program: str) -> Tuple[int, List[str], str]:
    return run(capsys, "--allow-std", "--libc-reference", references[1], "--runtime-reference", references[2],
               program)


def test_a_program_that_needs_libc_and_the_runtime_passes(
        references: Tuple[str, str, str], capsys: pytest.CaptureFixture[str]) -> None:
    status, lines, _ = needs(capsys, references, references[2])
    assert "pass  runtime: needs libc and nothing beyond the language runtime" in lines
    assert status == 0


def test_a_library_beyond_libc_and_the_runtime_fails(references: Tuple[str, str, str],
                                                     capsys: pytest.CaptureFixture[str]) -> None:
    # g++ links the maths library, which --no-as-needed keeps though nothing uses it.
    program = link(references[0], "extra", WITH_RUNTIME, "-Wl,--no-as-needed")
    status, lines, _ = needs(capsys, references, program)
    failure = next(line for line in lines if line.startswith("fail  extra: needs libc and nothing beyond"))
    assert "libm.so.6" in failure.split("; expected")[0]
    assert status == 1


def test_a_program_without_libc_fails(references: Tuple[str, str, str], capsys: pytest.CaptureFixture[str]) -> None:
    program = link(references[0], "static", "extern \"C\" void _start() { for (;;) {} }\n", "-nostartfiles",
                   "-static")
    status, lines, _ = needs(capsys, references, program)
    assert any(line.startswith("fail  static: needs libc and nothing beyond the language runtime: needs []")
               for line in lines)
    assert status == 1
    status, _, error = run(capsys, "--allow-std", "--libc-reference", program, "--runtime-reference", references[2],
                           references[2])
    assert (status, error) == (2, f"check-self-tests: {program} needs no library; cannot tell libc\n")


def test_one_reference_without_the_other_is_a_usage_error(references: Tuple[str, str, str],
                                                          capsys: pytest.CaptureFixture[str]) -> None:
    assert run(capsys, "--libc-reference", references[1], references[2])[::2] == (2, selftests.USAGE + "\n")


@pytest.mark.parametrize("options, passes", [
    (["-Wl,-rpath,$ORIGIN/../lib", "-Wl,--enable-new-dtags"], True),
    (["-Wl,-rpath,$ORIGIN/../lib", "-Wl,--disable-new-dtags"], False),
    (["-Wl,-rpath,$ORIGIN/../lib:/usr/local/lib", "-Wl,--enable-new-dtags"], False),
    ([], False)], ids=["runpath", "rpath", "more", "none"])
def test_only_a_runpath_of_exactly_the_path_passes(references: Tuple[str, str, str],
                                                   capsys: pytest.CaptureFixture[str],
                                                   options: List[str], passes: bool) -> None:
    program = link(references[0], "paths", LIBC_ONLY, *options)
    status, lines, _ = run(capsys, "--allow-std", "--runpath", "$ORIGIN/../lib", program)
    assert any(line.startswith(f"{'pass' if passes else 'fail'}  paths: looks for libraries in $ORIGIN/../lib alone")
               for line in lines)
    assert status == (0 if passes else 1)
