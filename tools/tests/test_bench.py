# SPDX-License-Identifier: Apache-2.0
"""bench, in a tree of stand-ins for the benchmarks, the device and
qemu-arm: each figure lands in its row, and each measurement that cannot
be made says why, failing the run only when something is broken."""

import os
import stat

import pytest

from pellix import bench

REQUEST_BENCH = "build/host/bench/request-bench"
DEVICE_BENCH = "build/armv5te/bench/device-request-bench"
HANDOFF_BENCH = "build/armv5te/bench/handoff-bench"
TEST_PROGRAM = "build/armv5te/platform/device/runner-test-program"
QEMU_ARM = "bin/qemu-arm"
DEVICE_STOPPED = "echo booting; echo 'pellix-device: the guest stopped answering'; exit 4"
EMIT = 'head -c "$2" /dev/zero'
REQUEST_FIGURES = "echo 'figure: request_ns 110'; echo 'figure: floor_ns 100'; echo 'figure: ratio 1.10'; " \
    "echo 'figure: free_floor_ns_4_threads 40'; echo 'figure: free_ratio_4_threads 2.5'"


def program(path, body):
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    with open(path, "w") as handle:
        handle.write("#!/bin/sh\n" + body + "\n")
    os.chmod(path, stat.S_IRWXU)


@pytest.fixture
def tree(tmp_path, monkeypatch):
    """An empty checkout as the current folder, and a qemu-arm that runs the program it is given."""
    monkeypatch.chdir(tmp_path)
    os.makedirs("build")
    program(QEMU_ARM, 'shift 4; exec "$@"')
    monkeypatch.setenv("PATH", os.path.abspath("bin") + os.pathsep + os.environ["PATH"])
    return str(tmp_path)


def measured(programs, *steps):
    """The bench of STEPS over the stand-ins PROGRAMS (path: shell script) and its table by row."""
    for path, body in programs.items():
        program(path, body)
    result = bench.Bench()
    for step in steps:
        getattr(result, step)()
    return result, {what: [amount, note] for what, amount, note in result.rows()}


def test_figures_are_read_by_name_and_the_first_of_a_name_counts():
    assert bench.figures_of("x\nfigure: a 1\nfigure: b 2 of 3\nfigure: a 9\n") == {"a": "1", "b": "2 of 3"}


def test_nothing_built_shows_every_figure_as_n_a_with_the_reasons_and_passes(tree):
    result, table = measured({}, "request_cost", "system_calls", "device_request", "handoffs", "output_time", "sizes")
    assert all(amount == "n/a" for amount, _ in table.values())
    assert result.notes == [
        "request cost: build/host/bench/request-bench is not built (Google Benchmark missing, or the host "
        "configuration not built)",
        "system calls: the host configuration is not built",
        "device request cost: the emulated device or its benchmark is not built (make)",
        "sizes: the armv5te configuration is not built", "sizes: the i686 configuration is not built"]
    assert result.status == 0


def test_the_request_figures_fill_their_rows_and_the_log_is_kept(tree):
    result, table = measured({REQUEST_BENCH: REQUEST_FIGURES}, "request_cost")
    assert table["Request: module apply, 1 thread"][0] == "110 ns"
    assert table["Ratio request / floor, 1 thread"][0] == "1.10"
    assert table["Ratio request / floor, 4 threads"] == ["n/a", "target at most 1.10; against 4 free threads "
                                                                "(40 ns): 2.5"]
    assert "figure: floor_ns 100" in open(bench.BENCH_LOG).read()
    assert (result.notes, result.status) == ([], 0)


def test_the_device_figures_and_hand_offs_fill_their_rows(tree):
    result, table = measured({
        bench.DEVICE: 'exec "$@"',
        DEVICE_BENCH: "echo 'figure: device_request_ns 900'; echo 'figure: device_ratio 1.05'",
        # The same program reports a slower hand-off under the device than under qemu-arm.
        HANDOFF_BENCH: 'if [ -n "$QEMU" ]; then echo "figure: handoff_ns 100"; else echo "figure: handoff_ns 300"; fi',
        QEMU_ARM: 'shift 4; QEMU=1 exec "$@"'}, "device_request", "handoffs")
    assert table["Request on the emulated device"][0] == "900 ns"
    assert table["Ratio request / floor, device"] == ["1.05", ""]
    assert table["Thread hand-off on the device"][0] == "300 ns"
    assert table["Thread hand-off under qemu-arm"][0] == "100 ns"
    assert table["Ratio hand-off device / qemu-arm"][0] == "3.00"
    assert (result.notes, result.status) == ([], 0)


