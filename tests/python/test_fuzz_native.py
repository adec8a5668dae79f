"""Random inputs against the literal model.

Every call must end in one of three ways: the model's result (as per-row
blocks; in exact row order with one thread), the model's failure text raised
as the panic exception, or the argument error of the first bad argument.

The run is deterministic (derandomized) and bounded.  For a longer local run
raise the example count and, optionally, let hypothesis pick fresh seeds:

    ROWMERGE_FUZZ_EXAMPLES=20000 ROWMERGE_FUZZ_RANDOM=1 .venv/bin/python -m pytest tests/python/test_fuzz_native.py
"""

from __future__ import annotations

import os

import numpy as np
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import literal_model as model
from blocks import is_blocks_in_some_order

EXAMPLES = int(os.environ.get("ROWMERGE_FUZZ_EXAMPLES", "300"))
FUZZ = settings(
    max_examples=EXAMPLES,
    derandomize=not os.environ.get("ROWMERGE_FUZZ_RANDOM"),
    deadline=None,
    database=None,
    print_blob=True,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)

NAMES = ("connected_crop_rows", "points_in_rows", "row_information", "tolerance", "num_threads")
CAST = "'ndarray' object is not an instance of 'ndarray'"

# Identifiers that exercise the key conversion: fractions, values below 1,
# the saturation point and beyond, NaN, infinities.
SPECIAL_KEYS = [0.0, -0.0, 0.5, 0.999, 1.0, 2.0, 3.7, -7.0, 4294967295.0, 4294967296.5, 1e12, -1e300,
                np.nan, np.inf, -np.inf]
COORDS = st.one_of(
    st.integers(-20, 20).map(float),
    st.floats(-30, 30, allow_nan=False, width=64),
    st.sampled_from([np.nan, np.inf, -np.inf, 0.0, -0.0, 1e300]),
)


@st.composite
def fields(draw):
    """Three tables around a few crop rows, so that lookups mostly succeed
    but every shape and key oddity can turn up."""
    n_keys = draw(st.integers(1, 4))
    plain_or_special = lambda plain: st.one_of(*[plain] * 4, st.sampled_from(SPECIAL_KEYS))  # noqa: E731
    keys = [(draw(plain_or_special(st.integers(1, 5).map(float))),
             draw(plain_or_special(st.integers(1, 2).map(float))))
            for _ in range(n_keys)]
    key = st.sampled_from(keys)

    info_cols = draw(st.sampled_from([11] * 30 + [0, 1, 4, 5, 7, 10, 12]))
    # Mostly one record per crop row, sometimes one missing or a duplicate.
    record_keys = [k for k in keys if draw(st.integers(0, 9)) > 0]
    record_keys += [draw(key) for _ in range(draw(st.integers(0, 2)))]
    record_keys = draw(st.permutations(record_keys))
    info_rows = len(record_keys)
    info = np.empty((info_rows, info_cols))
    for r, (k1, k2) in enumerate(record_keys):
        row = [k1, 0.0, 0.0, 0.0, k2] + [draw(COORDS) for _ in range(6)]
        row += [draw(COORDS) for _ in range(max(0, info_cols - 11))]
        info[r] = row[:info_cols]

    point_cols = draw(st.sampled_from([4, 5, 6] * 6 + [0, 1, 2, 3]))
    point_rows = draw(st.integers(0, 14))
    points = np.empty((point_rows, point_cols))
    for r in range(point_rows):
        k1, k2 = draw(key)
        jitter = draw(st.sampled_from([0.0, 0.0, 0.25, 0.9]))
        row = [k1 + jitter, k2] + [draw(COORDS) for _ in range(max(0, point_cols - 2))]
        points[r] = row[:point_cols]

    conn_cols = draw(st.sampled_from([11] * 24 + [0, 2, 3, 4, 5, 6, 9, 12]))
    conn_rows = draw(st.integers(0, 6))
    connected = np.full((conn_rows, conn_cols), np.nan)
    linked_keys = [(info[r, 0], info[r, 4]) for r in range(info_rows)] if info_cols >= 5 else []
    for r in range(conn_rows):
        k1, k2 = draw(key)
        row = [draw(COORDS), k1, k2]
        for _ in range(draw(st.integers(0, 4))):
            if linked_keys and draw(st.integers(0, 5)) > 0:
                row += list(draw(st.sampled_from(linked_keys)))
            else:
                row += list(draw(key))
        row += [np.nan] * 8 + [draw(COORDS)]  # terminator, then an unread column
        connected[r] = row[:conn_cols]
    return connected, points, info


