# SPDX-License-Identifier: Apache-2.0
"""check-self-tests [--expect-fail TEXT]... [--reduced] [--allow-std] [--nm TOOL]
                 [--objdump TOOL] [--readelf TOOL] [--strip TOOL]
                 [--libc-reference C_PROGRAM --runtime-reference CXX_PROGRAM]
                 [--runpath PATH] PROGRAM

Checks a self-test program of the traits library as built (unstripped),
printing each check with "pass" or "fail" and the figures as
"figure: NAME VALUE":
  - no symbol of namespace std, in the full symbol table or the dynamic
    one, defined or referenced: the library's templates leave nothing
    behind in the program (--allow-std skips this check);
  - with --reduced, every test function (kelvo::test*) left out of line is
    exactly "return true";
  - with --reduced, main is exactly "return 0". Since main runs every test
    and stops at the first that fails, a main reduced to "return 0" means
    the compiler decided every test, inlined or not;
  - with --libc-reference and --runtime-reference, the program needs libc
    and nothing beyond libc and the C++ language runtime. Which libraries
    those are comes from two programs linked the same way: C_PROGRAM, a C
    program that needs libc only, and CXX_PROGRAM, which needs the runtime
    as well;
  - with --runpath, the program looks for libraries in PATH and nowhere
    else: its RUNPATH is exactly PATH, and it has no RPATH.
Reads x86-64, i386, Thumb and ARM code, in the encodings GCC and Clang give
those bodies.

Exits 1 if a check fails, 2 when it cannot check at all (PROGRAM missing
included).

--expect-fail turns the verdict round, for a sample with known faults: it
exits 0 only when the checks that fail are exactly those whose description
contains one of the TEXTs given, each TEXT in at least one.

The program is read by pellix.elf and its code compared as bytes; names are
demangled by c++filt. --nm, --objdump and --readelf are still taken, and
not needed.
"""

import os
import re
import subprocess
from typing import FrozenSet, List, Optional, Sequence, TextIO, Tuple

from pellix import elf, verdict
from pellix.footprint import plain_name, stripped_size

USAGE = ("usage: check-self-tests [--expect-fail TEXT]... [--reduced] [--allow-std] [--nm TOOL] "
         "[--objdump TOOL] [--readelf TOOL] [--strip TOOL] "
         "[--libc-reference C_PROGRAM --runtime-reference CXX_PROGRAM] [--runpath PATH] PROGRAM")

# A name of namespace std, not of a namespace std nested in another.
STD = re.compile(r"(^|[^A-Za-z0-9_:])std::")
TEST_FUNCTION = re.compile(r"kelvo::test[A-Za-z0-9_]*\(\)")

# The whole code of a function that returns a constant and does nothing
# else: true from one returning bool, 0 from one returning int. A bool is
# returned in the lowest byte of the register: GCC sets the whole register,
# Clang only that byte (mov $0x1,%al). An int needs it all.
_RET = bytes.fromhex("c3")
X86_TRUE = frozenset(bytes.fromhex(move) + _RET for move in ("b801000000", "c7c001000000", "b001", "c6c001"))
X86_ZERO = frozenset(bytes.fromhex(move) + _RET for move in ("31c0", "33c0", "b800000000", "c7c000000000"))
# endbr64 and endbr32 open a function built for indirect branch tracking.
X86_LANDING = (bytes.fromhex("f30f1efa"), bytes.fromhex("f30f1efb"))
# Thumb: movs r0, #1 (or #0); bx lr. ARM: mov or movs r0, #1 (or #0); bx lr.
THUMB_TRUE = frozenset({bytes.fromhex("01207047")})
THUMB_ZERO = frozenset({bytes.fromhex("00207047")})
ARM_TRUE = frozenset(bytes.fromhex(move) + bytes.fromhex("1eff2fe1") for move in ("0100a0e3", "0100b0e3"))
ARM_ZERO = frozenset(bytes.fromhex(move) + bytes.fromhex("1eff2fe1") for move in ("0000a0e3", "0000b0e3"))
MACHINES = {"EM_X86_64": "x86", "EM_386": "x86", "EM_ARM": "arm"}


