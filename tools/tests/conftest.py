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

import pytest

TOOLS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TOP = os.path.dirname(TOOLS)
sys.path.insert(0, TOOLS)


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
