# SPDX-License-Identifier: Apache-2.0
"""The binary checks abi-check makes of a lights module's file: the interface
the platform's loader expects, what a process hosting it relies on; and the
module's identity. Each check has a stable id (the kit maps its clauses to
ids); a failing check's detail says what was seen, where, and what the
contract asks. The checks judge what any honest toolchain may produce: a
linker's veneer before a Thumb function, a version node of a version script,
another linker's symbol order.

    abi-check [--portable] [--addr2line TOOL] [--expect-fail TEXT]... [--results] MODULE.so

exits 1 if a check fails, 2 for bad usage or a file that is no ELF. --portable:
only the checks that hold on any architecture (the host twin's). --addr2line:
the tool mapping an address to a line (arm-linux-gnueabi-addr2line, or
addr2line with --portable). --expect-fail: see pellix.verdict. --results also
prints "pass|fail<TAB>DESCRIPTION<TAB>DETAIL" (a passing check's detail empty
but the Thumb check's, naming each veneer it accepted) and the identity,
"info<TAB>build-id<TAB>HEX" and "info<TAB>version<TAB>TEXT" ("none" without).
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
LOCATION = re.compile(r"^[A-Za-z_][A-Za-z0-9_]* .+\.(c|cc|cpp|cxx|C|c\+\+):[1-9][0-9]*( \(discriminator [0-9]+\))?$")

# The ARM-state interworking veneers a linker puts before a Thumb function.
LDR_IP_PC_4 = 0xE59FC004  # ldr ip, [pc, #4]
LDR_IP_PC_0 = 0xE59FC000  # ldr ip, [pc, #0]
LDR_PC_PC_MINUS_4 = 0xE51FF004  # ldr pc, [pc, #-4]
ADD_IP_IP_PC = 0xE08CC00F  # add ip, ip, pc
ADD_IP_PC_IP = 0xE08FC00C  # add ip, pc, ip
BX_IP = 0xE12FFF1C  # bx ip
THUMB_BX_PC = 0x4778  # bx pc: a Thumb-to-ARM veneer's first instruction

# The file cannot be read as an ELF shared object; the message says why.
AbiError = elf.ElfError


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


def decode_veneer(code: bytes, address: int) -> Optional[int]:
    """Where the veneer the little-endian ARM CODE at ADDRESS jumps (bit 0 the state it enters, 1 for
    Thumb), or None for any other code. The forms, exactly:
      position-independent: ldr ip, [pc, #4]; add ip, ip, pc; bx ip; .word target - (address + 12)
      absolute:             ldr ip, [pc, #0]; bx ip; .word target
      ARMv5 absolute:       ldr pc, [pc, #-4]; .word target
    """
    words = [word for word, in struct.iter_unpack("<I", code[:len(code) // 4 * 4])]
    if len(words) >= 4 and words[0] == LDR_IP_PC_4 and words[1] in (ADD_IP_IP_PC, ADD_IP_PC_IP) \
            and words[2] == BX_IP:
        return (words[3] + address + 12) & 0xFFFFFFFF  # pc reads 8 ahead of the add, at address + 4
    if len(words) >= 3 and words[:2] == [LDR_IP_PC_0, BX_IP]:
        return words[2]
    return words[1] if len(words) >= 2 and words[0] == LDR_PC_PC_MINUS_4 else None


def _is_function(symbol: elf.Symbol) -> bool:
    return symbol.kind == "FUNC" and symbol.defined


def _describe(symbol: elf.Symbol) -> str:
    return f"{symbol.name} ({symbol.kind} at 0x{symbol.value:x})"


def version_number(version: str) -> Optional[Tuple[int, ...]]:
    """The numbers of a GLIBC_ version ((2, 4) of GLIBC_2.4); None for another name."""
    match = re.fullmatch(r"GLIBC_([0-9]+(?:\.[0-9]+)*)", version)
    return tuple(int(part) for part in match.group(1).split(".")) if match else None


# --- The checks register here as Module defines them, by id, in the order abi-check prints them.

Outcome = Tuple[bool, str]
CheckFunction = Callable[["Module"], Outcome]
DESCRIPTIONS: Dict[str, str] = {}
CHECKS: Dict[str, CheckFunction] = {}
PORTABLE: List[str] = []  # the checks that hold on any architecture (the host twin's)
# Only a debug file that is there is read.
ABOUT_THE_DEBUG_FILE = ("debug-crc", "debug-line")
# A passing check's detail is dropped, but for the Thumb check's: it names the veneers it accepted.
DETAIL_KEPT = ("thumb",)
# abi-check prints the module's identity just before this check.
IDENTITY_BEFORE = "dyn"


def check(key: str, description: str, portable: bool = False) -> Callable[[CheckFunction], CheckFunction]:
    """Registers the check KEY, printed as DESCRIPTION; PORTABLE: it holds on any architecture."""
    def register(function: CheckFunction) -> CheckFunction:
        DESCRIPTIONS[key], CHECKS[key] = description, function
        if portable:
            PORTABLE.append(key)
        return function
    return register


class Module:
    """The facts of one module file the checks are made of, each read once."""

    def __init__(self, path: str, addr2line: str = "addr2line") -> None:
        self.path = path
        self.addr2line = addr2line
        self.file = elf.ElfFile(path)
        self.header = self.file.header()
        self.dynsym = self.file.symbols(".dynsym")
        self.symtab = self.file.symbols(".symtab")
        self.dynamic = self.file.dynamic()
        self.relocations = self.file.relocations()
        self.needed_versions = self.file.needed_versions()
        self.defined_versions = set(self.file.defined_versions())
        self.debuglink = self.file.debuglink()
        # The debug file the module names, beside it.
        self.debug_path = os.path.join(os.path.dirname(path), self.debuglink.name) if self.debuglink else None
        self.has_debug = self.debug_path is not None and os.path.isfile(self.debug_path)

    def exports(self) -> List[elf.Symbol]:
        """The symbols the module defines for others: defined global or weak dynamic symbols, without
        the version nodes a version script defines (absolute symbols named for a version)."""
        return [symbol for symbol in self.dynsym if symbol.defined and symbol.binding in ("GLOBAL", "WEAK")
                and not (symbol.section == "SHN_ABS" and symbol.name in self.defined_versions)]

    def export(self, name: str) -> Optional[elf.Symbol]:
        return next((symbol for symbol in self.exports() if symbol.name == name), None)

    def own_functions(self) -> List[elf.Symbol]:
        """Functions of the module's own code (sized ones): those it exports, and those its symbol table
        (if not stripped) places in its own C or C++ sources. A symbol table places a local function by the
        FILE symbol before it, not always its own: linkers list the toolchain's runtime (from a static
        library without FILE symbols) after the previous file's, and a global the link made local anywhere,
        its visibility still hidden. So a source is judged by its functions of default visibility; where it
        holds Thumb functions, the ARM-state ones beside them are such a runtime (libgcc's division and
        unwinder are ARM code). A source compiled for ARM state holds no Thumb function."""
        functions = [symbol for symbol in self.dynsym if _is_function(symbol) and symbol.size > 0]
        sources: List[List[elf.Symbol]] = [[]]
        for symbol in self.symtab:
            if symbol.kind == "FILE":
                sources.append([])
            elif _is_function(symbol) and symbol.size > 0 and symbol.visibility == "DEFAULT" \
                    and symbol.file is not None and symbol.file.endswith(OWN_SOURCES) \
                    and symbol.file not in TOOLCHAIN_SOURCES:
                sources[-1].append(symbol)
        for source in sources:
            functions += [symbol for symbol in source if symbol.value & 1] or source
        return functions

    def entry(self) -> Tuple[Optional[elf.Symbol], int, str]:
        """The exported entry, the first function the module defines in its dynamic symbols, with where
        its own code starts (through an ARM-state veneer, at the veneer's target) and how to name it."""
        function = next((symbol for symbol in self.dynsym if _is_function(symbol)), None)
        if function is None:
            return None, 0, "0x0"
        address = function.value & ~1
        if not function.value & 1:
            target = self.veneer_at(function.value)
            address = target & ~1 if target is not None else address
        return function, address, f"{function.name} at 0x{address:x}"

    def veneer_at(self, address: int) -> Optional[int]:
        """The target of the veneer at ADDRESS, or None where there is none."""
        code = next((code for code in (self.file.code_at(address, size) for size in (16, 12, 8)) if code), None)
        return decode_veneer(code, address) if code is not None else None

    def executable_place(self, address: int) -> Optional[str]:
        """The name of the executable section (or, without sections, segment) holding ADDRESS, or None."""
        if any(section.address for section in self.file.sections()):
            section = self.file.section_holding(address)
            return section.name if section is not None and section.executable else None
        for segment in self.file.segments():
            if segment.type == "PT_LOAD" and segment.flags & elf.PF_X \
                    and segment.address <= address < segment.address + segment.file_size:
                return "an executable segment"
        return None

    def function_holding(self, address: int, exactly: bool = False) -> Optional[elf.Symbol]:
        """A function symbol whose code holds ADDRESS; EXACTLY: whose value is ADDRESS, the Thumb bit included."""
        for symbol in self.symtab + self.dynsym:
            start = symbol.value & ~1
            if _is_function(symbol) and (symbol.value == address if exactly
                                         else symbol.size and start <= address < start + symbol.size):
                return symbol
        return None

    # --- The checks, each returning whether it passed and its detail.

    @check("elf32", "ELF32")
    def check_elf32(self) -> Outcome:
        bits = self.header.elf_class
        return bits == 32, f"the ELF header's class is ELF{bits}; the contract asks a 32-bit ELF file (ELFCLASS32)"

    @check("machine-arm", "machine ARM")
    def check_machine_arm(self) -> Outcome:
        machine = self.header.machine
        return machine == "EM_ARM", f"the ELF header's machine is {machine}; the contract asks EM_ARM"

    @check("eabi5", "EABI version 5")
    def check_eabi5(self) -> Outcome:
        header = self.header
        return header.eabi_version == 5, (f"the ELF header's flags 0x{header.flags:08x} give EABI version "
                                          f"{header.eabi_version}; the contract asks version 5")

    @check("soft-float", "soft-float")
    def check_soft_float(self) -> Outcome:
        header = self.header
        return header.float_abi == "soft", (
            f"the ELF header's flags 0x{header.flags:08x} mark the {header.float_abi} float ABI; the contract "
            "asks the soft-float ABI (EF_ARM_ABI_FLOAT_SOFT): build with -mfloat-abi=soft")

    @check("cpu-arch", "Tag_CPU_arch no newer than v5TE")
    def check_cpu_arch(self) -> Outcome:
        arch = self.file.cpu_arch()
        if arch is None:
            where = "no Tag_CPU_arch in .ARM.attributes" if any(
                section.type == elf.SHT_ARM_ATTRIBUTES for section in self.file.sections()) else "no .ARM.attributes"
            return False, f"{where}: the build attributes do not say the architecture; the contract asks v5TE or older"
        return int(self.file.arm_attributes()[elf.TAG_CPU_ARCH]) <= NEWEST_CPU_ARCH, (
            f"Tag_CPU_arch: {arch} in .ARM.attributes; the contract asks v5TE or older (build with -march=armv5te)")

    def _veneer_fault(self, address: int, target: int) -> Optional[str]:
        """Why the target of the veneer at ADDRESS is not the start of the module's own Thumb code, or None."""
        start = target & ~1
        if not target & 1:
            return f"ARM code at 0x{target:x} (bit 0 of the target clear)"
        place = self.executable_place(start)
        if place is None:
            return f"0x{target:x}, outside the module's executable code"
        if place in PLT_SECTIONS:
            return f"0x{target:x} in {place}, a call into another library, not the module's own code"
        if start == address or self.veneer_at(start) is not None:
            return f"another veneer at 0x{start:x}"
        code = self.file.code_at(start, 2)
        if code is not None and struct.unpack("<H", code)[0] == THUMB_BX_PC:
            return f"a veneer back to ARM state at 0x{target:x}"
        if self.symtab and self.function_holding(target, exactly=True) is None:
            holder = self.function_holding(start)
            inside = f" inside {holder.name}" if holder is not None else ""
            return f"0x{target:x}{inside}, which is no Thumb function's start"
        return None

    @check("thumb", "Thumb code: every function symbol has the Thumb bit")
    def check_thumb(self) -> Outcome:
        functions = self.own_functions()
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
            target = self.veneer_at(symbol.value)
            fault = self._veneer_fault(symbol.value, target) if target is not None else None
            if target is None:
                faults.append(f"{symbol.name} at 0x{symbol.value:x} enters in ARM state (bit 0 of its address clear)")
            elif fault is None:
                veneers.append(f"{symbol.name} enters through an ARM-state veneer to Thumb code at 0x{target & ~1:x}")
            else:
                faults.append(f"{symbol.name} at 0x{symbol.value:x} enters through an ARM-state veneer to {fault}")
        if faults:
            return False, "; ".join(faults) + "; the contract asks every function of the module's code to enter in " \
                                             "Thumb state (build it with -mthumb)"
        return True, "; ".join(veneers)

    @check("hmi-size", "HMI is a 128-byte object")
    def check_hmi_size(self) -> Outcome:
        hmi = self.export("HMI")
        if hmi is None:
            return False, "no exported HMI; the contract asks HMI, a 128-byte object"
        return hmi.kind == "OBJECT" and hmi.size == RECORD_SIZE, (
            f"HMI at 0x{hmi.value:x} is a {hmi.kind} of {hmi.size} bytes; the contract asks a {RECORD_SIZE}-byte "
            "object (struct module_record)")

    @check("dyn", "shared object (ELF type DYN)", portable=True)
    def check_dyn(self) -> Outcome:
        kind = self.header.type
        return kind == "ET_DYN", f"the ELF header's type is {kind}; the contract asks a shared object (ET_DYN)"

    @check("soname", "SONAME lumivane.so", portable=True)
    def check_soname(self) -> Outcome:
        soname = self.dynamic.soname
        seen = f"DT_SONAME is {soname}" if soname is not None else "no DT_SONAME"
        return soname == SONAME, f"{seen}; the contract asks {SONAME} (link with -Wl,-soname,{SONAME})"

    @check("exports", "exports exactly HMI and init_globals", portable=True)
    def check_exports(self) -> Outcome:
        exports = self.exports()
        names = sorted({symbol.name for symbol in exports})
        extra = [_describe(symbol) for symbol in exports if symbol.name not in EXPORTS]
        missing = [name for name in EXPORTS if name not in names]
        seen = ["exports " + ", ".join(extra) + " beyond HMI and init_globals"] if extra else []
        seen += ["does not export " + " or ".join(missing)] if missing else []
        asked = "the contract asks exactly HMI and init_globals (hide every other symbol)"
        return names == sorted(EXPORTS), "; ".join(seen + [asked])

    @check("export-kinds", "HMI is an object, init_globals a function", portable=True)
    def check_export_kinds(self) -> Outcome:
        hmi, init = self.export("HMI"), self.export("init_globals")
        seen = [_describe(symbol) if symbol is not None else f"no {name}"
                for name, symbol in (("HMI", hmi), ("init_globals", init))]
        passed = hmi is not None and hmi.kind == "OBJECT" and init is not None and init.kind == "FUNC"
        return passed, ", ".join(seen) + "; the contract asks HMI an object (OBJECT) and init_globals a function (FUNC)"

    def _needs(self) -> str:
        needed = self.dynamic.needed
        return "needs " + ", ".join(needed) + " (DT_NEEDED, in order)" if needed else "needs no library (no DT_NEEDED)"

    @check("needed-exactly", "needs exactly the log library, libpthread.so.0 and libc.so.6", portable=True)
    def check_needed_exactly(self) -> Outcome:
        return sorted(self.dynamic.needed) == sorted(ALLOWED_NEEDS), (
            self._needs() + "; this module is built to need exactly liblog.so, libpthread.so.0 and libc.so.6")

    @check("needed", "needs the log library and nothing beyond the C library (libc.so.6, libpthread.so.0, "
                     "ld-linux.so.3)", portable=True)
    def check_needed(self) -> Outcome:
        needed = self.dynamic.needed
        beyond = [library for library in needed if library != LOG_LIBRARY and library not in C_LIBRARY_PARTS]
        seen = self._needs()
        if beyond:
            seen += ": " + ", ".join(beyond) + " beyond what the contract allows"
        elif LOG_LIBRARY not in needed:
            seen += f": not {LOG_LIBRARY}"
        return LOG_LIBRARY in needed and not beyond, (
            f"{seen}; the contract asks {LOG_LIBRARY}, and nothing beyond the C library "
            f"({', '.join(C_LIBRARY_PARTS)})")

    @check("self-relocations", "no dynamic relocation refers to the module's own exports", portable=True)
    def check_self_relocations(self) -> Outcome:
        names = {symbol.name for symbol in self.exports()}
        found = sorted({f"{relocation.type_name} against {relocation.symbol} at 0x{relocation.offset:x} "
                        f"({relocation.section})" for relocation in self.relocations if relocation.symbol in names})
        asked = ("whatever else in the process has that name would stand in for it; bind the module's own exports "
                 "within it (call and take them by names local to the module, or link with -Wl,-Bsymbolic)")
        return not found, ", ".join(found) + ": " + asked

    @check("textrel", "no text relocations", portable=True)
    def check_textrel(self) -> Outcome:
        places = []
        for relocation in self.relocations:
            section = self.file.section_holding(relocation.offset)
            if section is not None and not section.flags & SHF_WRITE:
                places.append(f"{relocation.type_name} at 0x{relocation.offset:x} in {section.name}")
        seen = "DT_TEXTREL" + (": " + ", ".join(places[:3]) + (", ..." if len(places) > 3 else "") if places else "")
        return not self.dynamic.textrel, (seen + "; the loader would write into the module's code; the contract "
                                          "asks position-independent code (build with -fPIC)")

    @check("stack", "non-executable stack", portable=True)
    def check_stack(self) -> Outcome:
        stack = next((segment for segment in self.file.segments() if segment.type == "PT_GNU_STACK"), None)
        if stack is None:
            return False, "no PT_GNU_STACK segment: the loader gives the process an executable stack; the contract " \
                          "asks a non-executable one (link with -Wl,-z,noexecstack)"
        return not stack.flags & elf.PF_X, (f"PT_GNU_STACK flags {stack.flag_text.strip()}: the stack is executable; "
                                            "the contract asks a non-executable one (link with -Wl,-z,noexecstack)")

    @check("debuglink", "names a debug file beside it (.gnu_debuglink)", portable=True)
    def check_debuglink(self) -> Outcome:
        if self.debuglink is None:
            return False, "no .gnu_debuglink: a crash address cannot be mapped to a source line; the contract asks " \
                          "the module to name its debug file, beside it (objcopy --add-gnu-debuglink)"
        return self.has_debug, (f"{self.debuglink.name} (.gnu_debuglink) is not beside the module, in "
                                f"{os.path.dirname(self.path) or '.'}")

    @check("debug-crc", "the debug file matches the module (CRC-32)", portable=True)
    def check_debug_crc(self) -> Outcome:
        assert self.debuglink is not None and self.debug_path is not None
        try:
            with open(self.debug_path, "rb") as file:
                crc = zlib.crc32(file.read())
        except OSError as error:
            return False, f"cannot read {self.debug_path}: {error.strerror}"
        return crc == self.debuglink.crc, (f"link {self.debuglink.crc:08x}, file {crc:08x}: {self.debuglink.name} "
                                           "is not the debug file of this build of the module")

    @check("debug-line", "a crash address maps to a function and a line", portable=True)
    def check_debug_line(self) -> Outcome:
        assert self.debug_path is not None
        _, address, where = self.entry()
        try:
            run = subprocess.run([self.addr2line, "-f", "-e", self.debug_path], input=f"0x{address:x}\n",
                                 capture_output=True, text=True, errors="replace", check=False)
        except OSError as error:
            return False, f"cannot run {self.addr2line}: {error.strerror}"
        location = " ".join((run.stdout + run.stderr).split("\n")).strip()
        return LOCATION.match(location) is not None, (
            f"{where} maps to \"{location}\" in {os.path.basename(self.debug_path)}; the contract asks a function "
            "and a source line (build with -g)")

    @check("unwind", "ARM unwind tables (.ARM.exidx) cover the module's code")
    def check_unwind(self) -> Outcome:
        entries = self.file.unwind_entries()
        function, pc, where = self.entry()
        asked = "; the contract asks ARM unwind tables covering the module's code, so a crash reporter can walk the " \
                "stack through it (build with -funwind-tables)"
        if entries is None:
            return False, "no .ARM.exidx section: the module has no unwind tables" + asked
        where += "" if function is not None else " (no exported function)"
        covering = [entry for entry in entries if entry.start <= pc]
        if not covering:
            return False, f"no .ARM.exidx entry covers {where}" + asked
        return not covering[-1].cantunwind, (f"{where} is covered by an EXIDX_CANTUNWIND entry of .ARM.exidx from "
                                             f"0x{covering[-1].start:x}: it cannot be unwound" + asked)

    @check("versions", "binds no symbol version above the ARM EABI baseline GLIBC_2.4")
    def check_versions(self) -> Outcome:
        above = set()
        for need in self.needed_versions:
            number = version_number(need.version)
            if number is None or number > BASELINE:
                users = sorted({symbol.name for symbol in self.dynsym if not symbol.defined
                                and symbol.version == need.version})
                above.add(f"{', '.join(f'{name}@{need.version}' for name in users) or need.version} ({need.library})")
        asked = ("the platform's policy asks symbol versions no newer than GLIBC_2.4, so the module loads on C "
                 "libraries older than 2.34 (bind e.g. with .symver NAME, NAME@GLIBC_2.4)")
        return not above, ", ".join(sorted(above)) + "; " + asked


def check_module(path: str, portable: bool = False, addr2line: Optional[str] = None) -> Result:
    """Every check of the module at PATH (only the portable ones with PORTABLE), and its identity.
    ADDR2LINE maps an address to a source line (default: the target's, or the host's with PORTABLE)."""
    module = Module(path, addr2line or ("addr2line" if portable else "arm-linux-gnueabi-addr2line"))
    results = []
    for key, function in CHECKS.items():
        if (portable and key not in PORTABLE) or (key in ABOUT_THE_DEBUG_FILE and not module.has_debug):
            continue
        passed, detail = function(module)
        results.append(Check(key, DESCRIPTIONS[key], passed, detail if not passed or key in DETAIL_KEPT else ""))
    return Result(results, module.file.build_id() or "none", module.file.version_note() or "none")


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
    for made in result.checks:
        if made.id == IDENTITY_BEFORE:
            for name, value in (("build-id", result.build_id), ("version", result.version)):
                if results:
                    out.write(f"info\t{name}\t{value}\n")
                out.write(f"info  {name}: {value}\n")
        checks.check(made.description, made.passed, made.detail)
    return checks.verdict(path), checks


def main(argv: Sequence[str]) -> int:
    return verdict.main("abi-check", USAGE, run, argv)