def demangled(names: Sequence[str]) -> List[str]:
    """NAMES as C++ source names, by c++filt, in the same order."""
    if not names:
        return []
    try:
        done = subprocess.run(["c++filt"], input="\n".join(names) + "\n", capture_output=True, text=True)
    except OSError as error:
        raise verdict.CannotCheck(f"cannot run c++filt: {error.strerror}") from None
    lines = done.stdout.splitlines()
    if done.returncode != 0 or len(lines) != len(names):
        raise verdict.CannotCheck("c++filt did not demangle the program's names")
    return lines


def bodies(arch: str, thumb: bool, value: str) -> FrozenSet[bytes]:
    """The codes of a function that returns VALUE ("true" or "zero")."""
    if arch == "x86":
        return X86_TRUE if value == "true" else X86_ZERO
    if thumb:
        return THUMB_TRUE if value == "true" else THUMB_ZERO
    return ARM_TRUE if value == "true" else ARM_ZERO


def returns(code: bytes, arch: str, thumb: bool, value: str) -> bool:
    """Whether CODE only returns VALUE ("true" or "zero")."""
    if arch == "x86":
        while code[:4] in X86_LANDING:
            code = code[4:]
    return code in bodies(arch, thumb, value)


class Program:
    """A self-test program as the checks see it."""

    def __init__(self, path: str) -> None:
        self.path = path
        self.name = os.path.basename(path)
        try:
            self.file = elf.ElfFile(path)
            machine = self.file.header().machine
            self.has_symtab = self.file.section(".symtab") is not None
            text = self.file.section(".text")
            self.text_bytes = text.size if text else None
            self.symbols = self.file.symbols(".symtab") + self.file.symbols(".dynsym")
        except elf.ElfError as error:
            raise verdict.CannotCheck(str(error)) from None
        if machine not in MACHINES:
            raise verdict.CannotCheck(f"{path}: not x86-64, i386 or ARM code")
        self.arch = MACHINES[machine]
        if not self.has_symtab:
            raise verdict.CannotCheck(f"{path} has no symbol table: check the program as built, not stripped")
        names = sorted({plain_name(symbol) for symbol in self.symbols})
        self.names = dict(zip(names, demangled(names)))

    def std_symbols(self) -> List[str]:
        """The names of namespace std the program defines or references, sorted."""
        return sorted({name for name in self.names.values() if STD.search(name)})

    def functions(self) -> List[Tuple[str, elf.Symbol]]:
        """(source name, symbol) of each sized symbol of the full table in code, in the order of
        their symbol names."""
        code = {section.index for section in self.file.sections() if section.executable}
        found = [(self.names[plain_name(symbol)], symbol) for symbol in self.symbols
                 if symbol.table == ".symtab" and symbol.size > 0 and symbol.section in code
                 and symbol.kind not in ("SECTION", "FILE")]
        return sorted(found, key=lambda pair: pair[1].name)

    def code(self, symbol: elf.Symbol) -> Tuple[bytes, bool]:
        """The code of SYMBOL's function and whether it is Thumb code."""
        thumb = self.arch == "arm" and bool(symbol.value & 1)
        address = symbol.value & ~1 if self.arch == "arm" else symbol.value
        return self.file.code_at(address, symbol.size) or b"", thumb


def needed(path: str) -> List[str]:
    """The libraries PATH needs, in order."""
    try:
        return elf.ElfFile(path).dynamic().needed
    except elf.ElfError as error:
        raise verdict.CannotCheck(str(error)) from None


