# SPDX-License-Identifier: Apache-2.0
"""ELF files as the tools read them: the one reader of ELF in the tree.

An ElfFile is read whole and checked on opening (its headers and sections lie
inside the file), so a cut or forged file raises ElfError then, not halfway
through a check. Its questions return plain data, never pyelftools' objects.
What pyelftools reads wrongly for our purpose is decoded here from the bytes:
notes (its decoding of a descriptor differs between releases), the ARM build
attributes (it loops forever on a sub-subsection of length 0), the ARM unwind
index (it takes file offsets for addresses) and .gnu_debuglink.
"""

import contextlib
import io
import struct
from dataclasses import dataclass
from typing import Any, Dict, Iterator, List, NamedTuple, Optional, Tuple, Union

from elftools.common.exceptions import ELFError
from elftools.elf.elffile import ELFFile
from elftools.elf.enums import ENUM_RELOC_TYPE_ARM, ENUM_RELOC_TYPE_i386, ENUM_RELOC_TYPE_x64
from elftools.elf.relocation import RelocationSection
from elftools.elf.sections import SymbolTableSection

SHF_EXECINSTR = 0x4
SHT_NOBITS = "SHT_NOBITS"
SHT_ARM_EXIDX = "SHT_ARM_EXIDX"
SHT_ARM_ATTRIBUTES = "SHT_ARM_ATTRIBUTES"
PF_X, PF_W, PF_R = 0x1, 0x2, 0x4
EF_ARM_ABI_FLOAT_SOFT = 0x200
EF_ARM_ABI_FLOAT_HARD = 0x400
DF_TEXTREL = 0x4
DF_1_PIE = 0x08000000
VER_FLG_BASE = 0x1  # the version definition that names the file itself
NT_GNU_BUILD_ID = 3
VERSION_NOTE_SECTION = ".note.lumivane.version"
VERSION_NOTE = ("lumivane", 1)  # its name and type
TAG_CPU_ARCH = 6  # of the "aeabi" vendor's file scope
CPU_ARCH_NAMES = ("Pre-v4", "v4", "v4T", "v5T", "v5TE", "v5TEJ", "v6", "v6KZ", "v6T2", "v6K", "v7",
                  "v6-M", "v6S-M", "v7E-M", "v8", "v8-R", "v8-M.baseline", "v8-M.mainline", "v8.1-A",
                  "v8.2-A", "v8.3-A", "v8.1-M.mainline", "v9")
EXIDX_CANTUNWIND = 1
# The relocation types' names by machine; a type not named keeps its number.
_RELOCATION_NAMES = {machine: {number: name for name, number in names.items() if isinstance(number, int)}
                     for machine, names in (("EM_ARM", ENUM_RELOC_TYPE_ARM), ("EM_386", ENUM_RELOC_TYPE_i386),
                                            ("EM_X86_64", ENUM_RELOC_TYPE_x64))}
# What pyelftools raises on bytes it cannot read.
_UNREADABLE = (ELFError, struct.error, ValueError, KeyError, IndexError)


class ElfError(Exception):
    """A file that is not ELF, or that cannot be read as one: the message says why."""


@dataclass(frozen=True)
class Header:
    elf_class: int  # 32 or 64
    little_endian: bool
    type: str  # "ET_DYN", "ET_EXEC", "ET_REL", ...
    machine: str  # "EM_ARM", "EM_X86_64", ...
    flags: int

    @property
    def eabi_version(self) -> int:
        """The ARM EABI version of e_flags (0 for none or another machine)."""
        return self.flags >> 24 if self.machine == "EM_ARM" else 0

    @property
    def float_abi(self) -> str:
        """"soft", "hard" or "unspecified", as e_flags of an EABI 5 ARM file mark it."""
        if self.eabi_version >= 5:
            for name, bit in (("hard", EF_ARM_ABI_FLOAT_HARD), ("soft", EF_ARM_ABI_FLOAT_SOFT)):
                if self.flags & bit:
                    return name
        return "unspecified"


