# SPDX-License-Identifier: Apache-2.0
"""verify-release: the session's release passes, and each fault fails at the check that must see it.

Faulty copies are verified with a kit that fails every module: a fault that slips past the check meant to see
it then ends at another check, and the test fails.
"""

import os
import shutil
import stat
import subprocess
import tarfile
import tempfile
from typing import List

import pytest

import tamper
from pellix import verify

ALL_CHECKS = [verify.MATCHES_SHA256, verify.READABLE, verify.SAFE_MEMBERS, verify.EXTRACTS, verify.ONE_FOLDER,
              verify.SUMS_LIST, verify.SUMS_MATCH, verify.DEBUG_FILE, verify.REPORT_SHA256, verify.REPORT_BUILD_ID,
              verify.VERSION, verify.PACKAGES, verify.REPORT_PASSES, verify.QUALIFIES]


@pytest.fixture(scope="module")
def good_tree(release_archive: str, tmp_path_factory: pytest.TempPathFactory) -> str:
    """The session's release, unpacked once for the copies made from it."""
    return tamper.unpack(release_archive, str(tmp_path_factory.mktemp("good")))


@pytest.fixture(scope="module")
def good_tar(release_archive: str, tmp_path_factory: pytest.TempPathFactory) -> str:
    """The session's release as a plain tar, once, for the copies with a member appended."""
    path = os.path.join(tmp_path_factory.mktemp("plain"), "lumivane.tar")
    tamper.plain(release_archive, path)
    return path


def _kit(folder: str, status: int) -> str:
    path = os.path.join(folder, f"kit-{status}")
    with open(path, "w") as kit:
        kit.write(f'#!/bin/sh\necho "fail  a clause: as this kit says"\nexit {status}\n')
    os.chmod(path, 0o755)
    return path


@pytest.fixture
def failing_kit(tmp_path: str) -> str:
    return _kit(str(tmp_path), 1)


def test_the_good_release_passes_every_check_its_module_qualified_again(
        release_archive: str, armv5te_out: str, top: str) -> None:
    run = subprocess.run([os.path.join(top, "scripts", "verify-release"), "--kit",
                          os.path.join(armv5te_out, "bin", "lights-conformance"), release_archive],
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, check=False)
    assert run.returncode == 0, run.stdout
    assert run.stdout.splitlines()[:-1] == [f"pass  {check}" for check in ALL_CHECKS]


@pytest.mark.parametrize("kind, check", [
    ("none", verify.QUALIFIES),  # repacked without a fault: every check holds up to the kit's
    ("member", verify.SUMS_MATCH),
    ("debug-bytes", verify.SUMS_MATCH),
    ("by-id-elsewhere", verify.SUMS_MATCH),
    ("unlisted", verify.SUMS_LIST),
    ("listed-missing", verify.SUMS_LIST),
    ("no-sums", verify.SUMS_LIST),
    ("listed-twice", verify.SUMS_LIST),
    ("sums-garbled", verify.SUMS_LIST),
    ("debug", verify.DEBUG_FILE),
    ("by-id-module", verify.DEBUG_FILE),
    ("by-id-missing", verify.DEBUG_FILE),
    ("report", verify.REPORT_SHA256),
    ("report-build-id", verify.REPORT_BUILD_ID),
    ("report-version", verify.VERSION),
    ("module-version", verify.VERSION),
    ("package-missing", verify.PACKAGES),
    ("package-other-version", verify.PACKAGES),
    ("package-sbom-sum", verify.PACKAGES),
    ("report-failed", verify.REPORT_PASSES),
])
def test_a_changed_release_fails_at_the_check_that_sees_it(kind: str, check: str, good_tree: str,
                                                           failing_kit: str, tmp_path: str) -> None:
    variant = os.path.join(tmp_path, "lumivane.tar.xz")
    tamper.edited(good_tree, variant, kind)
    outcome = verify.verify(variant, failing_kit)
    assert (outcome.failed, outcome.passed) == (check, ALL_CHECKS[1:ALL_CHECKS.index(check)])


@pytest.mark.parametrize("kind", ["dotdot", "dotdot-inside", "absolute", "outside-link", "link-through-link",
                                  "hard-link", "twice", "fifo", "device"])
def test_an_unsafe_member_is_refused_before_anything_is_extracted(kind: str, good_tar: str, failing_kit: str,
                                                                  tmp_path: str,
                                                                  monkeypatch: pytest.MonkeyPatch) -> None:
    scratch = os.path.join(tmp_path, "tmp")  # where verify-release makes its scratch folder, watched
    os.mkdir(scratch)
    monkeypatch.setattr(tempfile, "tempdir", scratch)
    variant = os.path.join(tmp_path, "lumivane.tar")
    absolute = os.path.join(tmp_path, "escaped-absolute")
    tamper.with_member(good_tar, variant, kind, absolute)
    assert verify.verify(variant, failing_kit).failed == verify.SAFE_MEMBERS
    assert not os.path.exists(absolute)
    assert os.listdir(scratch) == []


