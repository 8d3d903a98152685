# SPDX-License-Identifier: Apache-2.0
"""check-self-tests: a self-test program of the traits library as built (unstripped), x86-64, i386, Thumb
or ARM code. No symbol of namespace std is defined or referenced (unless --allow-std): the library's
templates leave nothing behind. With --reduced, every test function (kelvo::test*) left out of line is
exactly "return true" and main "return 0": main runs the tests and stops at the first that fails, so the
compiler decided every test. With --libc-reference C_PROGRAM and --runtime-reference CXX_PROGRAM, it
needs libc and nothing beyond it and the language runtime, libraries told by a C program linked the same
way and a C++ one. With --runpath, its RUNPATH is exactly PATH and it has no RPATH. Output, statuses and
--expect-fail as every checker's (pellix.verdict); --nm, --objdump and --readelf are taken, not needed."""

import os
import re
import subprocess
from typing import Dict, List, Sequence, TextIO, Tuple

from pellix import elf, verdict
from pellix.footprint import plain_name, stripped_size

USAGE = ("usage: check-self-tests [--expect-fail TEXT]... [--reduced] [--allow-std] [--nm TOOL] "
         "[--objdump TOOL] [--readelf TOOL] [--strip TOOL] "
         "[--libc-reference C_PROGRAM --runtime-reference CXX_PROGRAM] [--runpath PATH] PROGRAM")

# A name of namespace std, not of a namespace std nested in another.
STD = re.compile(r"(^|[^A-Za-z0-9_:])std::")
TEST_FUNCTION = re.compile(r"kelvo::test[A-Za-z0-9_]*\(\)")
MACHINES = {"EM_X86_64": "x86", "EM_386": "x86", "EM_ARM": "arm"}

# The whole code of a function that returns a constant and does nothing else, by instruction set: a move
# of true (from a bool function) or zero (from an int one) into the result register, then the return.
# A bool is returned in the lowest byte: GCC sets the whole register, Clang only that byte (mov $0x1,%al).
# Thumb: movs r0, #1 (or #0). ARM: mov or movs r0, #1 (or #0).
RETURN = {"x86": "c3", "thumb": "7047", "arm": "1eff2fe1"}
MOVES = {("x86", "true"): ("b801000000", "c7c001000000", "b001", "c6c001"),
         ("x86", "zero"): ("31c0", "33c0", "b800000000", "c7c000000000"),
         ("thumb", "true"): ("0120",), ("thumb", "zero"): ("0020",),
         ("arm", "true"): ("0100a0e3", "0100b0e3"), ("arm", "zero"): ("0000a0e3", "0000b0e3")}
# endbr64 and endbr32 open a function built for indirect branch tracking.
X86_LANDING = (bytes.fromhex("f30f1efa"), bytes.fromhex("f30f1efb"))


def returns(code: bytes, instructions: str, value: str) -> bool:
    """Whether CODE, in the INSTRUCTIONS set ("x86", "thumb" or "arm"), only returns VALUE ("true" or "zero")."""
    while instructions == "x86" and code[:4] in X86_LANDING:
        code = code[4:]
    return code.hex() in (move + RETURN[instructions] for move in MOVES[instructions, value])


def demangled(names: Sequence[str]) -> List[str]:
    """NAMES as C++ source names, by c++filt, in the same order."""
    try:
        done = subprocess.run(["c++filt"], input="".join(name + "\n" for name in names), capture_output=True,
                              text=True)
    except OSError as error:
        raise verdict.CannotCheck(f"cannot run c++filt: {error.strerror}") from None
    lines = done.stdout.splitlines()
    if done.returncode != 0 or len(lines) != len(names):
        raise verdict.CannotCheck("c++filt did not demangle the program's names")
    return lines


def _shown(code: bytes) -> str:
    return f"code {code.hex(' ')}" if code else "no code in the file"