@dataclass(frozen=True)
class Section:
    index: int
    name: str
    type: str  # "SHT_PROGBITS", ...
    address: int
    offset: int
    size: int
    flags: int
    align: int

    @property
    def executable(self) -> bool:
        return bool(self.flags & SHF_EXECINSTR)


@dataclass(frozen=True)
class Symbol:
    name: str
    value: int
    size: int
    kind: str  # "FUNC", "OBJECT", "NOTYPE", "FILE", "SECTION", ...
    binding: str  # "GLOBAL", "LOCAL", "WEAK", ...
    visibility: str  # "DEFAULT", "HIDDEN", ...
    section: Union[int, str]  # a section index, or "SHN_UNDEF", "SHN_ABS", ...
    table: str  # ".dynsym" or ".symtab"
    file: Optional[str] = None  # the FILE symbol a local symbol follows
    version: Optional[str] = None  # the version a dynamic symbol binds or defines

    @property
    def defined(self) -> bool:
        return self.section != "SHN_UNDEF"


@dataclass(frozen=True)
class Dynamic:
    needed: List[str]  # in the order of the entries
    soname: Optional[str]
    runpath: Optional[str]
    rpath: Optional[str]
    textrel: bool  # DT_TEXTREL, or DF_TEXTREL in DT_FLAGS
    flags: int
    flags_1: int

    @property
    def pie(self) -> bool:
        return bool(self.flags_1 & DF_1_PIE)


@dataclass(frozen=True)
class Segment:
    type: str  # "PT_LOAD", "PT_GNU_STACK", ...
    flags: int
    offset: int
    address: int
    file_size: int

    @property
    def flag_text(self) -> str:
        """The flags as "RWE" letters, a blank for each one unset."""
        return "".join(letter if self.flags & bit else " " for letter, bit in (("R", PF_R), ("W", PF_W), ("E", PF_X)))


NeededVersion = NamedTuple("NeededVersion", [("library", str), ("version", str)])
# The symbol's name, "" for none.
Relocation = NamedTuple("Relocation", [("section", str), ("offset", int), ("type_name", str), ("symbol", str)])
Debuglink = NamedTuple("Debuglink", [("name", str), ("crc", int)])
# START: the first address the entry covers.
UnwindEntry = NamedTuple("UnwindEntry", [("start", int), ("cantunwind", bool)])


