# SPDX-License-Identifier: Apache-2.0
"""debian/changelog written from NEWS (pellix.changelog)."""

import os
import subprocess

import pytest

from pellix import changelog

NEWS = """lumivane 1.1.0
==============

A paragraph that runs over
two lines.

- An item.
- An item that runs over two lines and is long enough that the changelog
  wraps it again, at its own width, within what a changelog line may take.

lumivane 1.0.0
==============

- The first.
"""
EPOCH = 1765000000  # Sat, 06 Dec 2025 05:46:40 UTC


def test_each_entry_paragraph_and_item_becomes_a_changelog_entry_and_item() -> None:
    text = changelog.changelog(NEWS, "1.1.0", EPOCH)
    assert text.startswith("lumivane (1.1.0) unstable; urgency=medium\n\n  * A paragraph that runs over two lines.\n"
                           "  * An item.\n  * An item that runs over")
    assert "\nlumivane (1.0.0) unstable; urgency=medium\n\n  * The first.\n" in text
    assert text.count(f" -- {changelog.MAINTAINER}  Sat, 06 Dec 2025 05:46:40 +0000\n") == 2
    assert all(len(line) <= 80 for line in text.splitlines() if not line.startswith(" -- "))
    assert "\n\n\n" not in text and text.endswith("+0000\n")


@pytest.mark.parametrize("news, version, said", [
    (NEWS, "1.2.0", "NEWS opens with 1.1.0's entry, not VERSION's (1.2.0)"),
    ("Some notes\nwithout a heading\n", "1.0.0", "NEWS has no entry"),
])
def test_news_that_does_not_open_with_versions_entry_is_refused(tmp_path, news: str, version: str,
                                                                said: str, capsys) -> None:
    source, out = tmp_path / "NEWS", tmp_path / "changelog"
    source.write_text(news)
    assert changelog.main([str(source), version, str(EPOCH), str(out)]) == 1
    assert said in capsys.readouterr().err
    assert not out.exists()


def test_the_trees_news_opens_with_its_versions_entry(top: str) -> None:
    with open(os.path.join(top, "NEWS"), encoding="utf-8") as news, \
            open(os.path.join(top, "VERSION"), encoding="utf-8") as version:
        text = changelog.changelog(news.read(), version.read().strip(), EPOCH)
    # The packages' changelog as dpkg reads it: the version is VERSION's.
    parsed = subprocess.run(["dpkg-parsechangelog", "-l-", "-SVersion"], input=text, text=True,
                            stdout=subprocess.PIPE, check=True)
    with open(os.path.join(top, "VERSION"), encoding="utf-8") as version:
        assert parsed.stdout.strip() == version.read().strip()
