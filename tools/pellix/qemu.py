# SPDX-License-Identifier: Apache-2.0
"""What the runner asks of qemu: a value inside one of its options, its
command line as a shell takes it, its machine monitor (QMP, JSON lines) for
a machine's properties and for the device opening a port, and the
debugger's line to a port's socket."""

import contextlib
import json
import re
import socket
import subprocess
import threading
import time
from typing import Any, Dict, List, Optional

# How often the runner looks at the ports and at qemu (not a time-out).
LOOK_SECONDS = 0.05
# The device's port takes at most 32 KiB a write, and gdbserver takes a
# short write for a lost line; so the packet size gdbserver offers the
# debugger is capped at this, which keeps each of its answers (hex or
# escaped binary, at most twice the bytes) within one write.
PACKET_SIZE_CAP = 0x2000


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
        pump = threading.Thread(target=_pump, args=(self.device, debugger, PacketSizeCap()), daemon=True)
        pump.start()
        _pump(debugger, self.device)
        pump.join()

    def close(self) -> None:
        with self.lock:
            for each in self.sockets:
                with contextlib.suppress(OSError):
                    each.shutdown(socket.SHUT_RDWR)
                each.close()


def _expanded(payload: bytes) -> bytes:
    """A packet's PAYLOAD with its runs spelt out ("0* " is "0000")."""
    out = bytearray()
    at = 0
    while at < len(payload):
        if payload[at] == ord("*") and out and at + 1 < len(payload):
            out += out[-1:] * (payload[at + 1] - 29)
            at += 2
        else:
            out.append(payload[at])
            at += 1
    return bytes(out)


class PacketSizeCap:
    """gdbserver's side of the line, passed on as it comes but for the one
    packet that offers its PacketSize, capped at PACKET_SIZE_CAP."""

    def __init__(self) -> None:
        self.done = False
        self.pending = b""

    def feed(self, data: bytes) -> bytes:
        """What may go on to the debugger of what came so far."""
        if self.done:
            return data
        self.pending += data
        out = b""
        while not self.done:
            start = self.pending.find(b"$")
            end = self.pending.find(b"#", start)
            if start < 0 or end < 0 or len(self.pending) < end + 3:
                # (a packet's end is "#" and two digits of its checksum)
                keep = len(self.pending) if start < 0 else start
                out, self.pending = out + self.pending[:keep], self.pending[keep:]
                return out
            payload = _expanded(self.pending[start + 1:end])
            offer = re.search(rb"PacketSize=([0-9a-fA-F]+)", payload)
            if offer is None:
                out += self.pending[:end + 3]
            else:
                size = b"%x" % min(int(offer.group(1), 16), PACKET_SIZE_CAP)
                payload = payload[:offer.start(1)] + size + payload[offer.end(1):]
                out += self.pending[:start] + b"$" + payload + b"#%02x" % (sum(payload) & 0xFF)
                self.done = True
            self.pending = self.pending[end + 3:]
        out, self.pending = out + self.pending, b""
        return out


def _pump(source: socket.socket, target: socket.socket, cap: Optional[PacketSizeCap] = None) -> None:
    with contextlib.suppress(OSError):
        for data in iter(lambda: source.recv(1 << 16), b""):
            target.sendall(cap.feed(data) if cap is not None else data)
        if cap is not None:
            target.sendall(cap.pending)
    with contextlib.suppress(OSError):
        target.shutdown(socket.SHUT_WR)
