# SPDX-License-Identifier: Apache-2.0
# The crash report of one core, printed by gdb -batch: the process and its
# signal, the fault address, the registers, and the crashing thread's
# backtrace, each frame as its binary plus offset, its function, and its
# source file and line where debug information has them.
#
# From the environment: PELLIX_CORE, the core; PELLIX_CORE_PROGRAM, the
# crashed program on this host (or empty); PELLIX_CORE_NAME, its name; and
# PELLIX_CORE_MODULES, a file of the core's modules as `eu-unstrip -n
# --core` lists them ("START+SIZE BUILDID@ADDR FILE DEBUGFILE NAME").
# gdb's own remarks on loading them are kept out of the report.
import os

import gdb

SIGNALS = {4: "SIGILL", 5: "SIGTRAP", 6: "SIGABRT", 7: "SIGBUS", 8: "SIGFPE", 11: "SIGSEGV",
           3: "SIGQUIT", 24: "SIGXCPU", 25: "SIGXFSZ", 31: "SIGSYS"}
# Signals whose address is the fault's; the others were sent.
FAULTS = {4, 7, 8, 11}
REGISTERS = ["r0", "r1", "r2", "r3", "r4", "r5", "r6", "r7", "r8", "r9", "r10", "r11",
             "r12", "sp", "lr", "pc", "cpsr"]


def out(text):
    gdb.write(text + "\n")


def modules():
    """(start, end, name, path, build ID) of each module in the core."""
    found = []
    with open(os.environ["PELLIX_CORE_MODULES"], encoding="utf-8") as listing:
        for line in listing:
            fields = line.split()
            if len(fields) < 5 or "+" not in fields[0]:
                continue
            start, size = (int(part, 16) for part in fields[0].split("+"))
            build_id = fields[1].split("@")[0]
            found.append((start, start + size, os.path.basename(fields[4]), fields[2],
                          build_id if build_id != "-" else "none"))
    return found


def is_executable(path):
    """Whether the file is a fixed-address executable (ELF type 2)."""
    try:
        with open(path, "rb") as elf:
            header = elf.read(18)
        return len(header) == 18 and header[16] == 2 and header[17] == 0
    except OSError:
        return False


def place(pc, table):
    """The binary and offset of pc: "lumivane.so+0x5c4". Ranges can nest:
    the dynamic linker's reaches over libraries mapped in its gaps, so the
    narrowest range that holds pc names its binary."""
    holding = [module for module in table if module[0] <= pc < module[1]]
    if not holding:
        return "0x%08x" % pc
    start, _, name, path, _ = min(holding, key=lambda module: module[1] - module[0])
    base = 0 if is_executable(path) else start
    return "%s+0x%x" % (name, pc - base)


def signal_lines():
    info = gdb.parse_and_eval("$_siginfo")
    number = int(info["si_signo"])
    name = SIGNALS.get(number, "signal %d" % number)
    process = gdb.selected_inferior().pid
    out("pellix-device: crash: process %d (%s) died of %s (signal %d)"
        % (process, os.environ.get("PELLIX_CORE_NAME", "?"), name, number))
    if number in FAULTS and int(info["si_code"]) > 0:
        address = int(info["_sifields"]["_sigfault"]["si_addr"])
        out("  fault address 0x%08x" % address)
    else:
        out("  fault address: none (the signal was sent: si_code %d)" % int(info["si_code"]))


def register_lines(frame):
    out("  registers")
    values = ["%-4s 0x%08x" % (name, int(frame.read_register(name)) & 0xFFFFFFFF)
              for name in REGISTERS]
    for at in range(0, len(values), 4):
        out("    " + "  ".join(values[at:at + 4]))


def backtrace_lines(frame, table):
    """The frames, innermost first; returns the binaries they lie in."""
    out("  backtrace of thread %d" % gdb.selected_thread().ptid[1])
    level = 0
    seen = []
    # (a frame at 0 is the end of a walk that ran past a function that
    # never returns, such as abort)
    while frame is not None and frame.pc() != 0 and level < 64:
        where = place(frame.pc(), table)
        binary = where.split("+")[0]
        if "+" in where and binary not in seen:
            seen.append(binary)
        function = frame.name() or "??"
        sal = frame.find_sal()
        line = ""
        if sal.symtab is not None and sal.line > 0:
            line = "  %s:%d" % (sal.symtab.filename, sal.line)
        out("    #%-2d %s  %s%s" % (level, where, function, line))
        try:
            frame = frame.older()
        except gdb.error:
            break
        level += 1
    return seen


def build_id_lines(binaries, table):
    """Each binary of the backtrace with its GNU build ID, the name its
    debug file goes by in a .build-id folder."""
    out("  build IDs")
    ids = {name: build_id for _, _, name, _, build_id in table}
    for binary in binaries:
        out("    %-20s %s" % (binary, ids.get(binary, "none")))


def load():
    program = os.environ.get("PELLIX_CORE_PROGRAM", "")
    if program:
        gdb.execute("file " + program, to_string=True)
    gdb.execute("core-file " + os.environ["PELLIX_CORE"], to_string=True)


def main():
    load()
    table = modules()
    newest = gdb.newest_frame()
    signal_lines()
    register_lines(newest)
    build_id_lines(backtrace_lines(newest, table), table)


main()
