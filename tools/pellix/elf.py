# SPDX-License-Identifier: Apache-2.0
"""ELF files as the tools read them: the one reader of ELF in the tree.

An ElfFile is read whole into memory and checked once, up front: its header,
its section and program headers and every section's bytes must lie inside
the file, so a truncated or forged file raises ElfError when it is opened,
not halfway through a check. Every question after that is a small method
that returns plain data (dataclasses, ints, strings), never pyelftools'
own objects, so callers need not know the library.

pyelftools reads the structures; the few formats it reads wrongly or not at
all for our purpose are decoded here from the section's bytes: notes (its
decoding of a note's descriptor differs between releases), the ARM build
attributes (it loops forever on a sub-subsection of length 0), the ARM
unwind index (it takes file offsets for addresses) and .gnu_debuglink.
"""

import contextlib
import io
import struct
from dataclasses import dataclass
from typing import Any, Dict, Iterator, List, Optional, Tuple, Union

from elftools.common.exceptions import ELFError
from elftools.elf.elffile import ELFFile
from elftools.elf.enums import ENUM_RELOC_TYPE_ARM, ENUM_RELOC_TYPE_i386, ENUM_RELOC_TYPE_x64
from elftools.elf.sections import SymbolTableSection

SHF_EXECINSTR = 0x4
SHT_NOTE = "SHT_NOTE"
SHT_NOBITS = "SHT_NOBITS"
SHT_ARM_EXIDX = "SHT_ARM_EXIDX"
SHT_ARM_ATTRIBUTES = "SHT_ARM_ATTRIBUTES"
PF_X, PF_W, PF_R = 0x1, 0x2, 0x4

EF_ARM_EABIMASK = 0xFF000000
EF_ARM_ABI_FLOAT_SOFT = 0x200
EF_ARM_ABI_FLOAT_HARD = 0x400

DF_TEXTREL = 0x4
DF_1_PIE = 0x08000000

VER_FLG_BASE = 0x1  # the version definition that names the file itself

NT_GNU_BUILD_ID = 3
VERSION_NOTE_SECTION = ".note.lumivane.version"
VERSION_NOTE_NAME = "lumivane"
VERSION_NOTE_TYPE = 1

# ARM build attributes (the "aeabi" vendor's file scope).
TAG_CPU_ARCH = 6
TAG_ABI_VFP_ARGS = 28
CPU_ARCH_NAMES = ("Pre-v4", "v4", "v4T", "v5T", "v5TE", "v5TEJ", "v6", "v6KZ", "v6T2", "v6K", "v7",
                  "v6-M", "v6S-M", "v7E-M", "v8", "v8-R", "v8-M.baseline", "v8-M.mainline", "v8.1-A",
                  "v8.2-A", "v8.3-A", "v8.1-M.mainline", "v9")

EXIDX_CANTUNWIND = 1

_RELOCATION_NAMES = {machine: {number: name for name, number in names.items() if isinstance(number, int)}
                     for machine, names in (("EM_ARM", ENUM_RELOC_TYPE_ARM), ("EM_386", ENUM_RELOC_TYPE_i386),
                                            ("EM_X86_64", ENUM_RELOC_TYPE_x64))}


class ElfError(Exception):
    """A file that is not ELF, or that cannot be read as one: the message says why."""


@dataclass(frozen=True)
class Header:
    elf_class: int  # 32 or 64
    little_endian: bool
    type: str  # "ET_DYN", "ET_EXEC", "ET_REL", ...
    machine: str  # "EM_ARM", "EM_X86_64", ...
    flags: int
    entry: int

    @property
    def eabi_version(self) -> int:
        """The ARM EABI version of e_flags (0 for none or another machine)."""
        return (self.flags & EF_ARM_EABIMASK) >> 24 if self.machine == "EM_ARM" else 0

    @property
    def float_abi(self) -> str:
        """"soft", "hard" or "unspecified", as e_flags of an EABI 5 ARM file mark it."""
        if self.machine != "EM_ARM" or self.eabi_version < 5:
            return "unspecified"
        if self.flags & EF_ARM_ABI_FLOAT_HARD:
            return "hard"
        if self.flags & EF_ARM_ABI_FLOAT_SOFT:
            return "soft"
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

    @property
    def executable(self) -> bool:
        return bool(self.flags & SHF_EXECINSTR)

    def holds(self, address: int) -> bool:
        return self.address <= address < self.address + self.size


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
class NeededVersion:
    library: str
    version: str


