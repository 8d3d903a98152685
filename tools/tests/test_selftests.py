# SPDX-License-Identifier: Apache-2.0
"""check-self-tests: the bodies it takes for "return true" and "return 0" in
each instruction set, on programs compiled here, what the programs need and
where they look for it, and every way it refuses a program. (The samples with
one fault each, built for every target, are checked by ctest:
self_test_footprint_rejects_*.)"""

import dataclasses
import os
import re
import shutil
import subprocess

import pytest

from pellix import elf, selftests

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
USES_STD = "#include <string>\nstd::string s;\n" \
    "int main(int argc, char** argv) { s = argv[0]; return s.size() > argc ? 0 : 1; }\n"
NO_MAIN = "extern \"C\" void _start() { for (;;) {} }\n"
LIBC_ONLY = "#include <stdio.h>\nint main(void) { puts(\"c\"); return 0; }\n"
WITH_RUNTIME = "struct B { virtual ~B() {} };\nint main() { B* b = new B; delete b; return 0; }\n"


def build(folder, name, source, compiler="g++", *options):
    """FOLDER/NAME built from SOURCE by COMPILER (C for gcc, C++ for the others)."""
    if shutil.which(compiler) is None:
        pytest.skip(f"{compiler} is not installed")
    path = os.path.join(folder, name)
    suffix = ".c" if compiler == "gcc" else ".cpp"
    with open(path + suffix, "w") as handle:
        handle.write(source)
    subprocess.run([compiler, "-O2", "-fno-exceptions", "-o", path, path + suffix, *options], check=True)
    return path


def run(capsys, *argv):
    status = selftests.main(list(argv))
    captured = capsys.readouterr()
    return status, captured.out.splitlines(), captured.err


@pytest.mark.parametrize("compiler, options", [("g++", ()), ("clang++", ()), ("g++", ("-fcf-protection=full",)),
                                               ("arm-linux-gnueabi-g++", ("-march=armv5te", "-mthumb")),
                                               ("arm-linux-gnueabi-g++", ("-march=armv5te", "-marm"))],
                         ids=["gcc", "clang", "gcc-endbr", "thumb", "arm"])
def test_a_program_whose_tests_the_compiler_decided_passes(tmp_path, capsys, compiler, options):
    program = build(str(tmp_path), "decided", DECIDED, compiler, *options)
    status, lines, _ = run(capsys, "--reduced", program)
    assert 'pass  decided: kelvo::testDecided() is just "return true"' in lines
    assert 'pass  decided: main is just "return 0", so the compiler decided every test' in lines
    assert "figure: out_of_line_tests 2" in lines and "figure: std_symbols 0" in lines
    assert status == 0


def test_a_test_or_main_the_compiler_did_not_decide_or_a_missing_main_fails(tmp_path, capsys):
    status, lines, _ = run(capsys, "--reduced", build(str(tmp_path), "undecided", UNDECIDED))
    failures = [line for line in lines if line.startswith("fail")]
    assert [line.split(": code ")[0] for line in failures] == [
        'fail  undecided: kelvo::testUndecided() is just "return true"',
        'fail  undecided: main is just "return 0", so the compiler decided every test']
    assert status == 1
    status, lines, _ = run(capsys, "--reduced", build(str(tmp_path), "nomain", NO_MAIN, "g++", "-nostartfiles",
                                                      "-static"))
    assert 'fail  nomain: main is just "return 0": no sized symbol main' in lines
    assert "figure: out_of_line_tests 0" in lines
    assert status == 1


def test_a_symbol_of_namespace_std_is_named(tmp_path, capsys):
    program = build(str(tmp_path), "std", USES_STD)
    status, lines, _ = run(capsys, program)
    failure = next(line for line in lines if line.startswith("fail  std: no symbol of namespace std: "))
    assert "std::" in failure and "@GLIBCXX" not in failure
    assert status == 1
    assert run(capsys, "--allow-std", program)[0] == 0


@pytest.mark.parametrize("instructions, code, value", [
    ("x86", "b801000000c3", "true"), ("x86", "b001c3", "true"), ("x86", "f30f1efab801000000c3", "true"),
    ("x86", "f30f1efb31c0c3", "zero"), ("x86", "31c0c3", "zero"), ("x86", "b800000000c3", "zero"),
    ("thumb", "01207047", "true"), ("thumb", "00207047", "zero"),
    ("arm", "0100a0e31eff2fe1", "true"), ("arm", "0000b0e31eff2fe1", "zero"),
    # Any other code returns no constant.
    ("x86", "b801000000", None), ("x86", "90b801000000c3", None), ("x86", "b801000000c390", None),
    ("x86", "f3c3", None), ("x86", "", None), ("thumb", "0120", None), ("thumb", "01200047", None),
    ("arm", "01207047", None), ("thumb", "0100a0e31eff2fe1", None)])
def test_each_idiom_of_returning_a_constant_is_taken_and_nothing_else(instructions, code, value):
    for constant in ("true", "zero"):
        assert selftests.returns(bytes.fromhex(code), instructions, constant) == (constant == value)


@pytest.mark.parametrize("name, std", [("std::size_t f()", True), ("f(std::string)", True),
                                       ("kelvo::std::x()", False), ("mystd::x()", False), ("_std::x", False)])
def test_only_names_of_the_top_namespace_std_count(name, std):
    assert bool(selftests.STD.search(name)) == std


