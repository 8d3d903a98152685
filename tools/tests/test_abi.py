# SPDX-License-Identifier: Apache-2.0
"""The binary checks: each one failing on a module that breaks it, with
evidence a supplier can act on, and passing on modules built honestly in
ways this project does not build (a linker's veneer, a named version node,
another linker's symbol order); then abi-check, the command."""

import os
import pathlib
import shutil
import struct
import subprocess
import sys
from typing import Callable, Dict, List, Optional, Sequence

import pytest

from conftest import Cross
from pellix import abi

SAMPLE = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                      "checks", "samples", "faulty_module.c")
ABI_CHECK = os.path.join(os.path.dirname(SAMPLE), "..", "abi-check")

# The contract's module from checks/samples/faulty_module.c, built as a
# supplier may: GCC, Thumb, soname lumivane.so, the three libraries, unwind
# tables, its debug information split into a file beside it. No --use-blx:
# GNU ld puts an ARM-state veneer before the exported init_globals.
KEEPS = ("-Os", "-g", "-funwind-tables", "-static-libgcc", "-fvisibility=hidden", "-Wl,-soname,lumivane.so",
         "-Wl,-z,noexecstack", "-Wl,--no-as-needed", "-llog", "-l:libpthread.so.0")


class Samples:
    def __init__(self, folder: str, cross: Cross) -> None:
        self.folder = folder
        self.cross = cross
        inc = os.path.join(os.path.dirname(SAMPLE), "..", "..", "lights", "include")
        self.includes = ["-I" + inc, "-L" + folder]
        cross.shared(folder, "int __kelvo_log_print(int p, const char* t, const char* f, ...) { return 0; }\n",
                     "-Wl,-soname,liblog.so", name="liblog.so")

    def build(self, name: str, *options: str, defines: Sequence[str] = (), source: str = SAMPLE,
              keeps: Sequence[str] = KEEPS, split: bool = True, compiler: str = "") -> str:
        """NAME.so from SOURCE with the options that keep the contract, then OPTIONS; its debug
        information in NAME.so.debug beside it (SPLIT)."""
        path = self.cross.shared(self.folder, source, *self.includes, *keeps, *options,
                                 *("-D" + define for define in defines), name=name + ".so", compiler=compiler)
        if split:
            objcopy = self.cross.tool("objcopy")
            subprocess.run([objcopy, "--only-keep-debug", path, path + ".debug"], check=True)
            subprocess.run([objcopy, "--strip-debug", "--add-gnu-debuglink=" + path + ".debug", path], check=True)
        return path

    def write(self, name: str, text: str) -> str:
        """The folder's NAME, holding TEXT."""
        path = os.path.join(self.folder, name)
        with open(path, "w") as file:
            file.write(text)
        return path

    def copy(self, path: str, name: str) -> str:
        copy = os.path.join(self.folder, name)
        shutil.copyfile(path, copy)
        return copy

    def patched(self, path: str, name: str, offset: int, data: bytes) -> str:
        """A copy of PATH called NAME with DATA written at OFFSET."""
        copy = self.copy(path, name)
        with open(copy, "r+b") as file:
            file.seek(offset)
            file.write(data)
        return copy


@pytest.fixture(scope="module")
def samples(tmp_path_factory: pytest.TempPathFactory, cross: Cross) -> Samples:
    return Samples(str(tmp_path_factory.mktemp("abi")), cross)


@pytest.fixture(scope="module")
def keeps(samples: Samples) -> str:
    """A module that keeps every check, version 9.9."""
    return samples.build("keeps", defines=['SAMPLE_VERSION="9.9"'])


@pytest.fixture(scope="module")
def wrong_soname(samples: Samples) -> str:
    """A module that breaks one check: its soname is lights.so."""
    return samples.build("wrong_soname", "-Wl,-soname,lights.so")


def checks(path: str, portable: bool = False, addr2line: Optional[str] = None) -> Dict[str, abi.Check]:
    return {check.id: check for check in abi.check_module(path, portable, addr2line).checks}


