"""Small tables with known answers, shared by the tests."""

from __future__ import annotations

import numpy as np

NAN = np.nan


def record(key1: float, key2: float, p0, p1, p2) -> list[float]:
    return [key1, 0.0, 0.0, 0.0, key2, *p0, *p1, *p2]


def diagonal():
    """Base crop row (1, 1) linked to crop row (2, 1); tolerance 0.1."""
    info = np.array([
        record(1, 1, (0, 0), (10, 10), (5, 5)),
        record(2, 1, (8, 9), (20, 21), (14, 15)),
    ])
    connected = np.array([[0, 1, 1, 2, 1, NAN]], dtype=float)
    points = np.array([
        [1, 1, 5, 5], [1, 1, 9.3, 9.3], [1, 1, 10.2, 10.2],
        [1, 1, 9.5, 9.5], [1, 1, 10.05, 10.05], [1, 1, 9.3, 9.5],
    ], dtype=float)
    survivors = points[[0, 1, 2]]
    return connected, points, info, 0.1, survivors


def axis_parallel():
    info = np.array([
        record(1, 1, (0, 0), (10, 0), (5, 0)),
        record(2, 1, (9, 1), (20, 1), (15, 1)),
    ])
    connected = np.array([[0, 1, 1, 2, 1, NAN]], dtype=float)
    points = np.array([[1, 1, 9.6, 0], [1, 1, 3, 0], [1, 1, 9.95, 0], [1, 1, 9, 0], [1, 1, 9, 0.5]], dtype=float)
    survivors = points[[0, 2, 4]]
    return connected, points, info, 0.1, survivors