def test_output_through_the_device_is_timed_when_it_arrives_whole(tree):
    result, table = measured({bench.DEVICE: 'exec "$@"', TEST_PROGRAM: EMIT}, "output_time")
    amount = table["10 MiB of output via pellix-device"][0]
    assert amount.endswith(" s") and float(amount[:-2]) >= 0
    assert (result.notes, result.status) == ([], 0)


@pytest.mark.parametrize("programs, steps, notes, status, missing", [
    ({REQUEST_BENCH: "echo 'request-bench: cannot run: no root here' >&2; exit 77"}, ["request_cost"],
     ["request cost: no root here"], 0, "Request: module apply, 1 thread"),
    ({REQUEST_BENCH: "exit 3"}, ["request_cost"], [f"request cost: request-bench failed (3); see {bench.BENCH_LOG}"],
     1, "Request: module apply, 1 thread"),
    ({bench.DEVICE: DEVICE_STOPPED, DEVICE_BENCH: "true", HANDOFF_BENCH: "true"}, ["device_request", "handoffs"],
     ["device request cost: the run failed (4): pellix-device: the guest stopped answering",
      "hand-off: the device run failed: pellix-device: the guest stopped answering"], 1,
     "Ratio hand-off device / qemu-arm"),
    ({bench.DEVICE: 'exec "$@"', HANDOFF_BENCH: "echo 'figure: handoff_ns 300'",
      QEMU_ARM: "echo 'qemu: unsupported syscall'; exit 1"}, ["handoffs"],
     ["hand-off: the qemu-arm run failed: qemu: unsupported syscall"], 1, "Ratio hand-off device / qemu-arm"),
    ({bench.DEVICE: 'exec "$@" | head -c 1000', TEST_PROGRAM: EMIT}, ["output_time"],
     ["output: 10 MiB through the device did not arrive intact"], 1, "10 MiB of output via pellix-device"),
    ({"build/armv5te/lights/lumivane.so": "not ELF"}, ["sizes"],
     ["sizes: module cannot be checked: check-footprint: build/armv5te/lights/lumivane.so is not an ELF file",
      "sizes: the armv5te configuration is not built", "sizes: the i686 configuration is not built"], 0,
     "lumivane.so .text, armv5te")],
    ids=["request-cannot-run", "request-fails", "device-fails", "qemu-arm-fails", "output-short", "size-unchecked"])
def test_what_cannot_be_measured_says_why_failing_the_run_only_when_broken(tree, programs, steps, notes, status,
                                                                           missing):
    result, table = measured(programs, *steps)
    assert (result.notes, result.status) == (notes, status)
    assert table[missing][0] == "n/a"


@pytest.mark.parametrize("detail, shown", [("openat×1,write×1,close×1", "openat, write, close"),
                                           ("openat×1,write×1,close×1,fstat×0.50", "openat, write, close, fstat×0.50"),
                                           ("openat×1.50,write×10", "openat×1.50, write×10")])
def test_calls_made_once_per_request_are_named_alone(detail, shown):
    result = bench.Bench(figures={"syscalls": {"syscalls_per_request": "3", "syscalls_detail": detail}})
    assert ("System calls per request", "3", shown) in result.rows()


def test_the_tool_of_a_configuration_comes_from_its_cache(tree):
    os.makedirs("build/armv5te")
    with open("build/armv5te/CMakeCache.txt", "w") as handle:
        handle.write("CMAKE_STRIPPED:BOOL=ON\nCMAKE_STRIP:FILEPATH=/opt/cross/bin/strip\n")
    assert bench.cache_tool("armv5te", "STRIP", "strip") == "/opt/cross/bin/strip"
    assert bench.cache_tool("i686", "STRIP", "i686-linux-gnu-strip") == "i686-linux-gnu-strip"


def test_the_table_is_printed_in_columns_and_kept_in_markdown():
    table = [("Request", "12 ns", "note"), ("Ratio", "n/a", "")]
    assert bench.console(table, "today; here", ["why"]) == (
        "Figure                                Value         Note\n"
        "------                                -----         ----\n"
        "Request                               12 ns         note\n"
        "Ratio                                 n/a           \n"
        "(today; here)\n"
        "n/a: why\n")
    assert bench.markdown(table, "today", "here", ["why"]) == (
        "Measured today on here.\n\n| Figure | Value | Note |\n| --- | ---: | --- |\n"
        "| Request | 12 ns | note |\n| Ratio | n/a |  |\n\nn/a: why\n")
