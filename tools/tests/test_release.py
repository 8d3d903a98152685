# SPDX-License-Identifier: Apache-2.0
"""make release: what it refuses, the archive's reproducible form, and the session's release as a platform
project and a debugger take it."""

import os
import shutil
import subprocess
import tarfile
from typing import Iterator, List

import pytest

import tamper
from pellix import elf, release, report


def _tree(folder: str, version: str, news: str) -> str:
    with open(os.path.join(folder, "VERSION"), "w") as handle:
        handle.write(version + "\n")
    with open(os.path.join(folder, "NEWS"), "w") as handle:
        handle.write(f"{news}\n=====\n")
    return folder


def _git(folder: str, *arguments: str) -> str:
    return subprocess.run(["git", "-C", folder, "-c", "user.name=t", "-c", "user.email=t@t", *arguments],
                          check=True, capture_output=True, text=True).stdout.strip()


# --- What is refused before anything is built.

def test_news_must_open_with_the_entry_of_the_version_released(tmp_path: str) -> None:
    top = _tree(str(tmp_path), "1.0.1", "lumivane 1.0.0")
    with pytest.raises(release.ReleaseError, match="'lumivane 1.0.1'"):
        release.check_news(top, "1.0.1")
    assert release.main(["--dist", os.path.join(top, "dist")], top=top) == 1
    assert not os.path.exists(os.path.join(top, "dist"))
    _tree(top, "1.0.1", "lumivane 1.0.1")
    release.check_news(top, "1.0.1")


@pytest.mark.parametrize("version", ["1.0", "1.0.0.0", "v1.0.0", "1.0.0-rc1", ""])
def test_the_version_must_be_major_minor_patch(version: str, tmp_path: str) -> None:
    with pytest.raises(release.ReleaseError):
        release.read_version(_tree(str(tmp_path), version, f"lumivane {version}"))


def test_a_tree_with_uncommitted_changes_is_refused_unless_allowed(tmp_path: str) -> None:
    top = _tree(str(tmp_path), "1.0.0", "lumivane 1.0.0")
    with pytest.raises(release.ReleaseError):
        release.read_commit(top, allow_dirty=True)  # no commit at all
    _git(top, "init", "--quiet")
    _git(top, "add", "VERSION", "NEWS")
    _git(top, "commit", "--quiet", "-m", "one", "--date=@1700000000")
    head = _git(top, "rev-parse", "HEAD")
    epoch = int(_git(top, "log", "-1", "--format=%ct"))
    assert release.read_commit(top, allow_dirty=False) == release.Commit(head, epoch)
    open(os.path.join(top, "untracked"), "w").close()
    assert release.read_commit(top, allow_dirty=False).name == head
    _tree(top, "1.0.1", "lumivane 1.0.1")
    with pytest.raises(release.ReleaseError):
        release.read_commit(top, allow_dirty=False)
    assert release.read_commit(top, allow_dirty=True) == release.Commit(head + "-dirty", epoch)


@pytest.mark.parametrize("argv", [["--dist"], ["--build"], ["--allow-dirty", "x"], ["--jobs", "2"]])
def test_bad_usage_exits_2(argv: List[str], tmp_path: str) -> None:
    assert release.main(argv, top=str(tmp_path)) == 2


# --- The archive's form: the same bytes from any build of the commit.

def _stage(folder: str, times: int, mode: int) -> str:
    """A small release stage under FOLDER, its files dated TIMES and with permission bits MODE."""
    root = os.path.join(folder, "lumivane-1.0.0")
    for name, data in (("lib/lumivane.so", b"module"), ("lib/Z.txt", b"z"), ("bin/program", b"#!/bin/sh\n"),
                       ("NEWS", b"news")):
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as handle:
            handle.write(data)
        os.chmod(path, (mode | 0o100) if name.startswith("bin/") else mode)
    os.makedirs(os.path.join(root, "lib", "debug"))
    os.symlink("../lumivane.so", os.path.join(root, "lib", "debug", "link"))
    for base, folders, files in os.walk(root):
        for name in folders + files:
            os.utime(os.path.join(base, name), (times, times), follow_symlinks=False)
    return root