def check_code(program: elf.ElfFile, name: str, source_names: Dict[str, str], arch: str,
               checks: verdict.Checks) -> None:
    """The checks of --reduced: every test function left out of line returns true, and main 0."""
    code_sections = {section.index for section in program.sections() if section.executable}
    symbols = sorted((symbol for symbol in program.symbols(".symtab") if symbol.size > 0
                      and symbol.section in code_sections and symbol.kind not in ("SECTION", "FILE")),
                     key=lambda symbol: symbol.name)
    tests = 0
    main = None
    for symbol in symbols:
        source_name = source_names[plain_name(symbol)]
        # An ARM symbol's lowest bit marks Thumb code.
        instructions = "thumb" if arch == "arm" and symbol.value & 1 else arch
        address = symbol.value & ~1 if arch == "arm" else symbol.value
        code = program.code_at(address, symbol.size) or b""
        if TEST_FUNCTION.fullmatch(source_name):
            tests += 1
            checks.check(f'{name}: {source_name} is just "return true"', returns(code, instructions, "true"),
                         _shown(code))
        elif source_name == "main" and main is None:
            main = code, instructions
    checks.figure("out_of_line_tests", tests)
    if main is None:
        checks.check(f'{name}: main is just "return 0"', False, "no sized symbol main")
    else:
        checks.check(f'{name}: main is just "return 0", so the compiler decided every test',
                     returns(main[0], main[1], "zero"), _shown(main[0]))


def check(program: elf.ElfFile, options: verdict.Options, out: TextIO) -> verdict.Checks:
    """The checks of OPTIONS on PROGRAM, printed on OUT."""
    path = program.path
    name = os.path.basename(path)
    machine = program.header().machine
    names = sorted({plain_name(symbol) for table in (".symtab", ".dynsym") for symbol in program.symbols(table)})
    if machine not in MACHINES:
        raise verdict.CannotCheck(f"{path}: not x86-64, i386 or ARM code")
    if program.section(".symtab") is None:
        raise verdict.CannotCheck(f"{path} has no symbol table: check the program as built, not stripped")
    source_names = dict(zip(names, demangled(names)))
    checks = verdict.Checks(options.expected, out)
    stripped = stripped_size(options.values.get("--strip", "strip"), path)
    if stripped is not None:
        checks.figure("stripped_bytes", stripped)
    text = program.section(".text")
    if text is not None:
        checks.figure("text_bytes", text.size)
    if "--allow-std" not in options.flags:
        std = sorted({source_name for source_name in source_names.values() if STD.search(source_name)})
        checks.figure("std_symbols", len(std))
        checks.check(f"{name}: no symbol of namespace std", not std, "".join(each + ";" for each in std[:5]))
    if "--reduced" in options.flags:
        check_code(program, name, source_names, MACHINES[machine], checks)
    if "--libc-reference" in options.values:
        libc = elf.ElfFile(options.values["--libc-reference"]).dynamic().needed
        if not libc:
            raise verdict.CannotCheck(f"{options.values['--libc-reference']} needs no library; cannot tell libc")
        allowed = elf.ElfFile(options.values["--runtime-reference"]).dynamic().needed
        needs = program.dynamic().needed
        checks.check(f"{name}: needs libc and nothing beyond the language runtime",
                     all(each in needs for each in libc) and all(each in allowed + libc for each in needs),
                     f"needs [{' '.join(needs)}]; expected libc [{' '.join(libc)}] and at most the language "
                     f"runtime [{' '.join(allowed)}]")
    if "--runpath" in options.values:
        dynamic = program.dynamic()
        checks.check(f"{name}: looks for libraries in {options.values['--runpath']} alone",
                     dynamic.runpath == options.values["--runpath"] and not dynamic.rpath,
                     f"RUNPATH [{dynamic.runpath or ''}] and RPATH [{dynamic.rpath or ''}]")
    return checks


def run(argv: Sequence[str], out: TextIO) -> Tuple[int, verdict.Checks]:
    """The checks of ARGV printed on OUT: the exit status and the checks made."""
    options = verdict.parse(list(argv), ["--nm", "--objdump", "--readelf", "--strip", "--libc-reference",
                                         "--runtime-reference", "--runpath"], ["--reduced", "--allow-std"], 1)
    if ("--libc-reference" in options.values) != ("--runtime-reference" in options.values):
        raise verdict.Usage("--libc-reference")
    path = options.positionals[0]
    if not os.path.isfile(path):
        raise verdict.CannotCheck(f"no such program: {path}")
    try:
        checks = check(elf.ElfFile(path), options, out)
    except elf.ElfError as error:
        raise verdict.CannotCheck(str(error)) from None
    return checks.verdict(path), checks


def main(argv: Sequence[str]) -> int:
    return verdict.main("check-self-tests", USAGE, run, argv)
