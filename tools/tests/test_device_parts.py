# SPDX-License-Identifier: Apache-2.0
"""The runner's parts that need no device: the status port's lines, the
cores' framing, passing output on, the debugger's line, the command line
qemu is given."""

import os
import shutil
import socket
import subprocess
import sys
import threading

import pytest

from device.runs import free_port
import pellix
from pellix import device, qemu
from pellix.device import Follower, Request, StatusLines, unpack_cores
from pellix.qemu import DebuggerLine
from pellix.protocol import device as protocol


def test_a_status_line_in_two_pieces_is_read_whole(tmp_path):
    path = tmp_path / "status"
    path.write_bytes(b"ex")
    lines = StatusLines(str(path))
    assert lines.next_line() is None
    with open(path, "ab") as status:
        status.write(b"it 3\nboot")
    assert lines.next_line() == "exit 3"
    assert lines.next_line() is None


GARBLED = "the device's cores came garbled at byte 17; the rest is lost"


@pytest.mark.parametrize("stream, names, files, notices", [
    # whole, with their names
    ([b"core a.1.core 3\nabc", b"core b-c_+.22.core 0\n", b"end\n"], ["a.1.core", "b-c_+.22.core"],
     {"a.1.core": b"abc", "b-c_+.22.core": b""}, []),
    # a dropped core is named and the next kept
    ([b"dropped big.5.core 40000000\n", b"core small.6.core 2\nxy", b"end\n"], ["small.6.core"],
     {"small.6.core": b"xy"}, ["the core big.5.core (40000000 bytes) was dropped: the device keeps at most "
                               f"{protocol.CORES_LIMIT >> 20} MiB of a run's cores"]),
    # a core cut short is named and not kept
    ([b"core a.1.core 1\nz", b"core b.2.core 10\nxyz"], ["a.1.core"], {"a.1.core": b"z"},
     ["the core b.2.core came cut short"]),
    # a stream without an end keeps what came
    ([b"core a.1.core 1\nz"], ["a.1.core"], {"a.1.core": b"z"}, []),
    # a garbled stream keeps what came whole before it
    *[([b"core a.1.core 1\nz", header, b"y\nend\n"], ["a.1.core"], {"a.1.core": b"z"}, [GARBLED])
      for header in [b"core ../x.1.core 1\n", b"core a.core 1\n", b"bore a.1.core 1\n", b"core a.1.core -1\n",
                     b"core a.1.core 1 2\n", b"x" * 400, b"core a.1.core %d\n" % (protocol.CORES_LIMIT + 1)]],
])
def test_the_cores_stream_is_unpacked(tmp_path, stream, names, files, notices):
    (tmp_path / "cores").write_bytes(b"".join(stream))
    (tmp_path / "cores.d").mkdir()
    said = []
    assert unpack_cores(str(tmp_path / "cores"), str(tmp_path / "cores.d"), said.append) == names
    assert {name: (tmp_path / "cores.d" / name).read_bytes() for name in os.listdir(tmp_path / "cores.d")} == files
    assert said == notices


def follow(tmp_path, output: int, data: bytes) -> Follower:
    path = tmp_path / "port"
    path.write_bytes(b"")
    follower = Follower(str(path), output)
    follower.start()
    with open(path, "ab") as port:
        for at in range(0, len(data), 4096):
            port.write(data[at:at + 4096])
            port.flush()
    follower.finished.set()
    follower.join(30)
    return follower


def test_a_port_is_passed_on_whole_as_it_grows(tmp_path):
    data = bytes(range(256)) * 4096
    reader, writer = os.pipe()
    received = []
    drain = threading.Thread(target=lambda: received.extend(iter(lambda: os.read(reader, 1 << 16), b"")))
    drain.start()
    follower = follow(tmp_path, writer, data)
    os.close(writer)
    drain.join(30)
    os.close(reader)
    assert follower.status == 0
    assert b"".join(received) == data


# Output into a closed pipe ends following with 141, as any program's;
# output that cannot be written at all, with 1.
@pytest.mark.parametrize("output, status", [("closed pipe", 141), ("/dev/full", 1)])
def test_output_that_cannot_be_passed_on_ends_following(tmp_path, output, status):
    if output == "closed pipe":
        reader, descriptor = os.pipe()
        os.close(reader)
    else:
        descriptor = os.open(output, os.O_WRONLY)
    follower = follow(tmp_path, descriptor, b"x" * 100)
    os.close(descriptor)
    assert follower.status == status


