# SPDX-License-Identifier: Apache-2.0
"""Shared fixtures of the tools' tests.

The library is imported from this checkout; the built tree (out/, build/)
is found beside it, and tests that need it are skipped with a reason when
it is missing, so the pure tests run on any machine.
"""

import os
import shutil
import subprocess
import sys
from typing import Iterator, List

import pytest

TOOLS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TOP = os.path.dirname(TOOLS)
sys.path.insert(0, TOOLS)

import test_conformance_kit as kit  # noqa: E402 (the kit's runs, after the library's path)
from device.runs import Boots, Built, Context  # noqa: E402

DEVICE_TESTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "device") + os.sep
# Devices at once for the device's runs: a booting one keeps a core busy;
# those that wait for a time-out idle beside them.
DEVICE_WORKERS = (os.cpu_count() or 1) + 2
# The runs the collected tests read: the device's and the kit's.
_DEVICE_RUNS: List[str] = []
_KIT_RUNS: List[str] = []


@pytest.hookimpl(trylast=True)
def pytest_collection_modifyitems(items: List[pytest.Item]) -> None:
    """The tests that read a run that boots go last: every run starts with
    the session, side by side, while the tests that need none run."""
    for item in items:
        wanted = _DEVICE_RUNS if str(item.path).startswith(DEVICE_TESTS) else _KIT_RUNS
        for mark in item.iter_markers("boots"):
            wanted.extend(name for name in mark.args if name not in wanted)
    items.sort(key=lambda item: item.get_closest_marker("boots") is not None)


@pytest.fixture(scope="session")
def built() -> Built:
    """The installed armv5te tree and its build folder; skips when the device is not built."""
    found = Built(os.path.join(TOP, "out", "armv5te"), os.path.join(TOP, "build", "armv5te"))
    for path in (found.runner, os.path.join(found.share, "zImage"), os.path.join(found.share, "gdbserver"),
                 found.test_program, found.module_fault, found.loader, found.module):
        if not os.path.exists(path):
            missing = f"{os.path.relpath(path, TOP)} is not built: run make"
            # (CI fails what it cannot run: the device is part of what it builds)
            if os.environ.get("CI") == "true":
                pytest.fail(missing)
            pytest.skip(missing)
    return found


@pytest.fixture(scope="session")
def boots(built: Built, tmp_path_factory: pytest.TempPathFactory) -> Iterator[Boots]:
    """The outcomes of the device's runs the collected tests name, by name."""
    runs = Boots(Context(built, str(tmp_path_factory.mktemp("boots"))), _DEVICE_RUNS, DEVICE_WORKERS)
    yield runs
    runs.close()


@pytest.fixture(scope="session")
def qualifications(tmp_path_factory: pytest.TempPathFactory) -> Iterator["kit.Qualifications"]:
    """The kit's runs the collected tests read, in one pool."""
    if not kit.BUILT:
        pytest.skip(kit.MISSING)
    runs = kit.Qualifications(str(tmp_path_factory.mktemp("kit")), sorted(set(_KIT_RUNS) & set(kit.PLANS)))
    yield runs
    runs.stop()


@pytest.fixture(scope="session", autouse=True)
def runs_started(request: pytest.FixtureRequest) -> None:
    """Starts every run the session reads before its first test."""
    for pool, names in (("boots", _DEVICE_RUNS), ("qualifications", _KIT_RUNS)):
        if names:
            try:
                request.getfixturevalue(pool)
            except (pytest.skip.Exception, pytest.fail.Exception):
                pass  # only the tests that read the pool skip or fail, with the reason


@pytest.fixture(scope="session")
def top() -> str:
    """The checkout's top folder."""
    return TOP


@pytest.fixture(scope="session")
def armv5te_out() -> str:
    """The installed armv5te tree that make builds (out/armv5te)."""
    path = os.path.join(TOP, "out", "armv5te")
    if not os.path.isdir(os.path.join(path, "bin")):
        pytest.skip("out/armv5te is not built: run make")
    return path


class Cross:
    """The target's cross compiler, building small shared objects for the binary checks' tests."""

    CC = "arm-linux-gnueabi-gcc"
    TARGET = ("-march=armv5te", "-mthumb", "-mfloat-abi=soft")

    def __init__(self) -> None:
        if shutil.which(self.CC) is None:
            pytest.skip(f"{self.CC} is not installed")

    def tool(self, name: str) -> str:
        return "arm-linux-gnueabi-" + name

    def shared(self, folder: str, source: str, *options: str, name: str = "module.so", compiler: str = "") -> str:
        """FOLDER/NAME, a shared object built from the C SOURCE (text, or a path ending in .c)."""
        if source.endswith(".c") and os.path.isfile(source):
            source_path = source
        else:
            source_path = os.path.join(folder, name + ".c")
            with open(source_path, "w") as file:
                file.write(source)
        command = [self.CC] if not compiler else [compiler, "--target=arm-linux-gnueabi", "--gcc-toolchain=/usr"]
        output = os.path.join(folder, name)
        subprocess.run([*command, *self.TARGET, "-fPIC", "-shared", "-o", output, source_path, *options],
                       check=True)
        return output


@pytest.fixture(scope="session")
def cross() -> Cross:
    """Builds ARMv5TE Thumb shared objects; skips where the cross compiler is missing."""
    return Cross()


@pytest.fixture(scope="session")
def release_archive(armv5te_out: str, tmp_path_factory: pytest.TempPathFactory) -> str:
    """One release of this checkout for the whole session, built as make release builds it (into the same
    build folders, build/release, so a make release after make test rebuilds nothing; uncommitted changes
    allowed), or the one PELLIX_RELEASE_ARCHIVE names: CI builds it with make release and verifies it before
    make test, which then takes that one."""
    given = os.environ.get("PELLIX_RELEASE_ARCHIVE")
    if given:
        # Absolute, or relative to the checkout.
        path = os.path.join(TOP, given)
        if not os.path.isfile(path):
            pytest.fail(f"PELLIX_RELEASE_ARCHIVE names {path}, which is no file")
        return path
    if subprocess.run(["git", "-C", TOP, "rev-parse", "--verify", "--quiet", "HEAD"], capture_output=True,
                      check=False).returncode != 0:
        pytest.skip("the tree is no git checkout: there is no commit to release")
    if not os.path.isfile(os.path.join(armv5te_out, "share", "pellix-device", "zImage")):
        pytest.skip("the emulated device is not installed: run make")
    dist = str(tmp_path_factory.mktemp("release"))
    built = subprocess.run([os.path.join(TOP, "scripts", "release"), "--allow-dirty", "--dist", dist,
                            "--build", os.path.join(TOP, "build", "release")],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, check=False)
    if built.returncode != 0:
        pytest.fail(f"the release does not build:\n{built.stdout}")
    (name,) = [name for name in os.listdir(dist) if name.endswith(".tar.xz")]
    return os.path.join(dist, name)
