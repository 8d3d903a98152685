# SPDX-License-Identifier: Apache-2.0
"""check-footprint [--expect-fail TEXT]... [--readelf TOOL] [--strip TOOL]
                [--text-limit BYTES] [--stripped-limit BYTES] MODULE.so

Checks the footprint of a module built for the target, printing each check
with "pass" or "fail" and the figures as "figure: NAME VALUE":
  - its .text section is at most --text-limit bytes (1024);
  - no soft-float helper (__aeabi_d*, __aeabi_f*, __aeabi_i2d, __adddf3,
    __fixdfsi, ...) is defined or referenced in any of its symbol tables,
    the full one included, so helpers linked in statically are found too;
  - a stripped copy is at most --stripped-limit bytes (6144).
Exits 1 if a check fails, 2 when it cannot check at all.

--expect-fail turns the verdict round, for a sample with known faults: it
exits 0 only when the checks that fail are exactly those whose description
contains one of the TEXTs given, each TEXT in at least one.

The file is read by pellix.elf; --readelf is still taken, and not needed.
"""

import os
import re
import subprocess
import tempfile
from typing import List, Optional, Sequence, TextIO, Tuple

from pellix import elf, verdict

USAGE = ("usage: check-footprint [--expect-fail TEXT]... [--readelf TOOL] [--strip TOOL] "
         "[--text-limit BYTES] [--stripped-limit BYTES] MODULE.so")

# Names of the compiler's floating-point helpers: the ARM run-time ABI's
# (__aeabi_dadd, __aeabi_fmul, __aeabi_cdcmple, __aeabi_i2d, __aeabi_ul2f,
# ...) and libgcc's generic ones (__adddf3, __floatsidf, __fixdfsi,
# __extendsfdf2, __muldc3, ...).
SOFT_FLOAT = re.compile(r"^_*__aeabi_([df]|c[df]|u?[il]2[df](_|$))|^_*__[a-z]+([sdtx]f|[sdtx]c)[0-9]*(_|$)"
                        r"|^_*__fix(uns)?[sdtx]f")


def plain_name(symbol: elf.Symbol) -> str:
    """SYMBOL's name without the version the full table may add ("name@VERSION")."""
    return symbol.name.split("@", 1)[0]


def soft_float_helpers(module: elf.ElfFile) -> List[str]:
    """The soft-float helpers MODULE's symbol tables define or reference, sorted."""
    names = {plain_name(symbol) for table in (".dynsym", ".symtab") for symbol in module.symbols(table)}
    return sorted(name for name in names if SOFT_FLOAT.search(name))


def stripped_size(strip: str, path: str) -> Optional[int]:
    """The size of PATH stripped by the tool STRIP; None when it cannot strip it."""
    with tempfile.TemporaryDirectory() as folder:
        copy = os.path.join(folder, "stripped")
        try:
            done = subprocess.run([strip, "-o", copy, path], stdin=subprocess.DEVNULL,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        except OSError:
            return None
        return os.path.getsize(copy) if done.returncode == 0 and os.path.isfile(copy) else None


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
        helpers = soft_float_helpers(module) if full_table else []
    except elf.ElfError as error:
        raise verdict.CannotCheck(str(error)) from None

    checks = verdict.Checks(options.expected, out)
    checks.figure("text_bytes", text.size if text else 0)
    checks.check(f".text is {text.size if text else 'missing'} bytes (at most {text_limit})",
                 text is not None and text.size <= text_limit)
    what = "no soft-float helper defined or referenced"
    if full_table:
        checks.figure("soft_float_symbols", len(helpers))
        checks.check(what, not helpers, " ".join(helpers))
    else:
        checks.check(what, False, "the file has no .symtab, so helpers linked in statically cannot be seen; "
                                  "check an unstripped build")
    stripped = stripped_size(strip, path)
    if stripped is not None:
        checks.figure("stripped_bytes", stripped)
        checks.check(f"stripped, the file is {stripped} bytes (at most {stripped_limit})", stripped <= stripped_limit)
    else:
        checks.check(f"stripped, the file is at most {stripped_limit} bytes", False, f"{strip} cannot strip {path}")
    return checks.verdict(path), checks


def main(argv: Sequence[str]) -> int:
    return verdict.main("check-footprint", USAGE, run, argv)
