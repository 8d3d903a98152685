# SPDX-License-Identifier: Apache-2.0
"""verify-release [--kit LIGHTS-CONFORMANCE] ARCHIVE: a release archive checked as its receiver must, taken
for untrusted (docs/release.md).

The checks run in the order of the constants below, each printed as "pass  CHECK", up to the first that does
not hold, printed as "fail  CHECK: DETAIL". The members are judged before anything is extracted, and extracted
by the same reading of the archive that judged them. Exits 0 when every check holds, 1 when one does not, 2 when
it cannot verify at all (bad usage, no archive, no kit).
"""

import json
import lzma
import os
import posixpath
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import zlib
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Optional, Sequence, Set, Tuple, TypeVar

from pellix import elf, release, report

DEFAULT_KIT = os.path.join(release.TOP, "out", "armv5te", "bin", "lights-conformance")
USAGE = "usage: verify-release [--kit LIGHTS-CONFORMANCE] ARCHIVE"

MATCHES_SHA256 = "the archive matches its .sha256"
READABLE = "the archive reads as a tar archive"
SAFE_MEMBERS = "no member with an absolute path or '..', a link leading outside, a device or a FIFO"
EXTRACTS = "the archive extracts into a fresh folder"
ONE_FOLDER = "the archive holds one folder, lumivane-VERSION"
SUMS_LIST = "SHA256SUMS lists every file"
SUMS_MATCH = "every file matches SHA256SUMS"
DEBUG_FILE = "the debug file matches the module's build ID"
REPORT_SHA256 = "the report names this module's SHA-256"
REPORT_BUILD_ID = "the report names this module's build ID"
VERSION = "the module and the report carry the archive's version"
PACKAGES = "the Debian packages are the release's version, each named in the SBOM by its SHA-256"
REPORT_PASSES = "the report passes every clause"
QUALIFIES = "the module qualifies again on the emulated device"

MAX_LINK_DEPTH = 32
T = TypeVar("T")


class Failed(Exception):
    """A check does not hold; the message is its detail."""


class CannotVerify(Exception):
    """The archive cannot be verified at all; the message says why."""


# --- The archive's members, judged before anything is extracted.

def inside(name: str) -> bool:
    # No ".." at all, even one that would come back inside.
    return name != "" and not name.startswith("/") and ".." not in name.split("/")


def resolve(path: str, links: Dict[str, str], depth: int = 0) -> Optional[List[str]]:
    """Where PATH leads through the archive's links seen so far, as its components; None when outside."""
    if depth > MAX_LINK_DEPTH:
        return None
    place: List[str] = []
    for part in path.split("/"):
        if part == "..":
            if not place:
                return None
            place.pop()
        elif part not in ("", "."):
            place.append(part)
            target = links.get("/".join(place))
            if target is not None:
                led = None if target.startswith("/") else resolve("/".join(place[:-1] + [target]), links, depth + 1)
                if led is None:
                    return None
                place = led
    return place


def check_members(members: Sequence[tarfile.TarInfo]) -> None:
    """Raises Failed at the first member that is not safe to extract."""
    seen = set()
    links: Dict[str, str] = {}
    for member in members:
        name, clean = member.name, posixpath.normpath(member.name)
        if name.startswith("/"):
            problem = "an absolute path"
        elif not inside(name):
            problem = "a path with '..'"
        elif clean in seen:
            problem = "appears twice"
        # Its folder, reached through the links before it, is inside.
        elif resolve(posixpath.dirname(clean), links) is None:
            problem = "lies beyond a link leading outside the archive"
        else:
            seen.add(clean)
            problem = _kind_problem(member, clean, seen, links)
        if problem:
            raise Failed(f"member {name!r}: {problem}")


def _kind_problem(member: tarfile.TarInfo, clean: str, seen: Set[str], links: Dict[str, str]) -> str:
    """What makes MEMBER, safe by its name, unsafe by its kind; links also remembered in LINKS."""
    if member.ischr() or member.isblk():
        return "a device"
    if member.isfifo():
        return "a FIFO"
    if member.issym():
        links[clean] = member.linkname
        if member.linkname.startswith("/") or resolve(clean, links) is None:
            return f"a link leading outside the archive ({member.linkname})"
    elif member.islnk():
        if not inside(member.linkname) or posixpath.normpath(member.linkname) not in seen:
            return f"a hard link to nothing before it in the archive ({member.linkname})"
    elif not (member.isfile() or member.isdir()):
        return "neither a file, a folder nor a link"
    return ""


