# SPDX-License-Identifier: Apache-2.0
"""Faulty copies of a release archive, one fault each, for the tests of verify-release and check-reproducible.

A good archive is one the tests built themselves, so it is read as trusted. A copy with an edit is unpacked,
edited and packed again by the release's own writer, as a plain tar: xz takes a second for the packages inside,
which it cannot make smaller, and verify-release reads a tar of any compression. A copy with an unsafe member
gets the member appended to the good archive made a plain tar.
"""

import glob
import io
import json
import lzma
import os
import shutil
import subprocess
import tarfile
from typing import Any, Callable, Dict, List

from pellix import elf, release


def unpack(archive: str, folder: str) -> str:
    """The archive extracted into FOLDER; returns its one top folder."""
    # The tests' own archive: trusted, extracted as it is.
    trusted: Dict[str, Any] = {"filter": "fully_trusted"} if hasattr(tarfile, "fully_trusted_filter") else {}
    with tarfile.open(archive) as tar:
        tar.extractall(folder, **trusted)
    (name,) = os.listdir(folder)
    return os.path.join(folder, name)


def _rewrite(path: str, edit: Callable[[bytes], bytes], relist: str = "") -> None:
    """PATH edited in place; with RELIST, the release root whose SHA256SUMS is then made to match."""
    with open(path, "rb") as handle:
        data = handle.read()
    os.chmod(path, 0o644)
    with open(path, "wb") as handle:
        handle.write(edit(data))
    if relist:
        release.write_sums(relist)


def _by_id_link(root: str) -> str:
    build_id = elf.ElfFile(os.path.join(root, "lib", "lumivane.so")).build_id() or ""
    return os.path.join(root, "lib", "debug", release.build_id_path(build_id))


def retarget_by_id(root: str, relist: bool) -> None:
    """The debug file under .build-id made a link to the stripped module, which has the same build ID."""
    link = _by_id_link(root)
    os.unlink(link)
    os.symlink("../../../lumivane.so", link)
    if relist:
        release.write_sums(root)


def change_debug_build_id(root: str) -> None:
    """The debug file's build ID changed, SHA256SUMS made to match."""
    path = os.path.join(root, "lib", "lumivane.so.debug")
    build_id = bytes.fromhex(elf.ElfFile(path).build_id() or "")
    _rewrite(path, lambda data: data.replace(build_id, bytes([build_id[0] ^ 0xFF]) + build_id[1:], 1), root)


def _edit_report(root: str, edit: Callable[[str], str]) -> None:
    _rewrite(os.path.join(root, release.REPORT), lambda data: edit(data.decode()).encode(), root)


def _other_property(text: str, name: str, value: str = "") -> str:
    """The report with the property's value replaced, by default with as many zeros."""
    marker = f'<property name="{name}" value="'
    start = text.index(marker) + len(marker)
    end = text.index('"', start)
    return text[:start] + (value or "0" * (end - start)) + text[end:]


def change_module_version(root: str) -> None:
    """The module's version note changed, the report naming the changed module's SHA-256, SHA256SUMS made to
    match: only the version is wrong."""
    module = os.path.join(root, "lib", "lumivane.so")
    version = (elf.ElfFile(module).version_note() or "").encode()
    note = elf.ElfFile(module).section(elf.VERSION_NOTE_SECTION)
    assert note is not None and version
    start = note.offset

    def edit(data: bytes) -> bytes:
        at = data.index(version + b"\0", start)
        return data[:at] + b"9" * len(version) + data[at + len(version):]
    _rewrite(module, edit)
    _edit_report(root, lambda text: _other_property(text, "sha256", release.sha256_of(module)))


def _first_package(root: str) -> str:
    return sorted(glob.glob(os.path.join(root, release.DEBIAN, "*")))[0]


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
    name = f"{release.DEBIAN}/{os.path.basename(_first_package(root))}"

    def edit(data: bytes) -> bytes:
        document = json.loads(data)
        for entry in document["packages"]:
            if entry.get("packageFileName") == name:
                entry["checksums"] = [{"algorithm": "SHA256", "checksumValue": sha256}]
        return json.dumps(document).encode()
    _rewrite(glob.glob(os.path.join(root, "*.spdx.json"))[0], edit, root)


def _remove(root: str, path: str, relist: bool = True) -> None:
    os.remove(os.path.join(root, path))
    if relist:
        release.write_sums(root)


def _add(root: str, path: str, data: bytes) -> None:
    with open(os.path.join(root, path), "ab") as handle:
        handle.write(data)


def _first_sum(root: str) -> bytes:
    with open(os.path.join(root, release.SUMS), "rb") as sums:
        return sums.readline()