def failed(path: str, portable: bool = False) -> List[str]:
    return sorted(check.id for check in checks(path, portable).values() if not check.passed)


def test_a_module_that_keeps_the_contract_passes_every_check(keeps: str) -> None:
    result = abi.check_module(keeps)
    assert [check.id for check in result.checks] == list(abi.DESCRIPTIONS)
    assert result.failed() == []
    assert result.version == "9.9" and len(result.build_id) == 40 and int(result.build_id, 16)


# --- The ELF header and build attributes.

def test_a_64_bit_module_fails_elf32_and_machine(samples: Samples) -> None:
    if shutil.which("gcc") is None:
        pytest.skip("the host's gcc is not installed")
    path = os.path.join(samples.folder, "host.so")
    subprocess.run(["gcc", "-shared", "-fPIC", "-o", path, "-x", "c", "-"], input=b"int f(void) { return 0; }\n",
                   check=True)
    found = checks(path)
    assert not found["elf32"].passed and "ELF64" in found["elf32"].detail
    assert not found["machine-arm"].passed and "EM_X86_64" in found["machine-arm"].detail


def test_a_module_of_another_eabi_version_fails_eabi5(samples: Samples, keeps: str) -> None:
    path = samples.patched(keeps, "eabi4.so", 36, struct.pack("<I", 0x04000200))
    assert failed(path) == ["eabi5", "soft-float"]
    assert "EABI version 4" in checks(path)["eabi5"].detail


def test_a_module_marked_hard_float_fails_soft_float(samples: Samples, keeps: str) -> None:
    path = samples.patched(keeps, "hard.so", 36, struct.pack("<I", 0x05000400))
    assert failed(path) == ["soft-float"]
    assert "hard float ABI" in checks(path)["soft-float"].detail


def test_attributes_claiming_armv7_fail_cpu_arch(samples: Samples) -> None:
    path = samples.build("newer_attributes", defines=["FAULT_NEWER_ATTRIBUTES"])
    assert failed(path) == ["cpu-arch"]
    assert "Tag_CPU_arch: v7 in .ARM.attributes" in checks(path)["cpu-arch"].detail


def test_a_module_without_attributes_fails_cpu_arch_saying_so(samples: Samples, keeps: str) -> None:
    path = samples.copy(keeps, "no_attributes.so")
    subprocess.run([samples.cross.tool("objcopy"), "--remove-section=.ARM.attributes", path], check=True)
    assert failed(path) == ["cpu-arch"]
    assert checks(path)["cpu-arch"].detail.startswith("no .ARM.attributes")


# Where a test's veneer leads, read from the module; and a copy of the module whose veneer leads there.
Where = Callable[[abi.Module], int]
Veneered = Callable[..., str]


# --- Thumb state: the code the compiler produced, not how the linker reached it.

def test_a_veneer_to_the_module_s_thumb_code_is_accepted_and_named(keeps: str) -> None:
    thumb = checks(keeps)["thumb"]
    assert thumb.passed
    assert thumb.detail.startswith("init_globals enters through an ARM-state veneer to Thumb code at 0x")


@pytest.mark.parametrize("strip", [False, True], ids=["symbols", "stripped"])
def test_a_plain_module_passing_init_globals_to_pthread_once_passes_thumb(samples: Samples, strip: bool) -> None:
    source = samples.write("plain.c", PLAIN)
    path = samples.build("plain_stripped" if strip else "plain", "-O2", source=source, split=False)
    if strip:
        subprocess.run([samples.cross.tool("strip"), path], check=True)
    entry = next(symbol for symbol in abi.Module(path).dynsym if symbol.name == "init_globals")
    assert not entry.value & 1, "the link put no veneer before init_globals"
    thumb = checks(path)["thumb"]
    assert thumb.passed, thumb.detail
    assert "init_globals enters through an ARM-state veneer to Thumb code at 0x" in thumb.detail