def extract(archive: tarfile.TarFile, members: List[tarfile.TarInfo], folder: str) -> None:
    """The judged members into FOLDER, which must be empty. Owners and modes beyond the permission bits stay
    the extractor's: nothing set-id comes out of an archive."""
    if not os.path.isdir(folder) or os.listdir(folder):
        raise Failed(f"{folder} is not an empty folder")
    for member in members:
        member.mode &= 0o777
        member.uid = member.gid = os.getuid()
        member.uname = member.gname = ""
    # Where Python checks members itself, it checks them again.
    options: Dict[str, Any] = {"filter": "data"} if hasattr(tarfile, "data_filter") else {}
    try:
        archive.extractall(folder, members=members, numeric_owner=True, **options)
    except (OSError, tarfile.TarError) as error:
        raise Failed(str(error)) from None


# --- The checks of the extracted release.

def one_release_folder(folder: str) -> str:
    """The one folder, lumivane-VERSION, that FOLDER holds: the root of the release."""
    entries = sorted(os.listdir(folder))
    path = os.path.join(folder, entries[0]) if len(entries) == 1 else ""
    if not path or not re.fullmatch(f"lumivane-{release.VERSION_FORM}", entries[0]) or os.path.islink(path) \
            or not os.path.isdir(path):
        raise Failed(f"the archive holds: {' '.join(entries)}")
    return path


def read_sums(root: str) -> List[Tuple[str, str]]:
    path = os.path.join(root, release.SUMS)
    if os.path.islink(path) or not os.path.isfile(path):
        raise Failed(f"no {release.SUMS}")
    with open(path, encoding="utf-8", errors="replace") as sums:
        lines = sums.read().splitlines()
    pairs = []
    for number, line in enumerate(lines, 1):
        match = re.fullmatch(r"([0-9a-f]{64})  (.+)", line)
        if match is None:
            raise Failed(f"line {number} of {release.SUMS} is not 'SHA256  NAME'")
        pairs.append((match.group(1), match.group(2)))
    return pairs


def sums_list_every_file(root: str) -> None:
    """The names SHA256SUMS lists are exactly the files and links under ROOT, SHA256SUMS aside, each once."""
    listed = [name for _, name in read_sums(root)]
    differing = sorted(set(listed) ^ set(release.listed_files(root)))
    twice = sorted({name for name in listed if listed.count(name) > 1})
    problems = ([f"not listed or not there: {' '.join(differing)}"] if differing else []) \
        + ([f"listed twice: {' '.join(twice)}"] if twice else [])
    if problems:
        raise Failed("; ".join(problems))


def _sha256_or_nothing(path: str) -> str:
    try:
        return release.sha256_of(path)
    except OSError:
        return ""


def sums_match(root: str) -> None:
    """Every file listed matches its SHA-256; a link counts by the file it leads to, as sha256sum reads it."""
    failed = [f"{name}: FAILED" for want, name in read_sums(root)
              if _sha256_or_nothing(os.path.join(root, name)) != want]
    if failed:
        raise Failed(" ".join(failed))


def build_id_of(path: str) -> Optional[str]:
    try:
        return elf.ElfFile(path).build_id()
    except elf.ElfError:
        return None


def debug_file_matches(root: str) -> None:
    """The module has a build ID, and its debug file, beside it and under .build-id/NN/REST.debug, is the same
    file with the same ID."""
    if not os.path.isfile(os.path.join(root, "lib", "lumivane.so")):
        raise Failed("no lib/lumivane.so")
    build_id = build_id_of(os.path.join(root, "lib", "lumivane.so"))
    if not build_id or not re.fullmatch(r"[0-9a-f]{4,}", build_id):
        raise Failed("the module has no build ID")
    by_id = "lib/debug/" + release.build_id_path(build_id)
    for name in ("lib/lumivane.so.debug", by_id):
        if not os.path.isfile(os.path.join(root, name)):
            raise Failed(f"no {name}")
        found = build_id_of(os.path.join(root, name))
        if found != build_id:
            raise Failed(f"the module's build ID is {build_id}, {name}'s {found or 'none'}")
    if release.sha256_of(os.path.join(root, by_id)) != release.sha256_of(os.path.join(root, "lib/lumivane.so.debug")):
        raise Failed(f"{by_id} is not lib/lumivane.so.debug")