class ElfFile:
    """One ELF file, read whole and checked on opening."""

    def __init__(self, path: str) -> None:
        self.path = path
        try:
            with open(path, "rb") as stream:
                self.data = stream.read()
        except OSError as error:
            raise ElfError(f"cannot read {path}: {error.strerror}") from error
        if self.data[:4] != b"\x7fELF":
            raise ElfError(f"{path} is not an ELF file")
        try:
            self._elf = ELFFile(io.BytesIO(self.data))
            self._order = "<" if self._elf.little_endian else ">"
            header = self._elf.header
            for table, at, count, size in (("section", "e_shoff", "e_shnum", "e_shentsize"),
                                           ("program", "e_phoff", "e_phnum", "e_phentsize")):
                if header[count] and header[at] + header[count] * header[size] > len(self.data):
                    raise ElfError(f"{path} is truncated: its {table} headers end past the file")
            self._sections = [Section(index, section.name, str(section["sh_type"]), section["sh_addr"],
                                      section["sh_offset"], section["sh_size"], section["sh_flags"],
                                      section["sh_addralign"])
                              for index, section in enumerate(self._elf.iter_sections())]
            self._segments = [Segment(str(segment["p_type"]), segment["p_flags"], segment["p_offset"],
                                      segment["p_vaddr"], segment["p_filesz"]) for segment in self._elf.iter_segments()]
        except (ELFError, struct.error, ValueError, KeyError) as error:
            raise ElfError(f"{path} is not a readable ELF file: {error}") from error
        for section in self._sections:
            if section.type != SHT_NOBITS and section.offset + section.size > len(self.data):
                raise ElfError(f"{path} is truncated: section {section.name or '#'} ends past the file")
        for segment in self._segments:
            if segment.offset + segment.file_size > len(self.data):
                raise ElfError(f"{path} is truncated: a {segment.type} segment ends past the file")

    @contextlib.contextmanager
    def _guarded(self, what: str) -> Iterator[None]:
        """Turns a failure to read a part of the file into ElfError."""
        try:
            yield
        except _UNREADABLE as error:
            raise ElfError(f"{self.path}: its {what} cannot be read: {error}") from error

    def _of_type(self, kind: str) -> List[Any]:
        return [section for section in self._elf.iter_sections() if section["sh_type"] == kind]

    # --- Header, sections, segments.

    def header(self) -> Header:
        header = self._elf.header
        return Header(self._elf.elfclass, self._elf.little_endian, str(header["e_type"]),
                      str(header["e_machine"]), header["e_flags"])

    def sections(self) -> List[Section]:
        return list(self._sections)

    def section(self, name: str) -> Optional[Section]:
        """The first section called NAME, or None."""
        return next((section for section in self._sections if section.name == name), None)

    def section_holding(self, address: int) -> Optional[Section]:
        """The allocated section whose addresses hold ADDRESS, or None."""
        return next((section for section in self._sections
                     if section.address and section.type != SHT_NOBITS
                     and section.address <= address < section.address + section.size), None)

    def section_data(self, section: Section) -> bytes:
        return b"" if section.type == SHT_NOBITS else self.data[section.offset:section.offset + section.size]

    def segments(self) -> List[Segment]:
        return list(self._segments)

    def code_at(self, address: int, size: int) -> Optional[bytes]:
        """The SIZE bytes the file loads at ADDRESS, from one loaded segment; None where it loads none."""
        for segment in self._segments:
            if segment.type == "PT_LOAD" and segment.address <= address \
                    and address + size <= segment.address + segment.file_size:
                start = segment.offset + address - segment.address
                return self.data[start:start + size]
        return None

    # --- Symbols and versions.

    def symbols(self, table: str) -> List[Symbol]:
        """The symbols of TABLE (".dynsym" or ".symtab"), in order, without the null symbol;
        [] when the file has no such table."""
        with self._guarded(table):
            section = self._elf.get_section_by_name(table)
            if not isinstance(section, SymbolTableSection):
                return []
            versions = self._versions()[2] if table == ".dynsym" else {}
            symbols = []
            file: Optional[str] = None
            for number, symbol in enumerate(section.iter_symbols()):
                if number == 0:
                    continue
                kind = str(symbol["st_info"]["type"]).removeprefix("STT_")
                binding = str(symbol["st_info"]["bind"]).removeprefix("STB_")
                if kind == "FILE":
                    file = symbol.name
                symbols.append(Symbol(
                    symbol.name, symbol["st_value"], symbol["st_size"], kind, binding,
                    str(symbol["st_other"]["visibility"]).removeprefix("STV_"), symbol["st_shndx"], table,
                    file if binding == "LOCAL" and kind != "FILE" else None, versions.get(number)))
            return symbols

    def _versions(self) -> Tuple[List[NeededVersion], List[str], Dict[int, str]]:
        """The versions the file needs (verneed), those it defines (verdef) but the one naming the file
        itself, and the version of each dynamic symbol that has one, by its index."""
        with self._guarded("symbol versions"):
            needs, defined, names = [], [], {}
            for section in self._of_type("SHT_GNU_verneed"):
                for need, auxiliaries in section.iter_versions():
                    for auxiliary in auxiliaries:
                        needs.append(NeededVersion(need.name, auxiliary.name))
                        names[auxiliary["vna_other"]] = auxiliary.name
            for section in self._of_type("SHT_GNU_verdef"):
                for definition, auxiliaries in section.iter_versions():
                    first = next(iter(auxiliaries), None)
                    if first is not None and not definition["vd_flags"] & VER_FLG_BASE:
                        names[definition["vd_ndx"]] = first.name
                        defined.append(first.name)
            versions = {number: names[entry["ndx"] & 0x7FFF] for section in self._of_type("SHT_GNU_versym")
                        for number, entry in enumerate(section.iter_symbols())
                        if isinstance(entry["ndx"], int) and (entry["ndx"] & 0x7FFF) in names}
            return needs, defined, versions

    def needed_versions(self) -> List[NeededVersion]:
        """Every symbol version the file needs, with the library that should define it."""
        return self._versions()[0]

    def defined_versions(self) -> List[str]:
        """The symbol versions the file defines, without the one naming the file itself."""
        return self._versions()[1]

    # --- Notes.

    def build_id(self) -> Optional[str]:
        """The GNU build ID in lower-case hex, or None."""
        for section in self._sections:
            if section.type == "SHT_NOTE":
                align = 8 if section.align == 8 else 4
                for name, kind, descriptor in _notes(self.section_data(section), self._order, align):
                    if (name, kind) == ("GNU", NT_GNU_BUILD_ID):
                        return descriptor.hex() or None
        return None

    def version_note(self) -> Optional[str]:
        """The module's version: the text of the first note of .note.lumivane.version, when it is named
        "lumivane", of type 1 and holds printable text ended by a NUL; else None."""
        section = self.section(VERSION_NOTE_SECTION)
        note = next(_notes(self.section_data(section), self._order, 4), None) if section else None
        text = note[2] if note is not None and note[:2] == VERSION_NOTE else b""
        decoded = text[:-1].decode("utf-8", "replace")  # a NUL or a byte that is no UTF-8 is not printable
        printable = decoded.isprintable() and "\ufffd" not in decoded
        return decoded if text.endswith(b"\0") and decoded and printable else None

    # --- ARM build attributes and unwind index.

    def _section_of_type(self, kind: str) -> Optional[Section]:
        return next((section for section in self._sections if section.type == kind), None)

    def arm_attributes(self) -> Dict[int, Union[int, str]]:
        """The file-scope build attributes of the "aeabi" vendor, by tag number; {} when there are none."""
        section = self._section_of_type(SHT_ARM_ATTRIBUTES)
        if section is None:
            return {}
        with self._guarded("build attributes"):
            return _arm_attributes(self.section_data(section), self._order)

    def cpu_arch(self) -> Optional[str]:
        """The name of Tag_CPU_arch ("v5TE"), or None when the attributes do not give it."""
        value = self.arm_attributes().get(TAG_CPU_ARCH)
        if not isinstance(value, int):
            return None
        return CPU_ARCH_NAMES[value] if value < len(CPU_ARCH_NAMES) else f"unknown ({value})"

    def unwind_entries(self) -> Optional[List[UnwindEntry]]:
        """The entries of the ARM unwind index (.ARM.exidx), by the address each starts to cover;
        None when the file has no index."""
        section = self._section_of_type(SHT_ARM_EXIDX)
        if section is None:
            return None
        data = self.section_data(section)
        entries = []
        for at in range(0, len(data) - 7, 8):
            first, second = struct.unpack_from(self._order + "II", data, at)
            # The first word leads, 31 bits place-relative, to the entry's start.
            offset = (first & 0x7FFFFFFF) - (0x80000000 if first & 0x40000000 else 0)
            entries.append(UnwindEntry((section.address + at + offset) & 0xFFFFFFFF, second == EXIDX_CANTUNWIND))
        return sorted(entries, key=lambda entry: entry.start)

    # --- Dynamic linking.

    def dynamic(self) -> Dynamic:
        """The dynamic entries that say what the file needs and is; empty for a file without any."""
        needed: List[str] = []
        values: Dict[str, Any] = {}
        with self._guarded("dynamic entries"):
            for tag in next((section.iter_tags() for section in self._of_type("SHT_DYNAMIC")), ()):
                kind = str(tag.entry.d_tag)
                if kind == "DT_NEEDED":
                    needed.append(tag.needed)
                else:  # the strings by pyelftools' names (tag.soname), the first of each kind
                    values.setdefault(kind, getattr(tag, kind[3:].lower(), tag.entry.d_val))
        flags = values.get("DT_FLAGS", 0)
        return Dynamic(needed, values.get("DT_SONAME"), values.get("DT_RUNPATH"), values.get("DT_RPATH"),
                       "DT_TEXTREL" in values or bool(flags & DF_TEXTREL), flags, values.get("DT_FLAGS_1", 0))

    def relocations(self) -> List[Relocation]:
        """Every relocation of the file's relocation sections, with its symbol's name."""
        relocations = []
        with self._guarded("relocations"):
            for section in self._elf.iter_sections():
                if not isinstance(section, RelocationSection):
                    continue
                symbols = self._elf.get_section(section["sh_link"])
                for relocation in section.iter_relocations():
                    number = relocation["r_info_sym"]
                    name = symbols.get_symbol(number).name if number and isinstance(symbols, SymbolTableSection) \
                        else ""
                    kind = relocation["r_info_type"]
                    kind_name = _RELOCATION_NAMES.get(self._elf.header["e_machine"], {}).get(kind, str(kind))
                    relocations.append(Relocation(section.name, relocation["r_offset"], kind_name, name))
        return relocations

    def debuglink(self) -> Optional[Debuglink]:
        """The debug file the file names in .gnu_debuglink, and its CRC-32; None without one."""
        section = self.section(".gnu_debuglink")
        data = self.section_data(section) if section else b""
        end = data.find(b"\0")
        at = (end + 4) // 4 * 4  # the CRC's word follows the name's NUL, aligned
        if end <= 0 or at + 4 > len(data):
            return None
        crc, = struct.unpack_from(self._order + "I", data, at)
        return Debuglink(data[:end].decode("utf-8", "replace"), crc)


