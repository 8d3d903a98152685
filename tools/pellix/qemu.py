# SPDX-License-Identifier: Apache-2.0
"""What the runner asks of qemu: a value inside one of its options, its
command line as a shell takes it, its machine monitor (QMP, JSON lines) for
a machine's properties and for the device opening a port, and the
debugger's line to a port's socket."""

import contextlib
import json
import socket
import subprocess
import threading
import time
from typing import Any, Dict, List, Optional

# How often the runner looks at the ports and at qemu (not a time-out).
LOOK_SECONDS = 0.05


def _json_messages(data: bytes) -> List[Dict[str, Any]]:
    """The JSON objects of DATA's whole lines; other lines are passed over."""
    messages = []
    for line in data.splitlines():
        try:
            messages.append(json.loads(line))
        except ValueError:
            continue
    return [message for message in messages if isinstance(message, dict)]


def bash_quote(word: str) -> str:
    """WORD quoted as bash's printf %q quotes it, so a logged command line
    can be pasted back into a shell."""
    if word == "":
        return "''"
    data = word.encode("utf-8", "surrogateescape")
    text = data.decode("utf-8", "replace")
    if not text.isprintable() or "\ufffd" in text:
        named = {7: "a", 8: "b", 27: "E", 12: "f", 10: "n", 13: "r", 9: "t", 11: "v", 39: "'", 92: "\\"}
        return "$'" + "".join(f"\\{named[byte]}" if byte in named else chr(byte) if 32 <= byte < 127
                              else f"\\{byte:03o}" for byte in data) + "'"
    quoted = []
    for at, c in enumerate(word):
        first = at == 0 or word[at - 1] in "=:"
        special = c in " \t\n'\"\\|&;()<>!{}*[?]^$`," or (c == "~" and first) or (c == "#" and at == 0)
        quoted.append("\\" + c if special else c)
    return "".join(quoted)


def option(text: str) -> str:
    """TEXT as a value inside a qemu option, whose commas are doubled."""
    return text.replace(",", ",,")


def machine_properties(typename: str, seconds: float) -> List[str]:
    """The property names of qemu's machine TYPENAME, asked of qemu's
    monitor (machine-readable); [] when qemu does not say."""
    questions = [{"execute": "qmp_capabilities"},
                 {"execute": "qom-list-properties", "arguments": {"typename": typename}},
                 {"execute": "quit"}]
    try:
        answer = subprocess.run(
            ["qemu-system-arm", "-machine", "none", "-nodefaults", "-display", "none", "-qmp", "stdio"],
            input="".join(json.dumps(question) + "\n" for question in questions).encode(),
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=seconds, check=False)
    except (OSError, subprocess.TimeoutExpired):
        return []
    replies = [message["return"] for message in _json_messages(answer.stdout) if "return" in message]
    if len(replies) < 2 or not isinstance(replies[1], list):
        return []
    return [str(item.get("name")) for item in replies[1] if isinstance(item, dict)]


def connect(path: str, qemu: "subprocess.Popen[bytes]", deadline: float) -> Optional[socket.socket]:
    """A connection to qemu's socket PATH, once qemu has made it; None when
    qemu ends or DEADLINE passes first."""
    while True:
        connection = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            connection.connect(path)
            return connection
        except OSError:
            connection.close()
            if qemu.poll() is not None or time.monotonic() >= deadline:
                return None
            time.sleep(LOOK_SECONDS)


class Monitor:
    """qemu's machine monitor, for the one event the runner waits for: the
    device opening a port (VSERPORT_CHANGE)."""

    def __init__(self, path: str, qemu: "subprocess.Popen[bytes]", deadline: float) -> None:
        self.buffer = b""
        self.connection = connect(path, qemu, deadline)
        if self.connection is None:
            return
        self.connection.settimeout(max(deadline - time.monotonic(), 0.1))
        try:
            self.connection.sendall(b'{"execute": "qmp_capabilities"}\n')
            while not any("return" in message for message in self._messages(self.connection.recv(4096))):
                pass
            self.connection.setblocking(False)
        except OSError:
            self.close()

    def _messages(self, data: bytes) -> List[Dict[str, Any]]:
        if not data:
            raise ConnectionError("qemu's monitor closed")
        whole, _, self.buffer = (self.buffer + data).rpartition(b"\n")
        return _json_messages(whole)

    def opened(self, port_id: str) -> bool:
        """Whether the device has opened port PORT_ID since the last look."""
        if self.connection is None:
            return False
        try:
            messages = self._messages(self.connection.recv(1 << 16))
        except BlockingIOError:
            return False
        except OSError:
            self.close()
            return False
        return any(message.get("event") == "VSERPORT_CHANGE" and message.get("data", {}).get("id") == port_id
                   and message.get("data", {}).get("open") for message in messages)

    def close(self) -> None:
        if self.connection is not None:
            self.connection.close()
            self.connection = None


class DebuggerLine:
    """The debugger's line: 127.0.0.1:PORT, taken when the run starts and
    listened on only once gdbserver on the device holds its port, so that a
    debugger never talks into a device that is still booting (gdb's remote
    time-out would run out there). The runner holds qemu's end of the port
    from the start (gdbserver reads a port with nobody at the host's end as
    closed) and relays the one debugger that connects to it."""

    def __init__(self, port: int) -> None:
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            self.listener.bind(("127.0.0.1", port))
        except OSError:
            self.listener.close()
            raise
        self.sockets: List[socket.socket] = [self.listener]
        self.device: Optional[socket.socket] = None
        self.lock = threading.Lock()

    def _keep(self, each: socket.socket) -> None:
        with self.lock:
            self.sockets.append(each)

    def attach(self, device: Optional[socket.socket]) -> None:
        """DEVICE: the connection to qemu's socket of the port."""
        self.device = device
        if device is not None:
            self._keep(device)

    def open(self) -> None:
        """Listens, and relays the one debugger that connects."""
        self.listener.listen(1)
        threading.Thread(target=self._relay, daemon=True).start()

    def _relay(self) -> None:
        try:
            debugger, _ = self.listener.accept()
        except OSError:
            return
        self._keep(debugger)
        self.listener.close()
        if self.device is None:
            debugger.close()
            return
        pump = threading.Thread(target=_pump, args=(self.device, debugger), daemon=True)
        pump.start()
        _pump(debugger, self.device)
        pump.join()

    def close(self) -> None:
        with self.lock:
            for each in self.sockets:
                with contextlib.suppress(OSError):
                    each.shutdown(socket.SHUT_RDWR)
                each.close()


def _pump(source: socket.socket, target: socket.socket) -> None:
    with contextlib.suppress(OSError):
        for data in iter(lambda: source.recv(1 << 16), b""):
            target.sendall(data)
    with contextlib.suppress(OSError):
        target.shutdown(socket.SHUT_WR)