PLAIN = r"""
#include <pthread.h>
#include "lumivane_records.h"
static pthread_once_t once = PTHREAD_ONCE_INIT;
static pthread_mutex_t lock;
__attribute__((visibility("default"))) void init_globals(void) { pthread_mutex_init(&lock, 0); }
static int acquire(const struct module_record* m, const char* n, struct light_handle** h)
{
    (void)m; (void)n; (void)h;
    pthread_once(&once, init_globals);
    return -22;
}
static const struct module_entries entries = {acquire};
__attribute__((visibility("default"))) struct module_record HMI = {
    MODULE_RECORD_MAGIC, MODULE_API_MAJOR, MODULE_API_MINOR, "lights", "t", "c", &entries, 0, {0}};
"""


def test_code_built_for_arm_state_fails_thumb_alone(samples: Samples) -> None:
    path = samples.build("arm_state", defines=["FAULT_ARM_STATE"])
    assert failed(path) == ["thumb"]
    detail = checks(path)["thumb"].detail
    assert "init_globals at 0x" in detail and "enters in ARM state" in detail and "-mthumb" in detail


# A module whose exported init_globals is hand-written ARM code in the form
# of a linker's veneer, its word patched after the link to lead where a test
# asks. Beside it: Thumb and ARM functions, a Thumb-to-ARM veneer and a call
# through the PLT.
VENEER = r"""
#include <stdio.h>
#include "lumivane_records.h"
static const struct module_entries entries = {0};
__attribute__((visibility("default"))) struct module_record HMI = {
    MODULE_RECORD_MAGIC, MODULE_API_MAJOR, MODULE_API_MINOR, "lights", "t", "c", &entries, 0, {0}};
__attribute__((noinline)) int thumb_helper(int x) { return x * 3 + 1; }
int arm_helper(int x) __attribute__((target("arm"), noinline));
int arm_helper(int x) { return x * 5 + 2; }
__asm__(".text\n.syntax unified\n.arm\n.balign 4\n"
        ".globl init_globals\n.type init_globals, %function\n"
        "init_globals:\nldr ip, [pc, #4]\nadd ip, ip, pc\nbx ip\n.word 0\n"
        ".size init_globals, . - init_globals\n"
        ".thumb\n.balign 2\n.globl back_to_arm\n.type back_to_arm, %function\n.thumb_func\n"
        "back_to_arm:\nbx pc\nnop\n.arm\nb arm_helper\n.size back_to_arm, . - back_to_arm\n");
int use(int x) { return thumb_helper(x) + arm_helper(x) + puts(""); }
"""


@pytest.fixture(scope="module")
def veneer(samples: Samples) -> Veneered:
    """A function making a copy of veneer.so whose veneer leads where it is told."""
    source = samples.write("veneer.c", VENEER)
    path = samples.build("veneer", "-O2", source=source, split=False,
                         keeps=("-fvisibility=hidden", "-Wl,-soname,lumivane.so", "-Wl,--use-blx"))
    module = abi.Module(path)
    entry = next(symbol for symbol in module.dynsym if symbol.name == "init_globals")
    text = module.file.section(".text")
    assert text is not None
    in_file = text.offset - text.address

    def leading_to(where: Where, name: str, strip: bool = False) -> str:
        address = where(module)
        copy = samples.patched(path, name, in_file + entry.value + 12,
                               struct.pack("<I", (address - (entry.value + 12)) & 0xFFFFFFFF))
        if strip:
            subprocess.run([samples.cross.tool("strip"), copy], check=True)
        return copy
    return leading_to


def value_of(name: str) -> Where:
    return lambda module: next(symbol.value for symbol in module.symtab if symbol.name == name)


@pytest.mark.parametrize("strip", [False, True], ids=["symbols", "stripped"])
def test_a_veneer_to_a_thumb_function_of_the_module_passes_thumb(veneer: Veneered, strip: bool) -> None:
    thumb = checks(veneer(value_of("thumb_helper"), "to_thumb.so", strip))["thumb"]
    assert thumb.passed and "init_globals enters through an ARM-state veneer to Thumb code" in thumb.detail


