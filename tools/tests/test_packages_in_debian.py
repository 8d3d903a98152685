# SPDX-License-Identifier: Apache-2.0
"""The Debian packages (make package) as a supplier meets them: in a fresh
root of a Debian release, only `apt-get install ./*.deb`; then, as an
ordinary user in a folder of their own, the released module qualifies, a
faulty sample fails exactly its clause, --junit writes its report, the
kit's manual page renders and the runner runs an ARM program; and purging
the packages leaves none of their files behind.

One test, run by hand as root, since it makes a root and fetches Debian's
packages: PELLIX_TRY_PACKAGES=bookworm (or trixie) with the pristine root
scripts/try-debian caches (TRY_DEBIAN_CACHE), dist/*.deb and the armv5te
build's samples. `pytest -s` shows the transcript, also kept beside the
root's copy in $TMPDIR.
"""

import glob
import json
import os
import shlex
import shutil
import subprocess
import tempfile
from typing import List, Sequence

import pytest

from pellix import report

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
RELEASE = os.environ.get("PELLIX_TRY_PACKAGES", "")
PRISTINE = os.path.join(os.environ.get("TRY_DEBIAN_CACHE", "/var/cache/kelvo-try-debian"), RELEASE)
MANIFEST = os.path.join(TOP, "build", "armv5te", "conformance", "tests", "samples.json")
PACKAGES = ("pellix-device", "lights-conformance", "lumivane-dev")
USER = "supplier"
WORK = f"/home/{USER}/qualify"

# The root's own mounts, in a mount namespace of each command's own, so
# nothing stays mounted once it ends.
MOUNT = ('mount -t proc proc "$0/proc" && mount -t sysfs sysfs "$0/sys" && mount --rbind /dev "$0/dev" && '
         'exec chroot "$@"')


class Root:
    """A throwaway copy of the pristine root, and the transcript of what ran in it."""

    def __init__(self, path: str, transcript: str) -> None:
        self.path = path
        self.transcript = transcript

    def run(self, command: str, user: str = "root", cwd: str = "/") -> "subprocess.CompletedProcess[str]":
        home = "/root" if user == "root" else f"/home/{user}"
        chroot = ([f"--userspec={user}:{user}"] if user != "root" else []) + [
            self.path, "env", "-i", "PATH=/usr/sbin:/usr/bin:/sbin:/bin", f"HOME={home}", "LANG=C.UTF-8",
            "DEBIAN_FRONTEND=noninteractive", "TERM=dumb", "sh", "-c", f"cd {shlex.quote(cwd)} && {command}"]
        done = subprocess.run(["unshare", "--mount", "--propagation", "private", "sh", "-c", MOUNT, self.path]
                              + chroot, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        with open(self.transcript, "a", encoding="utf-8") as log:
            log.write(f"{'#' if user == 'root' else '$'} {command}\n{done.stdout}[status {done.returncode}]\n\n")
        prompt = "#" if user == "root" else "$"
        print(f"{user}@{RELEASE}:{cwd}{prompt} {command}\n{done.stdout}[status {done.returncode}]")
        return done


def _needs() -> List[str]:
    """What this machine lacks for the proof."""
    lacks = []
    if not RELEASE:
        lacks.append("PELLIX_TRY_PACKAGES names no Debian release")
    elif not os.path.isdir(PRISTINE):
        lacks.append(f"no pristine {RELEASE} root in {PRISTINE} (scripts/try-debian makes it)")
    if hasattr(os, "geteuid") and os.geteuid() != 0:
        lacks.append("needs root")
    if not glob.glob(os.path.join(TOP, "dist", "*.deb")):
        lacks.append("dist/ holds no .deb: run make package")
    if not os.path.isfile(MANIFEST):
        lacks.append("the armv5te build's samples are missing: run make")
    return lacks


@pytest.fixture()
def root() -> "object":
    lacks = _needs()
    if lacks:
        pytest.skip("; ".join(lacks))
    work = tempfile.mkdtemp(prefix=f"try-packages-{RELEASE}.", dir=os.environ.get("TMPDIR") or "/var/tmp")
    path = os.path.join(work, "root")
    subprocess.run(["cp", "-a", PRISTINE, path], check=True)
    shutil.copy("/etc/resolv.conf", os.path.join(path, "etc", "resolv.conf"))
    yield Root(path, os.path.join(work, "transcript"))
    shutil.rmtree(path)


def _copy_in(root: Root, files: Sequence[str], folder: str) -> List[str]:
    os.makedirs(root.path + folder, exist_ok=True)
    for file in files:
        shutil.copy(file, root.path + folder)
    return [os.path.basename(file) for file in files]


def _failed(path: str) -> List[str]:
    return sorted(case.name for suite in report.read(path) for case in suite.cases if case.outcome == "fail")


def test_the_packages_install_qualify_and_purge_in_a_fresh_debian_root(root: Root) -> None:
    with open(MANIFEST, encoding="utf-8") as manifest:
        samples = {sample["name"]: sample for sample in json.load(manifest)["samples"]}
    faulty = next(sample for name, sample in sorted(samples.items()) if len(sample["fails"]) == 1)

    debs = _copy_in(root, sorted(glob.glob(os.path.join(TOP, "dist", "*.deb"))), "/tmp/debs")
    assert root.run("apt-get update -q && apt-get install -y -q " + " ".join(f"./{deb}" for deb in debs),
                    cwd="/tmp/debs").returncode == 0
    assert root.run(f"useradd --create-home {USER}").returncode == 0
    module, sample = _copy_in(root, [samples["lumivane"]["file"], faulty["file"]], WORK)
    subprocess.run(["chroot", root.path, "chown", "-R", f"{USER}:{USER}", f"/home/{USER}"], check=True)

    def supplier(command: str) -> int:
        return root.run(command, user=USER, cwd=WORK).returncode

    assert supplier(f"lights-conformance {module}") == 0
    assert supplier(f"lights-conformance --keep-going --junit report.xml {sample}") == 1
    assert _failed(root.path + WORK + "/report.xml") == faulty["fails"]
    assert supplier("pellix-device /usr/lib/pellix-device/bin/lights-loader /usr/lib/lumivane.so "
                    "backlight 0xFFFFFFFF") == 0
    # The page renders where man is, as on a supplier's machine: man-db is
    # no dependency of the packages, and a fresh root lacks it.
    assert root.run("apt-get install -y -q man-db >/dev/null").returncode == 0
    assert supplier("man lights-conformance | head -n 12") == 0
    assert root.run("MANWIDTH=80 man -P cat lights-conformance >/dev/null").returncode == 0

    listed = root.run("dpkg -L " + " ".join(PACKAGES))
    assert listed.returncode == 0
    assert root.run("apt-get purge -y -q " + " ".join(PACKAGES)).returncode == 0
    own = [path for path in listed.stdout.split() if path.startswith("/")]
    left = [path for path in own if os.path.lexists(root.path + path) and not os.path.isdir(root.path + path)]
    left += [folder for folder in ("/usr/lib/pellix-device", "/usr/lib/lights-conformance")
             + tuple(f"/usr/share/doc/{package}" for package in PACKAGES) if os.path.lexists(root.path + folder)]
    assert left == [], f"left behind after the purge: {left}"
    print(f"purge: none of the {len(own)} paths dpkg -L listed is left behind (but shared folders)")
