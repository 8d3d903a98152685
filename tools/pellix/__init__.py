# SPDX-License-Identifier: Apache-2.0
"""The tools around the lights module: the emulated device's runner, the
conformance kit's host side, the binary checkers, the release and the test
runner's summary. One module owns each kind of fact (ELF, reports, the
time-out scale, the device's protocol); the commands are thin entry points.
"""
