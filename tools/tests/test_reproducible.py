# SPDX-License-Identifier: Apache-2.0
"""check-reproducible's judgement of two archives (its run that builds the release twice is by hand)."""

import os
import shutil
from typing import Optional

import pytest

import tamper
from pellix import reproducible


def test_an_archive_with_a_member_changed_differs_in_that_member_alone(release_archive: str,
                                                                       tmp_path: str) -> None:
    tree = tamper.unpack(release_archive, os.path.join(tmp_path, "tree"))
    same, changed = os.path.join(tmp_path, "same.tar"), os.path.join(tmp_path, "changed.tar")
    tamper.edited(tree, same, "none")
    tamper.edited(tree, changed, "member")
    (differing,) = reproducible.differing_members(same, changed)
    assert differing.endswith("/bin/test_char_traits")
    assert reproducible.main(["--compare", same, changed]) == 1


@pytest.mark.parametrize("sums, status", [(None, 0), ("0" * 64, 1)])
def test_a_copy_of_the_archive_is_identical_but_with_another_sha256_beside_it(
        sums: Optional[str], status: int, release_archive: str, tmp_path: str) -> None:
    copy = os.path.join(tmp_path, os.path.basename(release_archive))
    shutil.copyfile(release_archive, copy)
    shutil.copyfile(release_archive + ".sha256", copy + ".sha256")
    if sums is not None:
        with open(copy + ".sha256", "w") as handle:
            handle.write(f"{sums}  {os.path.basename(copy)}\n")
    assert reproducible.main(["--compare", release_archive, copy]) == status


def test_comparing_anything_but_two_files_is_bad_usage(tmp_path: str) -> None:
    present = os.path.join(tmp_path, "present")
    open(present, "w").close()
    for argv in (["--compare", present], ["--compare", present, os.path.join(tmp_path, "missing")],
                 ["--other-user"], ["--bogus"]):
        assert reproducible.main(argv) == 2, argv
