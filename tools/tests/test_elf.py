# SPDX-License-Identifier: Apache-2.0
"""The ELF reader, on the module the tree builds, on small modules compiled
here with the target's cross compiler, and on files that are no ELF."""

import os
import pathlib
import subprocess
import zlib
from typing import Optional

import pytest

from conftest import Cross
from pellix import elf

OBJCOPY = "arm-linux-gnueabi-objcopy"
NOTE = (r'__asm__(".pushsection .note.lumivane.version, \"a\", %note\n.balign 4\n.long 9\n.long 2f - 1f\n'
        r'.long {type}\n.asciz \"lumivane\"\n.balign 4\n1: {descriptor}\n2: .balign 4\n.popsection");' "\n")

# A module with one of everything the reader reads: a version note, an
# exported Thumb function and object, a local function, a needed library,
# a run path, unwind tables and a text relocation-free link.
SOURCE = NOTE.format(type=1, descriptor=r'.asciz \"9.8.7\"') + r"""
#include <pthread.h>
static pthread_once_t once = PTHREAD_ONCE_INIT;
static int count;
static void count_once(void) { ++count; }
__attribute__((visibility("default"))) int answer(void) { pthread_once(&once, count_once); return count; }
__attribute__((visibility("default"))) int table[32] = {1};
"""


def compile_module(cross: Cross, folder: str, source: str, *options: str) -> elf.ElfFile:
    return elf.ElfFile(cross.shared(folder, source, "-fvisibility=hidden", *options))


@pytest.fixture(scope="module")
def module(tmp_path_factory: pytest.TempPathFactory, cross: Cross) -> elf.ElfFile:
    # --use-blx: the exported function keeps its Thumb entry (no ARM-state veneer before it).
    return compile_module(cross, str(tmp_path_factory.mktemp("elf")), SOURCE, "-O2", "-funwind-tables",
                          "-static-libgcc", "-Wl,--use-blx", "-Wl,-soname,sample.so", "-Wl,--build-id=sha1",
                          "-Wl,-rpath,/opt/sample", "-Wl,--enable-new-dtags", "-Wl,--no-as-needed",
                          "-l:libpthread.so.0", "-Wl,-z,noexecstack")


def symbol(file: elf.ElfFile, table: str, name: str) -> elf.Symbol:
    return next(symbol for symbol in file.symbols(table) if symbol.name == name)


# --- What the reader reads, on a module compiled here.

def test_the_header_says_a_32_bit_arm_eabi5_soft_float_shared_object(module: elf.ElfFile) -> None:
    header = module.header()
    assert (header.elf_class, header.machine, header.type) == (32, "EM_ARM", "ET_DYN")
    assert (header.eabi_version, header.float_abi) == (5, "soft")
    assert header.little_endian
    assert module.arm_attributes()[elf.TAG_CPU_ARCH] == 4 and module.cpu_arch() == "v5TE"


def test_symbols_have_their_kind_size_file_and_version(module: elf.ElfFile) -> None:
    # An exported Thumb function has bit 0 set and its size, in executable .text.
    answer = symbol(module, ".dynsym", "answer")
    assert answer.kind == "FUNC" and answer.binding == "GLOBAL" and answer.defined
    assert answer.value & 1 and answer.size > 0
    text = module.section_holding(answer.value & ~1)
    assert text is not None and text.name == ".text" and text.executable
    table = symbol(module, ".dynsym", "table")
    assert (table.kind, table.size) == ("OBJECT", 128)
    # A local symbol names the file it follows.
    count_once = symbol(module, ".symtab", "count_once")
    assert count_once.binding == "LOCAL" and count_once.file == "module.so.c"
    assert symbol(module, ".symtab", "answer").file is None
    # Undefined dynamic symbols carry the version they bind.
    once = symbol(module, ".dynsym", "pthread_once")
    assert not once.defined
    assert once.version is not None and once.version.startswith("GLIBC_2.")
    needed = module.needed_versions()
    assert elf.NeededVersion(needed[0].library, once.version) in needed


def test_notes_dynamic_entries_segments_and_relocations_are_read(module: elf.ElfFile) -> None:
    assert module.version_note() == "9.8.7"
    build_id = module.build_id()
    assert build_id is not None and len(build_id) == 40 and build_id == build_id.lower()
    int(build_id, 16)
    dynamic = module.dynamic()
    assert dynamic.needed == ["libpthread.so.0", "libc.so.6"]
    assert (dynamic.soname, dynamic.runpath, dynamic.rpath) == ("sample.so", "/opt/sample", None)
    assert not dynamic.textrel and not dynamic.pie
    stack = next(segment for segment in module.segments() if segment.type == "PT_GNU_STACK")
    assert stack.flags == elf.PF_R | elf.PF_W and stack.flag_text == "RW "
    relocations = module.relocations()
    assert any(relocation.symbol == "pthread_once" and relocation.type_name == "R_ARM_JUMP_SLOT"
               for relocation in relocations)
    assert any(relocation.type_name == "R_ARM_RELATIVE" and relocation.symbol == "" for relocation in relocations)
    assert module.debuglink() is None


def test_code_and_its_unwind_entry_are_read_at_the_function_s_address(module: elf.ElfFile) -> None:
    start = symbol(module, ".dynsym", "answer").value & ~1
    entries = module.unwind_entries()
    assert entries is not None and entries == sorted(entries, key=lambda entry: entry.start)
    covering = [entry for entry in entries if entry.start <= start][-1]
    assert covering.start == start and not covering.cantunwind
    text = module.section_holding(start)
    assert text is not None
    assert module.code_at(start, 4) == module.section_data(text)[start - text.address:][:4]
    assert module.code_at(0x7FFFFFF0, 4) is None