@pytest.fixture(scope="module")
def references(tmp_path_factory):
    """The folder, a program that needs libc only and one that needs the language runtime too."""
    folder = str(tmp_path_factory.mktemp("linkage"))
    return (folder, build(folder, "libc", LIBC_ONLY, "gcc", "-Wl,--as-needed"),
            build(folder, "runtime", WITH_RUNTIME, "g++", "-Wl,--as-needed"))


@pytest.mark.parametrize("name, source, options, line, status", [
    ("uses-runtime", WITH_RUNTIME, ["-Wl,--as-needed"],
     r"pass  uses-runtime: needs libc and nothing beyond the language runtime$", 0),
    # g++ links the maths library, which --no-as-needed keeps though nothing uses it.
    ("extra", WITH_RUNTIME, ["-Wl,--no-as-needed"], r"fail  extra: needs libc and nothing beyond [^;]*libm\.so\.6", 1),
    ("static", NO_MAIN, ["-nostartfiles", "-static"],
     r"fail  static: needs libc and nothing beyond the language runtime: needs \[\]", 1)])
def test_a_program_needs_libc_and_nothing_beyond_the_runtime(references, capsys, name, source, options, line,
                                                             status):
    program = build(references[0], name, source, "g++", *options)
    result = run(capsys, "--allow-std", "--libc-reference", references[1], "--runtime-reference", references[2],
                 program)
    assert [each for each in result[1] if re.match(line, each)] != []
    assert result[0] == status


def test_what_it_cannot_read_or_take_exits_2(references, tmp_path, monkeypatch, capsys):
    program = build(str(tmp_path), "decided", DECIDED)
    missing, text, stripped, other = (os.path.join(tmp_path, name) for name in ("missing", "text", "stripped", "other"))
    with open(text, "w") as handle:
        handle.write("#!/bin/sh\n")
    subprocess.run(["strip", "-o", stripped, program], check=True)
    with open(program, "rb") as handle:
        data = bytearray(handle.read())
    data[18:20] = (2).to_bytes(2, "little")  # e_machine: SPARC
    with open(other, "wb") as handle:
        handle.write(data)
    static = build(references[0], "static", NO_MAIN, "g++", "-nostartfiles", "-static")
    for argv, error in [
            ([missing], f"no such program: {missing}"), ([text], f"{text} is not an ELF file"),
            ([stripped], f"{stripped} has no symbol table: check the program as built, not stripped"),
            ([other], f"{other}: not x86-64, i386 or ARM code"),
            (["--allow-std", "--libc-reference", static, "--runtime-reference", references[2], references[2]],
             f"{static} needs no library; cannot tell libc")]:
        assert run(capsys, *argv)[::2] == (2, f"check-self-tests: {error}\n")
    for argv in ([], ["--bogus", text], ["--nm", text], ["--libc-reference", references[1], references[2]]):
        assert run(capsys, *argv)[::2] == (2, selftests.USAGE + "\n")
    monkeypatch.setenv("PATH", str(tmp_path))
    assert run(capsys, program)[::2] == (2, "check-self-tests: cannot run c++filt: No such file or directory\n")
    with open(os.path.join(tmp_path, "c++filt"), "w") as handle:
        handle.write("#!/bin/sh\nexit 1\n")
    os.chmod(os.path.join(tmp_path, "c++filt"), 0o755)
    assert run(capsys, program)[::2] == (2, "check-self-tests: c++filt did not demangle the program's names\n")


@pytest.mark.parametrize("options, passes", [
    (["-Wl,-rpath,$ORIGIN/../lib", "-Wl,--enable-new-dtags"], True),
    (["-Wl,-rpath,$ORIGIN/../lib", "-Wl,--disable-new-dtags"], False),
    (["-Wl,-rpath,$ORIGIN/../lib:/usr/local/lib", "-Wl,--enable-new-dtags"], False),
    ([], False)], ids=["runpath", "rpath", "more", "none"])
def test_only_a_runpath_of_exactly_the_path_passes(references, capsys, options, passes):
    program = build(references[0], "paths", LIBC_ONLY, "gcc", *options)
    status, lines, _ = run(capsys, "--allow-std", "--runpath", "$ORIGIN/../lib", program)
    assert any(line.startswith(f"{'pass' if passes else 'fail'}  paths: looks for libraries in $ORIGIN/../lib alone")
               for line in lines)
    assert status == (0 if passes else 1)


def test_an_rpath_beside_the_runpath_fails(references, capsys, monkeypatch):
    # Older linkers wrote both; today's write one, so the reader is made to see an RPATH beside the RUNPATH.
    program = build(references[0], "both", LIBC_ONLY, "gcc", "-Wl,-rpath,$ORIGIN/../lib", "-Wl,--enable-new-dtags")
    read = elf.ElfFile.dynamic

    def with_rpath(self):
        return dataclasses.replace(read(self), rpath="/usr/lib")
    monkeypatch.setattr(elf.ElfFile, "dynamic", with_rpath)
    status, lines, _ = run(capsys, "--allow-std", "--runpath", "$ORIGIN/../lib", program)
    assert "fail  both: looks for libraries in $ORIGIN/../lib alone: RUNPATH [$ORIGIN/../lib] and RPATH [/usr/lib]" \
        in lines
    assert status == 1
