# SPDX-License-Identifier: Apache-2.0
"""make release: the release of this commit, dist/lumivane-VERSION.tar.xz and its .sha256 (docs/release.md).

    release [--dist DIR] [--build DIR] [--allow-dirty]

    --dist DIR     where the archive goes (dist/ of the checkout)
    --build DIR    the release's build folders (build/release of the checkout)
    --allow-dirty  build a tree with uncommitted changes; the SBOM then names
                   the commit with "-dirty", and the release is no release

It builds what ships in build folders of its own, the Debian packages too (scripts/package, into debian/ of the
archive), qualifies the module on the emulated device with the kit, and
archives the lot with a fixed order, owners, modes and times (every time SOURCE_DATE_EPOCH, the commit's), so
that two builds of one commit give the same bytes. Exits 1 when the release cannot be made, 2 on bad usage.
"""

import hashlib
import io
import json
import lzma
import os
import re
import shutil
import subprocess
import sys
import tarfile
from dataclasses import dataclass
from typing import Dict, List, Optional, Sequence

from pellix import elf, report, sbom

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
USAGE = "usage: release [--dist DIR] [--build DIR] [--allow-dirty]"
SUMS = "SHA256SUMS"
VERSION_FORM = r"[0-9]+\.[0-9]+\.[0-9]+"
REPORT = "qualification/lights-conformance.xml"  # the kit's JUnit report, in the archive
# The Debian packages the archive carries, in its folder debian/ (scripts/package builds them).
DEBIAN = "debian"
DEBIAN_PACKAGES = ("lights-conformance", "lumivane-dev", "pellix-device")
STEADY_PROPERTY = "pid"  # what each clause's process was: differs from run to run


class ReleaseError(Exception):
    """The release cannot be made; the message says why."""


def _first_line(top: str, name: str) -> str:
    try:
        with open(os.path.join(top, name), encoding="utf-8") as handle:
            return handle.readline().rstrip("\n")
    except OSError:
        raise ReleaseError(f"cannot read {top}/{name}") from None


def read_version(top: str) -> str:
    version = _first_line(top, "VERSION")
    if not re.fullmatch(VERSION_FORM, version):
        raise ReleaseError(f"VERSION must hold MAJOR.MINOR.PATCH, not '{version}'")
    return version


def check_news(top: str, version: str) -> None:
    """Every release says what it brings: NEWS opens with this version's entry."""
    heading = _first_line(top, "NEWS")
    if heading != f"lumivane {version}":
        raise ReleaseError(f"NEWS must open with the entry of this release, 'lumivane {version}', not '{heading}'")


def _git(top: str, *arguments: str) -> subprocess.CompletedProcess:
    return subprocess.run(["git", "-C", top, *arguments], capture_output=True, text=True, check=False)


@dataclass
class Commit:
    name: str  # the commit's hash, with "-dirty" for a tree with uncommitted changes
    epoch: int  # its time, SOURCE_DATE_EPOCH


def read_commit(top: str, allow_dirty: bool) -> Commit:
    head = _git(top, "rev-parse", "--verify", "--quiet", "HEAD")
    if head.returncode != 0:
        raise ReleaseError(f"{top} is not a git checkout with a commit: a release is built from a commit")
    commit = Commit(head.stdout.strip(), int(_git(top, "log", "-1", "--format=%ct", "HEAD").stdout.strip()))
    if _git(top, "status", "--porcelain", "--untracked-files=no").stdout.strip():
        if not allow_dirty:
            raise ReleaseError("the tree has uncommitted changes: commit them (or --allow-dirty for a trial)")
        commit.name += "-dirty"
    return commit


# --- Building and staging.

def _tail(path: str, lines: int) -> str:
    with open(path, encoding="utf-8", errors="replace") as log:
        return "".join(log.readlines()[-lines:])


def _logged(command: List[str], log_path: str, env: Dict[str, str], mode: str = "a") -> bool:
    with open(log_path, mode, encoding="utf-8") as log:
        return subprocess.run(command, env=env, stdout=log, stderr=subprocess.STDOUT, check=False).returncode == 0