@pytest.mark.parametrize("where, seen, strip", [
    (value_of("arm_helper"), "to ARM code at 0x", False),
    (lambda module: value_of("thumb_helper")(module) + 2, "which is no Thumb function's start", False),
    (value_of("back_to_arm"), "to a veneer back to ARM state at 0x", True),
    (lambda module: value_of("init_globals")(module) + 1, "to another veneer at 0x", True),
    (lambda module: next(section.address for section in module.file.sections() if section.name == ".plt") + 21,
     "in .plt, a call into another library", True),
    (lambda module: 0x7FFFF001, "0x7ffff001, outside the module's executable code", True),
], ids=["arm-code", "mid-function", "thumb-to-arm", "itself", "plt", "outside"])
def test_a_veneer_that_leads_elsewhere_fails_thumb_saying_where(veneer: Veneered, where: Where, seen: str,
                                                                strip: bool) -> None:
    thumb = checks(veneer(where, "elsewhere.so", strip))["thumb"]
    assert not thumb.passed
    assert "init_globals at 0x" in thumb.detail and "enters through an ARM-state veneer" in thumb.detail
    assert seen in thumb.detail


def test_a_veneer_is_decoded_exactly_in_each_form() -> None:
    def words(*values: int) -> bytes:
        return struct.pack("<%dI" % len(values), *values)
    pic = words(abi.LDR_IP_PC_4, abi.ADD_IP_IP_PC, abi.BX_IP, 0xFFFFFFBD)
    assert abi.decode_veneer(pic, 0x524) == 0x4ED
    assert abi.decode_veneer(words(abi.LDR_IP_PC_0, abi.BX_IP, 0x105F1), 0x10610) == 0x105F1
    assert abi.decode_veneer(words(abi.LDR_PC_PC_MINUS_4, 0x8001), 0x9000) == 0x8001
    # One instruction off, or cut short, is no veneer.
    assert abi.decode_veneer(words(abi.LDR_IP_PC_4, abi.ADD_IP_IP_PC, 0xE12FFF1E, 0), 0) is None
    assert abi.decode_veneer(words(abi.LDR_IP_PC_4 + 4, abi.ADD_IP_IP_PC, abi.BX_IP, 0), 0) is None
    assert abi.decode_veneer(pic[:12], 0) is None


def test_the_toolchain_s_arm_state_runtime_listed_among_the_module_s_functions_is_not_judged(samples: Samples) -> None:
    if shutil.which("clang") is None or shutil.which("ld.lld") is None:
        pytest.skip("clang and ld.lld are not installed")
    # lld lists libgcc's ARM-state division, made local, after the module's own source file.
    path = samples.build("clang_lld", "-O2", "-fuse-ld=lld", compiler="clang", split=False)
    module = abi.Module(path)
    listed = {symbol.name for symbol in module.symtab if symbol.file == "faulty_module.c"}
    assert {"__udivsi3", "get_eit_entry"} <= listed, "lld listed libgcc's functions after the module's source"
    assert checks(path)["thumb"].passed


def test_a_module_without_functions_fails_thumb(samples: Samples) -> None:
    source = samples.write("data.c", '__attribute__((visibility("default"))) int HMI[32];\n')
    thumb = checks(samples.build("no_functions", source=source, split=False))["thumb"]
    assert not thumb.passed and thumb.detail.startswith("no function symbols")


# --- Exports.

def test_a_record_of_another_size_fails_hmi_size(samples: Samples) -> None:
    source = samples.write("small.c", '__attribute__((visibility("default"))) int HMI[16];\n'
                                      '__attribute__((visibility("default"))) void init_globals(void) {}\n')
    path = samples.build("small_record", source=source, split=False)
    check = checks(path)["hmi-size"]
    assert not check.passed and "HMI at 0x" in check.detail and "of 64 bytes" in check.detail


def test_an_extra_export_fails_exports_alone_naming_it(samples: Samples) -> None:
    path = samples.build("extra_export", defines=["FAULT_EXTRA_EXPORT"])
    assert failed(path) == ["exports"]
    assert "exports lights_debug_level (OBJECT at 0x" in checks(path)["exports"].detail


