# SPDX-License-Identifier: Apache-2.0
"""The binary checks: each one failing on a module that breaks it, with
evidence a supplier can act on, and passing on modules built honestly in
ways this project does not build (a linker's veneer, a named version node,
another linker's symbol order); then abi-check, the command."""

import os
import pathlib
import re
import shutil
import struct
import subprocess
import sys
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

import pytest

from conftest import Cross
from pellix import abi

SAMPLE = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                      "checks", "samples", "faulty_module.c")
ABI_CHECK = os.path.join(os.path.dirname(SAMPLE), "..", "abi-check")
ADDR2LINE = "arm-linux-gnueabi-addr2line"

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
        self.includes = ["-I" + os.path.join(os.path.dirname(SAMPLE), "..", "..", "lights", "include"), "-L" + folder]
        cross.shared(folder, "int __kelvo_log_print(int p, const char* t, const char* f, ...) { return 0; }\n",
                     "-Wl,-soname,liblog.so", name="liblog.so")

    def build(self, name: str, options: Sequence[str] = (), defines: Sequence[str] = (), source: str = SAMPLE,
              keeps: Sequence[str] = KEEPS, debug: str = "split", compiler: str = "", e_flags: Optional[int] = None,
              remove: str = "") -> str:
        """NAME.so from SOURCE (a path, or C text) with the options that keep the contract, then OPTIONS;
        its debug information in NAME.so.debug beside it ("split"), kept ("none"), or split and then
        "missing", "stale" (another build's) or "dated 0". E_FLAGS is written over the header's flags,
        the section REMOVE removed."""
        path = self.cross.shared(self.folder, source, *self.includes, *keeps, *options,
                                 *("-D" + define for define in defines), name=name + ".so", compiler=compiler)
        objcopy = self.cross.tool("objcopy")
        if debug != "none":
            subprocess.run([objcopy, "--only-keep-debug", path, path + ".debug"], check=True)
            subprocess.run([objcopy, "--strip-debug", "--add-gnu-debuglink=" + path + ".debug", path], check=True)
        if remove:
            subprocess.run([objcopy, "--remove-section=" + remove, path], check=True)
        if e_flags is not None:
            with open(path, "r+b") as file:
                file.seek(36)
                file.write(struct.pack("<I", e_flags))
        if debug == "missing":
            os.remove(path + ".debug")
        elif debug == "stale":
            shutil.copyfile(self.build(name + "_other", ["-O2"]) + ".debug", path + ".debug")
        elif debug == "dated 0":
            os.utime(path + ".debug", (0, 0))
        return path


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
    return samples.build("wrong_soname", ["-Wl,-soname,lights.so"])


def checks(path: str, portable: bool = False, addr2line: Optional[str] = None) -> Dict[str, abi.Check]:
    return {check.id: check for check in abi.check_module(path, portable, addr2line).checks}


def failed(path: str) -> List[str]:
    return sorted(check.id for check in checks(path).values() if not check.passed)


def test_a_module_that_keeps_the_contract_passes_every_check(keeps: str) -> None:
    result = abi.check_module(keeps)
    assert [check.id for check in result.checks] == list(abi.DESCRIPTIONS)
    assert result.failed() == []
    assert result.version == "9.9" and len(result.build_id) == 40 and int(result.build_id, 16)
    # A veneer to the module's Thumb code is accepted, and named.
    thumb = checks(keeps)["thumb"].detail
    assert thumb.startswith("init_globals enters through an ARM-state veneer to Thumb code at 0x")


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
EXPORT = '__attribute__((visibility("default"))) '
WITHOUT_DEBUG_INFO = tuple(option for option in KEEPS if option != "-g")
WITHOUT_UNWIND_TABLES = tuple(option for option in KEEPS if option != "-funwind-tables") \
    + ("-fno-unwind-tables", "-fno-asynchronous-unwind-tables")


