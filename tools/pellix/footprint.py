# SPDX-License-Identifier: Apache-2.0
"""check-footprint: the footprint of a module built for the target. Its .text is at most --text-limit
bytes (1024); no soft-float helper is defined or referenced in any symbol table, the full one included,
so helpers linked in statically are found too; stripped, it is at most --stripped-limit bytes (6144).
Output, statuses and --expect-fail as every checker's (pellix.verdict); --readelf is taken, not needed."""

import os
import re
import subprocess
import tempfile
from typing import Optional, Sequence, TextIO, Tuple

from pellix import elf, verdict

USAGE = ("usage: check-footprint [--expect-fail TEXT]... [--readelf TOOL] [--strip TOOL] "
         "[--text-limit BYTES] [--stripped-limit BYTES] MODULE.so")

# The compiler's floating-point helpers: the ARM run-time ABI's (__aeabi_dadd, __aeabi_fmul, __aeabi_cdcmple,
# __aeabi_i2d, __aeabi_ul2f, ...) and libgcc's generic ones (__adddf3, __floatsidf, __fixdfsi, __muldc3, ...).
SOFT_FLOAT = re.compile(r"^_*__aeabi_([df]|c[df]|u?[il]2[df](_|$))|^_*__[a-z]+([sdtx]f|[sdtx]c)[0-9]*(_|$)"
                        r"|^_*__fix(uns)?[sdtx]f")


def plain_name(symbol: elf.Symbol) -> str:
    # The full table may add the version: "name@VERSION".
    return symbol.name.split("@", 1)[0]


def stripped_size(strip: str, path: str) -> Optional[int]:
    """The size of PATH stripped by the tool STRIP; None when it cannot strip it."""
    with tempfile.TemporaryDirectory() as folder:
        copy = os.path.join(folder, "stripped")
        try:
            subprocess.run([strip, "-o", copy, path], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, check=True)
            return os.path.getsize(copy)
        except (OSError, subprocess.CalledProcessError):
            return None


def run(argv: Sequence[str], out: TextIO) -> Tuple[int, verdict.Checks]:
    """The checks of ARGV printed on OUT: the exit status and the checks made."""
    options = verdict.parse(list(argv), ["--readelf", "--strip", "--text-limit", "--stripped-limit"], [], 1)
    text_limit = options.integer("--text-limit", 1024)
    stripped_limit = options.integer("--stripped-limit", 6144)
    strip = options.values.get("--strip", "strip")
    path = options.positionals[0]
    if not os.path.isfile(path):
        raise verdict.CannotCheck(f"no such file: {path}")
    try:
        module = elf.ElfFile(path)
        text = module.section(".text")
        full_table = module.section(".symtab") is not None
        # A file without the full table fails the check unread.
        tables = (".dynsym", ".symtab") if full_table else ()
        names = {plain_name(symbol) for table in tables for symbol in module.symbols(table)}
    except elf.ElfError as error:
        raise verdict.CannotCheck(str(error)) from None
    helpers = sorted(name for name in names if SOFT_FLOAT.search(name))

    checks = verdict.Checks(options.expected, out)
    checks.figure("text_bytes", text.size if text else 0)
    checks.check(f".text is {text.size if text else 'missing'} bytes (at most {text_limit})",
                 text is not None and text.size <= text_limit)
    if full_table:
        checks.figure("soft_float_symbols", len(helpers))
    checks.check("no soft-float helper defined or referenced", full_table and not helpers,
                 " ".join(helpers) if full_table else "the file has no .symtab, so helpers linked in statically "
                                                      "cannot be seen; check an unstripped build")
    stripped = stripped_size(strip, path)
    if stripped is None:
        checks.check(f"stripped, the file is at most {stripped_limit} bytes", False, f"{strip} cannot strip {path}")
    else:
        checks.figure("stripped_bytes", stripped)
        checks.check(f"stripped, the file is {stripped} bytes (at most {stripped_limit})", stripped <= stripped_limit)
    return checks.verdict(path), checks


def main(argv: Sequence[str]) -> int:
    return verdict.main("check-footprint", USAGE, run, argv)