def test_exports_of_the_wrong_kinds_fail_export_kinds(samples: Samples) -> None:
    source = samples.write("kinds.c", '__attribute__((visibility("default"))) void HMI(void) {}\n'
                                      '__attribute__((visibility("default"))) int init_globals[32];\n')
    path = samples.build("kinds", source=source, split=False)
    found = checks(path)
    assert not found["export-kinds"].passed and "HMI (FUNC at 0x" in found["export-kinds"].detail
    assert found["exports"].passed


def test_a_version_script_with_a_named_version_exports_exactly_the_two(samples: Samples) -> None:
    script = os.path.join(samples.folder, "named.map")
    with open(script, "w") as file:
        file.write("LIGHTS_1.0 { global: HMI; init_globals; local: *; };\n")
    path = samples.build("named_version", "-Wl,--version-script=" + script)
    assert failed(path) == []


# --- Dynamic linking.

def test_an_object_file_fails_dyn(samples: Samples) -> None:
    path = os.path.join(samples.folder, "module.o")
    subprocess.run([samples.cross.CC, *samples.cross.TARGET, "-c", "-o", path, *samples.includes, SAMPLE],
                   check=True)
    check = checks(path)["dyn"]
    assert not check.passed and "ET_REL" in check.detail


def test_another_soname_fails_soname(wrong_soname: str) -> None:
    assert failed(wrong_soname) == ["soname"]
    assert "DT_SONAME is lights.so" in checks(wrong_soname)["soname"].detail


def test_a_module_without_libpthread_keeps_the_contract_but_not_our_build(samples: Samples) -> None:
    path = samples.build("as_needed", "-Wl,--as-needed", keeps=KEEPS[:-3] + ("-llog", "-lpthread"))
    assert "libpthread.so.0" not in abi.Module(path).dynamic.needed
    assert failed(path) == ["needed-exactly"]


def test_needs_in_another_order_pass(samples: Samples) -> None:
    path = samples.build("order", keeps=KEEPS[:-2] + ("-l:libpthread.so.0", "-lc", "-llog"))
    assert abi.Module(path).dynamic.needed[0] == "libpthread.so.0"
    assert failed(path) == []


def test_a_module_with_the_stack_protector_may_need_the_dynamic_linker(samples: Samples) -> None:
    path = samples.build("protected", "-fstack-protector-all")
    assert "ld-linux.so.3" in abi.Module(path).dynamic.needed
    assert "needed" not in failed(path)


def test_a_module_without_the_log_library_fails_needed(samples: Samples) -> None:
    path = samples.build("only_libc", "-Wl,--unresolved-symbols=ignore-all", keeps=KEEPS[:-2])
    assert failed(path) == ["needed", "needed-exactly"]
    assert "not liblog.so" in checks(path)["needed"].detail


def test_a_module_needing_more_fails_needed_naming_it(samples: Samples) -> None:
    path = samples.build("more", "-lm", "-lresolv")
    assert "libm.so.6, libresolv.so.2 beyond what the contract allows" in checks(path)["needed"].detail


def test_a_module_taking_its_own_export_by_its_global_name_fails_self_relocations(samples: Samples) -> None:
    source = samples.write("plain.c", PLAIN)
    path = samples.build("interposable", source=source)
    check = checks(path)["self-relocations"]
    assert not check.passed and "R_ARM_GLOB_DAT against init_globals at 0x" in check.detail
    assert checks(samples.build("symbolic", "-Wl,-Bsymbolic", source=source))["self-relocations"].passed


def test_code_built_without_pic_fails_textrel(samples: Samples) -> None:
    path = samples.build("textrel", "-fno-PIC", "-Wl,-z,notext")
    assert "textrel" in failed(path)
    assert "DT_TEXTREL: R_ARM_" in checks(path)["textrel"].detail


def test_an_executable_stack_fails_stack(samples: Samples) -> None:
    path = samples.build("exec_stack", "-Wl,-z,execstack")
    assert failed(path) == ["stack"]
    assert "PT_GNU_STACK flags RWE" in checks(path)["stack"].detail


