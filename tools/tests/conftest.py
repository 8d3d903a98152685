# SPDX-License-Identifier: Apache-2.0
"""Shared fixtures of the tools' tests.

The library is imported from this checkout; the built tree (out/, build/)
is found beside it, and tests that need it are skipped with a reason when
it is missing, so the pure tests run on any machine.
"""

import os
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