def report_suite(root: str) -> report.Suite:
    try:
        suites = report.read(os.path.join(root, release.REPORT))
    except report.ReportError as error:
        raise Failed(str(error)) from None
    if not suites:
        raise Failed(f"{release.REPORT} holds no test suite")
    return suites[0]


def report_names(root: str, name: str, value: str) -> None:
    named = report_suite(root).properties.get(name)
    if named != value:
        raise Failed(f"the report names {name} {named or 'nothing'}, the module is {value}")


def carries_version(root: str) -> None:
    version = os.path.basename(root)[len("lumivane-"):]
    try:
        noted = elf.ElfFile(os.path.join(root, "lib", "lumivane.so")).version_note()
    except elf.ElfError:
        noted = None
    if noted != version:
        raise Failed(f"the module's version note holds {noted or 'nothing'}, not {version}")
    report_names(root, "version", version)


def packages_match(root: str) -> None:
    """debian/ holds one package of each of the release's, of the archive's version as dpkg reads it, and the
    SBOM names each by its path and SHA-256 (SHA256SUMS has already vouched for the bytes)."""
    version = os.path.basename(root)[len("lumivane-"):]
    folder = os.path.join(root, release.DEBIAN)
    names = sorted(os.listdir(folder)) if os.path.isdir(folder) else []
    found = []
    for name in names:
        shown = subprocess.run(["dpkg-deb", "--show", "--showformat=${Package}\t${Version}",
                                os.path.join(folder, name)],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, check=False)
        package, _, package_version = shown.stdout.partition("\t")
        if shown.returncode != 0 or not name.endswith(".deb"):
            raise Failed(f"{release.DEBIAN}/{name} is no Debian package")
        if package_version != version:
            raise Failed(f"{release.DEBIAN}/{name} is {package} {package_version}, not of version {version}")
        found.append(package)
    if found != list(release.DEBIAN_PACKAGES):
        raise Failed(f"{release.DEBIAN}/ holds {' '.join(found) or 'nothing'}, not {' '.join(release.DEBIAN_PACKAGES)}")
    try:
        with open(os.path.join(root, f"lumivane-{version}.spdx.json"), encoding="utf-8") as document:
            named = {entry.get("packageFileName"): entry.get("checksums") for entry in json.load(document)["packages"]}
    except (OSError, ValueError, KeyError, TypeError, AttributeError) as error:
        raise Failed(f"the SBOM cannot be read: {error}") from None
    for name in names:
        sha256 = release.sha256_of(os.path.join(folder, name))
        if named.get(f"{release.DEBIAN}/{name}") != [{"algorithm": "SHA256", "checksumValue": sha256}]:
            raise Failed(f"the SBOM does not name {release.DEBIAN}/{name} by its SHA-256 {sha256}")


def report_passes(root: str) -> None:
    """The report ran at least one clause, and none failed, was skipped or ended in error."""
    suite = report_suite(root)
    bad = [case.name for case in suite.cases if case.outcome != "pass"]
    if not suite.cases or bad:
        raise Failed(f"the report has {len(suite.cases)} tests, not passed: {' '.join(bad) or 'none ran'}")


def qualifies(module: str, kit: str, scratch: str) -> None:
    junit, text = os.path.join(scratch, "requalification.xml"), os.path.join(scratch, "requalification.txt")
    with open(text, "w", encoding="utf-8") as output:
        status = subprocess.run([kit, "--junit", junit, module], stdout=output, stderr=subprocess.STDOUT,
                                check=False).returncode
    if status == 0:
        return
    try:
        failed = [f"fail {case.name}: {case.message}" for suite in report.read(junit) for case in suite.cases
                  if case.outcome in ("fail", "error")]
    except report.ReportError:
        failed = []
    if not failed:
        with open(text, encoding="utf-8", errors="replace") as output:
            failed = output.read().splitlines()[-5:]
    raise Failed(" ".join(failed + [f"lights-conformance exited {status}"]))


