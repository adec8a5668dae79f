"""The merge written with NumPy as a capable user would: points grouped by key
once, then one boolean mask per connected crop row and link.

It gives the same rows as rowmerge (blocks in ascending connected-row order)
for well-formed tables; malformed ones raise ValueError instead of the
module's messages.
"""

from __future__ import annotations

import math
import os
import sys

import numpy as np

# The geometry of one link is the literal model's of the tests, as the
# literal C++ merge of the benchmarks is the test suite's; the grouping and
# the masks are this baseline's own.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests", "python"))
from literal_model import cut_and_near  # noqa: E402

U32_MAX = 4294967295


def convert_keys(values: np.ndarray) -> np.ndarray:
    """Float64 identifiers to unsigned 32-bit keys, saturating (NaN and < 1 give 0)."""
    with np.errstate(invalid="ignore"):
        low = np.isnan(values) | (values < 1.0)
        high = values >= float(U32_MAX)
        safe = np.where(low | high, 0.0, values)
    out = np.trunc(safe).astype(np.uint64)
    out[high] = U32_MAX
    return out


def _combined(k1: np.ndarray, k2: np.ndarray) -> np.ndarray:
    return (k1 << np.uint64(32)) | k2


class _PointGroups:
    def __init__(self, points: np.ndarray):
        keys = _combined(convert_keys(points[:, 0]), convert_keys(points[:, 1]))
        self.order = np.argsort(keys, kind="stable")
        sorted_keys = keys[self.order]
        self.unique, self.starts = np.unique(sorted_keys, return_index=True)
        self.ends = np.append(self.starts[1:], len(sorted_keys))

    def rows_of(self, key: int) -> np.ndarray:
        i = np.searchsorted(self.unique, np.uint64(key))
        if i < len(self.unique) and self.unique[i] == key:
            return self.order[self.starts[i]:self.ends[i]]
        return self.order[:0]


def _records(info: np.ndarray):
    base_keys = _combined(convert_keys(info[:, 0]), convert_keys(info[:, 4]))
    uniq, first = np.unique(base_keys, return_index=True)
    by_base = dict(zip(uniq.tolist(), first.tolist()))
    by_exact = {}
    for i, (a, b) in enumerate(zip(info[:, 0].tolist(), info[:, 4].tolist())):
        if a == a and b == b and (a, b) not in by_exact:
            by_exact[(a, b)] = i
    return by_base, by_exact


def _keep(x: np.ndarray, y: np.ndarray, C, N, tol: float) -> np.ndarray:
    cx, cy = C
    nx, ny = N
    dx, dy = cx - nx, cy - ny
    if math.sqrt(dx * dx + dy * dy) < tol:
        return ~(np.isnan(x) | np.isnan(y))
    if cx < nx and cy < ny:
        return ((x <= cx + tol) & (y <= cy + tol)) | ((x >= nx + tol) & (y >= ny + tol))
    if cx < nx and cy > ny:
        return ((x <= cx + tol) & (y >= cy - tol)) | ((x >= nx + tol) & (y <= ny - tol))
    if cx > nx and cy > ny:
        return ((x >= cx - tol) & (y >= cy - tol)) | ((x <= nx - tol) & (y <= ny - tol))
    return ((x >= cx - tol) & (y <= cy + tol)) | ((x <= nx - tol) & (y >= ny + tol))


def numpy_merge(connected: np.ndarray, points: np.ndarray, info: np.ndarray, tolerance: float) -> np.ndarray:
    """The merge of every connected crop row, blocks in ascending order."""
    tol = float(tolerance)
    groups = _PointGroups(points)
    by_base, by_exact = _records(info)
    ref = info[:, 5:11].reshape(-1, 3, 2).tolist() if info.shape[1] == 11 else None
    base_k = _combined(convert_keys(connected[:, 1]), convert_keys(connected[:, 2])).tolist()
    ccols = connected.shape[1]
    blocks = []
    for r in range(connected.shape[0]):
        rows = groups.rows_of(base_k[r])
        base = by_base.get(base_k[r])
        if base is None:
            raise ValueError(f"connected row {r}: no record for its base crop row")
        x = points[rows, 2]
        y = points[rows, 3]
        keep = np.ones(len(rows), dtype=bool)
        for k in range(4):
            if 2 * k + 3 >= ccols:
                raise ValueError(f"connected row {r}: link list not ended by NaN")
            if math.isnan(connected[r, 2 * k + 3]):
                break
            if 2 * k + 4 >= ccols:
                raise ValueError(f"connected row {r}: link pair {k} has no key 2")
            a, b = float(connected[r, 2 * k + 3]), float(connected[r, 2 * k + 4])
            linked = by_exact.get((a, b))
            if linked is None or ref is None:
                raise ValueError(f"connected row {r}: no record for linked crop row ({a}, {b})")
            C, N = cut_and_near(ref[base], ref[linked])
            keep &= _keep(x, y, C, N, tol)
        blocks.append(rows[keep])
    if not blocks:
        return np.empty((0, points.shape[1]))
    return points[np.concatenate(blocks)]