@st.composite
def layouts(draw, table: np.ndarray):
    """The same logical table in another memory layout."""
    kind = draw(st.sampled_from(["c", "f", "flipped", "strided", "readonly", "broadcast"]))
    if kind == "f":
        return np.asfortranarray(table)
    if kind == "flipped":
        # Negative strides on both axes, same elements.
        return np.ascontiguousarray(table[::-1, ::-1])[::-1, ::-1]
    if kind == "strided":
        step_r, step_c = draw(st.integers(1, 3)), draw(st.integers(1, 3))
        big = np.full((table.shape[0] * step_r, table.shape[1] * step_c), -123.0)
        big[::step_r, ::step_c] = table
        return big[::step_r, ::step_c]
    if kind == "readonly":
        view = table.copy()
        view.flags.writeable = False
        return view
    if kind == "broadcast" and table.shape[0] > 0:
        # Zero row stride: every row is the first one.
        return np.broadcast_to(table[:1], table.shape)
    return np.ascontiguousarray(table)


def bad_arrays():
    """Values that every array parameter refuses, with the message of the refusal."""
    return st.sampled_from([
        (lambda t: np.zeros(t.shape, np.float32), CAST),
        (lambda t: t.astype(">f8"), CAST),
        (lambda t: np.zeros(t.shape, np.int64), CAST),
        (lambda t: t.reshape(-1), CAST),
        (lambda t: t[np.newaxis], CAST),
        (lambda t: t.tolist(), "'list' object is not an instance of 'ndarray'"),
        (lambda t: None, "'None' is not an instance of 'ndarray'"),
    ])


TOLERANCES = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True, width=64),
    st.sampled_from([0.0, 0.1, 0.5, 2.0, -1.0, 1e-300]),
    st.integers(-3, 3),
    st.booleans(),
)
BAD_TOLERANCES = st.sampled_from([("0.5", TypeError), (None, TypeError), (2**2000, OverflowError)])
BAD_THREADS = st.sampled_from([(2.0, TypeError), (-1, OverflowError), (2**32, OverflowError),
                               (2**64, OverflowError), ("1", TypeError)])


@st.composite
def calls(draw):
    """Five arguments and, when one of them is bad, the error it must give."""
    tables = draw(fields())
    args = [draw(layouts(t)) for t in tables]
    args += [draw(TOLERANCES), draw(st.sampled_from([1, 1, 1, 0, 2, 3, 4, 8]))]
    error = None
    if draw(st.integers(0, 14)) == 0:
        slot = draw(st.integers(0, 4))
        if slot < 3:
            make, message = draw(bad_arrays())
            args[slot] = make(tables[slot])
            error = (slot, TypeError, message)
        elif slot == 3:
            args[3], kind = draw(BAD_TOLERANCES)
            error = (3, kind, None)
        else:
            args[4], kind = draw(BAD_THREADS)
            error = (4, kind, None)
    return tables, args, error


@FUZZ
@given(call=calls())
def test_random_calls_match_the_literal_model(merge, panic_type, call):
    tables, args, error = call
    before = [a.copy() if isinstance(a, np.ndarray) else a for a in args[:3]]

    if error is not None:
        slot, kind, message = error
        with pytest.raises(kind) as got:
            merge(*args)
        assert type(got.value) is kind
        if message is not None:
            assert str(got.value) == message
        assert got.value.__notes__ == [f"while processing '{NAMES[slot]}'"]
        event("argument error")
        return

    connected, points, info = args[:3]  # the model reads any layout
    tolerance = float(args[3])
    try:
        blocks = model.merge(connected, points, info, tolerance)
    except model.ModelAbort as abort:
        with pytest.raises(panic_type) as got:
            merge(*args)
        assert str(got.value) == str(abort)
        assert got.value.args == (str(abort),)
        event(f"abort: {abort}")
    else:
        result = merge(*args)
        assert result.dtype == np.float64 and result.flags.c_contiguous
        assert result.shape == (sum(len(b) for b in blocks), points.shape[1])
        event("result with rows" if len(result) else "empty result")
        if args[4] == 1:
            expected = np.concatenate(blocks) if blocks else np.empty((0, points.shape[1]))
            np.testing.assert_array_equal(result, expected)
        else:
            assert is_blocks_in_some_order(result, blocks)

    # The inputs are only read.
    for arg, copy in zip(args[:3], before):
        np.testing.assert_array_equal(arg, copy)
