#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""What the release scripts read from files that may come from anyone.

    release_files.py notes ELF
        prints "build_id=HEX" and "version=TEXT" ("none" where the note is
        missing), read from the file's note sections
    release_files.py readable ARCHIVE
        exits 0 when ARCHIVE reads to its end as a (compressed) tar archive
    release_files.py members ARCHIVE
        exits 0 when every member of the tar archive is safe to extract: a
        relative name without "..", a regular file, folder or link, and a
        link leading inside the archive; else names the first that is not
    release_files.py extract ARCHIVE FOLDER
        checks the members as above, then extracts them into FOLDER, which
        must be empty: the same reading of the archive decides and extracts
    release_files.py junit-property REPORT NAME
        prints the value of the property NAME of the report's test suite
    release_files.py junit-steady REPORT OUT
        writes OUT, the report with what differs from run to run set aside:
        each test case's measured time reads 0, its process id is empty;
        every other byte is the report's own
    release_files.py junit-passed REPORT
        exits 0 when the report ran at least one test and none failed, was
        skipped or ended in error

Exits 1 when the answer is no, 2 when the input cannot be read.
"""

import os
import posixpath
import re
import struct
import sys
import tarfile
import xml.etree.ElementTree as ElementTree

SHT_NOTE = 7
NT_GNU_BUILD_ID = 3
NT_LUMIVANE_VERSION = 1


class Refused(Exception):
    """The input is readable, and the answer is no."""


def elf_notes(path):
    """Every note of the file's note sections: (name, type, descriptor)."""
    with open(path, "rb") as elf:
        data = elf.read()
    if data[:4] != b"\x7fELF" or data[4] not in (1, 2) or data[5] not in (1, 2):
        raise ValueError(f"{path} is not an ELF file")
    order = "<" if data[5] == 1 else ">"
    if data[4] == 1:
        shoff, = struct.unpack_from(order + "I", data, 0x20)
        shentsize, shnum = struct.unpack_from(order + "HH", data, 0x2E)
        section = order + "IIIIIIIIII"
    else:
        shoff, = struct.unpack_from(order + "Q", data, 0x28)
        shentsize, shnum = struct.unpack_from(order + "HH", data, 0x3A)
        section = order + "IIQQQQIIQQ"
    notes = []
    for index in range(shnum):
        fields = struct.unpack_from(section, data, shoff + index * shentsize)
        kind, offset, size, align = fields[1], fields[4], fields[5], fields[8]
        if kind != SHT_NOTE or offset + size > len(data):
            continue
        notes.extend(parse_notes(data[offset:offset + size], order, max(align, 4)))
    return notes


def parse_notes(data, order, align):
    """The notes of one section's contents."""
    notes = []
    position = 0
    while position + 12 <= len(data):
        namesz, descsz, kind = struct.unpack_from(order + "III", data, position)
        position += 12
        name = data[position:position + namesz]
        position += (namesz + align - 1) // align * align
        desc = data[position:position + descsz]
        position += (descsz + align - 1) // align * align
        notes.append((name.rstrip(b"\0"), kind, desc))
    return notes


def notes_command(path):
    build_id = version = "none"
    for name, kind, desc in elf_notes(path):
        if name == b"GNU" and kind == NT_GNU_BUILD_ID:
            build_id = desc.hex()
        elif name == b"lumivane" and kind == NT_LUMIVANE_VERSION and desc.endswith(b"\0"):
            version = desc[:-1].decode("utf-8", "replace")
    print(f"build_id={build_id}")
    print(f"version={version}")


def inside(name):
    """Whether a member name stays inside the archive as written."""
    return name != "" and not name.startswith("/") and ".." not in name.split("/")


def resolve(path, links, depth=0):
    """Where a path inside the archive leads, through the archive's links
    seen so far, as a list of components; None when it leads outside."""
    if depth > 32:
        return None
    place = []
    for part in path.split("/"):
        if part in ("", "."):
            continue
        if part == "..":
            if not place:
                return None
            place.pop()
            continue
        place.append(part)
        target = links.get("/".join(place))
        if target is not None:
            if target.startswith("/"):
                return None
            base = "/".join(place[:-1])
            place = resolve(posixpath.join(base, target) if base else target, links, depth + 1)
            if place is None:
                return None
    return place