def build_config(top: str, preset: str, folder: str, prefix: str, env: Dict[str, str]) -> None:
    """What PRESET ships, built without its tests into FOLDER and installed, stripped, into PREFIX."""
    log = folder + ".log"
    if not os.path.isfile(os.path.join(folder, "build.ninja")) and not _logged(
            ["cmake", "--preset", preset, "-S", top, "-B", folder, "-DBUILD_TESTING=OFF"], log, env, "w"):
        sys.stderr.write(_tail(log, 1000))
        raise ReleaseError(f"cannot configure {preset}")
    if not _logged(["cmake", "--build", folder], log, env):
        sys.stderr.write(_tail(log, 40))
        raise ReleaseError(f"cannot build {preset} (the whole log: {log})")
    shutil.rmtree(prefix, ignore_errors=True)
    if not _logged(["cmake", "--install", folder, "--prefix", prefix, "--strip"], log, env):
        raise ReleaseError(f"cannot install {preset}")


def _folder(path: str) -> None:
    os.makedirs(path, exist_ok=True)
    os.chmod(path, 0o755)


def _install(sources: Sequence[str], folder: str, mode: int = 0o644) -> None:
    """Copies each of SOURCES into FOLDER with MODE, as install -D -m MODE -t FOLDER does."""
    _folder(folder)
    for source in sources:
        target = os.path.join(folder, os.path.basename(source))
        shutil.copyfile(source, target)
        os.chmod(target, mode)


def device_kernel(top: str) -> str:
    """The folder of the machine's cache that holds the emulated device's kernel, device tree and driver."""
    kernel = subprocess.run([os.path.join(top, "scripts", "device-kernel")], stdout=subprocess.PIPE, text=True,
                            check=False)
    if kernel.returncode != 0:
        raise ReleaseError("no kernel for the emulated device")
    return kernel.stdout.strip()


def _files_in(folder: str, suffix: str = "") -> List[str]:
    return sorted(os.path.join(folder, name) for name in os.listdir(folder)
                  if name.endswith(suffix) and os.path.isfile(os.path.join(folder, name)))


def module_build_id(path: str) -> str:
    try:
        build_id = elf.ElfFile(path).build_id()
    except elf.ElfError as error:
        raise ReleaseError(str(error)) from None
    if not build_id:
        raise ReleaseError("the module has no build ID")
    return build_id


def build_id_path(build_id: str) -> str:
    # Where a debugger looks a debug file up by build ID, under the folder it is told to search.
    return f".build-id/{build_id[:2]}/{build_id[2:]}.debug"


def stage(top: str, root: str, arm: str, i686: str) -> None:
    shutil.rmtree(root, ignore_errors=True)
    _folder(root)
    lib = os.path.join(root, "lib")
    _install([os.path.join(arm, "lib", "lumivane.so"), os.path.join(arm, "lib", "lumivane.so.debug")], lib)
    link = os.path.join(lib, "debug", build_id_path(module_build_id(os.path.join(lib, "lumivane.so"))))
    _folder(os.path.dirname(os.path.dirname(link)))
    _folder(os.path.dirname(link))
    os.symlink("../../../lumivane.so.debug", link)
    _install([os.path.join(arm, "include", "lumivane_records.h")], os.path.join(root, "include"))
    _install(_files_in(os.path.join(arm, "include", "traits")), os.path.join(root, "include", "traits"))
    _install([os.path.join(arm, "lib", "pkgconfig", "lumivane.pc")], os.path.join(lib, "pkgconfig"))
    _install(_files_in(os.path.join(arm, "lib", "cmake", "lumivane"), ".cmake"), os.path.join(lib, "cmake", "lumivane"))
    _install([os.path.join(i686, "bin", name) for name in ("test_char_traits", "test_type_traits")],
             os.path.join(root, "bin"), 0o755)
    _install([os.path.join(top, "NEWS")], root)
    _install(_files_in(os.path.join(top, "LICENSES"), ".txt"), os.path.join(root, "LICENSES"))


def build_packages(top: str, root: str, build: str, env: Dict[str, str]) -> None:
    """The Debian packages of the tree, built by scripts/package into BUILD/debian, into ROOT/debian."""
    built = os.path.join(build, DEBIAN)
    shutil.rmtree(built, ignore_errors=True)
    log = os.path.join(build, "package.log")
    # Dated by their changelog, as make package dates them, not by the commit: the same bytes either way.
    package_env = {name: value for name, value in env.items() if name != "SOURCE_DATE_EPOCH"}
    if not _logged([os.path.join(top, "scripts", "package")], log, dict(package_env, DIST=built), mode="w"):
        raise ReleaseError(f"the Debian packages could not be built (scripts/package; the log: {log}):\n"
                           + _tail(log, 3000))
    debs = _files_in(built, ".deb")
    if sorted(os.path.basename(deb).split("_")[0] for deb in debs) != list(DEBIAN_PACKAGES):
        raise ReleaseError(f"scripts/package built {', '.join(map(os.path.basename, debs)) or 'nothing'}, "
                           f"not one package of each of {', '.join(DEBIAN_PACKAGES)}")
    _install(debs, os.path.join(root, DEBIAN))


