# SPDX-License-Identifier: Apache-2.0
"""The emulated device's protocol between the runner and the device's first process (init).

The runner gives the board four virtio serial ports, and a fifth under
--gdb; init finds each by its name. Status, standard output and error and
the cores go to the host; the debugger's port carries gdb's remote
protocol both ways. Init learns what the runner wants from the kernel's
command line (a parameter the kernel does not know reaches init's
environment) and from files in the image.
"""

from typing import Tuple

from pellix.protocol import Constant

# The ports, in the order the runner creates them; each constant's
# meaning is in CONSTANTS, which the generated header carries to init.
PORT_STATUS = "pellix.status"
PORT_STDOUT = "pellix.stdout"
PORT_STDERR = "pellix.stderr"
PORT_CORES = "pellix.cores"
PORTS: Tuple[str, ...] = (PORT_STATUS, PORT_STDOUT, PORT_STDERR, PORT_CORES)
PORT_GDB = "pellix.gdb"

STATUS_BOOT = "boot"
STATUS_EXIT = "exit"
STATUS_SIGNAL = "signal"
STATUS_FAILED = "failed:"

# The cores port, once the program has ended: each core kept or dropped,
# then the end.
CORE = "core"
CORE_DROPPED = "dropped"
CORES_END = "end"
CORE_NAME_PUNCTUATION = "._+-"
CORES_LIMIT = 32 << 20

# The kernel command line's parameters for init, and the image's files.
PARAM_PORT_WAIT_MS = "pellix_port_wait_ms"
PARAM_GDB = "pellix_gdb"
GDB_ATTACH = "attach"
PORT_WAIT_MS = 10000
RUN_FILE = "/etc/pellix-run"
STDIN_FILE = "/etc/pellix-stdin"
WORK_DIR = "/work"

CONSTANTS = [
    Constant("PELLIX_PORT_STATUS", PORT_STATUS, "the status lines, held by init alone"),
    Constant("PELLIX_PORT_STDOUT", PORT_STDOUT, "the program's standard output"),
    Constant("PELLIX_PORT_STDERR", PORT_STDERR, "the program's standard error"),
    Constant("PELLIX_PORT_CORES", PORT_CORES, "the run's cores, held by init alone"),
    Constant("PELLIX_PORTS", len(PORTS), "the ports of every run; the debugger's is one more"),
    Constant("PELLIX_PORT_GDB", PORT_GDB, "the debugger's line, under --gdb only"),
    Constant("PELLIX_STATUS_BOOT", STATUS_BOOT, "init's first line: the device has booted"),
    Constant("PELLIX_STATUS_EXIT", STATUS_EXIT, "\"exit N\": the program exited with N"),
    Constant("PELLIX_STATUS_SIGNAL", STATUS_SIGNAL, "\"signal N\": signal N ended the program"),
    Constant("PELLIX_STATUS_FAILED", STATUS_FAILED, "\"failed: WHY\": the device could not run it"),
    Constant("PELLIX_CORE", CORE, "\"core NAME SIZE\", a newline, SIZE bytes: a core"),
    Constant("PELLIX_CORE_DROPPED", CORE_DROPPED, "\"dropped NAME SIZE\": a core past the limit, not kept"),
    Constant("PELLIX_CORES_END", CORES_END, "the line after the last core"),
    Constant("PELLIX_CORE_NAME_PUNCTUATION", CORE_NAME_PUNCTUATION,
             "a core's name keeps letters, digits and these; others become _"),
    Constant("PELLIX_CORES_LIMIT", CORES_LIMIT, "bytes of cores the device keeps for a run"),
    Constant("PELLIX_PARAM_PORT_WAIT_MS", PARAM_PORT_WAIT_MS, "how long init waits for its ports, scaled"),
    Constant("PELLIX_PARAM_GDB", PARAM_GDB, "1: the program runs under gdbserver"),
    Constant("PELLIX_GDB_ATTACH", GDB_ATTACH, "PELLIX_PARAM_GDB's value when the program attaches gdbserver itself"),
    Constant("PELLIX_PORT_WAIT_MS", PORT_WAIT_MS, "the wait for the ports when the command line has none"),
    Constant("PELLIX_RUN_FILE", RUN_FILE, "the program's path, then argv, each ending in NUL"),
    Constant("PELLIX_STDIN_FILE", STDIN_FILE, "the program's standard input, when given"),
    Constant("PELLIX_WORK_DIR", WORK_DIR, "the program's folder and working directory"),
]
