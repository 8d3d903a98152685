# SPDX-License-Identifier: Apache-2.0
"""The tools around the lights module: the emulated device's runner, the
conformance kit's host side, the binary checkers, the release and the test
runner's summary. One module owns each kind of fact (ELF, reports, the
time-out scale, the device's protocol); the commands are thin entry points.
"""

import os


def mend(in_checkout: str, installed: str) -> str:
    """How to mend a missing part: IN_CHECKOUT where this library runs from
    a checkout (its tools/ or the out/ that make installs), INSTALLED where
    a package put it, far from any make."""
    folder = os.path.dirname(os.path.realpath(__file__))
    while folder != os.path.dirname(folder):
        folder = os.path.dirname(folder)
        if os.path.isfile(os.path.join(folder, "Makefile")) and os.path.isfile(
                os.path.join(folder, "tools", "pellix", "__init__.py")):
            return in_checkout
    return installed