# Each module built to break a check (or to keep it another way): the checks that fail, if asked exactly;
# the check, whether it passes, and what its detail shows (a regular expression).
BUILT_SO: List[Tuple[str, Dict[str, Any], Optional[List[str]], str, bool, str]] = [
    ("eabi4", {"e_flags": 0x04000200}, ["eabi5", "soft-float"], "eabi5", False, "EABI version 4"),
    ("hard", {"e_flags": 0x05000400}, ["soft-float"], "soft-float", False, "hard float ABI"),
    ("newer_attributes", {"defines": ["FAULT_NEWER_ATTRIBUTES"]}, ["cpu-arch"], "cpu-arch", False,
     r"Tag_CPU_arch: v7 in \.ARM\.attributes"),
    ("no_attributes", {"remove": ".ARM.attributes"}, ["cpu-arch"], "cpu-arch", False, r"^no \.ARM\.attributes"),
    ("arm_state", {"defines": ["FAULT_ARM_STATE"]}, ["thumb"], "thumb", False,
     "init_globals at 0x.*enters in ARM state.*-mthumb"),
    ("no_functions", {"source": EXPORT + "int HMI[32];\n", "debug": "none"}, None, "thumb", False,
     "^no function symbols"),
    ("small_record", {"source": EXPORT + "int HMI[16];\n" + EXPORT + "void init_globals(void) {}\n",
                      "debug": "none"}, None, "hmi-size", False, "HMI at 0x.* of 64 bytes"),
    ("extra_export", {"defines": ["FAULT_EXTRA_EXPORT"]}, ["exports"], "exports", False,
     r"exports lights_debug_level \(OBJECT at 0x"),
    ("kinds", {"source": EXPORT + "void HMI(void) {}\n" + EXPORT + "int init_globals[32];\n", "debug": "none"},
     ["debuglink", "export-kinds", "hmi-size"], "export-kinds", False, r"HMI \(FUNC at 0x"),
    ("object", {"options": ["-c"], "debug": "none"}, None, "dyn", False, "ET_REL"),
    ("lights_soname", {"options": ["-Wl,-soname,lights.so"]}, ["soname"], "soname", False,
     "DT_SONAME is lights.so"),
    # Without libpthread the module keeps the contract, but not our build.
    ("as_needed", {"options": ["-Wl,--as-needed"], "keeps": KEEPS[:-3] + ("-llog", "-lpthread")},
     ["needed-exactly"], "needed-exactly", False, r"^needs liblog\.so, libc\.so\.6 "),
    ("order", {"keeps": KEEPS[:-2] + ("-l:libpthread.so.0", "-lc", "-llog")}, [], "needed-exactly", True,
     r"^needs libpthread\.so\.0, "),
    # A module with the stack protector may need the dynamic linker.
    ("protected", {"options": ["-fstack-protector-all"]}, None, "needed", True, r"ld-linux\.so\.3.* \(DT_NEEDED"),
    ("only_libc", {"options": ["-Wl,--unresolved-symbols=ignore-all"], "keeps": KEEPS[:-2]},
     ["needed", "needed-exactly"], "needed", False, r"not liblog\.so"),
    ("more", {"options": ["-lm", "-lresolv"]}, None, "needed", False,
     r"libm\.so\.6, libresolv\.so\.2 beyond what the contract allows"),
    # A module taking its own export by its global name; -Bsymbolic binds it within.
    ("interposable", {"source": PLAIN}, None, "self-relocations", False, "R_ARM_GLOB_DAT against init_globals at 0x"),
    ("symbolic", {"source": PLAIN, "options": ["-Wl,-Bsymbolic"]}, None, "self-relocations", True, ""),
    ("textrel", {"options": ["-fno-PIC", "-Wl,-z,notext"]}, None, "textrel", False, "DT_TEXTREL: R_ARM_"),
    ("exec_stack", {"options": ["-Wl,-z,execstack"]}, ["stack"], "stack", False, "PT_GNU_STACK flags RWE"),
    ("no_link", {"debug": "none"}, None, "debuglink", False, r"^no \.gnu_debuglink"),
    ("lost_debug", {"debug": "missing"}, None, "debuglink", False,
     r"lost_debug\.so\.debug \(\.gnu_debuglink\) is not beside the module"),
    ("stale_debug", {"debug": "stale"}, None, "debug-crc", False, "^link "),
    ("no_lines", {"keeps": WITHOUT_DEBUG_INFO}, None, "debug-line", False, "init_globals at 0x.* maps to"),
    ("no_unwind", {"keeps": WITHOUT_UNWIND_TABLES}, ["unwind"], "unwind", False, r"^no \.ARM\.exidx section"),
    ("new_symbols", {"defines": ["FAULT_NEW_SYMBOLS"]}, ["versions"], "versions", False,
     r"pthread_once@GLIBC_2\.34 \(libc\.so\.6\)"),
]