def check_members(archive):
    """The archive's members, each checked; raises Refused at the first bad one."""
    seen = set()
    links = {}
    members = archive.getmembers()
    for member in members:
        name = member.name
        if name.startswith("/"):
            raise Refused(f"member {name!r}: an absolute path")
        if not inside(name):
            raise Refused(f"member {name!r}: a path with '..'")
        clean = posixpath.normpath(name)
        if clean in seen:
            raise Refused(f"member {name!r}: appears twice")
        # Its folder, reached through the links before it, is inside.
        if resolve(posixpath.dirname(clean), links) is None:
            raise Refused(f"member {name!r}: lies beyond a link leading outside the archive")
        seen.add(clean)
        if member.ischr() or member.isblk():
            raise Refused(f"member {name!r}: a device")
        if member.isfifo():
            raise Refused(f"member {name!r}: a FIFO")
        if member.issym():
            links[clean] = member.linkname
            if member.linkname.startswith("/") or resolve(clean, links) is None:
                raise Refused(f"member {name!r}: a link leading outside the archive ({member.linkname})")
        elif member.islnk():
            if not inside(member.linkname) or posixpath.normpath(member.linkname) not in seen:
                raise Refused(f"member {name!r}: a hard link to nothing before it in the archive "
                              f"({member.linkname})")
        elif not (member.isfile() or member.isdir()):
            raise Refused(f"member {name!r}: neither a file, a folder nor a link")
    return members


def readable_command(path):
    with tarfile.open(path) as archive:
        archive.getmembers()


def members_command(path):
    with tarfile.open(path) as archive:
        check_members(archive)


def extract_command(path, folder):
    if not os.path.isdir(folder) or os.listdir(folder):
        raise ValueError(f"{folder} is not an empty folder")
    with tarfile.open(path) as archive:
        members = check_members(archive)
        for member in members:
            # Owners and modes beyond the permission bits stay the
            # extractor's: nothing set-id comes out of an archive.
            member.mode &= 0o777
            member.uid = member.gid = os.getuid()
            member.uname = member.gname = ""
        archive.extractall(folder, members=members, numeric_owner=True)


def test_suite(path):
    root = ElementTree.parse(path).getroot()
    suite = root if root.tag == "testsuite" else root.find("testsuite")
    if suite is None:
        raise ValueError(f"{path} holds no test suite")
    return suite


def junit_property_command(path, name):
    # The suite's own properties, not those of its test cases.
    properties = test_suite(path).find("properties")
    found = [] if properties is None else properties.findall("property")
    values = [p.get("value", "") for p in found if p.get("name") == name]
    if len(values) != 1:
        raise Refused(f"the report holds {len(values)} properties named {name}")
    print(values[0])


def junit_steady_command(path, out):
    with open(path, encoding="utf-8") as report:
        text = report.read()
    test_suite(path)
    text = re.sub(r'(<testcase [^>]*\btime=")[0-9.]*(")', r"\g<1>0\2", text)
    text = re.sub(r'(<property name="pid" value=")[0-9]*(")', r"\1\2", text)
    with open(out + ".new", "w", encoding="utf-8") as steady:
        steady.write(text)
    os.replace(out + ".new", out)


def junit_passed_command(path):
    suite = test_suite(path)
    cases = list(suite.iter("testcase"))
    bad = [case.get("name") for case in cases
           if case.find("failure") is not None or case.find("error") is not None
           or case.find("skipped") is not None]
    if not cases or bad:
        raise Refused(f"the report has {len(cases)} tests, not passed: {' '.join(bad) or 'none ran'}")


COMMANDS = {
    "notes": (notes_command, 1),
    "readable": (readable_command, 1),
    "members": (members_command, 1),
    "extract": (extract_command, 2),
    "junit-property": (junit_property_command, 2),
    "junit-steady": (junit_steady_command, 2),
    "junit-passed": (junit_passed_command, 1),
}


def main(argv):
    if len(argv) < 2 or argv[1] not in COMMANDS or len(argv) - 2 != COMMANDS[argv[1]][1]:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    command, _ = COMMANDS[argv[1]]
    try:
        command(*argv[2:])
    except Refused as refused:
        print(f"release_files: {refused}", file=sys.stderr)
        return 1
    except (OSError, ValueError, struct.error, tarfile.TarError, ElementTree.ParseError) as error:
        print(f"release_files: {error}", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