@dataclass(frozen=True)
class Note:
    section: str
    name: str
    type: int
    descriptor: bytes


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
    memory_size: int

    @property
    def flag_text(self) -> str:
        """The flags as "RWE" letters, a blank for each one unset."""
        return "".join(letter if self.flags & bit else " " for letter, bit in (("R", PF_R), ("W", PF_W), ("E", PF_X)))


@dataclass(frozen=True)
class Relocation:
    section: str
    offset: int
    type: int
    type_name: str
    symbol: str  # "" for none


@dataclass(frozen=True)
class Debuglink:
    name: str
    crc: int


@dataclass(frozen=True)
class UnwindEntry:
    start: int  # the first address the entry covers
    cantunwind: bool


def _short(name: object, prefix: str) -> Union[int, str]:
    if isinstance(name, str) and name.startswith(prefix):
        return name[len(prefix):]
    return name if isinstance(name, int) else str(name)


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
            self._check_bounds()
            self._sections = [self._section(index, section) for index, section in
                              enumerate(self._elf.iter_sections())]
        except (ELFError, struct.error, ValueError, KeyError) as error:
            raise ElfError(f"{path} is not a readable ELF file: {error}") from error

    def _check_bounds(self) -> None:
        size = len(self.data)
        header = self._elf.header
        if header["e_shnum"] and header["e_shoff"] + header["e_shnum"] * header["e_shentsize"] > size:
            raise ElfError(f"{self.path} is truncated: its section headers end past the file")
        if header["e_phnum"] and header["e_phoff"] + header["e_phnum"] * header["e_phentsize"] > size:
            raise ElfError(f"{self.path} is truncated: its program headers end past the file")
        for section in self._elf.iter_sections():
            if section["sh_type"] != SHT_NOBITS and section["sh_offset"] + section["sh_size"] > size:
                raise ElfError(f"{self.path} is truncated: section {section.name or '#'} ends past the file")
        for segment in self._elf.iter_segments():
            if segment["p_offset"] + segment["p_filesz"] > size:
                raise ElfError(f"{self.path} is truncated: a {segment['p_type']} segment ends past the file")

    @staticmethod
    def _section(index: int, section: Any) -> Section:
        return Section(index, section.name, str(section["sh_type"]), section["sh_addr"], section["sh_offset"],
                       section["sh_size"], section["sh_flags"])

    @contextlib.contextmanager
    def _guarded(self, what: str) -> Iterator[None]:
        """Turns pyelftools' failure to read a part of the file into ElfError."""
        try:
            yield
        except (ELFError, struct.error, ValueError, KeyError, IndexError) as error:
            raise ElfError(f"{self.path}: its {what} cannot be read: {error}") from error

    # --- Header, sections, segments.

    def header(self) -> Header:
        header = self._elf.header
        return Header(self._elf.elfclass, self._elf.little_endian, str(header["e_type"]),
                      str(header["e_machine"]), header["e_flags"], header["e_entry"])

    def sections(self) -> List[Section]:
        return list(self._sections)

    def section(self, name: str) -> Optional[Section]:
        """The first section called NAME, or None."""
        return next((section for section in self._sections if section.name == name), None)

    def section_holding(self, address: int) -> Optional[Section]:
        """The allocated section whose addresses hold ADDRESS, or None."""
        return next((section for section in self._sections
                     if section.address and section.type != SHT_NOBITS and section.holds(address)), None)

    def section_data(self, section: Section) -> bytes:
        if section.type == SHT_NOBITS:
            return b""
        return self.data[section.offset:section.offset + section.size]

    def segments(self) -> List[Segment]:
        with self._guarded("program headers"):
            return [Segment(str(segment["p_type"]), segment["p_flags"], segment["p_offset"], segment["p_vaddr"],
                            segment["p_filesz"], segment["p_memsz"]) for segment in self._elf.iter_segments()]

    def code_at(self, address: int, size: int) -> Optional[bytes]:
        """The SIZE bytes the file loads at ADDRESS, from one loaded segment; None where it loads none."""
        for segment in self.segments():
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
            versions = self._symbol_versions() if table == ".dynsym" else {}
            symbols = []
            file: Optional[str] = None
            for number, symbol in enumerate(section.iter_symbols()):
                if number == 0:
                    continue
                info = symbol["st_info"]
                kind = str(_short(info["type"], "STT_"))
                binding = str(_short(info["bind"], "STB_"))
                if kind == "FILE":
                    file = symbol.name
                symbols.append(Symbol(
                    symbol.name, symbol["st_value"], symbol["st_size"], kind, binding,
                    str(_short(symbol["st_other"]["visibility"], "STV_")), symbol["st_shndx"], table,
                    file if binding == "LOCAL" and kind != "FILE" else None, versions.get(number)))
            return symbols

    def _symbol_versions(self) -> Dict[int, str]:
        """The version of each dynamic symbol that has one, by its index."""
        names: Dict[int, str] = {}
        for section in self._elf.iter_sections():
            if section["sh_type"] == "SHT_GNU_verneed":
                for _, auxiliaries in section.iter_versions():
                    for auxiliary in auxiliaries:
                        names[auxiliary["vna_other"]] = auxiliary.name
            elif section["sh_type"] == "SHT_GNU_verdef":
                for definition, auxiliaries in section.iter_versions():
                    first = next(iter(auxiliaries), None)
                    if first is not None and not definition["vd_flags"] & VER_FLG_BASE:
                        names[definition["vd_ndx"]] = first.name
        versions: Dict[int, str] = {}
        for section in self._elf.iter_sections():
            if section["sh_type"] == "SHT_GNU_versym":
                for number, entry in enumerate(section.iter_symbols()):
                    index = entry["ndx"]
                    if isinstance(index, int) and (index & 0x7FFF) in names:
                        versions[number] = names[index & 0x7FFF]
        return versions

    def needed_versions(self) -> List[NeededVersion]:
        """Every symbol version the file needs, with the library that should define it (verneed)."""
        with self._guarded("version needs"):
            needs: List[NeededVersion] = []
            for section in self._elf.iter_sections():
                if section["sh_type"] == "SHT_GNU_verneed":
                    for need, auxiliaries in section.iter_versions():
                        needs.extend(NeededVersion(need.name, auxiliary.name) for auxiliary in auxiliaries)
            return needs

    def defined_versions(self) -> List[str]:
        """The symbol versions the file defines (verdef), without the one naming the file itself."""
        with self._guarded("version definitions"):
            names: List[str] = []
            for section in self._elf.iter_sections():
                if section["sh_type"] == "SHT_GNU_verdef":
                    for definition, auxiliaries in section.iter_versions():
                        first = next(iter(auxiliaries), None)
                        if first is not None and not definition["vd_flags"] & VER_FLG_BASE:
                            names.append(first.name)
            return names

    # --- Notes.

    def notes(self) -> List[Note]:
        """Every note of the file's note sections, in order."""
        order = "<" if self._elf.little_endian else ">"
        notes = []
        for section in self._sections:
            if section.type == SHT_NOTE:
                align = 8 if self._alignment(section) == 8 else 4
                notes.extend(_parse_notes(section.name, self.section_data(section), order, align))
        return notes

    def _alignment(self, section: Section) -> int:
        return int(self._elf.get_section(section.index)["sh_addralign"])

    def build_id(self) -> Optional[str]:
        """The GNU build ID in lower-case hex, or None."""
        note = next((note for note in self.notes() if note.name == "GNU" and note.type == NT_GNU_BUILD_ID), None)
        return note.descriptor.hex() if note is not None and note.descriptor else None

    def version_note(self) -> Optional[str]:
        """The module's version: the text of the first note of .note.lumivane.version, when the note is
        named "lumivane", of type 1 and holds printable text ended by a NUL; else None."""
        section = self.section(VERSION_NOTE_SECTION)
        if section is None:
            return None
        notes = _parse_notes(section.name, self.section_data(section), "<" if self._elf.little_endian else ">", 4)
        if not notes or notes[0].name != VERSION_NOTE_NAME or notes[0].type != VERSION_NOTE_TYPE:
            return None
        text = notes[0].descriptor
        if len(text) < 2 or not text.endswith(b"\0") or b"\0" in text[:-1]:
            return None
        try:
            decoded = text[:-1].decode("utf-8")
        except UnicodeDecodeError:
            return None
        return decoded if decoded.isprintable() else None

    # --- ARM build attributes and unwind index.

    def arm_attributes(self) -> Dict[int, Union[int, str]]:
        """The file-scope build attributes of the "aeabi" vendor, by tag number; {} when there are none."""
        section = next((section for section in self._sections if section.type == SHT_ARM_ATTRIBUTES), None)
        if section is None:
            return {}
        try:
            return _parse_arm_attributes(self.section_data(section), self._elf.little_endian)
        except (IndexError, ValueError, struct.error) as error:
            raise ElfError(f"{self.path}: its build attributes cannot be read: {error}") from error

    def cpu_arch(self) -> Optional[str]:
        """The name of Tag_CPU_arch ("v5TE"), or None when the attributes do not give it."""
        value = self.arm_attributes().get(TAG_CPU_ARCH)
        if not isinstance(value, int):
            return None
        return CPU_ARCH_NAMES[value] if value < len(CPU_ARCH_NAMES) else f"unknown ({value})"

    def unwind_entries(self) -> Optional[List[UnwindEntry]]:
        """The entries of the ARM unwind index (.ARM.exidx), by the address each starts to cover;
        None when the file has no index."""
        section = next((section for section in self._sections if section.type == SHT_ARM_EXIDX), None)
        if section is None:
            return None
        data = self.section_data(section)
        order = "<" if self._elf.little_endian else ">"
        entries = []
        for at in range(0, len(data) - 7, 8):
            first, second = struct.unpack_from(order + "II", data, at)
            entries.append(UnwindEntry(_prel31(first, section.address + at), second == EXIDX_CANTUNWIND))
        return sorted(entries, key=lambda entry: entry.start)

    # --- Dynamic linking.

    def dynamic(self) -> Dynamic:
        """The dynamic entries that say what the file needs and is; empty for a file without any."""
        needed: List[str] = []
        strings: Dict[str, str] = {}
        flags = flags_1 = 0
        textrel = False
        with self._guarded("dynamic entries"):
            for section in self._elf.iter_sections():
                if section["sh_type"] != "SHT_DYNAMIC":
                    continue
                for tag in section.iter_tags():
                    kind = tag.entry.d_tag
                    if kind == "DT_NEEDED":
                        needed.append(tag.needed)
                    elif kind in ("DT_SONAME", "DT_RUNPATH", "DT_RPATH") and kind not in strings:
                        strings[kind] = getattr(tag, kind[3:].lower())
                    elif kind == "DT_TEXTREL":
                        textrel = True
                    elif kind == "DT_FLAGS":
                        flags = tag.entry.d_val
                    elif kind == "DT_FLAGS_1":
                        flags_1 = tag.entry.d_val
                break
        return Dynamic(needed, strings.get("DT_SONAME"), strings.get("DT_RUNPATH"), strings.get("DT_RPATH"),
                       textrel or bool(flags & DF_TEXTREL), flags, flags_1)

    def relocations(self) -> List[Relocation]:
        """Every relocation of the file's relocation sections, with its symbol's name."""
        relocations = []
        with self._guarded("relocations"):
            for section in self._elf.iter_sections():
                if section["sh_type"] not in ("SHT_REL", "SHT_RELA"):
                    continue
                symbols = self._elf.get_section(section["sh_link"]) if section["sh_link"] else None
                for relocation in section.iter_relocations():
                    number = relocation["r_info_sym"]
                    name = ""
                    if number and isinstance(symbols, SymbolTableSection):
                        name = symbols.get_symbol(number).name
                    kind = relocation["r_info_type"]
                    relocations.append(Relocation(section.name, relocation["r_offset"], kind,
                                                  self._relocation_name(kind), name))
        return relocations

    def _relocation_name(self, kind: int) -> str:
        return _RELOCATION_NAMES.get(self._elf.header["e_machine"], {}).get(kind, str(kind))

    def debuglink(self) -> Optional[Debuglink]:
        """The debug file the file names in .gnu_debuglink, and its CRC-32; None without one."""
        section = self.section(".gnu_debuglink")
        if section is None:
            return None
        data = self.section_data(section)
        end = data.find(b"\0")
        if end <= 0:
            return None
        at = (end + 4) // 4 * 4
        if at + 4 > len(data):
            return None
        crc, = struct.unpack_from("<I" if self._elf.little_endian else ">I", data, at)
        return Debuglink(data[:end].decode("utf-8", "replace"), crc)


