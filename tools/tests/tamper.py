# SPDX-License-Identifier: Apache-2.0
"""Faulty copies of a release archive, one fault each, for the tests of verify-release and check-reproducible.

A good archive is one the tests built themselves, so it is read as trusted. A copy with an edit is unpacked,
edited and packed again by the release's own writer; a copy with an unsafe member gets the member appended.
"""

import glob
import io
import json
import os
import shutil
import subprocess
import tarfile
from typing import Any, Callable, Dict, List, Optional

from pellix import elf, release


def unpack(archive: str, folder: str) -> str:
    """The archive extracted into FOLDER; returns its one top folder."""
    # The tests' own archive: trusted, extracted as it is.
    trusted: Dict[str, Any] = {"filter": "fully_trusted"} if hasattr(tarfile, "fully_trusted_filter") else {}
    with tarfile.open(archive) as tar:
        tar.extractall(folder, **trusted)
    (name,) = os.listdir(folder)
    return os.path.join(folder, name)


def pack(root: str, out: str) -> None:
    """ROOT as a release archive at OUT, as the release writes one (without a .sha256)."""
    with open(out, "wb") as archive:
        archive.write(release.archive_bytes(os.path.dirname(root), os.path.basename(root), 0))


def _rewrite(path: str, edit: Callable[[bytes], bytes]) -> None:
    with open(path, "rb") as handle:
        data = handle.read()
    os.chmod(path, 0o644)
    with open(path, "wb") as handle:
        handle.write(edit(data))


def change_member(root: str) -> None:
    """A shipped file changed, SHA256SUMS left as it was."""
    _rewrite(os.path.join(root, "bin", "test_char_traits"), lambda data: data + b"\0")


def change_debug_bytes(root: str) -> None:
    """The debug file's last byte changed, its build ID kept and SHA256SUMS left as it was."""
    _rewrite(os.path.join(root, "lib", "lumivane.so.debug"), lambda data: data[:-1] + bytes([data[-1] ^ 0xFF]))


def _by_id_link(root: str) -> str:
    build_id = elf.ElfFile(os.path.join(root, "lib", "lumivane.so")).build_id() or ""
    return os.path.join(root, "lib", "debug", release.build_id_path(build_id))


def retarget_by_id(root: str) -> None:
    """The debug file under .build-id made a link to the stripped module, SHA256SUMS left as it was."""
    link = _by_id_link(root)
    os.unlink(link)
    os.symlink("../../../lumivane.so", link)


def retarget_by_id_listed(root: str) -> None:
    """The same, SHA256SUMS made to match: the module has the same build ID, and no debug information."""
    retarget_by_id(root)
    release.write_sums(root)


def remove_by_id_listed(root: str) -> None:
    os.unlink(_by_id_link(root))
    release.write_sums(root)


def add_unlisted(root: str) -> None:
    with open(os.path.join(root, "lib", "extra.so"), "wb") as extra:
        extra.write(b"not listed")


def remove_listed(root: str) -> None:
    os.unlink(os.path.join(root, "NEWS"))


def _append_to_sums(root: str, text: bytes) -> None:
    _rewrite(os.path.join(root, release.SUMS), lambda data: data + text)


def list_twice(root: str) -> None:
    with open(os.path.join(root, release.SUMS), "rb") as sums:
        _append_to_sums(root, sums.readline())


def remove_sums(root: str) -> None:
    os.unlink(os.path.join(root, release.SUMS))


def change_debug_build_id(root: str) -> None:
    """The debug file's build ID changed, SHA256SUMS made to match."""
    path = os.path.join(root, "lib", "lumivane.so.debug")
    build_id = bytes.fromhex(elf.ElfFile(path).build_id() or "")
    _rewrite(path, lambda data: data.replace(build_id, bytes([build_id[0] ^ 0xFF]) + build_id[1:], 1))
    release.write_sums(root)


def _edit_report(root: str, edit: Callable[[str], str]) -> None:
    path = os.path.join(root, "qualification", "lights-conformance.xml")
    _rewrite(path, lambda data: edit(data.decode()).encode())
    release.write_sums(root)


def _other_property(text: str, name: str, value: Optional[str] = None) -> str:
    """The report with the property's value replaced, by default with as many zeros."""
    marker = f'<property name="{name}" value="'
    start = text.index(marker) + len(marker)
    end = text.index('"', start)
    return text[:start] + (value if value is not None else "0" * (end - start)) + text[end:]


def change_module_version(root: str) -> None:
    """The module's version note changed, the report naming the changed module's SHA-256, SHA256SUMS made to
    match: only the version is wrong."""
    module = os.path.join(root, "lib", "lumivane.so")
    version = elf.ElfFile(module).version_note() or ""
    note = elf.ElfFile(module).section(elf.VERSION_NOTE_SECTION)
    assert note is not None and version
    start = note.offset

    def edit(data: bytes) -> bytes:
        at = data.index(version.encode() + b"\0", start)
        return data[:at] + b"9" * len(version) + data[at + len(version):]
    _rewrite(module, edit)
    _edit_report(root, lambda text: _other_property(text, "sha256", release.sha256_of(module)))


def _first_package(root: str) -> str:
    folder = os.path.join(root, release.DEBIAN)
    return os.path.join(folder, sorted(os.listdir(folder))[0])


def remove_package(root: str) -> None:
    os.remove(_first_package(root))
    release.write_sums(root)