def check_needs(program: Program, checks: verdict.Checks, libc_reference: str, runtime_reference: str) -> None:
    """PROGRAM needs libc, and nothing beyond libc and the language runtime."""
    libc = needed(libc_reference)
    if not libc:
        raise verdict.CannotCheck(f"{libc_reference} needs no library; cannot tell libc")
    allowed = needed(runtime_reference)
    needs = program.file.dynamic().needed
    missing = [name for name in libc if name not in needs]
    extra = [name for name in needs if name not in allowed and name not in libc]
    checks.check(f"{program.name}: needs libc and nothing beyond the language runtime", not missing and not extra,
                 f"needs [{' '.join(needs)}]; expected libc [{' '.join(libc)}] and at most the language runtime "
                 f"[{' '.join(allowed)}]")


def check_runpath(program: Program, checks: verdict.Checks, path: str) -> None:
    """PROGRAM looks for libraries in PATH and nowhere else."""
    dynamic = program.file.dynamic()
    checks.check(f"{program.name}: looks for libraries in {path} alone", dynamic.runpath == path and not dynamic.rpath,
                 f"RUNPATH [{dynamic.runpath or ''}] and RPATH [{dynamic.rpath or ''}]")


def _shown(code: bytes) -> str:
    return f"code {code.hex(' ')}" if code else "no code in the file"


def check(program: Program, checks: verdict.Checks, reduced: bool, allow_std: bool,
          strip: Optional[str]) -> None:
    """Prints PROGRAM's figures and makes its checks."""
    stripped = stripped_size(strip, program.path) if strip else None
    if stripped is not None:
        checks.figure("stripped_bytes", stripped)
    if program.text_bytes is not None:
        checks.figure("text_bytes", program.text_bytes)
    if not allow_std:
        std = program.std_symbols()
        checks.figure("std_symbols", len(std))
        checks.check(f"{program.name}: no symbol of namespace std", not std, "".join(name + ";" for name in std[:5]))
    if not reduced:
        return
    functions = program.functions()
    tests = 0
    for name, symbol in functions:
        if not TEST_FUNCTION.fullmatch(name):
            continue
        tests += 1
        code, thumb = program.code(symbol)
        checks.check(f'{program.name}: {name} is just "return true"', returns(code, program.arch, thumb, "true"),
                     _shown(code))
    checks.figure("out_of_line_tests", tests)
    main = next((symbol for name, symbol in functions if name == "main"), None)
    if main is not None:
        code, thumb = program.code(main)
        checks.check(f'{program.name}: main is just "return 0", so the compiler decided every test',
                     returns(code, program.arch, thumb, "zero"), _shown(code))
    else:
        checks.check(f'{program.name}: main is just "return 0"', False, "no sized symbol main")


def run(argv: Sequence[str], out: TextIO) -> Tuple[int, verdict.Checks]:
    """The checks of ARGV printed on OUT: the exit status and the checks made."""
    options = verdict.parse(list(argv), ["--nm", "--objdump", "--readelf", "--strip", "--libc-reference",
                                         "--runtime-reference", "--runpath"], ["--reduced", "--allow-std"], 1)
    references = [options.values.get(name) for name in ("--libc-reference", "--runtime-reference")]
    if (references[0] is None) != (references[1] is None):
        raise verdict.Usage("--libc-reference")
    path = options.positionals[0]
    if not os.path.isfile(path):
        raise verdict.CannotCheck(f"no such program: {path}")
    program = Program(path)
    checks = verdict.Checks(options.expected, out)
    check(program, checks, "--reduced" in options.flags, "--allow-std" in options.flags,
          options.values.get("--strip", "strip"))
    try:
        if references[0] is not None and references[1] is not None:
            check_needs(program, checks, references[0], references[1])
        if "--runpath" in options.values:
            check_runpath(program, checks, options.values["--runpath"])
    except elf.ElfError as error:
        raise verdict.CannotCheck(str(error)) from None
    return checks.verdict(path), checks


def main(argv: Sequence[str]) -> int:
    return verdict.main("check-self-tests", USAGE, run, argv)
