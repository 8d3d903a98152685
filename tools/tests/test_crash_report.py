# SPDX-License-Identifier: Apache-2.0
"""The crash report made from what gdb read of a core, and its command's
failures; the report of a real core is the device's tests'."""

import shutil

import pytest

from pellix import crash

LISTING = """\
0x400000+0x3000 1111@0x400150 /host/bin/prog - prog
0xb6f00000+0x30000 2222@0xb6f00154 /host/sysroot/ld-linux.so.3 - /lib/ld-linux.so.3
0xb6f10000+0x2000 3333@0xb6f10110 /host/lib/lumivane.so /host/lib/lumivane.so.debug /usr/lib/lumivane.so
0xb6e00000+0x1000 -@0xb6e00110 - - /usr/lib/liblog.so
garbage line
"""


def facts(address=0x10, frames=None):
    return {"pid": 19, "signal": 11, "code": 1, "address": address, "thread": 19,
            "registers": [[name, n] for n, name in enumerate(["r0", "r1", "r2", "r3", "r4", "cpsr"])],
            "frames": frames if frames is not None else [
                {"pc": 0xb6f108ae, "function": "set_light_backlight", "file": "./lights/backlight.cpp", "line": 117},
                {"pc": 0xb6f00010, "function": None, "file": None, "line": 0},
                {"pc": 0x12345678, "function": "lost", "file": None, "line": 0}]}


def test_the_listing_gives_each_module_with_its_range_and_build_id():
    modules = crash.read_modules(LISTING)
    assert [(m.name, m.start, m.end, m.build_id) for m in modules] == [
        ("prog", 0x400000, 0x403000, "1111"), ("ld-linux.so.3", 0xb6f00000, 0xb6f30000, "2222"),
        ("lumivane.so", 0xb6f10000, 0xb6f12000, "3333"), ("liblog.so", 0xb6e00000, 0xb6e01000, "none")]


def test_a_frame_is_placed_in_the_narrowest_module_that_holds_it():
    # (the dynamic linker's range reaches over the module loaded in its gap)
    assert crash.place(0xb6f108ae, crash.read_modules(LISTING)) == "lumivane.so+0x8ae"
    assert crash.place(0xb6f00010, crash.read_modules(LISTING)) == "ld-linux.so.3+0x10"
    assert crash.place(0x12345678, crash.read_modules(LISTING)) == "0x12345678"


def test_a_fixed_address_executable_is_placed_by_its_addresses(tmp_path, monkeypatch):
    monkeypatch.setattr(crash, "is_executable", lambda path: path == "/host/bin/prog")
    assert crash.place(0x4006d8, crash.read_modules(LISTING)) == "prog+0x4006d8"


def test_a_file_that_is_no_elf_is_no_fixed_address_executable(tmp_path):
    (tmp_path / "x").write_bytes(b"not an ELF file")
    assert not crash.is_executable(str(tmp_path / "x")) and not crash.is_executable("-")


def test_the_report_names_process_signal_address_registers_frames_and_build_ids():
    assert crash.report_lines(facts(), "module-fault", crash.read_modules(LISTING)) == [
        "pellix-device: crash: process 19 (module-fault) died of SIGSEGV (signal 11)",
        "  fault address 0x00000010",
        "  registers",
        "    r0   0x00000000  r1   0x00000001  r2   0x00000002  r3   0x00000003",
        "    r4   0x00000004  cpsr 0x00000005",
        "  backtrace of thread 19",
        "    #0  lumivane.so+0x8ae  set_light_backlight  ./lights/backlight.cpp:117",
        "    #1  ld-linux.so.3+0x10  ??",
        "    #2  0x12345678  lost",
        "  build IDs",
        "    lumivane.so          3333",
        "    ld-linux.so.3        2222"]


def test_a_sent_signal_has_no_fault_address():
    lines = crash.report_lines(dict(facts(address=None), signal=6, code=-6), "prog", [])
    assert lines[:2] == ["pellix-device: crash: process 19 (prog) died of SIGABRT (signal 6)",
                         "  fault address: none (the signal was sent: si_code -6)"]


@pytest.mark.parametrize("core, name", [("module-fault.19.core", "module-fault"), ("/x/a.b.7.core", "a.b"),
                                        ("plain", "plain")])
def test_the_program_is_named_by_its_cores_file(core, name):
    assert crash.core_name(core) == name


@pytest.mark.parametrize("argv, says", [
    (["--program"], "--program needs a path"), (["--search"], "--search needs a folder"),
    (["--fast", "c"], "unknown option --fast"), ([], crash.USAGE), (["a", "b"], crash.USAGE),
    (["/no/such.core"], "/no/such.core: no such core")])
def test_a_report_that_cannot_be_made_says_why_and_exits_1(capsys, argv, says):
    assert crash.main(argv) == 1
    assert capsys.readouterr().err == f"pellix-crash-report: {says}\n"


def test_help_gives_the_usage_and_what_the_report_holds_and_exits_0(capsys):
    # (its manual page is made from it)
    assert crash.main(["--help", "a.core"]) == 0
    out = capsys.readouterr().out
    assert out.startswith(crash.USAGE + "\n\n") and "Exits 0 when the report was printed" in out


@pytest.mark.skipif(shutil.which("eu-unstrip") is None or shutil.which("gdb-multiarch") is None,
                    reason="elfutils and gdb-multiarch are not installed: run make")
def test_a_file_that_is_no_core_gives_no_report(capsys, tmp_path):
    (tmp_path / "x.1.core").write_bytes(b"no core at all")
    assert crash.main([str(tmp_path / "x.1.core")]) == 1
    assert "no modules from it (not a core?)" in capsys.readouterr().err
