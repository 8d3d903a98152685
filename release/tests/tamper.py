#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""tamper.py GOOD OUT KIND [PATH]

Writes OUT, the release archive GOOD with one fault of KIND:
    none          no fault: the files repacked as the other edits repack them
    member        a shipped file changed, SHA256SUMS left as it was
    unlisted      a file added that SHA256SUMS does not list
    debug         the debug file's build ID changed, SHA256SUMS made to match
    report        the report naming another SHA-256, SHA256SUMS made to match
    report-build-id   the report naming another build ID, likewise
    report-version    the report naming another version, likewise
    report-failed     the report with a failed clause, likewise
    dotdot        a member whose path climbs out with ".."
    absolute      a member with the absolute path PATH
    outside-link  a link leading out of the archive
    fifo          a FIFO
    device        a character device
GOOD is an archive the tests built themselves, so it is read as trusted.
"""

import hashlib
import io
import os
import sys
import tarfile
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
import release_files  # noqa: E402


def release_root(folder):
    (name,) = os.listdir(folder)
    return os.path.join(folder, name)


def write_sums(root):
    """SHA256SUMS over every file and link, as the release writes it."""
    names = []
    for base, folders, files in os.walk(root):
        for name in folders + files:
            path = os.path.join(base, name)
            if os.path.islink(path) or os.path.isfile(path):
                names.append(os.path.relpath(path, root))
    lines = []
    for name in sorted(n for n in names if n != "SHA256SUMS"):
        with open(os.path.join(root, name), "rb") as file:
            lines.append(f"{hashlib.sha256(file.read()).hexdigest()}  {name}\n")
    with open(os.path.join(root, "SHA256SUMS"), "w", encoding="utf-8") as sums:
        sums.writelines(lines)


def change_member(root):
    with open(os.path.join(root, "bin", "test_char_traits"), "ab") as program:
        program.write(b"\0")


def add_unlisted(root):
    with open(os.path.join(root, "lib", "extra.so"), "wb") as extra:
        extra.write(b"not listed")


def change_debug_build_id(root):
    path = os.path.join(root, "lib", "lumivane.so.debug")
    build_id = next(desc for name, kind, desc in release_files.elf_notes(path)
                    if name == b"GNU" and kind == release_files.NT_GNU_BUILD_ID)
    with open(path, "rb") as debug:
        data = debug.read()
    other = bytes([build_id[0] ^ 0xFF]) + build_id[1:]
    with open(path, "wb") as debug:
        debug.write(data.replace(build_id, other, 1))
    write_sums(root)


def edit_report(root, edit):
    path = os.path.join(root, "qualification", "lights-conformance.xml")
    with open(path, encoding="utf-8") as report:
        text = report.read()
    with open(path, "w", encoding="utf-8") as report:
        report.write(edit(text))
    write_sums(root)


def other_property(text, name):
    """The report with the property's value, a hex string, all zeros."""
    marker = f'<property name="{name}" value="'
    start = text.index(marker) + len(marker)
    end = text.index('"', start)
    return text[:start] + "0" * (end - start) + text[end:]


def report_other_sha256(root):
    edit_report(root, lambda text: other_property(text, "sha256"))


def report_other_build_id(root):
    edit_report(root, lambda text: other_property(text, "build_id"))


def report_other_version(root):
    edit_report(root, lambda text: other_property(text, "version"))


def report_failed_clause(root):
    edit_report(root, lambda text: text.replace("</testcase>", '<failure message="failed"/></testcase>', 1))


EDITS = {
    "none": lambda root: None,
    "member": change_member,
    "unlisted": add_unlisted,
    "debug": change_debug_build_id,
    "report": report_other_sha256,
    "report-build-id": report_other_build_id,
    "report-version": report_other_version,
    "report-failed": report_failed_clause,
}


def fixed_times(member):
    """Every member with one time, so repacked copies differ only by their edit."""
    member.mtime = 0
    return member


def edited(good, out, edit):
    with tempfile.TemporaryDirectory() as folder:
        with tarfile.open(good) as archive:
            archive.extractall(folder)
        root = release_root(folder)
        edit(root)
        with tarfile.open(out, "w:xz") as archive:
            archive.add(root, arcname=os.path.basename(root), filter=fixed_times)


def member_added(good, out, kind, path):
    with tarfile.open(good) as source, tarfile.open(out, "w:xz") as archive:
        top = source.getmembers()[0].name.split("/")[0]
        for member in source.getmembers():
            archive.addfile(member, source.extractfile(member) if member.isfile() else None)
        extra = tarfile.TarInfo()
        data = b""
        if kind == "dotdot":
            extra.name, data = f"{top}/../../escaped-dotdot", b"escaped"
        elif kind == "absolute":
            extra.name, data = path, b"escaped"
        elif kind == "outside-link":
            extra.name, extra.type, extra.linkname = f"{top}/lib/escape", tarfile.SYMTYPE, "../../.."
        elif kind == "fifo":
            extra.name, extra.type = f"{top}/lib/pipe", tarfile.FIFOTYPE
        elif kind == "device":
            extra.name, extra.type, extra.devmajor, extra.devminor = f"{top}/lib/null", tarfile.CHRTYPE, 1, 3
        extra.size = len(data)
        archive.addfile(extra, io.BytesIO(data))


def main(argv):
    if len(argv) not in (4, 5):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    good, out, kind = argv[1:4]
    if kind in EDITS:
        edited(good, out, EDITS[kind])
    elif kind in ("dotdot", "absolute", "outside-link", "fifo", "device"):
        member_added(good, out, kind, argv[4] if len(argv) == 5 else "/escaped-absolute")
    else:
        print(f"tamper.py: no fault named {kind}", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