def _notes(data: bytes, order: str, align: int) -> Iterator[Tuple[str, int, bytes]]:
    """Each note of a note section's DATA: its name, type and descriptor."""
    at = 0
    while at + 12 <= len(data):
        name_size, descriptor_size, kind = struct.unpack_from(order + "III", data, at)
        name = data[at + 12:at + 12 + name_size]
        at += 12 + (name_size + align - 1) // align * align
        descriptor = data[at:at + descriptor_size]
        at += (descriptor_size + align - 1) // align * align
        if len(name) < name_size or len(descriptor) < descriptor_size:
            return  # a note cut short by its section's end is no note
        yield name.rstrip(b"\0").decode("utf-8", "replace"), kind, descriptor


def _uleb128(data: bytes, at: int) -> Tuple[int, int]:
    value = shift = 0
    while True:
        byte = data[at]
        at += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if not byte & 0x80:
            return value, at


def _string(data: bytes, at: int) -> Tuple[str, int]:
    end = data.index(b"\0", at)
    return data[at:end].decode("utf-8", "replace"), end + 1


def _extent(data: bytes, start: int, length_at: int, limit: int, order: str) -> int:
    """Where the (sub-)subsection from START ends, by its length word at LENGTH_AT; ValueError past LIMIT."""
    length, = struct.unpack_from(order + "I", data, length_at)
    if length < 5 or start + length > limit:
        raise ValueError(f"a (sub-)subsection of length {length} at {start}")
    return start + length


def _arm_attributes(data: bytes, order: str) -> Dict[int, Union[int, str]]:
    if data[:1] != b"A":
        raise ValueError("not format version A")
    attributes: Dict[int, Union[int, str]] = {}
    at = 1
    while at + 4 <= len(data):
        end = _extent(data, at, at, len(data), order)
        vendor, inner = _string(data, at + 4)
        while vendor == "aeabi" and inner + 5 <= end:
            scope, body = _uleb128(data, inner)
            stop = _extent(data, inner, body, end, order)
            at_tag = body + 4
            while scope == 1 and at_tag < stop:  # Tag_File
                tag, at_tag = _uleb128(data, at_tag)
                value: Union[int, str]
                if tag == 32:  # Tag_compatibility: a flag, then a vendor's name
                    value, at_tag = _uleb128(data, at_tag)
                    _, at_tag = _string(data, at_tag)
                elif tag in (4, 5, 67) or (tag > 32 and tag % 2 == 1):
                    value, at_tag = _string(data, at_tag)
                else:
                    value, at_tag = _uleb128(data, at_tag)
                attributes[tag] = value
            inner = stop
        at = end
    return attributes