def test_a_runpath_and_no_build_id_pass(samples: Samples) -> None:
    path = samples.build("runpath", "-Wl,-rpath,/system/lib", "-Wl,--enable-new-dtags", "-Wl,--build-id=none")
    result = abi.check_module(path)
    assert result.failed() == [] and result.build_id == "none"


# --- The debug file.

def test_a_module_without_a_debug_link_fails_debuglink_and_skips_its_file_checks(samples: Samples) -> None:
    path = samples.build("no_link", split=False)
    found = checks(path)
    assert not found["debuglink"].passed and found["debuglink"].detail.startswith("no .gnu_debuglink")
    assert "debug-crc" not in found and "debug-line" not in found


def test_a_debug_file_missing_beside_it_fails_debuglink(samples: Samples) -> None:
    path = samples.build("lost_debug")
    os.remove(path + ".debug")
    assert "lost_debug.so.debug (.gnu_debuglink) is not beside the module" in checks(path)["debuglink"].detail


def test_another_build_s_debug_file_fails_debug_crc(samples: Samples) -> None:
    path = samples.build("stale_debug")
    other = samples.build("stale_other", "-O2")
    shutil.copyfile(other + ".debug", path + ".debug")
    check = checks(path)["debug-crc"]
    assert not check.passed and check.detail.startswith("link ")


def test_a_debug_file_dated_0_is_still_checked(samples: Samples) -> None:
    path = samples.build("dated_0")
    os.utime(path + ".debug", (0, 0))
    assert checks(path)["debug-crc"].passed
    assert subprocess.run([sys.executable, ABI_CHECK, path], capture_output=True).returncode == 0


def test_a_debug_file_without_lines_fails_debug_line(samples: Samples) -> None:
    path = samples.build("no_lines", keeps=tuple(option for option in KEEPS if option != "-g"))
    check = checks(path)["debug-line"]
    assert not check.passed and "init_globals at 0x" in check.detail and "maps to" in check.detail


def test_a_crash_address_of_a_veneered_function_maps_through_the_veneer(keeps: str) -> None:
    check = checks(keeps)["debug-line"]
    assert check.passed


def test_a_missing_addr2line_fails_debug_line_saying_so(keeps: str) -> None:
    check = checks(keeps, addr2line="no-such-addr2line")["debug-line"]
    assert not check.passed and check.detail.startswith("cannot run no-such-addr2line")


@pytest.mark.parametrize("location, matches", [
    ("init_globals /src/lights.c:12", True),
    ("_Z5levelj /src/lights.cc:7", True),
    ("init_globals /src/lights.c:12 (discriminator 3)", True),
    ("?? ??:0", False),
    ("init_globals /src/lights.c:0", False),
    ("init_globals /src/lights.s:12", False)])
def test_a_location_is_a_function_and_a_source_line(location: str, matches: bool) -> None:
    assert bool(abi.LOCATION.match(location)) == matches


# --- Unwinding and versions.

def test_a_module_without_unwind_tables_fails_unwind_saying_so(samples: Samples) -> None:
    path = samples.build("no_unwind", keeps=tuple(option for option in KEEPS if option != "-funwind-tables")
                         + ("-fno-unwind-tables", "-fno-asynchronous-unwind-tables"))
    assert failed(path) == ["unwind"]
    assert checks(path)["unwind"].detail.startswith("no .ARM.exidx section")


def test_an_exported_function_that_cannot_unwind_fails_unwind(samples: Samples) -> None:
    # init_globals from a file built without unwind tables, the rest with them: the linker covers it
    # with an entry that cannot unwind.
    with open(SAMPLE) as file:
        text = file.read()
    own = "EXPORT void init_globals(void)\n{\n    init_lock();\n}\n"
    source = samples.write("cantunwind.c", text.replace(own, "void init_globals(void);\n"))
    other = samples.write("init_globals.c", '__attribute__((visibility("default"))) void init_globals(void) {}\n')
    subprocess.run([samples.cross.CC, *samples.cross.TARGET, "-fPIC", "-fno-unwind-tables",
                    "-fno-asynchronous-unwind-tables", "-c", "-o", other + ".o", other], check=True)
    path = samples.build("cantunwind", other + ".o", source=source)
    check = checks(path)["unwind"]
    assert not check.passed
    assert "init_globals at 0x" in check.detail and "EXIDX_CANTUNWIND entry" in check.detail


