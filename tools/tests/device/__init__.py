# SPDX-License-Identifier: Apache-2.0
"""The emulated device's tests: the runner and debugging on the device."""
