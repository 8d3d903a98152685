# SPDX-License-Identifier: Apache-2.0
"""debian/changelog written from NEWS, so that the packages' changelog and
the release notes are one text: each NEWS entry ("lumivane VERSION" over a
line of "=") becomes a changelog entry, each of its paragraphs and "- "
items one "*" item. The newest entry must be VERSION's.

    /usr/bin/python3 -m pellix.changelog NEWS VERSION EPOCH OUT
"""

import email.utils
import re
import sys
import textwrap
from typing import List, Tuple

from pellix import report

SOURCE = "lumivane"
MAINTAINER = "Kelvo platform team <platform@kelvo.invalid>"
WIDTH = 78


class NewsError(Exception):
    """NEWS cannot be read as entries, or does not open with VERSION's."""


def entries(news: str) -> List[Tuple[str, List[str]]]:
    """NEWS's entries, newest first: (version, items), each item one paragraph or "- " item with its lines
    joined."""
    parts = re.split(rf"^{SOURCE} (\S+)\n=+$", news, flags=re.MULTILINE)
    if len(parts) < 3:
        raise NewsError(f"NEWS has no entry (a line '{SOURCE} VERSION' over a line of '=')")
    found = []
    for version, body in zip(parts[1::2], parts[2::2]):
        items = []
        for paragraph in re.split(r"\n\s*\n", body):
            lines = [line.strip() for line in paragraph.splitlines() if not re.fullmatch(r"=+", line)]
            for item in re.split(r"\n(?=- )", "\n".join(line for line in lines if line)):
                items.append(" ".join(item.split("\n")).removeprefix("- "))
        found.append((version, [item for item in items if item]))
    return found


def changelog(news: str, version: str, epoch: int) -> str:
    """The changelog of NEWS, every entry dated EPOCH (seconds)."""
    found = entries(news)
    if found[0][0] != version:
        raise NewsError(f"NEWS opens with {found[0][0]}'s entry, not VERSION's ({version})")
    # Debian writes UTC as +0000 (the mail module as -0000).
    date = email.utils.formatdate(epoch).replace("-0000", "+0000")
    text = []
    for entry_version, items in found:
        text.append(f"{SOURCE} ({entry_version}) unstable; urgency=medium\n\n")
        for item in items:
            text.append(textwrap.fill(item, WIDTH, initial_indent="  * ", subsequent_indent="    ") + "\n")
        text.append(f"\n -- {MAINTAINER}  {date}\n\n")
    return "".join(text).rstrip("\n") + "\n"


def main(argv: List[str]) -> int:
    if len(argv) != 4 or not argv[2].isdigit():
        print("usage: python3 -m pellix.changelog NEWS VERSION EPOCH OUT", file=sys.stderr)
        return 2
    news, version, epoch, out = argv
    try:
        with open(news, encoding="utf-8") as file:
            text = changelog(file.read(), version.strip(), int(epoch))
    except (OSError, NewsError) as error:
        print(f"changelog: {error}", file=sys.stderr)
        return 1
    report.place(out, text.encode())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