def package_of_another_version(root: str) -> None:
    """A package rebuilt with another version in its control file, its SBOM entry and sum made to match."""
    package = _first_package(root)
    unpacked = package + ".d"
    subprocess.run(["dpkg-deb", "-R", package, unpacked], check=True)
    _rewrite(os.path.join(unpacked, "DEBIAN", "control"), lambda data: data.replace(b"\nVersion: ", b"\nVersion: 9", 1))
    subprocess.run(["dpkg-deb", "--root-owner-group", "-b", unpacked, package], check=True, stdout=subprocess.DEVNULL)
    shutil.rmtree(unpacked)
    sbom_sum(root, release.sha256_of(package))


def sbom_sum(root: str, sha256: str = "0" * 64) -> None:
    """The SBOM naming the first package by SHA256, SHA256SUMS made to match."""
    path = glob.glob(os.path.join(root, "*.spdx.json"))[0]
    name = f"{release.DEBIAN}/{os.path.basename(_first_package(root))}"
    document = json.loads(open(path, encoding="utf-8").read())
    for entry in document["packages"]:
        if entry.get("packageFileName") == name:
            entry["checksums"] = [{"algorithm": "SHA256", "checksumValue": sha256}]
    _rewrite(path, lambda data: json.dumps(document).encode())
    release.write_sums(root)


EDITS: Dict[str, Callable[[str], None]] = {
    "none": lambda root: None,
    "member": change_member,
    "debug-bytes": change_debug_bytes,
    "by-id-elsewhere": retarget_by_id,
    "by-id-module": retarget_by_id_listed,
    "by-id-missing": remove_by_id_listed,
    "unlisted": add_unlisted,
    "listed-missing": remove_listed,
    "no-sums": remove_sums,
    "listed-twice": list_twice,
    "sums-garbled": lambda root: _append_to_sums(root, b"not a sum\n"),
    "debug": change_debug_build_id,
    "report": lambda root: _edit_report(root, lambda text: _other_property(text, "sha256")),
    "report-build-id": lambda root: _edit_report(root, lambda text: _other_property(text, "build_id")),
    "report-version": lambda root: _edit_report(root, lambda text: _other_property(text, "version")),
    "report-failed": lambda root: _edit_report(
        root, lambda text: text.replace("</testcase>", '<failure message="failed"/></testcase>', 1)),
    "module-version": change_module_version,
    "package-missing": remove_package,
    "package-other-version": package_of_another_version,
    "package-sbom-sum": sbom_sum,
}


def edited(tree: str, out: str, kind: str) -> None:
    """OUT: the release unpacked at TREE, packed again with the edit KIND."""
    scratch = out + ".tree"
    root = os.path.join(scratch, os.path.basename(tree))
    shutil.copytree(tree, root, symlinks=True)
    EDITS[kind](root)
    pack(root, out)
    shutil.rmtree(scratch)


def renamed(tree: str, out: str, name: str, second: bool = False) -> None:
    """OUT: the release with its folder renamed NAME, or (SECOND) with another folder beside it."""
    scratch = out + ".tree"
    shutil.copytree(tree, os.path.join(scratch, name), symlinks=True)
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w") as tar:
        tar.add(os.path.join(scratch, name), arcname=name)
        if second:
            tar.add(os.path.join(scratch, name, "NEWS"), arcname="another/NEWS")
    with open(out, "wb") as archive:
        archive.write(raw.getvalue())
    shutil.rmtree(scratch)


def with_member(good: str, out: str, kind: str, absolute: str) -> None:
    """OUT: the good archive with one unsafe member added at its end."""
    with tarfile.open(good) as source, tarfile.open(out, "w:xz") as archive:
        top = source.getmembers()[0].name.split("/")[0]
        for present in source.getmembers():
            archive.addfile(present, source.extractfile(present) if present.isfile() else None)
        data = b"escaped"

        def member(name: str, kind: bytes = tarfile.REGTYPE, linkname: str = "") -> tarfile.TarInfo:
            extra = tarfile.TarInfo(name)
            extra.type, extra.linkname = kind, linkname
            extra.size = len(data) if kind == tarfile.REGTYPE else 0
            return extra
        extras: List[tarfile.TarInfo]
        if kind == "dotdot":
            extras = [member(f"{top}/../../escaped-dotdot")]
        elif kind == "dotdot-inside":
            # Back inside the release's folder: only its ".." is wrong.
            extras = [member(f"{top}/lib/../escaped-inside")]
        elif kind == "absolute":
            extras = [member(absolute)]
        elif kind == "outside-link":
            extras = [member(f"{top}/lib/escape", tarfile.SYMTYPE, "../../..")]
        elif kind == "link-through-link":
            # Each link alone stays inside; the second leads outside through the first.
            extras = [member(f"{top}/up", tarfile.SYMTYPE, "."),
                      member(f"{top}/lib/escape", tarfile.SYMTYPE, "../up/../..")]
        elif kind == "hard-link":
            extras = [member(f"{top}/lib/hard", tarfile.LNKTYPE, f"{top}/lib/nothing")]
        elif kind == "twice":
            extras = [member(f"{top}/NEWS")]
        elif kind == "fifo":
            extras = [member(f"{top}/lib/pipe", tarfile.FIFOTYPE)]
        elif kind == "device":
            extras = [member(f"{top}/lib/null", tarfile.CHRTYPE)]
            extras[0].devmajor, extras[0].devminor = 1, 3
        else:
            raise ValueError(f"no unsafe member named {kind}")
        for extra in extras:
            archive.addfile(extra, io.BytesIO(data) if extra.type == tarfile.REGTYPE else None)
