# SPDX-License-Identifier: Apache-2.0
"""The binary facts of a lights module: each check abi-check makes of the
module's file against the interface the platform's loader expects and what
a process hosting it relies on, and the module's identity.

Every check has a stable id (the kit maps its clauses to ids) and the
description abi-check prints. A failing check's detail says what was seen,
where (symbol and address, or section) and what the contract asks instead,
so a supplier can act on it without reading this file. The checks judge
what any honest toolchain may produce, not how this project happens to
build: a linker's interworking veneer in front of a Thumb function, a
version node of a version script, another linker's order of symbols.

    abi-check [--portable] [--addr2line TOOL] [--expect-fail TEXT]... [--results] MODULE.so

prints each check with "pass" or "fail" and exits 1 if any fails (2 for bad
usage or a file that cannot be read as ELF).
--portable keeps only the checks that hold on any architecture (for the host
twin): exports, shared-object name, needed libraries, relocations, stack,
debug file.
--addr2line names the tool that maps an address of the module to a source
line through its debug file (default: arm-linux-gnueabi-addr2line, or
addr2line with --portable).
--expect-fail turns the verdict round, for a sample with known faults: it
exits 0 only when the checks that fail are exactly those whose description
contains one of the TEXTs given, each TEXT in at least one (pellix.verdict).
--results also prints each check as a line for a program to read,
"pass|fail<TAB>DESCRIPTION<TAB>DETAIL", and the module's identity, which is
no check, as "info<TAB>build-id<TAB>HEX" and "info<TAB>version<TAB>TEXT"
("none" for a module without a GNU build ID or a version note). A passing
check's detail is empty but for the Thumb check's, which names each veneer
it accepted.
"""

import os
import re
import struct
import subprocess
import zlib
from dataclasses import dataclass
from typing import Callable, Dict, List, Optional, Sequence, Set, TextIO, Tuple

from pellix import elf, verdict

EXPORTS = ("HMI", "init_globals")
SONAME = "lumivane.so"
LOG_LIBRARY = "liblog.so"
ALLOWED_NEEDS = (LOG_LIBRARY, "libpthread.so.0", "libc.so.6")
# The C library's own dynamic linker: a build with the stack protector needs
# it for __stack_chk_guard, and it is in every process anyway.
C_LIBRARY_PARTS = ("libpthread.so.0", "libc.so.6", "ld-linux.so.3")
RECORD_SIZE = 128
NEWEST_CPU_ARCH = 4  # Tag_CPU_arch v5TE
BASELINE = (2, 4)  # GLIBC_2.4, the ARM EABI baseline
# The sources whose functions are the module's own, in a symbol table that
# names them: the toolchain's runtime (crtstuff.c, assembled objects) is not.
OWN_SOURCES = (".c", ".cc", ".cpp", ".cxx", ".C", ".c++")
TOOLCHAIN_SOURCES = ("crtstuff.c",)
SHF_WRITE = 0x1
PLT_SECTIONS = (".plt", ".iplt", ".plt.got", ".plt.sec")

DESCRIPTIONS: Dict[str, str] = {
    "elf32": "ELF32",
    "machine-arm": "machine ARM",
    "eabi5": "EABI version 5",
    "soft-float": "soft-float",
    "cpu-arch": "Tag_CPU_arch no newer than v5TE",
    "thumb": "Thumb code: every function symbol has the Thumb bit",
    "hmi-size": "HMI is a 128-byte object",
    "dyn": "shared object (ELF type DYN)",
    "soname": "SONAME lumivane.so",
    "exports": "exports exactly HMI and init_globals",
    "export-kinds": "HMI is an object, init_globals a function",
    "needed-exactly": "needs exactly the log library, libpthread.so.0 and libc.so.6",
    "needed": "needs the log library and nothing beyond the C library (libc.so.6, libpthread.so.0, ld-linux.so.3)",
    "self-relocations": "no dynamic relocation refers to the module's own exports",
    "textrel": "no text relocations",
    "stack": "non-executable stack",
    "debuglink": "names a debug file beside it (.gnu_debuglink)",
    "debug-crc": "the debug file matches the module (CRC-32)",
    "debug-line": "a crash address maps to a function and a line",
    "unwind": "ARM unwind tables (.ARM.exidx) cover the module's code",
    "versions": "binds no symbol version above the ARM EABI baseline GLIBC_2.4",
}
# The checks that hold on any architecture (the host twin's): --portable keeps only these.
PORTABLE = ("dyn", "soname", "exports", "export-kinds", "needed-exactly", "needed", "self-relocations",
            "textrel", "stack", "debuglink", "debug-crc", "debug-line")
