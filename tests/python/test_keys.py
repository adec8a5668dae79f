"""The Python side's key conversion (used to explain failures and to place
crop rows on Dask) against the literal model, value by value."""

from __future__ import annotations

import numpy as np
import pytest

from literal_model import KEY_MAX, key
from rowmerge._explain import _key_pairs, convert_keys

SPECIAL = np.array([np.nan, -np.inf, np.inf, -3.5, -0.0, 0.0, 0.999, 1.0, 1.5, 2.0 ** 31, KEY_MAX - 0.5,
                    float(KEY_MAX), KEY_MAX + 1.0, 1e12])


@pytest.mark.parametrize("special", [0, 1, 3])
def test_conversion_is_the_literal_one_in_and_out_of_range(special):
    rng = np.random.default_rng(special)
    # Whole arrays in range take the short way; one value out of range anywhere
    # sends the whole array the long way.
    values = rng.uniform(1.0, 5000.0, 2000)
    values[rng.choice(len(values), special, replace=False)] = rng.choice(SPECIAL, special)
    expected = [key(v) for v in values]
    assert convert_keys(values).tolist() == expected
    other = values[::-1].copy()
    assert _key_pairs(values, other).tolist() == [(a << 32) | key(b) for a, b in zip(expected, other)]


def test_every_special_value_alone_and_an_empty_array():
    for value in SPECIAL:
        assert convert_keys(np.array([value])).tolist() == [key(value)]
    assert convert_keys(np.zeros(0)).shape == (0,)