def test_the_debugger_is_refused_until_the_device_holds_its_port_then_relayed(tmp_path):
    port = free_port()
    line = DebuggerLine(port)
    device_end, runner_end = socket.socketpair()
    line.attach(runner_end)
    try:
        with pytest.raises(ConnectionRefusedError):
            socket.create_connection(("127.0.0.1", port), timeout=5).close()
        line.open()
        with socket.create_connection(("127.0.0.1", port), timeout=5) as debugger:
            debugger.sendall(b"$qSupported#37")
            assert device_end.recv(100) == b"$qSupported#37"
            device_end.sendall(b"+$OK#9a")
            assert debugger.recv(100) == b"+$OK#9a"
    finally:
        line.close()
        device_end.close()


def test_a_taken_port_is_refused(tmp_path):
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen(1)
        with pytest.raises(OSError):
            DebuggerLine(taken.getsockname()[1])


def machine(tmp_path, gdb_port: int = 0):
    run = device.Device(Request("program", gdb_port=gdb_port), str(tmp_path), 1000, "1")
    run.stage = str(tmp_path)
    return run.machine_command()


def devices(command) -> list:
    return [command[at + 1] for at, word in enumerate(command) if word == "-device"]


@pytest.mark.parametrize("gdb_port, ports", [(0, list(protocol.PORTS)),
                                             (1, list(protocol.PORTS) + [protocol.PORT_GDB])])
def test_qemu_is_given_the_protocols_four_ports_and_a_fifth_for_the_debugger(tmp_path, gdb_port, ports):
    given = [word for word in devices(machine(tmp_path, gdb_port)) if word.startswith("virtserialport,")]
    assert [port.split("name=")[1].split(",")[0] for port in given] == ports
    assert len(protocol.PORTS) == 4


def test_init_is_told_its_scaled_wait_for_the_ports(tmp_path):
    command = machine(tmp_path)
    assert f"{protocol.PARAM_PORT_WAIT_MS}={device.PORT_TIMEOUT * 1000}" in command[command.index("-append") + 1]


@pytest.mark.parametrize("word, quoted", [("plain/path-1.2", "plain/path-1.2"), ("", "''"),
                                          ("a b,c", "a\\ b\\,c"), ("~x=~y", "\\~x=\\~y"), ("#a#", "\\#a#"),
                                          ("two\nlines", "$'two\\nlines'"), ("a\tb\x01c", "$'a\\tb\\001c'"),
                                          ("it's", "it\\'s"), ("é", "é")])
def test_a_logged_word_is_quoted_as_a_shell_takes_it(word, quoted):
    assert qemu.bash_quote(word) == quoted


def test_a_run_without_a_device_fails_before_anything_starts(tmp_path):
    program = tmp_path / "program"
    program.write_bytes(b"\x7fELF")
    run = device.Device(Request(str(program)), str(tmp_path), 1000, "1")
    with pytest.raises(device.DeviceFailure, match="zImage is missing: run make"):
        run.check()
    assert run.stage == ""


def test_a_missing_part_is_mended_by_make_in_a_checkout_and_by_its_package_once_installed(tmp_path):
    installed = tmp_path / "usr" / "lib" / "pellix-tools"
    shutil.copytree(os.path.dirname(pellix.__file__), installed / "pellix")
    mended = subprocess.run([sys.executable, "-c", "import pellix; print(pellix.mend('make', 'package'))"],
                            cwd=installed, capture_output=True, text=True, check=True).stdout
    assert (pellix.mend("make", "package"), mended) == ("make", "package\n")


def test_a_scratch_folder_too_long_for_qemus_sockets_is_refused(tmp_path):
    run = device.Device(Request("program", gdb_port=1), str(tmp_path), 1000, "1")
    run.stage = str(tmp_path / ("x" * 120))
    run.debugger = DebuggerLine(free_port())
    try:
        with pytest.raises(device.DeviceFailure, match="too long a path for qemu's sockets"):
            run.start()
    finally:
        run.debugger.close()
    assert run.qemu is None


def _packet(payload):
    return b"$" + payload + b"#%02x" % (sum(payload) & 0xFF)


@pytest.mark.parametrize("offered, passed", [(b"PacketSize=20020", b"PacketSize=2000"),
                                             (b"PacketSize=20* ", b"PacketSize=2000"),
                                             (b"PacketSize=3fff", b"PacketSize=2000"),
                                             (b"PacketSize=1000", b"PacketSize=1000")],
                         ids=["bigger", "bigger-in-a-run", "port-sized", "smaller"])
def test_gdbservers_packet_size_reaches_the_debugger_capped_to_one_write_of_the_port(offered, passed):
    before, after = b"+" + _packet(b"OK"), _packet(b"$}\x03binary#")
    stream = before + _packet(offered + b";qXfer:features:read+") + after
    cap = qemu.PacketSizeCap()
    out = b"".join(cap.feed(stream[at:at + 1]) for at in range(len(stream))) + cap.pending
    assert out == before + _packet(passed + b";qXfer:features:read+") + after