# abi-check prints the module's identity just before this check.
IDENTITY_BEFORE = "dyn"


@dataclass
class Check:
    id: str
    description: str
    passed: bool
    detail: str


@dataclass
class Result:
    checks: List[Check]
    build_id: str  # lower-case hex, or "none"
    version: str  # the version note's text, or "none"

    def failed(self) -> List[Check]:
        return [check for check in self.checks if not check.passed]


class AbiError(Exception):
    """The file cannot be read as an ELF shared object; the message says why."""


# --- Instructions: the ARM-state interworking veneers a linker puts before a Thumb function.

LDR_IP_PC_4 = 0xE59FC004  # ldr ip, [pc, #4]
LDR_IP_PC_0 = 0xE59FC000  # ldr ip, [pc, #0]
LDR_PC_PC_MINUS_4 = 0xE51FF004  # ldr pc, [pc, #-4]
ADD_IP_IP_PC = 0xE08CC00F  # add ip, ip, pc
ADD_IP_PC_IP = 0xE08FC00C  # add ip, pc, ip
BX_IP = 0xE12FFF1C  # bx ip
THUMB_BX_PC = 0x4778  # bx pc: a Thumb-to-ARM veneer's first instruction


@dataclass(frozen=True)
class Veneer:
    address: int  # where the veneer starts, in ARM state
    target: int  # where it jumps, bit 0 the state it enters (1: Thumb)
    form: str