def test_a_veneer_before_the_exported_function_does_not_hide_its_unwind_entry(keeps: str) -> None:
    module = abi.Module(keeps)
    entry = next(symbol for symbol in module.dynsym if symbol.name == "init_globals")
    covering = [unwind for unwind in module.file.unwind_entries() or [] if unwind.start <= entry.value][-1]
    assert covering.cantunwind, "the veneer itself is covered by an entry that cannot unwind"
    assert checks(keeps)["unwind"].passed


def test_a_symbol_version_above_the_baseline_fails_versions_naming_the_symbol(samples: Samples) -> None:
    path = samples.build("new_symbols", defines=["FAULT_NEW_SYMBOLS"])
    assert failed(path) == ["versions"]
    assert "pthread_once@GLIBC_2.34 (libc.so.6)" in checks(path)["versions"].detail


def test_a_module_binding_no_symbol_version_passes_versions(samples: Samples) -> None:
    source = samples.write("unversioned.c", "int __kelvo_log_print(int, const char*, const char*, ...);\n"
                                            "int f(void) { return __kelvo_log_print(4, \"t\", \"f\"); }\n")
    path = samples.build("unversioned", source=source, split=False, keeps=("-nostdlib", "-llog"))
    assert abi.Module(path).needed_versions == []
    assert checks(path)["versions"].passed


def test_versions_at_or_below_the_baseline_pass() -> None:
    assert abi.version_number("GLIBC_2.4") == (2, 4)
    assert (abi.version_number("GLIBC_2.0") or ()) < abi.BASELINE
    assert (abi.version_number("GLIBC_2.10") or ()) > abi.BASELINE
    assert abi.version_number("GCC_3.5") is None


# --- abi-check, the command.

def run(*arguments: str) -> "subprocess.CompletedProcess[str]":
    return subprocess.run([sys.executable, ABI_CHECK, *arguments], capture_output=True, text=True)


def test_results_give_each_check_and_the_identity_for_a_program(keeps: str) -> None:
    lines = run("--results", keeps).stdout.splitlines()
    program = [line.split("\t") for line in lines if "\t" in line]
    assert [fields[0] for fields in program].count("info") == 2
    assert program[7][:2] == ["info", "build-id"] and program[8][:2] == ["info", "version"]
    assert [fields[1] for fields in program if fields[0] != "info"] == list(abi.DESCRIPTIONS.values())
    assert all(len(fields) == 3 for fields in program)
    assert "pass  shared object (ELF type DYN)" in lines
    assert lines[-1] == f"verdict: all checks pass for {keeps}"


def test_a_failing_check_prints_its_detail_and_status_1(wrong_soname: str) -> None:
    path = wrong_soname
    result = run(path)
    assert result.returncode == 1
    assert "fail  SONAME lumivane.so: DT_SONAME is lights.so; the contract asks lumivane.so" in result.stdout
    assert result.stdout.splitlines()[-1] == f"verdict: 1 check(s) fail for {path}"


def test_portable_keeps_the_checks_of_any_architecture(keeps: str) -> None:
    result = run("--portable", "--addr2line", "arm-linux-gnueabi-addr2line", keeps)
    assert result.returncode == 0
    assert "Thumb code" not in result.stdout and "pass  a crash address maps to a function and a line" in \
        result.stdout