def _parse_notes(section: str, data: bytes, order: str, align: int) -> List[Note]:
    notes = []
    at = 0
    while at + 12 <= len(data):
        name_size, descriptor_size, kind = struct.unpack_from(order + "III", data, at)
        at += 12
        name = data[at:at + name_size]
        at += (name_size + align - 1) // align * align
        descriptor = data[at:at + descriptor_size]
        at += (descriptor_size + align - 1) // align * align
        if len(name) < name_size or len(descriptor) < descriptor_size:
            break  # a note cut short by its section's end is no note
        notes.append(Note(section, name.rstrip(b"\0").decode("utf-8", "replace"), kind, descriptor))
    return notes


def _prel31(word: int, place: int) -> int:
    """The address a 31-bit place-relative word at PLACE leads to."""
    offset = word & 0x7FFFFFFF
    if offset & 0x40000000:
        offset -= 0x80000000
    return (place + offset) & 0xFFFFFFFF


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


def _attribute_values(data: bytes, at: int, end: int) -> Iterator[Tuple[int, Union[int, str]]]:
    """The attributes of one sub-subsection's body."""
    while at < end:
        tag, at = _uleb128(data, at)
        value: Union[int, str]
        if tag == 32:  # Tag_compatibility: a flag, then a vendor's name
            value, at = _uleb128(data, at)
            _, at = _string(data, at)
        elif tag in (4, 5, 67) or (tag > 32 and tag % 2 == 1):
            value, at = _string(data, at)
        else:
            value, at = _uleb128(data, at)
        yield tag, value


def _parse_arm_attributes(data: bytes, little_endian: bool) -> Dict[int, Union[int, str]]:
    if not data or data[0:1] != b"A":
        raise ValueError("not format version A")
    order = "<" if little_endian else ">"
    attributes: Dict[int, Union[int, str]] = {}
    at = 1
    while at + 4 <= len(data):
        length, = struct.unpack_from(order + "I", data, at)
        if length < 5 or at + length > len(data):
            raise ValueError(f"a subsection of length {length} at {at}")
        vendor, inner = _string(data, at + 4)
        end = at + length
        while vendor == "aeabi" and inner + 5 <= end:
            scope, body = _uleb128(data, inner)
            size, = struct.unpack_from(order + "I", data, body)
            if size < 5 or inner + size > end:
                raise ValueError(f"a sub-subsection of length {size} at {inner}")
            if scope == 1:  # Tag_File
                attributes.update(_attribute_values(data, body + 4, inner + size))
            inner += size
        at = end
    return attributes
