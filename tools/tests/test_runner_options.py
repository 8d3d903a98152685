# SPDX-License-Identifier: Apache-2.0
"""pellix-device's command line, read without booting anything."""

import pytest

from pellix import runner
from pellix.device import BOOT_TIMEOUT, PROGRAM_TIMEOUT, DeviceFailure, Request


@pytest.mark.parametrize("argv, request_", [
    # options in both forms, then the program and its arguments
    (["--file", "a", "--file=b", "--stdin=-in", "--cores", "c", "--gdb=7", "--console", "--verbose", "--timeout", "5",
      "--boot-timeout=6", "prog", "--file", "x"], Request("prog", ["--file", "x"], ["a", "b"], "-in", "c", 7, True,
                                                          True, 5, 6)),
    # the defaults
    (["prog"], Request("prog", [], [], "", "", 0, False, False, PROGRAM_TIMEOUT, BOOT_TIMEOUT)),
    # a value may start with a dash, and a program goes after --
    (["--file", "-f", "--", "-prog", "-x"], Request("-prog", ["-x"], ["-f"])),
    # --gdb-attach gives the port to a program that attaches gdbserver itself
    (["--gdb-attach", "7", "prog"], Request("prog", gdb_port=7, gdb_attach=True)),
    (["--gdb", "7", "prog"], Request("prog", gdb_port=7, gdb_attach=False)),
])
def test_a_command_line_gives_its_request(argv, request_):
    assert runner.parse(argv) == request_


@pytest.mark.parametrize("argv", [["--help"], ["-h"], ["--file", "a", "--help", "prog"]])
def test_help_is_asked_for_anywhere_before_the_program(argv):
    with pytest.raises(runner.Help):
        runner.parse(argv)


@pytest.mark.parametrize("argv", [[], ["--console"], ["--"]])
def test_no_program_is_a_usage_error(argv):
    with pytest.raises(runner.Usage):
        runner.parse(argv)


@pytest.mark.parametrize("argv, says", [
    (["--timeout"], "--timeout needs a value (see --help)"),
    (["--fast", "prog"], "unknown option --fast (see --help; a program whose name starts with - goes after --)"),
    (["-", "prog"], "unknown option -"),
    (["--timeout", "0", "prog"], "--timeout takes a whole number of seconds, not '0'"),
    (["--boot-timeout=1.5", "prog"], "--boot-timeout takes a whole number of seconds, not '1.5'"),
    (["--timeout", "12345678", "prog"], "--timeout takes a whole number"),
    (["--gdb", "0", "prog"], "--gdb takes a TCP port (1 to 65535), not '0'"),
    (["--gdb", "65536", "prog"], "--gdb takes a TCP port"),
    (["--gdb-attach=65536", "prog"], "--gdb-attach takes a TCP port"),
])
def test_a_bad_option_is_named(argv, says):
    with pytest.raises(DeviceFailure, match=says.replace("(", r"\(").replace(")", r"\)")):
        runner.parse(argv)


def test_help_names_the_defaults_and_the_failure_status(capsys):
    assert runner.main(["--help"]) == 0
    text = capsys.readouterr().out
    assert f"(default\n                         {PROGRAM_TIMEOUT})" in text and "Exits with 125" in text


def test_no_program_prints_the_usage_and_exits_125(capsys):
    assert runner.main([]) == 125
    assert capsys.readouterr().err.startswith("usage: pellix-device")


def test_a_refused_scale_exits_125_before_anything_starts(capsys, monkeypatch):
    monkeypatch.setenv("PELLIX_TIMEOUT_SCALE", "1e1")
    assert runner.main(["prog"]) == 125
    assert "PELLIX_TIMEOUT_SCALE takes a positive number" in capsys.readouterr().err
