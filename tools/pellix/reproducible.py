# SPDX-License-Identifier: Apache-2.0
"""check-reproducible: two builds of one commit give the same archive, byte for byte (docs/release.md).

    check-reproducible [--other-user USER]
    check-reproducible --compare FIRST SECOND

Builds the release of this checkout's commit twice, from two clones, the second differing in everything a
release must not depend on: the checkout's, the build folder's and the archive's paths; the user (as root: USER,
by default nobody); the date and time of day (79 hours ahead, through faketime); umask, locale and time zone;
the number of parallel jobs. On any difference it names the members that differ, shows diffoscope's report and
fails, keeping both builds. Run by hand: it builds everything that ships twice. --compare judges two archives
already built. Exits 0 when the archives are identical, 1 when they differ, 2 when it cannot build them.
"""

import os
import pwd
import shutil
import subprocess
import sys
import tarfile
import tempfile
from typing import Dict, List, Optional, Sequence, Tuple

from pellix import release

TOP = release.TOP
USAGE = "usage: check-reproducible [--other-user USER] | --compare FIRST SECOND"
TOOLS = ("git", "faketime", "diffoscope", "setpriv")


class Cannot(Exception):
    """The builds cannot be made or compared; the message says why."""


def say(text: str) -> None:
    print(f"check-reproducible: {text}", flush=True)


def _bytes(path: str, missing_too: bool = False) -> Optional[bytes]:
    try:
        with open(path, "rb") as handle:
            return handle.read()
    except FileNotFoundError:
        if missing_too:
            return None
        raise


def _contents(path: str) -> Dict[str, Tuple[object, ...]]:
    """Each member of a tar archive by name: what it is, and its bytes."""
    found: Dict[str, Tuple[object, ...]] = {}
    with tarfile.open(path) as archive:
        for member in archive.getmembers():
            stream = archive.extractfile(member) if member.isfile() else None
            found[member.name] = (member.type, member.mode, member.uid, member.gid, member.uname, member.gname,
                                  member.mtime, member.linkname, stream.read() if stream else b"")
    return found


def differing_members(first: str, second: str) -> List[str]:
    """The names of the members the two archives hold differently, or that only one holds."""
    one, other = _contents(first), _contents(second)
    return sorted(name for name in set(one) | set(other) if one.get(name) != other.get(name))


def compare(first: str, second: str) -> bool:
    """Whether the two archives, and their .sha256 files where they have them, are the same bytes; if not, the
    members that differ and diffoscope's report."""
    sums = "same" if _bytes(first + ".sha256", True) == _bytes(second + ".sha256", True) else "different"
    if _bytes(first) == _bytes(second) and sums == "same":
        with tarfile.open(first) as archive:
            count = len(archive.getmembers())
        say(f"identical: {os.path.basename(first)}, {os.path.getsize(first)} bytes, {count} members, "
            f"sha256 {release.sha256_of(first)}")
        return True
    try:
        differing = " ".join(differing_members(first, second)) or "none (the archives differ in their framing)"
    except (OSError, EOFError, tarfile.TarError) as error:
        differing = f"unknown ({error})"
    say(f"the members that differ: {differing}")
    say(f"the two builds differ (their .sha256 files: {sums}); diffoscope's report follows")
    subprocess.run(["diffoscope", first, second], check=False)
    return False


def _clone(commit: str, path: str, umask: int = -1) -> None:
    if subprocess.run(["git", "clone", "--quiet", "--no-hardlinks", TOP, path], check=False,
                      umask=umask).returncode != 0:
        raise Cannot(f"cannot clone {TOP} to {path}")
    subprocess.run(["git", "-C", path, "checkout", "--quiet", "--detach", commit], check=True)


def _build(what: str, command: List[str], cwd: str, env: Dict[str, str], log: str, umask: int) -> None:
    with open(log, "w", encoding="utf-8") as output:
        status = subprocess.run(command, cwd=cwd, env=env, stdout=output, stderr=subprocess.STDOUT, check=False,
                                umask=umask).returncode
    if status != 0:
        with open(log, encoding="utf-8", errors="replace") as output:
            sys.stderr.write("".join(output.readlines()[-30:]))
        raise Cannot(f"the {what} build failed (log: {log})")


