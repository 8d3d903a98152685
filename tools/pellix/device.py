# SPDX-License-Identifier: Apache-2.0
"""The emulated Pellix device: a versatilepb board with an ARM926EJ-S CPU
under qemu-system-arm, booting a real kernel with the Pellix backlight
driver loaded, that runs one ARM program. A run goes through its phases in
order, each a method of Device (Device.main).

The device's first process (init) talks to the runner over the ports
pellix.protocol.device declares: the program's standard output and error,
passed on as they come, and the status and cores ports, which init alone
holds, so the status is the program's own, or the runner's failure, 125.
qemu writes each port into a file of the scratch folder, which the runner
follows: nothing is held back in qemu, so nothing is lost at power-off.
"""

import contextlib
import ctypes
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass, field
from typing import Callable, List, Optional

from pellix import crash, elf, mend, qemu, scale
from pellix.protocol import device as protocol

DEVICE_FAILURE = 125
# The whole image (program, --file and --stdin files, the runtime) is
# unpacked into the device's RAM; beyond this it no longer fits beside it.
PAYLOAD_LIMIT_MIB = 96
RAM_MIB = 256
SYSROOT = crash.SYSROOT

# Every time-out of a run, in seconds on an ordinary host; each is
# multiplied by PELLIX_TIMEOUT_SCALE.
PROGRAM_TIMEOUT = 600  # --timeout's default, from the program's start
BOOT_TIMEOUT = 30  # --boot-timeout's default, for init's first word
PORT_TIMEOUT = 10  # for init, until its ports appear
POWER_OFF_TIMEOUT = 10  # for the device to power off once its program ended
QEMU_END_TIMEOUT = 5  # for qemu to end once told to, or to answer a question

NEEDED = ("zImage", "versatile-pb.dtb", "pellix_bl.ko", "init", "backlight-report")
CONSOLE_LINES = 15
GDB_PORT_ID = "gdb-port"
# A Unix socket's path, as the kernel takes it.
SOCKET_PATH_MAX = 107
# A port's file gives back its disk space in pieces this large, once passed on.
RELEASE_BYTES = 1 << 20
_CORE_NAME = re.compile(r"[A-Za-z0-9" + re.escape(protocol.CORE_NAME_PUNCTUATION) + r"]+\.[0-9]+\.core")


class DeviceFailure(Exception):
    """The runner could not run the program: the message says why (exit 125)."""


@dataclass
class Request:
    """What to run and how, as the command line gives it."""

    program: str
    arguments: List[str] = field(default_factory=list)
    files: List[str] = field(default_factory=list)
    stdin: str = ""
    cores: str = ""
    gdb_port: int = 0
    console: bool = False
    verbose: bool = False
    timeout: int = PROGRAM_TIMEOUT
    boot_timeout: int = BOOT_TIMEOUT
    gdb_attach: bool = False  # PROGRAM attaches gdbserver itself, on the debugger's port


def _release(descriptor: int, length: int) -> None:
    """Gives back the disk space of a file's first LENGTH bytes, keeping its
    size (a hole reads as zeros); nothing where the file system cannot."""
    punch_hole, keep_size = 0x02, 0x01
    with contextlib.suppress(OSError, AttributeError):
        ctypes.CDLL(None).fallocate64(descriptor, punch_hole | keep_size, ctypes.c_int64(0), ctypes.c_int64(length))


class Follower(threading.Thread):
    """Passes on what qemu writes into a port's file, as it comes, to a
    descriptor of this process, until told that qemu has ended and the file
    is read to its end. A write that fails ends it with a status: 141 for a
    closed pipe, as any program's, 1 for any other failure."""

    def __init__(self, path: str, output: int) -> None:
        super().__init__(daemon=True)
        self.path = path
        self.output = output
        self.status = 0
        self.finished = threading.Event()

    def run(self) -> None:
        with open(self.path, "r+b", buffering=0) as source:  # (writable: to give its space back)
            offset = released = 0
            while not self.status:
                last = self.finished.is_set()
                data = os.pread(source.fileno(), 1 << 16, offset)
                if not data and last:
                    return
                if not data:
                    self.finished.wait(qemu.LOOK_SECONDS / 2)
                    continue
                try:
                    view = memoryview(data)
                    while view:
                        view = view[os.write(self.output, view):]
                except OSError as error:
                    self.status = 141 if isinstance(error, BrokenPipeError) else 1
                offset += len(data)
                if offset - released >= RELEASE_BYTES:
                    _release(source.fileno(), offset)
                    released = offset