def decode_veneer(code: bytes, address: int) -> Optional[Veneer]:
    """The veneer the little-endian ARM CODE at ADDRESS is, or None for any other code.

    The forms, exactly:
      position-independent: ldr ip, [pc, #4]; add ip, ip, pc; bx ip; .word target - (address + 12)
      absolute:             ldr ip, [pc, #0]; bx ip; .word target
      ARMv5 absolute:       ldr pc, [pc, #-4]; .word target
    """
    words = [word for word, in struct.iter_unpack("<I", code[:len(code) // 4 * 4])]
    if len(words) >= 4 and words[0] == LDR_IP_PC_4 and words[1] in (ADD_IP_IP_PC, ADD_IP_PC_IP) \
            and words[2] == BX_IP:
        # pc reads 8 ahead of the add, at address + 4.
        return Veneer(address, (words[3] + address + 12) & 0xFFFFFFFF, "position-independent")
    if len(words) >= 3 and words[0] == LDR_IP_PC_0 and words[1] == BX_IP:
        return Veneer(address, words[2], "absolute")
    if len(words) >= 2 and words[0] == LDR_PC_PC_MINUS_4:
        return Veneer(address, words[1], "absolute")
    return None


class Module:
    """The facts of one module file the checks are made of, each read once."""

    def __init__(self, path: str, addr2line: str = "addr2line") -> None:
        self.path = path
        self.addr2line = addr2line
        try:
            self.file = elf.ElfFile(path)
            self.header = self.file.header()
            self.sections = self.file.sections()
            self.dynsym = self.file.symbols(".dynsym")
            self.symtab = self.file.symbols(".symtab")
            self.dynamic = self.file.dynamic()
            self.segments = self.file.segments()
            self.relocations = self.file.relocations()
            self.needed_versions = self.file.needed_versions()
            self.defined_versions = set(self.file.defined_versions())
            self.debug = debug_file(path, self.file.debuglink())
        except elf.ElfError as error:
            raise AbiError(str(error)) from error

    def exports(self) -> List[elf.Symbol]:
        """The symbols the module defines for others: defined global or weak dynamic symbols, without
        the version nodes a version script defines (absolute symbols named for a version)."""
        return [symbol for symbol in self.dynsym if symbol.defined and symbol.binding in ("GLOBAL", "WEAK")
                and not (symbol.section == "SHN_ABS" and symbol.name in self.defined_versions)]

    def export(self, name: str) -> Optional[elf.Symbol]:
        return next((symbol for symbol in self.exports() if symbol.name == name), None)

    def own_functions(self) -> List[elf.Symbol]:
        """Functions of the module's own code (sized ones): those it exports, and those its symbol table
        (if not stripped) places in its own C or C++ sources.

        A symbol table places a local function by the FILE symbol before it, which is not always its
        own: an object without FILE symbols (the toolchain's runtime from a static library stripped of
        them) has its functions listed after the previous file's by linkers that add no FILE symbol
        for it; and a global the link made local may be listed anywhere, its visibility still hidden.
        So a source is judged by the functions certainly its own: of default visibility, and, where
        it holds Thumb functions, the ARM-state ones beside them are taken for such a runtime (libgcc's
        division and unwinder are ARM code). A source compiled for ARM state holds no Thumb function."""
        functions = [symbol for symbol in self.dynsym if symbol.kind == "FUNC" and symbol.size > 0 and symbol.defined]
        sources: List[List[elf.Symbol]] = [[]]
        for symbol in self.symtab:
            if symbol.kind == "FILE":
                sources.append([])
            elif symbol.kind == "FUNC" and symbol.size > 0 and symbol.defined and symbol.visibility == "DEFAULT" \
                    and symbol.file is not None and symbol.file.endswith(OWN_SOURCES) \
                    and symbol.file not in TOOLCHAIN_SOURCES:
                sources[-1].append(symbol)
        for source in sources:
            thumb = [symbol for symbol in source if symbol.value & 1]
            functions += thumb or source
        return functions

    def first_function(self) -> Optional[elf.Symbol]:
        """The first function the module defines in its dynamic symbols: the exported entry."""
        return next((symbol for symbol in self.dynsym if symbol.kind == "FUNC" and symbol.defined), None)

    def veneer_at(self, address: int) -> Optional[Veneer]:
        code = next((code for code in (self.file.code_at(address, size) for size in (16, 12, 8)) if code), None)
        return decode_veneer(code, address) if code is not None else None

    def code_entry(self, symbol: elf.Symbol) -> int:
        """Where SYMBOL's own code starts: through an ARM-state veneer, at the veneer's target."""
        if not symbol.value & 1:
            veneer = self.veneer_at(symbol.value)
            if veneer is not None:
                return veneer.target & ~1
        return symbol.value & ~1

    def executable_place(self, address: int) -> Optional[str]:
        """The name of the executable section (or, without sections, segment) holding ADDRESS, or None."""
        if any(section.address for section in self.sections):
            section = self.file.section_holding(address)
            return section.name if section is not None and section.executable else None
        for segment in self.segments:
            if segment.type == "PT_LOAD" and segment.flags & elf.PF_X \
                    and segment.address <= address < segment.address + segment.file_size:
                return "an executable segment"
        return None

    def function_at(self, address: int) -> Optional[elf.Symbol]:
        """A function symbol whose value is exactly ADDRESS (the Thumb bit included)."""
        return next((symbol for symbol in self.symtab + self.dynsym
                     if symbol.kind == "FUNC" and symbol.defined and symbol.value == address), None)

    def function_holding(self, address: int) -> Optional[elf.Symbol]:
        return next((symbol for symbol in self.symtab + self.dynsym if symbol.kind == "FUNC" and symbol.defined
                     and symbol.size and (symbol.value & ~1) <= address < (symbol.value & ~1) + symbol.size), None)


# --- The checks, each returning whether it passed and its detail.

Outcome = Tuple[bool, str]


def check_elf32(module: Module) -> Outcome:
    bits = module.header.elf_class
    return bits == 32, f"the ELF header's class is ELF{bits}; the contract asks a 32-bit ELF file (ELFCLASS32)"


def check_machine_arm(module: Module) -> Outcome:
    machine = module.header.machine
    return machine == "EM_ARM", f"the ELF header's machine is {machine}; the contract asks EM_ARM"


def check_eabi5(module: Module) -> Outcome:
    header = module.header
    return header.eabi_version == 5, (f"the ELF header's flags 0x{header.flags:08x} give EABI version "
                                      f"{header.eabi_version}; the contract asks version 5")


def check_soft_float(module: Module) -> Outcome:
    header = module.header
    return header.float_abi == "soft", (
        f"the ELF header's flags 0x{header.flags:08x} mark the {header.float_abi} float ABI; the contract "
        "asks the soft-float ABI (EF_ARM_ABI_FLOAT_SOFT): build with -mfloat-abi=soft")


def check_cpu_arch(module: Module) -> Outcome:
    arch = module.file.cpu_arch()
    if arch is None:
        where = "no Tag_CPU_arch in .ARM.attributes" if any(
            section.type == elf.SHT_ARM_ATTRIBUTES for section in module.sections) else "no .ARM.attributes"
        return False, f"{where}: the build attributes do not say the architecture; the contract asks v5TE or older"
    value = module.file.arm_attributes()[elf.TAG_CPU_ARCH]
    return isinstance(value, int) and value <= NEWEST_CPU_ARCH, (
        f"Tag_CPU_arch: {arch} in .ARM.attributes; the contract asks v5TE or older (build with -march=armv5te)")


def _veneer_fault(module: Module, veneer: Veneer) -> Optional[str]:
    """Why a veneer's target is not the start of the module's own Thumb code, or None when it is."""
    target = veneer.target
    if not target & 1:
        return f"ARM code at 0x{target:x} (bit 0 of the target clear)"
    start = target & ~1
    place = module.executable_place(start)
    if place is None:
        return f"0x{target:x}, outside the module's executable code"
    if place in PLT_SECTIONS:
        return f"0x{target:x} in {place}, a call into another library, not the module's own code"
    if start == veneer.address or module.veneer_at(start) is not None:
        return f"another veneer at 0x{start:x}"
    code = module.file.code_at(start, 2)
    if code is not None and struct.unpack("<H", code)[0] == THUMB_BX_PC:
        return f"a veneer back to ARM state at 0x{target:x}"
    if module.symtab and module.function_at(target) is None:
        holder = module.function_holding(start)
        inside = f" inside {holder.name}" if holder is not None else ""
        return f"0x{target:x}{inside}, which is no Thumb function's start"
    return None


def check_thumb(module: Module) -> Outcome:
    functions = module.own_functions()
    if not functions:
        return False, "no function symbols: the module defines no function; the contract asks init_globals, " \
                      "a function entered in Thumb state"
    faults: List[str] = []
    veneers: List[str] = []
    seen: Set[Tuple[str, int]] = set()
    for symbol in functions:
        if (symbol.name, symbol.value) in seen or symbol.value & 1:
            continue
        seen.add((symbol.name, symbol.value))
        veneer = module.veneer_at(symbol.value)
        if veneer is None:
            faults.append(f"{symbol.name} at 0x{symbol.value:x} enters in ARM state (bit 0 of its address clear)")
            continue
        fault = _veneer_fault(module, veneer)
        if fault is None:
            veneers.append(f"{symbol.name} enters through an ARM-state veneer to Thumb code at "
                           f"0x{veneer.target & ~1:x}")
        else:
            faults.append(f"{symbol.name} at 0x{symbol.value:x} enters through an ARM-state veneer to {fault}")
    if faults:
        return False, "; ".join(faults) + "; the contract asks every function of the module's code to enter in " \
                                         "Thumb state (build it with -mthumb)"
    return True, "; ".join(veneers)


def check_hmi_size(module: Module) -> Outcome:
    hmi = module.export("HMI")
    if hmi is None:
        return False, "no exported HMI; the contract asks HMI, a 128-byte object"
    return hmi.kind == "OBJECT" and hmi.size == RECORD_SIZE, (
        f"HMI at 0x{hmi.value:x} is a {hmi.kind} of {hmi.size} bytes; the contract asks a {RECORD_SIZE}-byte object "
        "(struct module_record)")


def check_dyn(module: Module) -> Outcome:
    kind = module.header.type
    return kind == "ET_DYN", f"the ELF header's type is {kind}; the contract asks a shared object (ET_DYN)"


def check_soname(module: Module) -> Outcome:
    soname = module.dynamic.soname
    seen = f"DT_SONAME is {soname}" if soname is not None else "no DT_SONAME"
    return soname == SONAME, f"{seen}; the contract asks {SONAME} (link with -Wl,-soname,{SONAME})"


def _describe(symbol: elf.Symbol) -> str:
    return f"{symbol.name} ({symbol.kind} at 0x{symbol.value:x})"


def check_exports(module: Module) -> Outcome:
    exports = module.exports()
    names = sorted({symbol.name for symbol in exports})
    extra = [_describe(symbol) for symbol in exports if symbol.name not in EXPORTS]
    missing = [name for name in EXPORTS if name not in names]
    seen = []
    if extra:
        seen.append("exports " + ", ".join(extra) + " beyond HMI and init_globals")
    if missing:
        seen.append("does not export " + " or ".join(missing))
    asked = "the contract asks exactly HMI and init_globals (hide every other symbol)"
    return names == sorted(EXPORTS), "; ".join(seen + [asked])


def check_export_kinds(module: Module) -> Outcome:
    hmi, init = module.export("HMI"), module.export("init_globals")
    seen = [_describe(symbol) if symbol is not None else f"no {name}"
            for name, symbol in (("HMI", hmi), ("init_globals", init))]
    passed = hmi is not None and hmi.kind == "OBJECT" and init is not None and init.kind == "FUNC"
    return passed, ", ".join(seen) + "; the contract asks HMI an object (OBJECT) and init_globals a function (FUNC)"


def _needs(module: Module) -> str:
    needed = module.dynamic.needed
    return "needs " + ", ".join(needed) + " (DT_NEEDED, in order)" if needed else "needs no library (no DT_NEEDED)"


def check_needed_exactly(module: Module) -> Outcome:
    return sorted(module.dynamic.needed) == sorted(ALLOWED_NEEDS), (
        _needs(module) + "; this module is built to need exactly liblog.so, libpthread.so.0 and libc.so.6")


def check_needed(module: Module) -> Outcome:
    needed = module.dynamic.needed
    beyond = [library for library in needed if library != LOG_LIBRARY and library not in C_LIBRARY_PARTS]
    seen = _needs(module)
    if beyond:
        seen += ": " + ", ".join(beyond) + " beyond what the contract allows"
    elif LOG_LIBRARY not in needed:
        seen += f": not {LOG_LIBRARY}"
    return LOG_LIBRARY in needed and not beyond, (
        seen + f"; the contract asks {LOG_LIBRARY}, and nothing beyond the C library ({', '.join(C_LIBRARY_PARTS)})")


def check_self_relocations(module: Module) -> Outcome:
    names = {symbol.name for symbol in module.exports()}
    found = sorted({f"{relocation.type_name} against {relocation.symbol} at 0x{relocation.offset:x} "
                    f"({relocation.section})" for relocation in module.relocations if relocation.symbol in names})
    asked = ("whatever else in the process has that name would stand in for it; bind the module's own exports "
             "within it (call and take them by names local to the module, or link with -Wl,-Bsymbolic)")
    return not found, ", ".join(found) + ": " + asked


def check_textrel(module: Module) -> Outcome:
    places = []
    for relocation in module.relocations:
        section = module.file.section_holding(relocation.offset)
        if section is not None and not section.flags & SHF_WRITE:
            places.append(f"{relocation.type_name} at 0x{relocation.offset:x} in {section.name}")
    seen = "DT_TEXTREL" + (": " + ", ".join(places[:3]) + (", ..." if len(places) > 3 else "") if places else "")
    return not module.dynamic.textrel, (seen + "; the loader would write into the module's code; the contract asks "
                                        "position-independent code (build with -fPIC)")


def check_stack(module: Module) -> Outcome:
    stack = next((segment for segment in module.segments if segment.type == "PT_GNU_STACK"), None)
    if stack is None:
        return False, "no PT_GNU_STACK segment: the loader gives the process an executable stack; the contract " \
                      "asks a non-executable one (link with -Wl,-z,noexecstack)"
    return not stack.flags & elf.PF_X, (f"PT_GNU_STACK flags {stack.flag_text.strip()}: the stack is executable; "
                                        "the contract asks a non-executable one (link with -Wl,-z,noexecstack)")


@dataclass
class DebugFile:
    link: Optional[elf.Debuglink]
    path: Optional[str] = None

    @property
    def present(self) -> bool:
        return self.path is not None and os.path.isfile(self.path)


def debug_file(path: str, link: Optional[elf.Debuglink]) -> DebugFile:
    """The debug file LINK names for the module at PATH: beside it."""
    if link is None:
        return DebugFile(None)
    return DebugFile(link, os.path.join(os.path.dirname(path), link.name))


def check_debuglink(module: Module) -> Outcome:
    debug = module.debug
    if debug.link is None:
        return False, "no .gnu_debuglink: a crash address cannot be mapped to a source line; the contract asks " \
                      "the module to name its debug file, beside it (objcopy --add-gnu-debuglink)"
    return debug.present, (f"{debug.link.name} (.gnu_debuglink) is not beside the module, in "
                           f"{os.path.dirname(module.path) or '.'}")


def file_crc(path: str) -> int:
    """The CRC-32 of the file at PATH, as .gnu_debuglink keeps it."""
    crc = 0
    with open(path, "rb") as stream:
        for block in iter(lambda: stream.read(1 << 16), b""):
            crc = zlib.crc32(block, crc)
    return crc


def check_debug_crc(module: Module) -> Outcome:
    debug = module.debug
    assert debug.link is not None and debug.path is not None
    try:
        crc = file_crc(debug.path)
    except OSError as error:
        return False, f"cannot read {debug.path}: {error.strerror}"
    return crc == debug.link.crc, (f"link {debug.link.crc:08x}, file {crc:08x}: {debug.link.name} is not the debug "
                                   "file of this build of the module")


LOCATION = re.compile(r"^[A-Za-z_][A-Za-z0-9_]* .+\.(c|cc|cpp|cxx|C|c\+\+):[1-9][0-9]*( \(discriminator [0-9]+\))?$")


def check_debug_line(module: Module) -> Outcome:
    debug, addr2line = module.debug, module.addr2line
    assert debug.path is not None
    function = module.first_function()
    address = module.code_entry(function) if function is not None else 0
    try:
        run = subprocess.run([addr2line, "-f", "-e", debug.path], input=f"0x{address:x}\n", capture_output=True,
                             text=True, errors="replace", check=False)
        location = " ".join((run.stdout + run.stderr).split("\n")).strip()
    except OSError as error:
        return False, f"cannot run {addr2line}: {error.strerror}"
    where = f"{function.name} at 0x{address:x}" if function is not None else f"0x{address:x}"
    return LOCATION.match(location) is not None, (
        f"{where} maps to \"{location}\" in {os.path.basename(debug.path)}; the contract asks a function and a "
        "source line (build with -g)")


def check_unwind(module: Module) -> Outcome:
    entries = module.file.unwind_entries()
    function = module.first_function()
    asked = "; the contract asks ARM unwind tables covering the module's code, so a crash reporter can walk the " \
            "stack through it (build with -funwind-tables)"
    if entries is None:
        return False, "no .ARM.exidx section: the module has no unwind tables" + asked
    pc = module.code_entry(function) if function is not None else 0
    where = f"{function.name} at 0x{pc:x}" if function is not None else f"0x{pc:x} (no exported function)"
    covering = [entry for entry in entries if entry.start <= pc]
    if not covering:
        return False, f"no .ARM.exidx entry covers {where}" + asked
    entry = covering[-1]
    return not entry.cantunwind, (f"{where} is covered by an EXIDX_CANTUNWIND entry of .ARM.exidx from "
                                  f"0x{entry.start:x}: it cannot be unwound" + asked)


def _version_number(version: str) -> Optional[Tuple[int, ...]]:
    match = re.fullmatch(r"GLIBC_([0-9]+(?:\.[0-9]+)*)", version)
    return tuple(int(part) for part in match.group(1).split(".")) if match else None


def check_versions(module: Module) -> Outcome:
    above = []
    for need in module.needed_versions:
        number = _version_number(need.version)
        if number is None or number > BASELINE:
            users = sorted({symbol.name for symbol in module.dynsym if not symbol.defined
                            and symbol.version == need.version})
            what = ", ".join(f"{name}@{need.version}" for name in users) or need.version
            above.append(f"{what} ({need.library})")
    asked = ("the platform's policy asks symbol versions no newer than GLIBC_2.4, so the module loads on C "
             "libraries older than 2.34 (bind e.g. with .symver NAME, NAME@GLIBC_2.4)")
    return not above, ", ".join(sorted(set(above))) + "; " + asked


CHECKS: Dict[str, Callable[[Module], Outcome]] = {
    "elf32": check_elf32, "machine-arm": check_machine_arm, "eabi5": check_eabi5, "soft-float": check_soft_float,
    "cpu-arch": check_cpu_arch, "thumb": check_thumb, "hmi-size": check_hmi_size, "dyn": check_dyn,
    "soname": check_soname, "exports": check_exports, "export-kinds": check_export_kinds,
    "needed-exactly": check_needed_exactly, "needed": check_needed, "self-relocations": check_self_relocations,
    "textrel": check_textrel, "stack": check_stack, "debuglink": check_debuglink, "debug-crc": check_debug_crc,
    "debug-line": check_debug_line, "unwind": check_unwind, "versions": check_versions,
}
# Only a debug file that is there is read.
ABOUT_THE_DEBUG_FILE = ("debug-crc", "debug-line")
# A passing check's detail is dropped, but for the Thumb check's: it names the veneers it accepted.
DETAIL_KEPT = ("thumb",)


def check_module(path: str, portable: bool = False, addr2line: Optional[str] = None) -> Result:
    """Every check of the module at PATH (only the portable ones with PORTABLE), and its identity.
    ADDR2LINE maps an address to a source line (default: the target's, or the host's with PORTABLE)."""
    if addr2line is None:
        addr2line = "addr2line" if portable else "arm-linux-gnueabi-addr2line"
    module = Module(path, addr2line)
    results = []
    try:
        for key in DESCRIPTIONS:
            if (portable and key not in PORTABLE) or (key in ABOUT_THE_DEBUG_FILE and not module.debug.present):
                continue
            passed, detail = CHECKS[key](module)
            results.append(Check(key, DESCRIPTIONS[key], passed, detail if not passed or key in DETAIL_KEPT else ""))
        return Result(results, module.file.build_id() or "none", module.file.version_note() or "none")
    except elf.ElfError as error:
        raise AbiError(str(error)) from error


# --- The command.

USAGE = "usage: abi-check [--portable] [--addr2line TOOL] [--expect-fail TEXT]... [--results] MODULE.so"


def run(argv: Sequence[str], out: TextIO) -> Tuple[int, verdict.Checks]:
    """abi-check with ARGV, printing on OUT: the exit status and the checks made."""
    options = verdict.parse(list(argv), ["--addr2line"], ["--portable", "--results"], 1)
    path = options.positionals[0]
    if not os.path.isfile(path):
        raise verdict.Usage(path)
    results = "--results" in options.flags
    try:
        result = check_module(path, "--portable" in options.flags, options.values.get("--addr2line"))
    except AbiError as error:
        raise verdict.CannotCheck(f"cannot read {path}: {error}") from None
    checks = verdict.Checks(options.expected, out, results)
    for check in result.checks:
        if check.id == IDENTITY_BEFORE:
            for name, value in (("build-id", result.build_id), ("version", result.version)):
                if results:
                    out.write(f"info\t{name}\t{value}\n")
                out.write(f"info  {name}: {value}\n")
        checks.check(check.description, check.passed, check.detail)
    return checks.verdict(path), checks


def main(argv: Sequence[str]) -> int:
    return verdict.main("abi-check", USAGE, run, argv)
