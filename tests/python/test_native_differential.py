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
        threads = int(rng.choice([1, 1, 2, 3]))
        try:
            blocks = model.merge(connected, points, info, tol)
        except model.ModelAbort as abort:
            with pytest.raises(panic_type) as got:
                merge(connected, points, info, tol, threads)
            assert str(got.value) == str(abort), (seed, case)
            continue
        result = merge(connected, points, info, tol, threads)
        assert result.shape[1] == points.shape[1]
        if threads == 1:
            expected = np.concatenate(blocks) if blocks else np.empty((0, points.shape[1]))
            np.testing.assert_array_equal(result, expected, err_msg=f"seed {seed} case {case}")
        else:
            assert split_into_blocks(result, blocks), (seed, case)
