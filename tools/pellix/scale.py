# SPDX-License-Identifier: Apache-2.0
"""PELLIX_TIMEOUT_SCALE: the one multiplier of every time limit.

It is read by one rule, here: a positive decimal with at most six digits
before the point and three after it ("1", "2", "2.5"). Exponents, signs and
blanks are refused, so every tool takes exactly the same texts. The scale
is kept in thousandths, so a scaled limit is exact integer arithmetic.
"""

import os
import re
from typing import Mapping, Optional

VARIABLE = "PELLIX_TIMEOUT_SCALE"
_FORM = re.compile(r"([0-9]{1,6})(?:\.([0-9]{1,3}))?")


class ScaleError(ValueError):
    """A scale text that the rule refuses; the message says why."""


def parse(text: str) -> int:
    """The scale TEXT in thousandths (1000 for "1")."""
    match = _FORM.fullmatch(text)
    if match is None:
        raise ScaleError(f"{VARIABLE} takes a positive number (such as 1, 2 or 2.5), not '{text}'")
    per_mille = int(match.group(1)) * 1000 + int((match.group(2) or "").ljust(3, "0"))
    if per_mille <= 0:
        raise ScaleError(f"{VARIABLE} must be above 0, not '{text}'")
    return per_mille


def from_environment(environ: Optional[Mapping[str, str]] = None) -> int:
    """The scale in thousandths from the environment; 1000 when unset."""
    env = os.environ if environ is None else environ
    return parse(env.get(VARIABLE, "1") or "1")


def scaled_ms(seconds: float, per_mille: int) -> int:
    """SECONDS scaled, in milliseconds."""
    return int(round(seconds * per_mille))


def describe(seconds: int, per_mille: int, text: str) -> str:
    """"N s", with the scaled time beside it when the scale is not 1."""
    if per_mille == 1000:
        return f"{seconds} s"
    return f"{seconds} s ({VARIABLE} {text}: {scaled_ms(seconds, per_mille) // 1000} s)"