def matches_its_sha256(archive: str) -> None:
    with open(archive + ".sha256", encoding="utf-8", errors="replace") as sums:
        words = sums.read().split()
    want, have = (words[0] if words else ""), release.sha256_of(archive)
    if want != have:
        raise Failed(f"the .sha256 gives {want or 'nothing'}, the archive is {have}")


def read_archive(archive: str) -> Tuple[tarfile.TarFile, List[tarfile.TarInfo]]:
    # Read to its end: its members are what is judged, then extracted.
    tar = None
    try:
        tar = tarfile.open(archive)
        return tar, tar.getmembers()
    except (OSError, EOFError, tarfile.TarError, lzma.LZMAError, zlib.error) as error:
        if tar is not None:
            tar.close()
        raise Failed(str(error)) from None


# --- The verification.

@dataclass
class Outcome:
    passed: List[str] = field(default_factory=list)
    failed: Optional[str] = None  # the check that does not hold, the last one run
    detail: str = ""
    module_sha256: str = ""


def _checks(outcome: Outcome, say: Callable[[str], None], archive: str, kit: str, scratch: str) -> None:
    def step(name: str, check: Callable[..., T], *arguments: object) -> T:
        try:
            result = check(*arguments)
        except Failed as failure:
            outcome.failed, outcome.detail = name, " ".join(str(failure).split())
            say(f"fail  {name}" + (f": {outcome.detail}" if outcome.detail else ""))
            raise  # the first failure ends the verification
        outcome.passed.append(name)
        say(f"pass  {name}")
        return result

    if os.path.isfile(archive + ".sha256"):
        step(MATCHES_SHA256, matches_its_sha256, archive)
    tar, members = step(READABLE, read_archive, archive)
    extracted = os.path.join(scratch, "archive")
    os.mkdir(extracted)
    with tar:
        step(SAFE_MEMBERS, check_members, members)
        step(EXTRACTS, extract, tar, members, extracted)
    root = step(ONE_FOLDER, one_release_folder, extracted)
    step(SUMS_LIST, sums_list_every_file, root)
    step(SUMS_MATCH, sums_match, root)
    step(DEBUG_FILE, debug_file_matches, root)
    module = os.path.join(root, "lib", "lumivane.so")
    outcome.module_sha256 = release.sha256_of(module)
    step(REPORT_SHA256, report_names, root, "sha256", outcome.module_sha256)
    step(REPORT_BUILD_ID, report_names, root, "build_id", build_id_of(module) or "none")
    step(VERSION, carries_version, root)
    step(PACKAGES, packages_match, root)
    step(REPORT_PASSES, report_passes, root)
    step(QUALIFIES, qualifies, module, kit, scratch)


def verify(archive: str, kit: str, say: Callable[[str], None] = lambda line: None) -> Outcome:
    """Runs the checks in order up to the first that fails; SAY gets each line to print as it is known."""
    if not os.path.isfile(archive) or not os.access(archive, os.R_OK):
        raise CannotVerify(f"cannot read {archive}")
    if os.path.isdir(kit) or not os.access(kit, os.X_OK):
        raise CannotVerify(f"no conformance kit at {kit}: run make, or name one with --kit")
    outcome = Outcome()
    scratch = tempfile.mkdtemp(prefix="verify-release.")
    try:
        _checks(outcome, say, archive, kit, scratch)
    except Failed:
        pass
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    return outcome


def main(argv: Sequence[str]) -> int:
    arguments = list(argv)
    kit = DEFAULT_KIT
    while len(arguments) > 1 and arguments[0] == "--kit":
        kit = arguments[1]
        del arguments[:2]
    if len(arguments) != 1:
        print(USAGE, file=sys.stderr)
        return 2
    try:
        outcome = verify(arguments[0], kit, lambda line: print(line, flush=True))
    except CannotVerify as error:
        print(f"verify-release: {error}", file=sys.stderr)
        return 2
    if outcome.failed is not None:
        print(f"verify-release: the archive fails: {outcome.failed}")
        return 1
    print(f"verify-release: every check holds for {os.path.basename(arguments[0])} (module sha256 "
          f"{outcome.module_sha256})")
    return 0
