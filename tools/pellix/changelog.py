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
    """NEWS's entries, newest first: (version, items), each item one
    paragraph or "- " item with its lines joined."""
    lines = news.splitlines()
    found: List[Tuple[str, List[str]]] = []
    items: List[str] = []
    for number, line in enumerate(lines):
        heading = re.fullmatch(rf"{SOURCE} (\S+)", line)
        if heading and number + 1 < len(lines) and re.fullmatch(r"=+", lines[number + 1]):
            items = []
            found.append((heading.group(1), items))
            continue
        if not found or re.fullmatch(r"=+", line):
            continue
        text = line.strip()
        if not text:
            if items and items[-1]:
                items.append("")
        elif text.startswith("- ") or not items or not items[-1]:
            items.append(text[2:] if text.startswith("- ") else text)
        else:
            items[-1] += " " + text
    for _, entry in found:
        entry[:] = [item for item in entry if item]
    if not found:
        raise NewsError(f"NEWS has no entry (a line '{SOURCE} VERSION' over a line of '=')")
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
