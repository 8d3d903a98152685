# SPDX-License-Identifier: Apache-2.0
"""The release's SBOM, SPDX 2.3 JSON: the package, its version and source commit, and each Debian package that
shaped the bytes or the device the module was qualified on, with its version as dpkg reports it."""

import datetime
import os
import posixpath
import re
import shutil
import subprocess
import urllib.parse
from dataclasses import dataclass
from typing import Any, Dict, List, Sequence, Tuple


class SbomError(Exception):
    """A file the SBOM must name that no Debian package holds; the message says why."""


@dataclass
class Shaper:
    """A Debian package that shaped the bytes, or the device the module was qualified on."""
    role: str
    relationship: str
    path: str
    package: str = ""
    version: str = ""
    architecture: str = ""


def _output(*command: str) -> str:
    return subprocess.run(command, capture_output=True, text=True, check=False).stdout.strip()


def _version_key(path: str) -> List[Tuple[int, object]]:
    """PATH as sort -V orders it: runs of digits by their value."""
    return [(0, int(part)) if part.isdigit() else (1, part) for part in re.split(r"([0-9]+)", path)]


def shapers() -> List[Shaper]:
    """The files whose packages shaped the bytes, and the device the module was qualified on."""
    sources = [os.path.join("/usr/src", name) for name in os.listdir("/usr/src")
               if name.startswith("linux-source-") and name.endswith(".tar.xz")] if os.path.isdir("/usr/src") else []
    kernel_source = max(sources, key=_version_key) if sources else "/usr/src/linux-source.tar.xz"
    tool, dependency = "BUILD_TOOL_OF", "BUILD_DEPENDENCY_OF"
    return [Shaper(role, relationship, path) for role, relationship, path in (
        ("the module's C++ compiler", tool, _output("arm-linux-gnueabi-g++", "-print-prog-name=cc1plus")),
        ("the module's compiler driver", tool, shutil.which("arm-linux-gnueabi-g++") or ""),
        ("the module's assembler and linker", tool, shutil.which("arm-linux-gnueabi-ld") or ""),
        ("the ARM C library the module is linked against", dependency, "/usr/arm-linux-gnueabi/lib/libc.so.6"),
        ("the compiler's run-time library linked into the module", dependency,
         _output("arm-linux-gnueabi-gcc", "-print-libgcc-file-name")),
        ("the self-test programs' C++ compiler", tool, _output("i686-linux-gnu-g++", "-print-prog-name=cc1plus")),
        ("the self-test programs' assembler and linker", tool, shutil.which("i686-linux-gnu-ld") or ""),
        ("the i386 C library the self-test programs are linked against", dependency,
         "/usr/i686-linux-gnu/lib/libc.so.6"),
        ("the i386 C++ runtime the self-test programs are linked against", dependency,
         _output("i686-linux-gnu-g++", "-print-file-name=libstdc++.so")),
        ("the kernel source of the emulated device the module was qualified on", "TEST_DEPENDENCY_OF",
         kernel_source),
        ("the emulator of the device the module was qualified on", "TEST_TOOL_OF",
         shutil.which("qemu-system-arm") or ""))]


def owners(paths: Sequence[str]) -> Dict[str, str]:
    """The Debian package that holds each path, by path: dpkg-query --search answers "PACKAGE[:ARCH][, ...]: PATH"
    for each path it knows."""
    answer = subprocess.run(["dpkg-query", "--search", *paths], capture_output=True, text=True, check=False).stdout
    found: Dict[str, str] = {}
    for line in answer.splitlines():
        packages, separator, path = line.partition(": ")
        if separator and not line.startswith("diversion by ") and path not in found:
            found[path] = packages.split(",")[0].split(":")[0].strip()
    return found


def resolve_packages(wanted: List[Shaper]) -> List[Shaper]:
    """Each shaper with its package, version and architecture as dpkg reports them."""
    for shaper in wanted:
        if not shaper.path or not os.path.exists(shaper.path):
            raise SbomError(f"no {shaper.path or 'file'} for the SBOM ({shaper.role})")
        shaper.path = os.path.realpath(shaper.path)
    found = owners([shaper.path for shaper in wanted])
    for shaper in wanted:
        if shaper.path not in found:
            raise SbomError(f"{shaper.path} ({shaper.role}) belongs to no Debian package")
        shaper.package = found[shaper.path]
    shown = _output("dpkg-query", "--show", "--showformat=${Package}\t${Version}\t${Architecture}\n",
                    *sorted({shaper.package for shaper in wanted}))
    details = {fields[0]: fields for fields in (line.split("\t") for line in shown.splitlines()) if len(fields) == 3}
    for shaper in wanted:
        if shaper.package not in details:
            raise SbomError(f"dpkg knows no version of {shaper.package} ({shaper.role})")
        _, shaper.version, shaper.architecture = details[shaper.package]
    return wanted


