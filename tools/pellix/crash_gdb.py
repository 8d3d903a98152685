# SPDX-License-Identifier: Apache-2.0
"""The facts of one core, as gdb reads them: run inside gdb-multiarch
(gdb -batch -x THIS), it writes them as JSON to the file PELLIX_CORE_FACTS
names, for pellix.crash to make the report of. gdb unwinds through the ARM
unwind tables, which no other reader here does.

From the environment: PELLIX_CORE, the core; PELLIX_CORE_PROGRAM, the
crashed program on this host (or empty).
"""

import json
import os
from typing import Any, Dict, List

import gdb  # type: ignore  # gdb's own module, there only

REGISTERS = ["r0", "r1", "r2", "r3", "r4", "r5", "r6", "r7", "r8", "r9", "r10", "r11",
             "r12", "sp", "lr", "pc", "cpsr"]
# Signals whose address is the fault's; the others were sent.
FAULTS = {4, 7, 8, 11}
# (a deeper walk has run away)
MOST_FRAMES = 64


def frames(frame: Any) -> List[Dict[str, Any]]:
    """The frames, innermost first: pc, function and source line."""
    found: List[Dict[str, Any]] = []
    # (a frame at 0 is the end of a walk that ran past a function that
    # never returns, such as abort)
    while frame is not None and frame.pc() != 0 and len(found) < MOST_FRAMES:
        sal = frame.find_sal()
        known = sal.symtab is not None and sal.line > 0
        found.append({"pc": int(frame.pc()), "function": frame.name(),
                      "file": sal.symtab.filename if known else None, "line": sal.line if known else 0})
        try:
            frame = frame.older()
        except gdb.error:
            break
    return found


def facts() -> Dict[str, Any]:
    info = gdb.parse_and_eval("$_siginfo")
    number = int(info["si_signo"])
    code = int(info["si_code"])
    address = None
    if number in FAULTS and code > 0:
        address = int(info["_sifields"]["_sigfault"]["si_addr"]) & 0xFFFFFFFF
    newest = gdb.newest_frame()
    return {"pid": gdb.selected_inferior().pid, "signal": number, "code": code, "address": address,
            "registers": [[name, int(newest.read_register(name)) & 0xFFFFFFFF] for name in REGISTERS],
            "thread": gdb.selected_thread().ptid[1], "frames": frames(newest)}


def main() -> None:
    if os.environ.get("PELLIX_CORE_PROGRAM"):
        gdb.execute("file " + os.environ["PELLIX_CORE_PROGRAM"], to_string=True)
    gdb.execute("core-file " + os.environ["PELLIX_CORE"], to_string=True)
    with open(os.environ["PELLIX_CORE_FACTS"], "w", encoding="utf-8") as out:
        json.dump(facts(), out)


main()