@pytest.mark.parametrize("name, how, fail, check_id, passes, seen", BUILT_SO, ids=[case[0] for case in BUILT_SO])
def test_a_module_built_so_fails_the_check_it_breaks_saying_what_it_saw(
        samples: Samples, name: str, how: Dict[str, Any], fail: Optional[List[str]], check_id: str, passes: bool,
        seen: str) -> None:
    path = samples.build(name, **how)
    if fail is not None:
        assert failed(path) == fail
    passed, detail = abi.CHECKS[check_id](abi.Module(path, ADDR2LINE))
    assert passed == passes and re.search(seen, detail), detail
    assert checks(path)[check_id].passed == passes


def test_a_64_bit_module_fails_elf32_and_machine(samples: Samples) -> None:
    if shutil.which("gcc") is None:
        pytest.skip("the host's gcc is not installed")
    path = os.path.join(samples.folder, "host.so")
    subprocess.run(["gcc", "-shared", "-fPIC", "-o", path, "-x", "c", "-"], input=b"int f(void) { return 0; }\n",
                   check=True)
    found = checks(path)
    assert not found["elf32"].passed and "ELF64" in found["elf32"].detail
    assert not found["machine-arm"].passed and "EM_X86_64" in found["machine-arm"].detail


@pytest.mark.parametrize("debug", ["none", "missing"])
def test_without_a_debug_file_beside_it_its_file_checks_are_skipped(samples: Samples, debug: str) -> None:
    found = checks(samples.build("skipped_" + debug, debug=debug))
    assert not found["debuglink"].passed
    assert "debug-crc" not in found and "debug-line" not in found


def test_a_debug_file_dated_0_is_still_checked(samples: Samples) -> None:
    path = samples.build("dated_0", debug="dated 0")
    assert checks(path)["debug-crc"].passed
    assert subprocess.run([sys.executable, ABI_CHECK, path], capture_output=True).returncode == 0


def test_a_version_script_with_a_named_version_exports_exactly_the_two(samples: Samples) -> None:
    script = os.path.join(samples.folder, "named.map")
    with open(script, "w") as file:
        file.write("LIGHTS_1.0 { global: HMI; init_globals; local: *; };\n")
    assert failed(samples.build("named_version", ["-Wl,--version-script=" + script])) == []


def test_a_runpath_and_no_build_id_pass(samples: Samples) -> None:
    result = abi.check_module(samples.build("runpath", ["-Wl,-rpath,/system/lib", "-Wl,--enable-new-dtags",
                                                        "-Wl,--build-id=none"]))
    assert result.failed() == [] and result.build_id == "none"


# Where a test's veneer leads, read from the module; and a copy of the module whose veneer leads there.
Where = Callable[[abi.Module], int]
Veneered = Callable[..., str]


# --- Thumb state: the code the compiler produced, not how the linker reached it.