# --- The qualification.

def steady(suites: List[report.Suite]) -> List[report.Suite]:
    """The kit's report with what only its run measured set aside: each clause's time reads 0 and its process
    id nothing, so that every build of the commit ships the same report."""
    for case in (case for suite in suites for case in suite.cases):
        case.seconds = 0.0
        if STEADY_PROPERTY in case.properties:
            case.properties[STEADY_PROPERTY] = ""
    return suites


def sha256_of(path: str) -> str:
    with open(path, "rb") as handle:
        return hashlib.file_digest(handle, "sha256").hexdigest()


def _place(path: str, data: bytes) -> None:
    report.place(path, data)
    os.chmod(path, 0o644)


def qualify(root: str, kit: str, env: Dict[str, str]) -> None:
    """The kit's text and JUnit reports on the staged module, run on the emulated device. The module is named by
    its place in the archive, so the reports read the same wherever the release is built; the kit's own report
    is kept beside the stage."""
    folder = os.path.join(root, os.path.dirname(REPORT))
    _folder(folder)
    text = os.path.join(folder, "lights-conformance.txt")
    run_report = os.path.join(os.path.dirname(root), "lights-conformance.run.xml")
    with open(text, "w", encoding="utf-8") as output:
        status = subprocess.run([kit, "--junit", run_report, "lib/lumivane.so"], cwd=root, env=env,
                                stdout=output, check=False).returncode
    if status != 0:
        sys.stderr.write(_tail(text, 10000))
        raise ReleaseError("the module does not qualify: lights-conformance failed on it")
    os.chmod(text, 0o644)
    try:
        suites = steady(report.read(run_report))
    except report.ReportError as error:
        raise ReleaseError(f"cannot read the kit's JUnit report: {error}") from None
    _place(os.path.join(root, REPORT), report.to_xml(suites))
    # The reports name what they judged: this very file.
    module = os.path.join(root, "lib", "lumivane.so")
    named = suites[0].properties if suites else {}
    for name, value, what in (("sha256", sha256_of(module), "SHA-256"),
                              ("build_id", module_build_id(module), "build ID")):
        if named.get(name) != value:
            raise ReleaseError(f"the kit's report does not name the module's {what} {value}")


# --- SHA256SUMS and the archive.

def listed_files(root: str) -> List[str]:
    """Every file and link under ROOT, SHA256SUMS aside, in byte order."""
    names = []
    for base, folders, files in os.walk(root):
        for name in folders + files:
            path = os.path.join(base, name)
            if os.path.islink(path) or (name in files and os.path.isfile(path)):
                names.append(os.path.relpath(path, root))
    return sorted((name for name in names if name != SUMS), key=os.fsencode)


def write_sums(root: str) -> None:
    """SHA256SUMS of ROOT, in the form sha256sum --check reads: a link counts by the file it leads to."""
    _place(os.path.join(root, SUMS),
           "".join(f"{sha256_of(os.path.join(root, name))}  {name}\n" for name in listed_files(root)).encode())


def tar_bytes(stage_folder: str, name: str, epoch: int) -> bytes:
    """STAGE/NAME as a tar with a fixed order, owners, modes and times: the same bytes wherever the stage lies,
    whatever its files' times, owners and modes beyond their executable bits. Each folder comes before what it
    holds, names in byte order; owner 0 without names, modes u=rwX,go=rX."""
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w", format=tarfile.GNU_FORMAT) as tar:
        pending = [name]
        while pending:
            relative = pending.pop(0)
            path = os.path.join(stage_folder, relative)
            info = tarfile.TarInfo(relative)
            info.mtime, info.mode = epoch, 0o755
            data: Optional[bytes] = None
            if os.path.islink(path):
                info.type, info.linkname = tarfile.SYMTYPE, os.readlink(path)
            elif os.path.isdir(path):
                info.type = tarfile.DIRTYPE
                # Depth first: a folder's contents follow it, before its next sibling.
                pending[0:0] = [os.path.join(relative, child) for child in sorted(os.listdir(path), key=os.fsencode)]
            elif os.path.isfile(path):
                with open(path, "rb") as handle:
                    data = handle.read()
                info.size = len(data)
                if not os.stat(path).st_mode & 0o111:
                    info.mode = 0o644
            else:
                raise ReleaseError(f"{path} is neither a file, a folder nor a link")
            tar.addfile(info, io.BytesIO(data) if data is not None else None)
    return raw.getvalue()