EDITS: Dict[str, Callable[[str], None]] = {
    "none": lambda root: None,
    # A shipped file changed, SHA256SUMS left as it was.
    "member": lambda root: _add(root, "bin/test_char_traits", b"\0"),
    # The debug file's last byte changed, its build ID kept and SHA256SUMS left as it was.
    "debug-bytes": lambda root: _rewrite(os.path.join(root, "lib", "lumivane.so.debug"),
                                         lambda data: data[:-1] + bytes([data[-1] ^ 0xFF])),
    "by-id-elsewhere": lambda root: retarget_by_id(root, relist=False),
    "by-id-module": lambda root: retarget_by_id(root, relist=True),
    "by-id-missing": lambda root: _remove(root, _by_id_link(root)),
    "unlisted": lambda root: _add(root, "lib/extra.so", b"not listed"),
    "listed-missing": lambda root: _remove(root, "NEWS", relist=False),
    "no-sums": lambda root: _remove(root, release.SUMS, relist=False),
    "listed-twice": lambda root: _add(root, release.SUMS, _first_sum(root)),
    "sums-garbled": lambda root: _add(root, release.SUMS, b"not a sum\n"),
    "debug": change_debug_build_id,
    "report": lambda root: _edit_report(root, lambda text: _other_property(text, "sha256")),
    "report-build-id": lambda root: _edit_report(root, lambda text: _other_property(text, "build_id")),
    "report-version": lambda root: _edit_report(root, lambda text: _other_property(text, "version")),
    "report-failed": lambda root: _edit_report(
        root, lambda text: text.replace("</testcase>", '<failure message="failed"/></testcase>', 1)),
    "module-version": change_module_version,
    "package-missing": lambda root: _remove(root, _first_package(root)),
    "package-other-version": package_of_another_version,
    "package-sbom-sum": sbom_sum,
}


def edited(tree: str, out: str, kind: str) -> None:
    """OUT: the release unpacked at TREE, packed again with the edit KIND."""
    scratch = out + ".tree"
    root = os.path.join(scratch, os.path.basename(tree))
    shutil.copytree(tree, root, symlinks=True)
    EDITS[kind](root)
    with open(out, "wb") as archive:
        archive.write(release.tar_bytes(scratch, os.path.basename(tree), 0))
    shutil.rmtree(scratch)


def renamed(tree: str, out: str, name: str, second: bool = False) -> None:
    """OUT: the release as a plain tar with its folder renamed NAME, or (SECOND) with another folder beside it."""
    with tarfile.open(out, "w") as tar:
        tar.add(tree, arcname=name)
        if second:
            tar.add(os.path.join(tree, "NEWS"), arcname="another/NEWS")


def plain(archive: str, out: str) -> None:
    """OUT: the archive as a plain tar, for unsafe members appended to copies of it."""
    with open(archive, "rb") as packed, open(out, "wb") as tar:
        tar.write(lzma.decompress(packed.read()))


def with_member(good: str, out: str, kind: str, absolute: str) -> None:
    """OUT: the good archive, a plain tar, with one unsafe member added at its end."""
    shutil.copyfile(good, out)
    with tarfile.open(out, "a") as archive:
        top = archive.getmembers()[0].name.split("/")[0]

        def member(name: str, kind: bytes = tarfile.REGTYPE, linkname: str = "") -> tarfile.TarInfo:
            extra = tarfile.TarInfo(name)
            extra.type, extra.linkname = kind, linkname
            extra.size = len(b"escaped") if kind == tarfile.REGTYPE else 0
            return extra
        extras: Dict[str, List[tarfile.TarInfo]] = {
            "dotdot": [member(f"{top}/../../escaped-dotdot")],
            # Back inside the release's folder: only its ".." is wrong.
            "dotdot-inside": [member(f"{top}/lib/../escaped-inside")],
            "absolute": [member(absolute)],
            "outside-link": [member(f"{top}/lib/escape", tarfile.SYMTYPE, "../../..")],
            # Each link alone stays inside; the second leads outside through the first.
            "link-through-link": [member(f"{top}/up", tarfile.SYMTYPE, "."),
                                  member(f"{top}/lib/escape", tarfile.SYMTYPE, "../up/../..")],
            "hard-link": [member(f"{top}/lib/hard", tarfile.LNKTYPE, f"{top}/lib/nothing")],
            "twice": [member(f"{top}/NEWS")],
            "fifo": [member(f"{top}/lib/pipe", tarfile.FIFOTYPE)],
            "device": [member(f"{top}/lib/null", tarfile.CHRTYPE)],
        }
        for extra in extras[kind]:
            extra.devmajor, extra.devminor = (1, 3) if extra.ischr() else (0, 0)
            archive.addfile(extra, io.BytesIO(b"escaped") if extra.isreg() else None)
