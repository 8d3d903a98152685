# SPDX-License-Identifier: Apache-2.0
"""check-reproducible's judgement of two archives (its run that builds the release twice is by hand)."""

import os
import shutil
from typing import List

import pytest

import tamper
from pellix import reproducible


@pytest.fixture(scope="module")
def repacked(release_archive: str, tmp_path_factory: pytest.TempPathFactory) -> List[str]:
    """Two repacked copies of the session's release, the second with a member changed."""
    folder = str(tmp_path_factory.mktemp("repacked"))
    tree = tamper.unpack(release_archive, os.path.join(folder, "tree"))
    same, changed = os.path.join(folder, "same.tar.xz"), os.path.join(folder, "changed.tar.xz")
    tamper.edited(tree, same, "none")
    tamper.edited(tree, changed, "member")
    return [same, changed]


def test_a_copy_of_the_archive_is_identical(release_archive: str, tmp_path: str) -> None:
    copy = os.path.join(tmp_path, os.path.basename(release_archive))
    shutil.copyfile(release_archive, copy)
    shutil.copyfile(release_archive + ".sha256", copy + ".sha256")
    assert reproducible.main(["--compare", release_archive, copy]) == 0


def test_the_changed_member_is_named_and_no_other(repacked: List[str]) -> None:
    (changed,) = reproducible.differing_members(*repacked)
    assert changed.endswith("/bin/test_char_traits")


def test_an_archive_with_a_member_changed_differs(repacked: List[str]) -> None:
    assert reproducible.main(["--compare", *repacked]) == 1


def test_a_different_sha256_beside_an_archive_differs(release_archive: str, tmp_path: str) -> None:
    copy = os.path.join(tmp_path, os.path.basename(release_archive))
    shutil.copyfile(release_archive, copy)
    with open(copy + ".sha256", "w") as sums:
        sums.write("0" * 64 + "  " + os.path.basename(copy) + "\n")
    assert reproducible.compare(release_archive, copy) is False


def test_comparing_anything_but_two_files_is_bad_usage(tmp_path: str) -> None:
    present = os.path.join(tmp_path, "present")
    open(present, "w").close()
    for argv in (["--compare", present], ["--compare", present, os.path.join(tmp_path, "missing")],
                 ["--other-user"], ["--bogus"]):
        assert reproducible.main(argv) == 2, argv