class StatusLines:
    """The status port's lines, from its file as qemu writes it: a line
    may come in pieces, and only a whole one counts."""

    def __init__(self, path: str) -> None:
        self.path = path
        self.pending = b""
        self.offset = 0

    def next_line(self) -> Optional[str]:
        if b"\n" not in self.pending:
            with open(self.path, "rb") as source:
                source.seek(self.offset)
                data = source.read()
            self.offset += len(data)
            self.pending += data
        if b"\n" not in self.pending:
            return None
        line, self.pending = self.pending.split(b"\n", 1)
        return line.decode("utf-8", "replace").strip(" \t")


def unpack_cores(stream: str, folder: str, notice: Callable[[str], None]) -> List[str]:
    """The cores init sent (pellix.protocol.device's framing), each written
    into FOLDER; returns their names. A core the device dropped, and a
    stream that comes garbled or cut short, are noticed; what came whole
    before is kept."""
    names: List[str] = []
    if not os.path.exists(stream):
        return names
    with open(stream, "rb") as source:
        while True:
            offset = source.tell()
            header = source.readline(300)
            if not header or header.rstrip(b"\n") == protocol.CORES_END.encode():
                # (no end: the device stopped before its program ended; what came is kept)
                return names
            words = header.decode("ascii", "replace").rstrip("\n").split(" ")
            if not header.endswith(b"\n") or len(words) != 3 or words[0] not in (protocol.CORE, protocol.CORE_DROPPED) \
                    or not _CORE_NAME.fullmatch(words[1]) or not re.fullmatch(r"[0-9]{1,12}", words[2]) \
                    or int(words[2]) > protocol.CORES_LIMIT and words[0] == protocol.CORE:
                notice(f"the device's cores came garbled at byte {offset}; the rest is lost")
                return names
            kind, name, size = words[0], words[1], int(words[2])
            if kind == protocol.CORE_DROPPED:
                notice(f"the core {name} ({size} bytes) was dropped: the device keeps at most "
                       f"{protocol.CORES_LIMIT >> 20} MiB of a run's cores")
                continue
            data = source.read(size)
            if len(data) < size:
                notice(f"the core {name} came cut short")
                return names
            with open(os.path.join(folder, name), "wb") as core:
                core.write(data)
            names.append(name)


def _ignore_signals() -> None:
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, signal.SIG_IGN)


# The guard: waits until the runner's end of its pipe closes, however the
# runner ended, then removes the scratch folder.
_GUARD = "import shutil, sys\nsys.stdin.buffer.read()\nshutil.rmtree(sys.argv[1], ignore_errors=True)\n"


def _needed(path: str) -> List[str]:
    """The libraries an ELF file needs; none for any other file (ElfFile
    reads a file whole: a --file of data is passed over by its first bytes)."""
    with open(path, "rb") as file:
        if file.read(4) != b"\x7fELF":
            return []
    try:
        return elf.ElfFile(path).dynamic().needed
    except elf.ElfError:
        return []