def test_expect_fail_passes_only_for_exactly_the_known_faults(wrong_soname: str, keeps: str) -> None:
    path = wrong_soname
    exact = run("--expect-fail", "SONAME", path)
    assert exact.returncode == 0
    assert exact.stdout.splitlines()[-1] == \
        f"verdict: the checks reject {path} for each known fault and nothing else"
    missing = run("--expect-fail", "SONAME", keeps)
    assert missing.returncode == 1 and '  no check failed for "SONAME" ' in missing.stdout.splitlines()
    unexpected = run("--expect-fail", "stack", path)
    assert unexpected.returncode == 1
    assert '  failed unexpectedly: "SONAME lumivane.so" ' in unexpected.stdout.splitlines()


@pytest.mark.parametrize("arguments", [[], ["--verbose", "x.so"], ["--addr2line", "x.so"], ["a.so", "b.so"],
                                       ["/no/such/module.so"]], ids=["none", "unknown", "no-value", "two", "missing"])
def test_bad_usage_exits_2(arguments: List[str]) -> None:
    result = run(*arguments)
    assert result.returncode == 2 and result.stderr.startswith("usage: abi-check")


def test_a_file_that_is_no_elf_exits_2(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "module.so"
    path.write_text("not a module\n")
    result = run(str(path))
    assert result.returncode == 2
    assert result.stderr.startswith(f"abi-check: cannot read {path}: ") and result.stdout == ""


# --- The tree's own modules (the checks CMake registered before).

BUILDS = [("armv5te", False), ("host", True), ("host-clang", True)]


def built(top: str, config: str, *parts: str) -> str:
    path = os.path.join(top, "build", config, *parts)
    if not os.path.isfile(path):
        pytest.skip(f"build/{config} has no {'/'.join(parts)}: build it with its preset")
    return path


@pytest.mark.parametrize("config, portable", BUILDS, ids=[config for config, _ in BUILDS])
def test_the_built_module_passes_every_check(top: str, config: str, portable: bool) -> None:
    path = built(top, config, "lights", "lumivane.so")
    assert abi.check_module(path, portable).failed() == []


@pytest.mark.parametrize("config, portable", BUILDS, ids=[config for config, _ in BUILDS])
def test_the_installed_module_stripped_beside_its_debug_file_passes_every_check(top: str, tmp_path: pathlib.Path,
                                                                                config: str, portable: bool) -> None:
    built(top, config, "lights", "lumivane.so")
    subprocess.run(["cmake", "--install", os.path.join(top, "build", config), "--prefix", str(tmp_path), "--strip"],
                   check=True, capture_output=True)
    assert abi.check_module(str(tmp_path / "lib" / "lumivane.so"), portable).failed() == []


def test_the_kit_s_copy_of_abi_check_finds_its_library(armv5te_out: str) -> None:
    kit_copy = os.path.join(armv5te_out, "share", "lights-conformance", "abi-check")
    result = subprocess.run([kit_copy, "--results", os.path.join(armv5te_out, "lib", "lumivane.so")],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert "pass\tThumb code: every function symbol has the Thumb bit\t" in result.stdout


CARELESS = ["SONAME", "needs exactly", "nothing beyond", "own exports", "debug file beside it"]


@pytest.mark.parametrize("config, portable", BUILDS, ids=[config for config, _ in BUILDS])
def test_the_careless_module_fails_for_each_of_its_faults_and_nothing_else(top: str, config: str,
                                                                           portable: bool) -> None:
    path = built(top, config, "checks", "careless_module.so")
    mode = ["--portable"] if portable else []
    expected = CARELESS + ([] if portable else ["unwind tables", "symbol version"])
    assert run(*mode, *[argument for text in expected for argument in ("--expect-fail", text)], path).returncode == 0


@pytest.mark.parametrize("config, portable", BUILDS, ids=[config for config, _ in BUILDS])
def test_expect_fail_refuses_unexpected_and_missing_failures_of_the_built_modules(top: str, config: str,
                                                                                  portable: bool) -> None:
    mode = ["--portable"] if portable else []
    careless = built(top, config, "checks", "careless_module.so")
    assert run(*mode, "--expect-fail", "SONAME", careless).returncode == 1
    assert run(*mode, "--expect-fail", "SONAME", built(top, config, "lights", "lumivane.so")).returncode == 1
