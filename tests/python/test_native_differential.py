"""The whole function against the literal model, on random fields."""

from __future__ import annotations

import numpy as np
import pytest

import literal_model as model
from worked_examples import record


def random_field(rng: np.random.Generator):
    """A small field: crop rows along random lines, linked to neighbours."""
    rows = int(rng.integers(1, 7))
    keys = [(float(k + 1), float(rng.integers(1, 3))) for k in range(rows)]
    info, points = [], []
    for k1, k2 in keys:
        start = rng.uniform(-20, 20, 2)
        direction = rng.uniform(-1, 1, 2)
        if rng.random() < 0.2:
            direction[int(rng.integers(0, 2))] = 0.0  # axis-parallel rows
        length = rng.uniform(1, 15)
        p = [start + direction * length * f for f in rng.permutation([0.0, 1.0, rng.uniform(0.2, 0.8)])]
        info.append(record(k1 + rng.choice([0.0, 0.4]), k2, *p))
        for _ in range(int(rng.integers(0, 12))):
            q = start + direction * length * rng.uniform(-0.3, 1.3) + rng.normal(0, 0.5, 2)
            if rng.random() < 0.05:
                q[int(rng.integers(0, 2))] = np.nan
            points.append([k1 + rng.uniform(0, 0.99), k2, *np.round(q, 1), rng.uniform()])
    connected = []
    for _ in range(int(rng.integers(0, 8))):
        base = keys[int(rng.integers(0, rows))]
        row = [0.0, base[0], base[1]] + [np.nan] * 8
        for pair in range(int(rng.integers(0, 5))):
            linked = info[int(rng.integers(0, rows))]
            row[3 + 2 * pair], row[4 + 2 * pair] = linked[0], linked[4]
        connected.append(row)
    connected = np.array(connected, dtype=float).reshape(-1, 11)
    points = np.array(points, dtype=float).reshape(-1, 5)
    rng.shuffle(points)
    tol = float(rng.choice([0.0, 0.1, 0.5, 2.0]))
    return connected, points, np.array(info), tol


class Tagged(np.ndarray):
    """A subclass of ndarray, as callers' own array types are."""


def in_layout(table: np.ndarray, kind: int) -> np.ndarray:
    """The same values as `table`, laid out in memory one of several ways."""
    rows, cols = table.shape
    if kind == 0:
        return np.ascontiguousarray(table)
    if kind == 1:
        return np.asfortranarray(table)
    if kind == 2:  # both axes reversed
        return np.ascontiguousarray(table[::-1, ::-1])[::-1, ::-1]
    if kind == 3:  # rows reversed, columns in Fortran order
        return np.asfortranarray(table[::-1])[::-1]
    if kind == 4:  # every third row and second column of a larger array
        wide = np.full((rows * 3 + 1, cols * 2 + 1), -7.0)
        wide[1::3, 1::2] = table
        return wide[1::3, 1::2]
    if kind == 5:  # a column slice of a wider row-major table
        wide = np.full((rows, cols + 3), -7.0)
        wide[:, 2:2 + cols] = table
        return wide[:, 2:2 + cols]
    if kind == 6:
        return np.ascontiguousarray(table).view(Tagged)
    # Elements that are not 8-byte aligned, a view of raw bytes.
    raw = np.zeros(table.size * 8 + 1, dtype=np.uint8)
    unaligned = np.frombuffer(raw.data, dtype=np.float64, count=table.size, offset=1).reshape(rows, cols)
    unaligned[...] = table
    assert not unaligned.flags.aligned or table.size == 0
    return unaligned


LAYOUTS = 8


def broadcast_rows(table: np.ndarray) -> np.ndarray:
    """Every row the same as the first, by a row step of zero."""
    view = np.broadcast_to(table[:1], table.shape)
    assert view.strides[0] == 0
    return view


def split_into_blocks(result: np.ndarray, blocks: list[np.ndarray]) -> bool:
    """Whether `result` is the model's blocks stacked in some order.

    Depth-first: when one block begins like another (a base crop row named
    twice), the first block that fits at a place may be the wrong one.
    """
    def fits(at: int, used: frozenset) -> bool:
        pending = [i for i, b in enumerate(blocks) if len(b) and i not in used]
        if not pending:
            return at == len(result)
        return any(np.array_equal(result[at:at + len(blocks[i])], blocks[i], equal_nan=True)
                   and fits(at + len(blocks[i]), used | {i}) for i in pending)
    return fits(0, frozenset())


@pytest.mark.parametrize("seed", range(6))
def test_against_literal_model(merge, panic_type, seed):
    rng = np.random.default_rng(seed)
    for case in range(60):
        connected, points, info, tol = random_field(rng)
        # Rows repeated by a zero step now and then: a base named by every
        # connected row, or one crop row's point many times over.
        if connected.shape[0] > 1 and rng.random() < 0.1:
            connected = broadcast_rows(connected)
        if points.shape[0] > 1 and rng.random() < 0.1:
            points = broadcast_rows(points)
        elif rng.random() < 0.05:  # every column the same, by a column step of zero
            points = np.broadcast_to(points[:, :1], points.shape)
        threads = int(rng.choice([1, 1, 2, 3]))
        # Each table in its own layout, read as it lies.
        given = [t if 0 in t.strides else in_layout(t, int(rng.integers(0, LAYOUTS)))
                 for t in (connected, points, info)]
        try:
            blocks = model.merge(connected, points, info, tol)
        except model.ModelAbort as abort:
            with pytest.raises(panic_type) as got:
                merge(*given, tol, threads)
            assert str(got.value) == str(abort), (seed, case)
            continue
        result = merge(*given, tol, threads)
        assert result.shape[1] == points.shape[1]
        if threads == 1:
            expected = np.concatenate(blocks) if blocks else np.empty((0, points.shape[1]))
            np.testing.assert_array_equal(result, expected, err_msg=f"seed {seed} case {case}")
        else:
            assert split_into_blocks(result, blocks), (seed, case)