@pytest.mark.parametrize("strip", [False, True], ids=["symbols", "stripped"])
def test_a_plain_module_passing_init_globals_to_pthread_once_passes_thumb(samples: Samples, strip: bool) -> None:
    path = samples.build("plain_stripped" if strip else "plain", ["-O2"], source=PLAIN, debug="none")
    if strip:
        subprocess.run([samples.cross.tool("strip"), path], check=True)
    entry = next(symbol for symbol in abi.Module(path).dynsym if symbol.name == "init_globals")
    assert not entry.value & 1, "the link put no veneer before init_globals"
    thumb = checks(path)["thumb"]
    assert thumb.passed, thumb.detail
    assert "init_globals enters through an ARM-state veneer to Thumb code at 0x" in thumb.detail


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
    path = samples.build("veneer", ["-O2"], source=VENEER, debug="none",
                         keeps=("-fvisibility=hidden", "-Wl,-soname,lumivane.so", "-Wl,--use-blx"))
    module = abi.Module(path)
    entry = next(symbol for symbol in module.dynsym if symbol.name == "init_globals")
    text = module.file.section(".text")
    assert text is not None
    word_at = text.offset - text.address + entry.value + 12

    def leading_to(where: Where, name: str, strip: bool = False) -> str:
        copy = os.path.join(samples.folder, name)
        shutil.copyfile(path, copy)
        with open(copy, "r+b") as file:
            file.seek(word_at)
            file.write(struct.pack("<I", (where(module) - (entry.value + 12)) & 0xFFFFFFFF))
        if strip:
            subprocess.run([samples.cross.tool("strip"), copy], check=True)
        return copy
    return leading_to


def value_of(name: str) -> Where:
    return lambda module: next(symbol.value for symbol in module.symtab if symbol.name == name)


@pytest.mark.parametrize("where, seen, strip", [
    (value_of("thumb_helper"), None, False),
    (value_of("thumb_helper"), None, True),
    (value_of("arm_helper"), "to ARM code at 0x", False),
    (lambda module: value_of("thumb_helper")(module) + 2, "which is no Thumb function's start", False),
    (value_of("back_to_arm"), "to a veneer back to ARM state at 0x", True),
    (lambda module: value_of("init_globals")(module) + 1, "to another veneer at 0x", True),
    (lambda module: next(section.address for section in module.file.sections() if section.name == ".plt") + 21,
     "in .plt, a call into another library", True),
    (lambda module: 0x7FFFF001, "0x7ffff001, outside the module's executable code", True),
], ids=["thumb", "thumb-stripped", "arm-code", "mid-function", "thumb-to-arm", "itself", "plt", "outside"])
def test_a_veneer_passes_thumb_only_to_a_thumb_function_of_the_module(veneer: Veneered, where: Where,
                                                                      seen: Optional[str], strip: bool) -> None:
    thumb = checks(veneer(where, "elsewhere.so", strip))["thumb"]
    if seen is None:
        assert thumb.passed and "init_globals enters through an ARM-state veneer to Thumb code" in thumb.detail
    else:
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
    path = samples.build("clang_lld", ["-O2", "-fuse-ld=lld"], compiler="clang", debug="none")
    listed = {symbol.name for symbol in abi.Module(path).symtab if symbol.file == "faulty_module.c"}
    assert {"__udivsi3", "get_eit_entry"} <= listed, "lld listed libgcc's functions after the module's source"
    assert checks(path)["thumb"].passed


# --- The debug file, unwinding and versions.

def test_a_missing_addr2line_fails_debug_line_saying_so(keeps: str) -> None:
    # The crash address of the veneered init_globals maps through the veneer with the target's tool.
    assert checks(keeps)["debug-line"].passed
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


