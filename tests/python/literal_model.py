"""A plain, slow model of the merge, written for tests to compare against.

It follows the description of the tables and of the merge of one connected
crop row word by word, with no indexes and no cleverness: every lookup is a
scan, every point list a Python list.  `merge` returns the surviving point
rows as one block per connected crop row, in ascending order of the
connected rows, or raises `ModelAbort` with the fixed text of the failure of
the lowest failing connected row and that row's index.
"""

from __future__ import annotations

import math
from typing import Sequence

import numpy as np

OUT_OF_BOUNDS = "ndarray: index out of bounds"
NONE_UNWRAP = "called `Option::unwrap()` on a `None` value"
INCOMPATIBLE_SHAPES = (
    "called `Result::unwrap()` on an `Err` value: ShapeError/IncompatibleShape: incompatible shapes"
)

KEY_MAX = 4294967295


class ModelAbort(Exception):
    """A merge step failed with this text; `merge` sets `row` to the
    connected crop row that failed."""

    row: int | None = None


def key(value: float) -> int:
    """Saturating conversion of a float64 identifier to an unsigned 32-bit key."""
    if math.isnan(value) or value < 1.0:
        return 0
    if value >= float(KEY_MAX):
        return KEY_MAX
    return int(value)  # truncation toward zero


def _get(table: np.ndarray, row: int, col: int) -> float:
    rows, cols = table.shape
    if row >= rows or col >= cols:
        raise ModelAbort(OUT_OF_BOUNDS)
    return float(table[row, col])


def _cell(point: Sequence[float], col: int) -> float:
    if col >= len(point):
        raise ModelAbort(OUT_OF_BOUNDS)
    return point[col]


def _reference_points(info: np.ndarray, row: int) -> list[tuple[float, float]]:
    """Columns 5 and on of a record read as a 3 x 2 block; only six values fit."""
    values = [_get(info, row, c) for c in range(5, info.shape[1])]
    if len(values) != 6:
        raise ModelAbort(INCOMPATIBLE_SHAPES)
    return [(values[0], values[1]), (values[2], values[3]), (values[4], values[5])]


def cut_and_near(a: list[tuple[float, float]], b: list[tuple[float, float]]):
    """The cut point on base crop row `a` where linked crop row `b` meets it, and a's near end.

    `a` and `b` are the three reference points of each.  (The NumPy merge of
    the benchmarks uses this too.)
    """
    best, bi, bj = 0.0, 0, 0
    for i in range(3):
        for j in range(3):
            dy = a[i][1] - b[j][1]
            dx = a[i][0] - b[j][0]
            d = math.sqrt(dy * dy + dx * dx)
            if d > best:
                best, bi, bj = d, i, j
    far = a[bi]
    near = a[1] if bi == 0 else a[0]
    linked_near = b[1] if bj == 0 else b[0]
    jx = (near[0] + linked_near[0]) * 0.5
    jy = (near[1] + linked_near[1]) * 0.5
    ux, uy = far[0] - near[0], far[1] - near[1]
    wx, wy = jx - near[0], jy - near[1]
    t = _divide(0.0 + wx * ux + wy * uy, 0.0 + ux * ux + uy * uy)
    cut = (near[0] + t * ux, near[1] + t * uy)
    return cut, near


def _divide(numerator: float, denominator: float) -> float:
    """IEEE division (Python's own refuses to divide by zero)."""
    with np.errstate(all="ignore"):
        return float(np.float64(numerator) / np.float64(denominator))


def _keeps(x: float, y: float, cut, near, tol: float) -> bool:
    cx, cy = cut
    nx, ny = near
    d = math.sqrt((cx - nx) * (cx - nx) + (cy - ny) * (cy - ny))
    if d < tol:
        return not math.isnan(x) and not math.isnan(y)
    if cx < nx and cy < ny:
        return (x <= cx + tol and y <= cy + tol) or (x >= nx + tol and y >= ny + tol)
    if cx < nx and cy > ny:
        return (x <= cx + tol and y >= cy - tol) or (x >= nx + tol and y <= ny - tol)
    if cx > nx and cy > ny:
        return (x >= cx - tol and y >= cy - tol) or (x <= nx - tol and y <= ny - tol)
    return (x >= cx - tol and y <= cy + tol) or (x <= nx - tol and y >= ny + tol)


def merge_step(connected: np.ndarray, points: np.ndarray, info: np.ndarray, tol: float, row_id: int) -> list[int]:
    """Row indices of `points` that survive for connected crop row `row_id`."""
    key1 = key(_get(connected, row_id, 1))
    key2 = key(_get(connected, row_id, 2))

    selected = []
    for r in range(points.shape[0]):
        if key(_get(points, r, 0)) == key1 and key(_get(points, r, 1)) == key2:
            selected.append(r)
    point_list = [(r, [float(v) for v in points[r]]) for r in selected]

    base = None
    for r in range(info.shape[0]):
        if key(_get(info, r, 0)) == key1 and key(_get(info, r, 4)) == key2:
            base = r
            break
    if base is None:
        raise ModelAbort(NONE_UNWRAP)

    for k in range(4):
        a = _get(connected, row_id, 2 * k + 3)
        if math.isnan(a):
            break
        b = _get(connected, row_id, 2 * k + 4)
        linked = None
        for r in range(info.shape[0]):
            if _get(info, r, 0) == a and _get(info, r, 4) == b:
                linked = r
                break
        if linked is None:
            raise ModelAbort(NONE_UNWRAP)
        cut, near = cut_and_near(_reference_points(info, base), _reference_points(info, linked))
        point_list = [(r, p) for r, p in point_list if _keeps(_cell(p, 2), _cell(p, 3), cut, near, tol)]
    return [r for r, _ in point_list]


def merge(connected: np.ndarray, points: np.ndarray, info: np.ndarray, tol: float) -> list[np.ndarray]:
    """One block of surviving point rows per connected crop row, in row order."""
    blocks = []
    for row_id in range(connected.shape[0]):
        try:
            rows = merge_step(connected, points, info, tol, row_id)
        except ModelAbort as abort:
            abort.row = row_id
            raise
        blocks.append(points[rows].reshape(len(rows), points.shape[1]))
    return blocks