def _spdx_id(prefix: str, name: str) -> str:
    return prefix + re.sub(r"[^A-Za-z0-9.-]", "-", name)


def _purl(name: str, version: str, architecture: str, namespace: str = "") -> str:
    return f"pkg:deb/{namespace}{urllib.parse.quote(name, safe='')}@{urllib.parse.quote(version, safe='')}" \
        f"?arch={architecture}"


def _package(spdx_id: str, name: str, version: str, comment: str, **fields: object) -> Dict[str, object]:
    """An SPDX package entry; what is not known about it reads NOASSERTION."""
    return {"SPDXID": spdx_id, "name": name, "versionInfo": version, "downloadLocation": "NOASSERTION",
            "filesAnalyzed": False, "licenseConcluded": "NOASSERTION", "licenseDeclared": "NOASSERTION",
            "copyrightText": "NOASSERTION", "comment": comment, **fields}


def document(version: str, commit: str, epoch: int, packages: List[Shaper]) -> Dict[str, object]:
    """The SPDX 2.3 document of the release."""
    created = datetime.datetime.fromtimestamp(epoch, datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
    by_name: Dict[str, List[Shaper]] = {}
    for shaper in sorted(packages, key=lambda shaper: shaper.package):
        by_name.setdefault(shaper.package, []).append(shaper)
    entries = [_package("SPDXRef-Package-lumivane", "lumivane", version,
                        "The project is under Apache-2.0; the emulated device's kernel driver, which is not shipped, "
                        "under GPL-2.0-only.", sourceInfo=f"built from git commit {commit}",
                        licenseConcluded="Apache-2.0", licenseDeclared="Apache-2.0 AND GPL-2.0-only")]
    entries += [_package(_spdx_id("SPDXRef-Debian-", name), name, group[0].version,
                         "; ".join(shaper.role for shaper in group), supplier="Organization: Debian",
                         externalRefs=[{"referenceCategory": "PACKAGE-MANAGER", "referenceType": "purl",
                                        "referenceLocator": _purl(name, group[0].version, group[0].architecture,
                                                                  "debian/")}])
                for name, group in by_name.items()]
    # Ordered by relationship, then by package.
    relations = sorted({(shaper.relationship, _spdx_id("SPDXRef-Debian-", shaper.package)) for shaper in packages})
    return {
        "spdxVersion": "SPDX-2.3",
        "dataLicense": "CC0-1.0",
        "SPDXID": "SPDXRef-DOCUMENT",
        "name": f"lumivane-{version}",
        "documentNamespace": f"https://spdx.org/spdxdocs/lumivane-{version}-{commit}",
        "creationInfo": {"created": created, "creators": ["Tool: lumivane scripts/release"]},
        "packages": entries,
        "relationships": [{"spdxElementId": "SPDXRef-DOCUMENT", "relationshipType": "DESCRIBES",
                           "relatedSpdxElement": "SPDXRef-Package-lumivane"}]
        + [{"spdxElementId": element, "relationshipType": kind, "relatedSpdxElement": "SPDXRef-Package-lumivane"}
           for kind, element in relations],
    }


def add_built(document: Dict[str, Any], files: List[Tuple[str, str]]) -> None:
    """Adds to DOCUMENT each Debian package the release built, FILES being (path in the archive, SHA-256) of
    files named NAME_VERSION_ARCH.deb: a package generated from lumivane, named by its file's checksum."""
    for path, sha256 in files:
        name, version, architecture = posixpath.basename(path)[:-len(".deb")].split("_")
        spdx_id = _spdx_id("SPDXRef-Built-", name)
        document["packages"].append(_package(
            spdx_id, name, version, "a Debian package of this release (its copyright file names its licences)",
            packageFileName=path, checksums=[{"algorithm": "SHA256", "checksumValue": sha256}],
            externalRefs=[{"referenceCategory": "PACKAGE-MANAGER", "referenceType": "purl",
                           "referenceLocator": _purl(name, version, architecture)}]))
        document["relationships"].append({"spdxElementId": "SPDXRef-Package-lumivane",
                                          "relationshipType": "GENERATES", "relatedSpdxElement": spdx_id})