def first_build(scratch: str, commit: str) -> None:
    """The plain one, the build folder inside the checkout."""
    checkout = os.path.join(scratch, "first", "lumivane")
    _clone(commit, checkout)
    say(f"first build: {checkout} as {pwd.getpwuid(os.getuid()).pw_name}, umask 022, LC_ALL=C.UTF-8, TZ=UTC, 1 job")
    env = dict(os.environ, LC_ALL="C.UTF-8", TZ="UTC", CMAKE_BUILD_PARALLEL_LEVEL="1",
               TMPDIR=os.path.join(scratch, "first"))
    _build("first", ["./scripts/release", "--dist", os.path.join(scratch, "first", "dist")], checkout, env,
           os.path.join(scratch, "first.log"), 0o022)


def second_build(scratch: str, commit: str, other_user: str) -> None:
    """Everything varied. As root, as another user, who gets the device's cached kernel in a place of its own
    (the cache lives in the first user's home)."""
    second = os.path.join(scratch, "second")
    base = os.path.join(second, "a", "much", "longer", "path")
    checkout = os.path.join(base, "checkout-elsewhere")
    objects = os.path.join(second, "objects-outside")
    for folder in (base, objects, os.path.join(second, "home"), os.path.join(second, "tmp"),
                   os.path.join(second, "cache")):
        os.makedirs(folder, exist_ok=True)
    _clone(commit, checkout, 0o077)
    entry = release.device_kernel(TOP)
    shutil.copytree(entry, os.path.join(second, "cache", os.path.basename(entry)), symlinks=True)
    as_user: List[str] = []
    who = pwd.getpwuid(os.getuid()).pw_name
    if os.getuid() == 0 and other_user != "root":
        try:
            user = pwd.getpwnam(other_user)
        except KeyError:
            raise Cannot(f"no user {other_user}") from None
        for base, folders, files in os.walk(second):
            for name in [base] + [os.path.join(base, entry) for entry in folders + files]:
                os.lchown(name, user.pw_uid, user.pw_gid)
        os.chmod(scratch, 0o755)
        as_user = ["setpriv", f"--reuid={other_user}", f"--regid={user.pw_gid}", "--clear-groups", "--"]
        who = other_user
    else:
        say("not root: the user is not varied")
    say(f"second build: {checkout}, build folder {objects}, as {who}, umask 077, LC_ALL=POSIX, "
        "TZ=Pacific/Kiritimati (UTC+14), 79 hours ahead, 2 jobs")
    env = dict(os.environ, HOME=os.path.join(second, "home"), LC_ALL="POSIX", LANG="POSIX", TZ="Pacific/Kiritimati",
               CMAKE_BUILD_PARALLEL_LEVEL="2", TMPDIR=os.path.join(second, "tmp"),
               PELLIX_DEVICE_CACHE=os.path.join(second, "cache"))
    command = as_user + ["faketime", "-f", "+79h", "./scripts/release", "--dist", os.path.join(second, "dist"),
                         "--build", objects]
    _build("second", command, checkout, env, os.path.join(scratch, "second.log"), 0o077)


def check(other_user: str) -> int:
    for tool in TOOLS:
        if shutil.which(tool) is None:
            raise Cannot(f"{tool} is missing (scripts/install-deps installs it)")
    head = release.read_commit(TOP, allow_dirty=True)
    commit = head.name.removesuffix("-dirty")
    if head.name != commit:
        say(f"uncommitted changes are left out: the builds are of commit {commit}")
    name = f"lumivane-{release.read_version(TOP)}.tar.xz"
    scratch = tempfile.mkdtemp(prefix="check-reproducible.")
    say(f"building commit {commit} twice in {scratch}")
    first_build(scratch, commit)
    second_build(scratch, commit, other_user)
    if compare(os.path.join(scratch, "first", "dist", name), os.path.join(scratch, "second", "dist", name)):
        shutil.rmtree(scratch)
        return 0
    say(f"both builds are kept in {scratch}")
    return 1


def main(argv: Sequence[str]) -> int:
    arguments = list(argv)
    try:
        if arguments[:1] == ["--compare"]:
            if len(arguments) != 3 or not all(os.path.isfile(path) for path in arguments[1:]):
                print(USAGE, file=sys.stderr)
                return 2
            if shutil.which("diffoscope") is None:
                raise Cannot("diffoscope is missing (scripts/install-deps installs it)")
            return 0 if compare(arguments[1], arguments[2]) else 1
        other_user = "nobody"
        while arguments:
            if arguments[0] == "--other-user" and len(arguments) >= 2:
                other_user = arguments[1]
                del arguments[:2]
            else:
                print(USAGE, file=sys.stderr)
                return 2
        return check(other_user)
    except (Cannot, release.ReleaseError, OSError) as error:
        print(f"check-reproducible: {error}", file=sys.stderr)
        return 2