def _truncated(good: str, variant: str) -> None:
    with open(good, "rb") as whole, open(variant, "wb") as cut:
        cut.write(whole.read()[:4096])


def _wrong_sha256(good: str, variant: str) -> None:
    shutil.copyfile(good, variant)
    with open(variant + ".sha256", "w") as sums:
        sums.write("0" * 64 + "  lumivane.tar.xz\n")


@pytest.mark.parametrize("make, check", [(_truncated, verify.READABLE), (_wrong_sha256, verify.MATCHES_SHA256)])
def test_an_archive_that_is_not_the_one_sent_is_refused(make, check: str, release_archive: str,
                                                        failing_kit: str, tmp_path: str) -> None:
    variant = os.path.join(tmp_path, "lumivane.tar.xz")
    make(release_archive, variant)
    assert verify.verify(variant, failing_kit).failed == check


@pytest.mark.parametrize("name, second", [("lumivane-1.0", False), ("lumivane-x.y.z", False),
                                          ("lumivane-1.0.0", True)])
def test_anything_but_one_release_folder_is_refused(name: str, second: bool, good_tree: str, failing_kit: str,
                                                    tmp_path: str) -> None:
    variant = os.path.join(tmp_path, "lumivane.tar")
    tamper.renamed(good_tree, variant, name, second)
    assert verify.verify(variant, failing_kit).failed == verify.ONE_FOLDER


def test_every_listed_file_is_compared_with_its_sum(good_tree: str, tmp_path: str) -> None:
    root = os.path.join(tmp_path, os.path.basename(good_tree))
    shutil.copytree(good_tree, root, symlinks=True)
    for _, name in verify.read_sums(root):
        path = os.path.realpath(os.path.join(root, name))
        with open(path, "rb") as handle:
            data = handle.read()
        os.chmod(path, 0o644)
        with open(path, "ab") as handle:
            handle.write(b"\0")
        with pytest.raises(verify.Failed):
            verify.sums_match(root)
        with open(path, "wb") as handle:
            handle.write(data)
    verify.sums_match(root)


@pytest.mark.parametrize("status", [1, 125])
def test_a_kit_that_does_not_pass_the_module_fails_the_release(
        status: int, release_archive: str, tmp_path: str) -> None:
    assert verify.verify(release_archive, _kit(str(tmp_path), status)).failed == verify.QUALIFIES


def test_the_first_failure_ends_the_run_with_status_1(good_tree: str, failing_kit: str, tmp_path: str,
                                                      capsys: pytest.CaptureFixture) -> None:
    variant = os.path.join(tmp_path, "lumivane.tar.xz")
    tamper.edited(good_tree, variant, "member")
    assert verify.main(["--kit", failing_kit, variant]) == 1
    lines = capsys.readouterr().out.splitlines()
    assert lines[-2].startswith(f"fail  {verify.SUMS_MATCH}: ")
    assert lines[-1] == f"verify-release: the archive fails: {verify.SUMS_MATCH}"
    assert lines[:-2] == [f"pass  {check}" for check in ALL_CHECKS[1:ALL_CHECKS.index(verify.SUMS_MATCH)]]


def test_extracting_takes_an_empty_folder_only_and_nothing_set_id_comes_out(tmp_path: str) -> None:
    source = os.path.join(tmp_path, "setid")
    with open(source, "w") as handle:
        handle.write("x")
    with tarfile.open(os.path.join(tmp_path, "a.tar"), "w") as tar:
        info = tar.gettarinfo(source, "setid")
        info.mode = 0o6755
        with open(source, "rb") as handle:
            tar.addfile(info, handle)
    with tarfile.open(os.path.join(tmp_path, "a.tar")) as tar, pytest.raises(verify.Failed):
        verify.extract(tar, tar.getmembers(), str(tmp_path))
    out = os.path.join(tmp_path, "out")
    os.mkdir(out)
    with tarfile.open(os.path.join(tmp_path, "a.tar")) as tar:
        verify.extract(tar, tar.getmembers(), out)
    assert not os.stat(os.path.join(out, "setid")).st_mode & (stat.S_ISUID | stat.S_ISGID)


def test_what_cannot_be_verified_exits_2_having_checked_nothing(tmp_path: str,
                                                                capsys: pytest.CaptureFixture) -> None:
    archive, kit = os.path.join(tmp_path, "lumivane.tar.xz"), _kit(str(tmp_path), 0)
    open(archive, "w").close()
    cases: List[List[str]] = [[], ["--kit"], ["--kit", kit], ["--other", kit, archive], [archive, archive],
                              ["--kit", kit, os.path.join(tmp_path, "missing.tar.xz")],
                              ["--kit", os.path.join(tmp_path, "no-kit"), archive], ["--kit", str(tmp_path), archive]]
    for argv in cases:
        assert verify.main(argv) == 2, argv
        assert capsys.readouterr().out == "", argv