def archive_bytes(stage_folder: str, name: str, epoch: int) -> bytes:
    return lzma.compress(tar_bytes(stage_folder, name, epoch), format=lzma.FORMAT_XZ, check=lzma.CHECK_CRC64,
                         preset=6)


def write_archive(stage_folder: str, name: str, output: str, epoch: int) -> None:
    data = archive_bytes(stage_folder, name, epoch)
    report.place(output, data)
    report.place(output + ".sha256", f"{hashlib.sha256(data).hexdigest()}  {os.path.basename(output)}\n".encode())


# --- The command.

def release(top: str, dist: str, build: str, allow_dirty: bool) -> str:
    version = read_version(top)
    check_news(top, version)
    commit = read_commit(top, allow_dirty)
    env = dict(os.environ, SOURCE_DATE_EPOCH=str(commit.epoch))
    name = f"lumivane-{version}"
    os.makedirs(build, exist_ok=True)
    os.makedirs(dist, exist_ok=True)
    build, dist = os.path.abspath(build), os.path.abspath(dist)
    # Files made here get the same modes under any umask.
    os.umask(0o022)

    print(f"release: {name} from {commit.name} (SOURCE_DATE_EPOCH={commit.epoch})", flush=True)
    arm, i686 = os.path.join(build, "prefix-armv5te"), os.path.join(build, "prefix-i686")
    build_config(top, "armv5te", os.path.join(build, "armv5te"), arm, env)
    build_config(top, "i686", os.path.join(build, "i686"), i686, env)
    # The emulated device beside its runner, for the qualification: from the machine's cache, as make installs it.
    _install([os.path.join(device_kernel(top), part)
              for part in ("zImage", "versatile-pb.dtb", "pellix_bl.ko", "kernel.release")],
             os.path.join(arm, "share", "pellix-device"))

    stage_folder = os.path.join(build, "stage")
    root = os.path.join(stage_folder, name)
    os.makedirs(stage_folder, exist_ok=True)
    stage(top, root, arm, i686)
    print("release: qualifying the module on the emulated device", flush=True)
    qualify(root, os.path.join(arm, "bin", "lights-conformance"), env)
    print("release: building the Debian packages", flush=True)
    build_packages(top, root, build, env)
    document = sbom.document(version, commit.name, commit.epoch, sbom.resolve_packages(sbom.shapers()))
    sbom.add_built(document, [(os.path.join(DEBIAN, deb), sha256_of(os.path.join(root, DEBIAN, deb)))
                              for deb in sorted(os.listdir(os.path.join(root, DEBIAN)))])
    spdx = json.dumps(document, indent=2, ensure_ascii=False) + "\n"
    _place(os.path.join(root, f"{name}.spdx.json"), spdx.encode())
    write_sums(root)
    output = os.path.join(dist, f"{name}.tar.xz")
    write_archive(stage_folder, name, output, commit.epoch)
    print(f"release: {output}")
    with open(output + ".sha256", encoding="utf-8") as sums:
        print(sums.read(), end="")
    return output


def main(argv: Sequence[str], top: str = TOP) -> int:
    options = {"--dist": os.path.join(top, "dist"), "--build": os.path.join(top, "build", "release")}
    allow_dirty = False
    arguments = list(argv)
    while arguments:
        argument = arguments.pop(0)
        if argument in options and arguments:
            options[argument] = arguments.pop(0)
        elif argument == "--allow-dirty":
            allow_dirty = True
        else:
            print(USAGE, file=sys.stderr)
            return 2
    try:
        release(top, options["--dist"], options["--build"], allow_dirty)
    except (ReleaseError, sbom.SbomError, OSError) as error:
        sys.stdout.flush()
        print(f"release: {error}", file=sys.stderr)
        return 1
    return 0
