# SPDX-License-Identifier: Apache-2.0
"""The runner's parts that need no device: the status port's lines, the
cores' framing, passing output on, the debugger's line, the command line
qemu is given."""

import os
import socket
import threading

import pytest

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


def cores_stream(tmp_path, *parts: bytes) -> str:
    path = tmp_path / "cores"
    path.write_bytes(b"".join(parts))
    return str(path)


def unpacked(tmp_path, stream: str):
    folder = tmp_path / "cores.d"
    folder.mkdir()
    notices: list = []
    names = unpack_cores(stream, str(folder), notices.append)
    return names, {name: (folder / name).read_bytes() for name in os.listdir(folder)}, notices


def test_cores_come_whole_with_their_names(tmp_path):
    stream = cores_stream(tmp_path, b"core a.1.core 3\nabc", b"core b-c_+.22.core 0\n", b"end\n")
    assert unpacked(tmp_path, stream) == (["a.1.core", "b-c_+.22.core"], {"a.1.core": b"abc", "b-c_+.22.core": b""},
                                          [])


def test_a_dropped_core_is_named_and_the_next_kept(tmp_path):
    stream = cores_stream(tmp_path, b"dropped big.5.core 40000000\n", b"core small.6.core 2\nxy", b"end\n")
    names, files, notices = unpacked(tmp_path, stream)
    assert (names, files) == (["small.6.core"], {"small.6.core": b"xy"})
    assert notices == ["the core big.5.core (40000000 bytes) was dropped: the device keeps at most "
                       f"{protocol.CORES_LIMIT >> 20} MiB of a run's cores"]


def test_a_core_cut_short_is_named_and_not_kept(tmp_path):
    stream = cores_stream(tmp_path, b"core a.1.core 1\nz", b"core b.2.core 10\nxyz")
    assert unpacked(tmp_path, stream) == (["a.1.core"], {"a.1.core": b"z"}, ["the core b.2.core came cut short"])


@pytest.mark.parametrize("header", [b"core ../x.1.core 1\n", b"core a.core 1\n", b"bore a.1.core 1\n",
                                    b"core a.1.core -1\n", b"core a.1.core 1 2\n", b"x" * 400,
                                    b"core a.1.core %d\n" % (protocol.CORES_LIMIT + 1)])
def test_a_garbled_stream_keeps_what_came_whole_before_it(tmp_path, header):
    stream = cores_stream(tmp_path, b"core a.1.core 1\nz", header, b"y\nend\n")
    assert unpacked(tmp_path, stream) == (["a.1.core"], {"a.1.core": b"z"},
                                          ["the device's cores came garbled at byte 17; the rest is lost"])


def test_a_stream_without_an_end_keeps_what_came(tmp_path):
    assert unpacked(tmp_path, cores_stream(tmp_path, b"core a.1.core 1\nz"))[:2] == (["a.1.core"], {"a.1.core": b"z"})


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


def test_output_into_a_closed_pipe_ends_following_with_141(tmp_path):
    reader, writer = os.pipe()
    os.close(reader)
    follower = follow(tmp_path, writer, b"x" * 100)
    os.close(writer)
    assert follower.status == 141


def test_output_that_cannot_be_written_ends_following_with_1(tmp_path):
    full = os.open("/dev/full", os.O_WRONLY)
    follower = follow(tmp_path, full, b"x" * 100)
    os.close(full)
    assert follower.status == 1


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


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


def test_qemu_is_given_the_protocols_four_ports(tmp_path):
    ports = [word for word in devices(machine(tmp_path)) if word.startswith("virtserialport,")]
    assert [port.split("name=")[1].split(",")[0] for port in ports] == list(protocol.PORTS)
    assert len(ports) == 4


def test_qemu_is_given_a_fifth_port_for_the_debugger(tmp_path):
    ports = [word for word in devices(machine(tmp_path, gdb_port=free_port())) if word.startswith("virtserialport,")]
    assert [port.split("name=")[1].split(",")[0] for port in ports] == list(protocol.PORTS) + [protocol.PORT_GDB]


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