def test_the_archive_is_the_same_bytes_wherever_and_whenever_it_is_staged_in_a_fixed_order_and_modes(
        tmp_path: str) -> None:
    first = _stage(os.path.join(tmp_path, "one"), 1_000_000_000, 0o644)
    second = _stage(os.path.join(tmp_path, "a", "much", "longer", "path"), 2_000_000_000, 0o600)
    out = os.path.join(tmp_path, "out.tar.xz")
    release.write_archive(os.path.dirname(second), "lumivane-1.0.0", out, 1_700_000_000)
    with open(out, "rb") as written:
        assert release.archive_bytes(os.path.dirname(first), "lumivane-1.0.0", 1_700_000_000) == written.read()
    with tarfile.open(out) as archive:
        members = archive.getmembers()
    assert [member.name for member in members] == [
        "lumivane-1.0.0", "lumivane-1.0.0/NEWS", "lumivane-1.0.0/bin", "lumivane-1.0.0/bin/program",
        "lumivane-1.0.0/lib", "lumivane-1.0.0/lib/Z.txt", "lumivane-1.0.0/lib/debug", "lumivane-1.0.0/lib/debug/link",
        "lumivane-1.0.0/lib/lumivane.so"]
    assert {(member.mtime, member.uid, member.gid, member.uname, member.gname) for member in members} == \
        {(1_700_000_000, 0, 0, "", "")}
    assert [member.mode for member in members] == [0o755, 0o644, 0o755, 0o755, 0o755, 0o644, 0o755, 0o755, 0o644]
    with open(out + ".sha256") as sums:
        assert sums.read() == f"{release.sha256_of(out)}  out.tar.xz\n"


def test_sha256sums_lists_every_file_and_link_by_its_contents_but_itself(tmp_path: str) -> None:
    root = _stage(str(tmp_path), 1_000_000_000, 0o644)
    release.write_sums(root)
    check = subprocess.run(["sha256sum", "--check", "--strict", "--quiet", release.SUMS], cwd=root,
                           capture_output=True, check=False)
    assert check.returncode == 0, check.stdout
    with open(os.path.join(root, release.SUMS)) as sums:
        listed = [line.split("  ", 1)[1] for line in sums.read().splitlines()]
    assert listed == ["NEWS", "bin/program", "lib/Z.txt", "lib/debug/link", "lib/lumivane.so"]


def _kit_report(seconds: float, pid: str) -> List[report.Suite]:
    return [report.Suite("lights-conformance lib/lumivane.so", properties={"sha256": "ab", "version": "1.0.0"},
                         cases=[report.Case("record.load", "k", "pass", seconds=seconds,
                                            properties={"kind": "contract", "pid": pid})])]


def test_the_qualification_report_reads_the_same_from_every_run(tmp_path: str) -> None:
    one, other = release.steady(_kit_report(1.25, "123")), release.steady(_kit_report(7.5, "456"))
    assert report.to_xml(one) == report.to_xml(other)
    assert one[0].properties == {"sha256": "ab", "version": "1.0.0"}
    assert one[0].cases[0].properties == {"kind": "contract", "pid": ""}


# --- The session's release.

@pytest.fixture(scope="module")
def unpacked(release_archive: str, tmp_path_factory: pytest.TempPathFactory) -> str:
    return tamper.unpack(release_archive, str(tmp_path_factory.mktemp("unpacked")))


def test_every_member_of_the_release_carries_the_commits_time_and_no_owner(release_archive: str, top: str) -> None:
    epoch = int(subprocess.run(["git", "-C", top, "log", "-1", "--format=%ct", "HEAD"], capture_output=True,
                               text=True, check=True).stdout)
    with tarfile.open(release_archive) as archive:
        found = {(member.mtime, member.uid, member.gid, member.uname, member.gname)
                 for member in archive.getmembers()}
    assert found == {(epoch, 0, 0, "", "")}


def test_the_module_carries_the_trees_version(armv5te_out: str, unpacked: str, top: str) -> None:
    version = release.read_version(top)
    assert elf.ElfFile(os.path.join(armv5te_out, "lib", "lumivane.so")).version_note() == version
    assert elf.ElfFile(os.path.join(unpacked, "lib", "lumivane.so")).version_note() == version


def _pkg_config(prefix: str, *arguments: str) -> subprocess.CompletedProcess:
    env = dict(os.environ, PKG_CONFIG_PATH="", PKG_CONFIG_LIBDIR=os.path.join(prefix, "lib", "pkgconfig"))
    return subprocess.run(["pkg-config", *arguments, "lumivane"], env=env, capture_output=True, text=True,
                          check=False)


def test_the_records_header_is_found_through_pkg_config_of_the_releases_version(unpacked: str, top: str) -> None:
    flags = _pkg_config(unpacked, "--cflags")
    assert flags.returncode == 0, flags.stderr
    compiled = subprocess.run(["arm-linux-gnueabi-gcc", *flags.stdout.split(), "-fsyntax-only", "-Werror",
                               os.path.join(top, "release", "tests", "consumer", "consumer.c")],
                              capture_output=True, text=True, check=False)
    assert compiled.returncode == 0, compiled.stderr
    assert _pkg_config(unpacked, "--modversion").stdout.strip() == release.read_version(top)


def test_the_records_header_and_the_traits_library_are_found_through_find_package(
        unpacked: str, top: str, tmp_path: str) -> None:
    build = os.path.join(tmp_path, "consumer")
    configured = subprocess.run(["cmake", "-S", os.path.join(top, "release", "tests", "consumer"), "-B", build,
                                 "-G", "Ninja", f"-DCMAKE_TOOLCHAIN_FILE={top}/cmake/toolchain-armv5te.cmake",
                                 f"-DCMAKE_PREFIX_PATH={unpacked}"], capture_output=True, text=True, check=False)
    assert configured.returncode == 0, configured.stdout + configured.stderr
    built = subprocess.run(["cmake", "--build", build], capture_output=True, text=True, check=False)
    assert built.returncode == 0, built.stdout + built.stderr