def test_an_exported_function_that_cannot_unwind_fails_unwind(samples: Samples) -> None:
    # init_globals from a file built without unwind tables, the rest with them: the linker covers it
    # with an entry that cannot unwind.
    with open(SAMPLE) as file:
        text = file.read().replace("EXPORT void init_globals(void)\n{\n    init_lock();\n}\n",
                                   "void init_globals(void);\n")
    other = os.path.join(samples.folder, "init_globals.c")
    with open(other, "w") as file:
        file.write(EXPORT + "void init_globals(void) {}\n")
    subprocess.run([samples.cross.CC, *samples.cross.TARGET, "-fPIC", "-fno-unwind-tables",
                    "-fno-asynchronous-unwind-tables", "-c", "-o", other + ".o", other], check=True)
    check = checks(samples.build("cantunwind", [other + ".o"], source=text))["unwind"]
    assert not check.passed
    assert "init_globals at 0x" in check.detail and "EXIDX_CANTUNWIND entry" in check.detail


def test_a_veneer_before_the_exported_function_does_not_hide_its_unwind_entry(keeps: str) -> None:
    module = abi.Module(keeps)
    entry = next(symbol for symbol in module.dynsym if symbol.name == "init_globals")
    covering = [unwind for unwind in module.file.unwind_entries() or [] if unwind.start <= entry.value][-1]
    assert covering.cantunwind, "the veneer itself is covered by an entry that cannot unwind"
    assert checks(keeps)["unwind"].passed


def test_a_module_binding_no_symbol_version_passes_versions(samples: Samples) -> None:
    source = ("int __kelvo_log_print(int, const char*, const char*, ...);\n"
              "int f(void) { return __kelvo_log_print(4, \"t\", \"f\"); }\n")
    path = samples.build("unversioned", source=source, debug="none", keeps=("-nostdlib", "-llog"))
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


@pytest.mark.parametrize("arguments, module, status, shown, last", [
    ([], "wrong_soname", 1, "fail  SONAME lumivane.so: DT_SONAME is lights.so; the contract asks lumivane.so",
     "verdict: 1 check(s) fail for {}"),
    # --portable keeps the checks of any architecture.
    (["--portable", "--addr2line", ADDR2LINE], "keeps", 0, "pass  a crash address maps to a function and a line",
     "verdict: all checks pass for {}"),
    (["--expect-fail", "SONAME"], "wrong_soname", 0, "", "verdict: the checks reject {} for each known fault and "
                                                         "nothing else"),
    (["--expect-fail", "SONAME"], "keeps", 1, '  no check failed for "SONAME" ', '  no check failed for "SONAME" '),
    (["--expect-fail", "stack"], "wrong_soname", 1, '  failed unexpectedly: "SONAME lumivane.so" ',
     '  failed unexpectedly: "SONAME lumivane.so" '),
], ids=["failing", "portable", "expected", "expected-missing", "unexpected"])
def test_the_verdict_and_its_status(request: pytest.FixtureRequest, arguments: List[str], module: str, status: int,
                                    shown: str, last: str) -> None:
    path = request.getfixturevalue(module)
    result = run(*arguments, path)
    assert result.returncode == status
    assert shown in result.stdout
    assert result.stdout.splitlines()[-1] == last.format(path)
    assert "Thumb code" not in result.stdout or "--portable" not in arguments


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
def test_the_built_module_and_installed_stripped_beside_its_debug_file_pass_every_check(
        top: str, tmp_path: pathlib.Path, config: str, portable: bool) -> None:
    assert abi.check_module(built(top, config, "lights", "lumivane.so"), portable).failed() == []
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
    careless = built(top, config, "checks", "careless_module.so")
    mode = ["--portable"] if portable else []
    expected = CARELESS + ([] if portable else ["unwind tables", "symbol version"])
    expect_fail = [argument for text in expected for argument in ("--expect-fail", text)]
    assert run(*mode, *expect_fail, careless).returncode == 0
    # Unexpected and missing failures are refused.
    assert run(*mode, "--expect-fail", "SONAME", careless).returncode == 1
    assert run(*mode, "--expect-fail", "SONAME", built(top, config, "lights", "lumivane.so")).returncode == 1