# --- Files built otherwise.

def test_the_debug_link_gives_the_debug_files_name_and_crc(tmp_path: pathlib.Path, cross: Cross) -> None:
    path = compile_module(cross, str(tmp_path), "int f(void) { return 1; }\n", "-g").path
    debug = path + ".debug"
    subprocess.run([OBJCOPY, "--only-keep-debug", path, debug], check=True)
    subprocess.run([OBJCOPY, "--strip-debug", "--add-gnu-debuglink=" + debug, path], check=True)
    with open(debug, "rb") as file:
        crc = zlib.crc32(file.read())
    assert elf.ElfFile(path).debuglink() == elf.Debuglink("module.so.debug", crc)


def test_a_function_that_cannot_unwind_is_marked_so(tmp_path: pathlib.Path, cross: Cross) -> None:
    source = (r'__asm__(".text\n.syntax unified\n.thumb\n.globl f\n.type f, %function\n.thumb_func\n'
              r'f:\n.fnstart\n.cantunwind\nbx lr\n.fnend\n");' "\n")
    file = compile_module(cross, str(tmp_path), source, "-Wl,--use-blx")
    start = symbol(file, ".symtab", "f").value & ~1
    assert elf.UnwindEntry(start, True) in (file.unwind_entries() or [])


def test_a_module_without_unwind_tables_has_no_index_and_an_executable_stack_if_asked(tmp_path: pathlib.Path,
                                                                                      cross: Cross) -> None:
    file = compile_module(cross, str(tmp_path), "int f(int x) { return x + 1; }\n", "-fno-unwind-tables",
                          "-fno-asynchronous-unwind-tables", "-Wl,-z,execstack")
    assert file.unwind_entries() is None
    stack = next(segment for segment in file.segments() if segment.type == "PT_GNU_STACK")
    assert stack.flags & elf.PF_X and stack.flag_text == "RWE"


@pytest.mark.parametrize("note_type, descriptor", [
    (None, ""), (1, r'.asciz \"line\\nbreak\"'), (1, r'.ascii \"unended\"'), (1, ".byte 0"),
    (2, r'.asciz \"1.0\"')], ids=["none", "unprintable", "no-nul", "empty", "other-type"])
def test_a_version_note_that_does_not_read_as_text_or_is_of_another_type_is_none(
        tmp_path: pathlib.Path, cross: Cross, note_type: Optional[int], descriptor: str) -> None:
    note = NOTE.format(type=note_type, descriptor=descriptor) if note_type else ""
    file = compile_module(cross, str(tmp_path), note + "int f(void) { return 1; }\n", "-Wl,--build-id=none")
    assert file.version_note() is None
    assert file.build_id() is None


def test_the_tree_s_module_reads_as_the_build_made_it(armv5te_out: str) -> None:
    path = os.path.join(armv5te_out, "lib", "lumivane.so")
    if not os.path.isfile(path):
        pytest.skip("out/armv5te/lib/lumivane.so is not built")
    lumivane = elf.ElfFile(path)
    assert lumivane.dynamic().needed == ["liblog.so", "libpthread.so.0", "libc.so.6"]
    assert lumivane.dynamic().soname == "lumivane.so"
    assert sorted(symbol.name for symbol in lumivane.symbols(".dynsym") if symbol.defined
                  and symbol.binding in ("GLOBAL", "WEAK")) == ["HMI", "init_globals"]
    assert lumivane.version_note() is not None and lumivane.build_id() is not None
    link = lumivane.debuglink()
    assert link is not None and link.name == "lumivane.so.debug"
    assert lumivane.symbols(".symtab") == []


# --- Files that are no ELF, or not whole.

@pytest.mark.parametrize("content, error", [
    (None, "cannot read"), (b"", "not an ELF file"), (b"\x7fEL", "not an ELF file"),
    (b"#!/bin/sh\nexit 0\n", "not an ELF file")], ids=["missing", "empty", "short", "script"])
def test_a_file_that_is_missing_or_not_elf_is_an_elf_error(tmp_path: pathlib.Path, content: Optional[bytes],
                                                           error: str) -> None:
    path = tmp_path / "not.so"
    if content is not None:
        path.write_bytes(content)
    with pytest.raises(elf.ElfError, match=error):
        elf.ElfFile(str(path))


@pytest.mark.parametrize("keep", [20, 60, 0.5, -1], ids=["in-ident", "in-header", "half", "last-byte"])
def test_a_truncated_file_is_an_elf_error(module: elf.ElfFile, tmp_path: pathlib.Path, keep: float) -> None:
    size = keep if isinstance(keep, int) and keep > 0 else int(len(module.data) * keep) if keep > 0 else -1
    path = tmp_path / "cut.so"
    path.write_bytes(module.data[:size])
    with pytest.raises(elf.ElfError):
        elf.ElfFile(str(path))


def test_corrupt_build_attributes_are_an_elf_error_not_a_hang(module: elf.ElfFile, tmp_path: pathlib.Path) -> None:
    data = bytearray(module.data)
    section = next(section for section in module.sections() if section.type == elf.SHT_ARM_ATTRIBUTES)
    # The first sub-subsection's length, after "A", the length, "aeabi\0" and the scope tag.
    at = section.offset + 1 + 4 + 6 + 1
    data[at:at + 4] = b"\0\0\0\0"
    path = tmp_path / "attributes.so"
    path.write_bytes(bytes(data))
    with pytest.raises(elf.ElfError, match="build attributes"):
        elf.ElfFile(str(path)).arm_attributes()