def _gdb_view(module: str, debug_directory: str) -> List[str]:
    """What gdb loaded for MODULE, printed by gdb's own Python, one line each: "objfile FILE OWNER" (OWNER "-"
    for a file of its own) and "symbol FILE LINE" for the backlight's apply operation."""
    script = ("python\n"
              "for objfile in gdb.objfiles():\n"
              "    print('objfile', objfile.filename, objfile.owner.filename if objfile.owner else '-')\n"
              "symbol = gdb.lookup_global_symbol('set_light_backlight')\n"
              "if symbol is not None and symbol.symtab is not None:\n"
              "    print('symbol', symbol.symtab.filename, symbol.line)\n")
    directory = ["-ex", f"set debug-file-directory {debug_directory}"] if debug_directory else []
    run = subprocess.run(["gdb-multiarch", "-nx", "-batch", *directory, "-ex", f"file {module}", "-ex", script],
                         capture_output=True, text=True, check=False)
    return run.stdout.splitlines()


@pytest.fixture(scope="module")
def device_module(unpacked: str, tmp_path_factory: pytest.TempPathFactory) -> str:
    """The module as found on a device, without its debug file beside it."""
    folder = str(tmp_path_factory.mktemp("device"))
    shutil.copy(os.path.join(unpacked, "lib", "lumivane.so"), folder)
    return os.path.join(folder, "lumivane.so")


def test_gdb_finds_the_debug_file_by_build_id_under_lib_debug(unpacked: str, device_module: str) -> None:
    view = _gdb_view(device_module, os.path.join(unpacked, "lib", "debug"))
    debug = os.path.realpath(os.path.join(unpacked, "lib", "lumivane.so.debug"))
    assert f"objfile {debug} {device_module}" in view, view
    symbols = [line.split() for line in view if line.startswith("symbol ")]
    assert len(symbols) == 1 and symbols[0][1] == "./lights/backlight.cpp" and int(symbols[0][2]) > 0, view


def test_gdb_finds_no_debug_file_for_the_module_alone(device_module: str) -> None:
    view = _gdb_view(device_module, "")
    assert [line for line in view if line.startswith("objfile ") and not line.endswith(" -")] == []
    assert any(line.startswith(f"objfile {device_module}") for line in view), view


# --- The module from two checkouts.

def _copy_tree(top: str, destination: str) -> None:
    """The tree's sources, without its builds and outputs."""
    shutil.copytree(top, destination, symlinks=True,
                    ignore=lambda folder, names: [name for name in names if folder == top
                                                  and name in ("build", "out", "dist", ".git")])


def _build_module(source: str, build: str) -> None:
    for command in (["cmake", "-S", source, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                     f"-DCMAKE_TOOLCHAIN_FILE={source}/cmake/toolchain-armv5te.cmake", "-DBUILD_TESTING=OFF",
                     "-DBUILD_SELF_TESTS=OFF"], ["cmake", "--build", build, "--target", "lumivane"]):
        run = subprocess.run(command, capture_output=True, text=True, check=False)
        assert run.returncode == 0, run.stdout + run.stderr


@pytest.fixture(scope="module")
def two_builds(top: str, tmp_path_factory: pytest.TempPathFactory) -> Iterator[List[str]]:
    """The module built from two copies of the tree at different paths into build folders at different paths:
    the two folders that hold lumivane.so and lumivane.so.debug, and the scratch folder above all of them."""
    if shutil.which("arm-linux-gnueabi-g++") is None:
        pytest.skip("no cross compiler for the target: run make")
    scratch = str(tmp_path_factory.mktemp("reproducible-module"))
    first, second = os.path.join(scratch, "one", "src"), os.path.join(scratch, "another", "checkout", "lights-tree")
    _copy_tree(top, first)
    _copy_tree(top, second)
    _build_module(first, os.path.join(scratch, "one", "objects"))
    _build_module(second, os.path.join(second, "build", "armv5te-elsewhere"))
    yield [os.path.join(scratch, "one", "objects", "lights"),
           os.path.join(second, "build", "armv5te-elsewhere", "lights"), scratch]
    # Two copies of the tree and their builds: not left for pytest to remove at the start of a later run.
    shutil.rmtree(scratch)


@pytest.mark.parametrize("name", ["lumivane.so", "lumivane.so.debug"])
def test_the_module_is_the_same_bytes_built_at_two_paths_and_names_neither(name: str, two_builds: List[str]) -> None:
    with open(os.path.join(two_builds[0], name), "rb") as one, open(os.path.join(two_builds[1], name), "rb") as other:
        data = one.read()
        assert data == other.read()
    assert two_builds[2].encode() not in data