class Device:
    """One run of one program on the emulated device."""

    def __init__(self, request: Request, prefix: str, per_mille: int, scale_text: str) -> None:
        self.request = request
        self.prefix = prefix
        self.share = os.path.join(prefix, "share", "pellix-device")
        self.per_mille = per_mille
        self.scale_text = scale_text
        self.program_name = os.path.basename(request.program)
        self.stage = ""
        self.guard: Optional["subprocess.Popen[bytes]"] = None
        self.qemu: Optional["subprocess.Popen[bytes]"] = None
        self.qemu_status = 0
        self.followers: List[Follower] = []
        self.status: Optional[StatusLines] = None
        self.monitor: Optional[qemu.Monitor] = None
        self.debugger: Optional[qemu.DebuggerLine] = None
        self.outcome = ""
        self.phase_mark = time.monotonic()

    def scaled(self, seconds: int) -> float:
        return scale.scaled_ms(seconds, self.per_mille) / 1000

    @staticmethod
    def say(text: str) -> None:
        sys.stderr.write(text + "\n")
        sys.stderr.flush()

    @staticmethod
    def say_bytes(data: bytes) -> None:
        """DATA as it is, a device's or qemu's own text, after what was said before."""
        sys.stderr.flush()
        sys.stderr.buffer.write(data)
        sys.stderr.buffer.flush()

    def stage_file(self, name: str) -> str:
        return os.path.join(self.stage, name)

    def port_file(self, port: str) -> str:
        return self.stage_file(port.split(".", 1)[1])

    def phase_done(self, name: str) -> None:
        """With --verbose, how long the phase took."""
        now = time.monotonic()
        if self.request.verbose:
            took = int((now - self.phase_mark) * 1000)
            self.say(f"pellix-device: {name:<8} {took // 1000}.{took % 1000:03d} s")
        self.phase_mark = now

    def check(self) -> None:
        """Every input is named when it cannot be used, before anything boots."""
        request = self.request
        inputs = [("PROGRAM", request.program)] + [("--file", file) for file in request.files]
        for what, path in inputs + ([("--stdin", request.stdin)] if request.stdin else []):
            if not os.path.exists(path):
                raise DeviceFailure(f"{what} '{path}': no such file")
            if os.path.isdir(path):
                raise DeviceFailure(f"{what} '{path}' is a directory; give the files in it one by one")
            if not os.path.isfile(path):
                raise DeviceFailure(f"{what} '{path}' is not a regular file")
            if not os.access(path, os.R_OK):
                raise DeviceFailure(f"{what} '{path}' cannot be read (no permission)")
        if request.cores:
            with contextlib.suppress(OSError):
                os.makedirs(request.cores, exist_ok=True)
            if not os.path.isdir(request.cores) or not os.access(request.cores, os.W_OK):
                raise DeviceFailure(f"--cores '{request.cores}' is not a folder this command can write")
        for needed in NEEDED + (("gdbserver",) if request.gdb_port else ()):
            if not os.path.isfile(os.path.join(self.share, needed)):
                fix = "fetch it" if needed == "gdbserver" else "build the device"
                mended = mend(f"run make to {fix}", "reinstall pellix-device")
                raise DeviceFailure(f"{self.share}/{needed} is missing: {mended}")
        for tool, package in (("qemu-system-arm", "qemu-system-arm"), ("setpriv", "util-linux")):
            if shutil.which(tool) is None:
                name = tool if tool == package else f"{tool} ({package})"
                raise DeviceFailure(f"{name} is not installed: " + mend("run make", f"install {package}"))
        if request.gdb_port:
            try:
                self.debugger = qemu.DebuggerLine(request.gdb_port)
            except OSError:
                raise DeviceFailure(f"--gdb {request.gdb_port}: the port is taken on 127.0.0.1") from None

    def make_stage(self) -> None:
        try:
            self.stage = tempfile.mkdtemp(prefix="pellix-device.", dir=os.environ.get("TMPDIR") or "/tmp")
        except OSError:
            raise DeviceFailure("no scratch directory") from None
        # A guard process holds the read end of a pipe only this process
        # holds open, and removes the folder once that pipe closes, even when
        # this process is killed outright. It ignores the signals that stop
        # a run: this process ends it.
        self.guard = subprocess.Popen([sys.executable, "-c", _GUARD, self.stage], stdin=subprocess.PIPE,
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                      preexec_fn=_ignore_signals)

    def close(self) -> None:
        """Ends whatever of the run is left, and its scratch folder; the
        guard is waited for, so nothing of the run outlives the runner."""
        self.finish_run()
        if self.stage:
            shutil.rmtree(self.stage, ignore_errors=True)
        if self.guard is not None:
            assert self.guard.stdin is not None
            self.guard.stdin.close()
            self.guard.wait()
            self.guard = None

    def finish_run(self) -> None:
        """Ends qemu if it still runs, and waits until the output it took is out."""
        if self.qemu is not None:
            if self.qemu.poll() is None:
                self.qemu.terminate()
                try:
                    self.qemu.wait(self.scaled(QEMU_END_TIMEOUT))
                except subprocess.TimeoutExpired:
                    self.qemu.kill()
                    self.qemu.wait()
            self.qemu = None
        for line in (self.debugger, self.monitor):
            if line is not None:
                line.close()
        for follower in self.followers:
            follower.finished.set()
        for follower in self.followers:
            follower.join()

    def output_failure(self) -> int:
        """The status of the first follower that failed, or 0."""
        return next((follower.status for follower in self.followers if follower.status), 0)

    # --- The image: the program, its files and the runtime, as an initramfs.

    def copy_in(self, what: str, path: str, destination: str) -> None:
        if os.path.lexists(destination):
            raise DeviceFailure(f"two files are named '{os.path.basename(destination)}'; "
                                f"{protocol.WORK_DIR} holds one")
        try:
            shutil.copy(path, destination)
        except OSError:
            raise DeviceFailure(f"{what} '{path}' cannot be read") from None

    def copy_runtime(self, root: str) -> None:
        """The dynamic linker and every library the image's programs and
        libraries need, found in the project's outputs or the sysroot."""
        shutil.copy(os.path.join(SYSROOT, "lib", "ld-linux.so.3"), os.path.join(root, "lib"))
        places = [os.path.join(root, "lib"), os.path.join(root, "usr", "lib"), root + protocol.WORK_DIR]
        queue = [os.path.join(folder, name) for folder in (os.path.join(root, "usr", "bin"), places[1], places[2])
                 for name in sorted(os.listdir(folder))]
        while queue:
            file = queue.pop(0)
            for library in _needed(file):
                if any(os.path.lexists(os.path.join(place, library)) for place in places):
                    continue
                found = os.path.join(SYSROOT, "lib", library)
                if not os.path.isfile(found):
                    raise DeviceFailure(f"{file} needs {library}, which the target's sysroot lacks")
                shutil.copy(found, os.path.join(root, "lib", library))
                queue.append(os.path.join(root, "lib", library))

    def image(self) -> None:
        request = self.request
        root = self.stage_file("root")
        work = root + protocol.WORK_DIR
        for folder in ("etc", "lib/modules", "usr/bin", "usr/lib", "proc", "sys", "dev", work):
            os.makedirs(os.path.join(root, folder))
        program = os.path.join(work, self.program_name)
        self.copy_in("PROGRAM", request.program, program)
        os.chmod(program, os.stat(program).st_mode | 0o111)
        for file in request.files:
            self.copy_in("--file", file, os.path.join(work, os.path.basename(file)))
        if request.stdin:
            self.copy_in("--stdin", request.stdin, root + protocol.STDIN_FILE)
        library = os.path.join(self.prefix, "lib")
        copies = [(os.path.join(self.share, "init"), ""), (os.path.join(self.share, "pellix_bl.ko"), "lib/modules"),
                  (os.path.join(self.prefix, "bin", "lights-loader"), "usr/bin"),
                  (os.path.join(self.share, "backlight-report"), "usr/bin")]
        copies += [(os.path.join(library, name), "usr/lib") for name in sorted(os.listdir(library))
                   if name.endswith(".so") and os.path.isfile(os.path.join(library, name))]
        if request.gdb_port:
            # gdbserver, and the C library's thread debugging library it loads.
            copies += [(os.path.join(self.share, "gdbserver"), "usr/bin"),
                       (os.path.join(SYSROOT, "lib", "libthread_db.so.1"), "lib")]
        for source, folder in copies:
            shutil.copy(source, os.path.join(root, folder))
        self.copy_runtime(root)
        # What init runs: the path, then argv, each NUL-terminated.
        words = [protocol.WORK_DIR + "/" + self.program_name, self.program_name] + request.arguments
        with open(root + protocol.RUN_FILE, "wb") as run_file:
            run_file.write(b"".join(os.fsencode(word) + b"\0" for word in words))
        self.pack(root)

    def pack(self, root: str) -> None:
        names = []
        for folder, folders, files in os.walk(root):
            folders.sort()
            relative = os.path.relpath(folder, root)
            names.append("." if relative == "." else "./" + relative)
            names += [os.path.join(names[-1], name) for name in sorted(files)]
        initrd = self.stage_file("initrd")
        with open(initrd, "wb") as archive:
            packed = subprocess.run(["cpio", "-o", "-H", "newc", "-R", "0:0", "--quiet"], cwd=root,
                                    input=b"".join(os.fsencode(name) + b"\n" for name in names),
                                    stdout=archive, stderr=subprocess.DEVNULL, check=False)
        if packed.returncode != 0:
            raise DeviceFailure("could not pack the device's image")
        payload = os.path.getsize(initrd)
        if payload > PAYLOAD_LIMIT_MIB << 20:
            raise DeviceFailure(f"the image is {payload >> 20} MiB (PROGRAM, --file and --stdin files, the arguments "
                                f"and the runtime); the device takes at most {PAYLOAD_LIMIT_MIB} MiB")
        shutil.rmtree(root)

    # --- The machine: qemu's command line, the ports' files, and its start.

    def machine_command(self) -> List[str]:
        # The board's sound chip wants an audio back end. qemu 8.2 and later
        # find none by default and take a silent one through the machine's
        # audiodev property; qemu 7.2 has no such property and runs the
        # board without one.
        board = ["-machine", "versatilepb"]
        if "audiodev" in qemu.machine_properties("versatilepb-machine", self.scaled(QEMU_END_TIMEOUT)):
            board = ["-machine", "versatilepb,audiodev=silent", "-audiodev", "none,id=silent"]
        ports = []
        for number, port in enumerate(protocol.PORTS):
            ports += ["-chardev", f"file,id=port{number},path={qemu.option(self.port_file(port))}",
                      "-device", f"virtserialport,bus=ports.0,chardev=port{number},name={port}"]
        append = (f"console=ttyAMA0 rdinit=/init panic=-1 loglevel=6 "
                  f"{protocol.PARAM_PORT_WAIT_MS}={scale.scaled_ms(PORT_TIMEOUT, self.per_mille)}")
        if self.request.gdb_port:
            # The debugger's port is a socket of the scratch folder, which the
            # runner relays; qemu's monitor says when the device opens it.
            ports += ["-chardev", f"socket,id=gdb,path={qemu.option(self.port_file(protocol.PORT_GDB))},"
                      "server=on,wait=off",
                      "-device", f"virtserialport,bus=ports.0,chardev=gdb,name={protocol.PORT_GDB},id={GDB_PORT_ID}",
                      "-qmp", f"unix:{qemu.option(self.stage_file('monitor'))},server=on,wait=off"]
            append += f" {protocol.PARAM_GDB}={protocol.GDB_ATTACH if self.request.gdb_attach else 1}"
        machine = (["qemu-system-arm"] + board
                   + ["-cpu", "arm926", "-m", f"{RAM_MIB}M", "-nodefaults", "-display", "none", "-no-reboot",
                      "-kernel", os.path.join(self.share, "zImage"),
                      "-dtb", os.path.join(self.share, "versatile-pb.dtb"),
                      "-initrd", self.stage_file("initrd"), "-append", append,
                      "-chardev", f"file,id=console,path={qemu.option(self.stage_file('console'))}",
                      "-serial", "chardev:console", "-device", "virtio-serial-pci,id=ports"] + ports)
        if self.request.verbose:
            self.say("pellix-device: qemu: " + " ".join(qemu.bash_quote(word) for word in machine))
        return machine

    def start(self) -> None:
        """The ports' files, each followed as qemu writes it; then qemu."""
        if self.debugger is not None and len(os.fsencode(self.stage_file("monitor"))) > SOCKET_PATH_MAX:
            raise DeviceFailure(f"the scratch folder {self.stage} is too long a path for qemu's sockets "
                                f"(at most {SOCKET_PATH_MAX} bytes): set TMPDIR to a shorter one")
        machine = self.machine_command()
        for path in [self.port_file(port) for port in protocol.PORTS] + [self.stage_file("console")]:
            open(path, "wb").close()
        self.status = StatusLines(self.port_file(protocol.PORT_STATUS))
        self.followers = [Follower(self.port_file(protocol.PORT_STDOUT), 1),
                          Follower(self.port_file(protocol.PORT_STDERR), 2)]
        for follower in self.followers:
            follower.start()
        with open(self.stage_file("qemu.log"), "wb") as log:
            # qemu dies with this process (--pdeathsig), even when it is killed outright.
            self.qemu = subprocess.Popen(["setpriv", "--pdeathsig", "KILL", "--"] + machine,
                                         stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        if self.debugger is not None:
            deadline = time.monotonic() + self.scaled(QEMU_END_TIMEOUT)
            self.debugger.attach(qemu.connect(self.port_file(protocol.PORT_GDB), self.qemu, deadline))
            self.monitor = qemu.Monitor(self.stage_file("monitor"), self.qemu, deadline)

    # --- Boot and run: init's lines on the status port.

    def await_status(self, phase: str, seconds: int, ends: Callable[[str], bool]) -> str:
        """The status port's next line within SECONDS (scaled) when it ENDS
        the phase or is a failure, else the device's failure; or "timeout
        PHASE", "stopped PHASE" (qemu ended) or "output STATUS" (passing on
        the output failed)."""
        assert self.status is not None and self.qemu is not None
        deadline = time.monotonic() + self.scaled(seconds)
        qemu_gone = False
        while True:
            line = self.status.next_line()
            if line is not None:
                if ends(line) or line.startswith(protocol.STATUS_FAILED + " "):
                    return line
                return f"{protocol.STATUS_FAILED} the device said '{line}'"
            if self.output_failure():
                return f"output {self.output_failure()}"
            if qemu_gone:
                return f"stopped {phase}"
            if self.monitor is not None and self.debugger is not None and self.monitor.opened(GDB_PORT_ID):
                self.debugger.open()
                self.monitor.close()
                self.monitor = None
            if self.qemu.poll() is not None:
                # qemu is gone: what it wrote last is in the file; one more look.
                qemu_gone = True
                continue
            if time.monotonic() >= deadline:
                return f"timeout {phase}"
            time.sleep(qemu.LOOK_SECONDS)

    # --- Collect: the device powers off, the output is out, the console
    # shown, the cores kept and reported.

    def collect(self) -> None:
        assert self.qemu is not None
        if self.outcome.startswith((protocol.STATUS_EXIT + " ", protocol.STATUS_SIGNAL + " ",
                                    protocol.STATUS_FAILED + " ")):
            # Once init has said how the program ended, the device powers off,
            # which ends qemu.
            with contextlib.suppress(subprocess.TimeoutExpired):
                self.qemu.wait(self.scaled(POWER_OFF_TIMEOUT))
        code = self.qemu.poll()
        self.qemu_status = 0 if code is None else (128 - code if code < 0 else code)
        self.finish_run()
        if self.output_failure():
            self.outcome = f"output {self.output_failure()}"
        if self.request.console:
            self.console(None, "--- device console ---", "--- end of device console ---")
        folder = self.stage_file("cores.d")
        os.mkdir(folder)
        cores = sorted(unpack_cores(self.port_file(protocol.PORT_CORES), folder,
                                    lambda text: self.say("pellix-device: " + text)))
        # --cores DIR: each core, copied aside and renamed into place.
        for name in cores if self.request.cores else []:
            aside = os.path.join(self.request.cores, f".{name}.part")
            try:
                shutil.copyfile(os.path.join(folder, name), aside)
                os.replace(aside, os.path.join(self.request.cores, name))
            except OSError:
                self.say(f"pellix-device: could not copy {name} into {self.request.cores}")
        # A report for every core, after the program's own output.
        search = [os.path.join(self.prefix, "lib")] + [os.path.dirname(file) for file in self.request.files]
        for name in cores:
            binary = self.host_binary(name.rsplit(".", 2)[0])
            arguments = ["--program", binary] + [word for place in search for word in ("--search", place)]
            if crash.main(arguments + [os.path.join(folder, name)], out=sys.stderr) != 0:
                self.say(f"pellix-device: {name}: no crash report (the line above says why)")

    def host_binary(self, name: str) -> str:
        """The crashed program on this host, by the name its core bears."""
        known = {self.program_name: self.request.program,
                 "lights-loader": os.path.join(self.prefix, "bin", "lights-loader"),
                 "backlight-report": os.path.join(self.share, "backlight-report")}
        if name in known:
            return known[name]
        return next((file for file in self.request.files if os.path.basename(file) == name), "")

    # --- Stop: the status this run ends with.

    def console(self, last: Optional[int], first_line: str, last_line: str) -> None:
        """The device's console (its LAST lines, if given) between two lines."""
        with open(self.stage_file("console"), "rb") as console:
            text = console.read().replace(b"\r", b"")
        if last is not None and not text:
            self.say("(the device console is empty: the kernel printed nothing)")
            return
        self.say(first_line)
        self.say_bytes(b"".join(text.splitlines(keepends=True)[-last:]) if last is not None else text)
        self.say(last_line)

    def failed_machine(self, qemu_log: bool) -> None:
        """Why the machine went no further: qemu's log, then the console's end."""
        if qemu_log:
            with open(self.stage_file("qemu.log"), "rb") as log:
                self.say_bytes(log.read())
        self.console(CONSOLE_LINES, "--- the device console's last lines ---", "--- end of the device console ---")

    def stop(self) -> int:
        outcome = self.outcome
        limit, boot_limit = (scale.describe(seconds, self.per_mille, self.scale_text)
                             for seconds in (self.request.timeout, self.request.boot_timeout))
        corrupt = f"its kernel, {self.share}/zImage, is corrupt or not one for this board (make builds it again)"
        kind, _, value = outcome.partition(" ")
        if outcome == "output 141":
            return 141  # as any program writing into a closed pipe
        if kind == "output":
            raise DeviceFailure(f"the program's output could not be passed on (the copy ended with status {value})")
        if kind in (protocol.STATUS_EXIT, protocol.STATUS_SIGNAL) and re.fullmatch(r"[0-9]+", value):
            return (int(value) + (128 if kind == protocol.STATUS_SIGNAL else 0)) & 0xFF
        if kind == protocol.STATUS_FAILED:
            raise DeviceFailure(f"the device could not run the program: {value}")
        if outcome == "timeout run":
            raise DeviceFailure(f"timed out after {limit} (--timeout; --console shows how far the device got)")
        self.failed_machine(qemu_log=outcome != "timeout boot")
        if outcome == "timeout boot":
            raise DeviceFailure(f"the device did not start its first process within {boot_limit}: {corrupt}")
        if outcome == "stopped boot":
            raise DeviceFailure(f"the device stopped before its first process (qemu status {self.qemu_status}): "
                                + corrupt)
        raise DeviceFailure(f"the device stopped before the program finished (qemu status {self.qemu_status}, "
                            f"end: {outcome})")

    # --- The phases in order.

    def main(self) -> int:
        """Runs the program; its status, or DeviceFailure."""
        self.phase_mark = time.monotonic()
        self.check()
        self.phase_done("options")
        self.make_stage()
        self.image()
        self.phase_done("image")
        self.start()
        self.phase_done("machine")
        self.outcome = self.await_status("boot", self.request.boot_timeout, lambda line: line == protocol.STATUS_BOOT)
        self.phase_done("boot")
        if self.outcome == protocol.STATUS_BOOT:
            self.outcome = self.await_status("run", self.request.timeout, lambda line: line.startswith(
                (protocol.STATUS_EXIT + " ", protocol.STATUS_SIGNAL + " ")))
            self.phase_done("run")
        self.collect()
        self.phase_done("collect")
        return self.stop()
