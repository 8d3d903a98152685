# SPDX-License-Identifier: Apache-2.0
"""The protocols between the host's tools and the programs on the device,
each declared once, in a module of this package. The device's end is C or
C++: it includes a header that the build generates from the declaration
(python3 -m pellix.protocol NAME OUT.h), so the two ends cannot drift.
"""

import importlib
import os
import re
import sys
from dataclasses import dataclass
from typing import List, Sequence, Union

from pellix import report


@dataclass(frozen=True)
class Constant:
    """One fact both ends share: a C macro NAME with VALUE (a text or an
    integer), and what it means."""

    name: str
    value: Union[str, int]
    meaning: str


def _c_literal(value: Union[str, int]) -> str:
    if isinstance(value, int):
        return str(value)
    escaped = value.replace("\\", "\\\\").replace('"', '\\"').replace("\t", "\\t").replace("\n", "\\n")
    return f'"{escaped}"'


def c_header(name: str, summary: str, constants: Sequence[Constant]) -> str:
    """The C header of one protocol: an include guard and one macro per
    constant, each with its meaning above it."""
    guard = "PELLIX_PROTOCOL_" + re.sub(r"[^A-Z0-9]", "_", name.upper()) + "_H"
    lines = ["/* SPDX-License-Identifier: Apache-2.0 */",
             f"/* Generated from tools/pellix/protocol/{name}.py by the build: edit that file, not this one.",
             f"   {summary} */",
             f"#ifndef {guard}", f"#define {guard}", ""]
    for constant in constants:
        lines.append(f"/* {constant.meaning} */")
        lines.append(f"#define {constant.name} {_c_literal(constant.value)}")
    lines += ["", f"#endif /* {guard} */", ""]
    return "\n".join(lines)


def main(argv: List[str]) -> int:
    """python3 -m pellix.protocol NAME OUT.h: writes protocol NAME's header."""
    if len(argv) != 2 or not re.fullmatch(r"[a-z_]+", argv[0]):
        print("usage: python3 -m pellix.protocol NAME OUT.h", file=sys.stderr)
        return 2
    module = importlib.import_module(f"pellix.protocol.{argv[0]}")
    text = c_header(argv[0], module.__doc__.strip().splitlines()[0] if module.__doc__ else "", module.CONSTANTS)
    os.makedirs(os.path.dirname(os.path.abspath(argv[1])), exist_ok=True)
    report.place(argv[1], text.encode())
    return 0
