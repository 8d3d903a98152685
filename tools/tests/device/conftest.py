# SPDX-License-Identifier: Apache-2.0
"""The device's tests' fixtures: the built tree, and the runs that boot,
started side by side (device.runs)."""

import os
from typing import Iterator, List

import pytest

from device.runs import Boots, Built, Context

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
# Devices at once: a booting one keeps a core busy; those that wait for a
# time-out idle beside them.
WORKERS = (os.cpu_count() or 1) + 2
_WANTED: List[str] = []


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line("markers", "boots(NAME...): the test reads the outcome of the named runs")


@pytest.hookimpl(trylast=True)
def pytest_collection_modifyitems(config: pytest.Config, items: List[pytest.Item]) -> None:
    # Only this folder's tests name the device's runs; the kit's tests use a
    # marker of the same name for runs of their own.
    here = os.path.dirname(os.path.abspath(__file__)) + os.sep
    for item in items:
        if not str(item.path).startswith(here):
            continue
        for mark in item.iter_markers("boots"):
            _WANTED.extend(name for name in mark.args if name not in _WANTED)


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
    """The outcomes of the runs the collected tests name, by name."""
    runs = Boots(Context(built, str(tmp_path_factory.mktemp("boots"))), _WANTED, WORKERS)
    yield runs
    runs.close()
