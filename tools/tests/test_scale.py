# SPDX-License-Identifier: Apache-2.0
import pytest

from pellix import scale


@pytest.mark.parametrize("text, per_mille", [("1", 1000), ("2.5", 2500), ("0.001", 1), ("999999.999", 999999999)])
def test_a_plain_decimal_is_read_in_thousandths(text: str, per_mille: int) -> None:
    assert scale.parse(text) == per_mille


@pytest.mark.parametrize("text, says", [(text, "takes a positive number") for text in (
    "1e1", "-1", " 2", "2.", ".5", "1.2345", "1234567", "", "inf", "0x10")] + [("0.000", "must be above 0")])
def test_anything_but_a_plain_decimal_above_zero_is_refused(text: str, says: str) -> None:
    with pytest.raises(scale.ScaleError, match=says):
        scale.parse(text)


def test_unset_or_empty_means_one() -> None:
    assert scale.from_environment({}) == 1000
    assert scale.from_environment({scale.VARIABLE: ""}) == 1000


def test_a_scaled_limit_names_both_times() -> None:
    assert scale.describe(30, 1000, "1") == "30 s"
    assert scale.describe(30, 2500, "2.5") == "30 s (PELLIX_TIMEOUT_SCALE 2.5: 75 s)"
