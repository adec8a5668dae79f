"""Synthetic crop-row fields for the demo, the tests and the benchmarks.

A field is a set of parallel, gently curved crop rows, laid at an angle to the
map axes as they usually are in survey coordinates.  A detector is imagined
to have found every crop row as a few segments whose ends overlap; each
segment becomes one crop row of the input tables (key 1 = field row,
key 2 = segment), with noisy points carrying two extra measurements and one
connected crop row that links the segment to its neighbours.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

__all__ = ["Field", "make_field", "POINT_COLUMNS", "CONNECTED_COLUMNS", "ROW_INFORMATION_COLUMNS"]

POINT_COLUMNS = ("row", "segment", "x", "y", "ndvi", "confidence")
CONNECTED_COLUMNS = ("connected_id", "row", "segment",
                     "link1_row", "link1_segment", "link2_row", "link2_segment",
                     "link3_row", "link3_segment", "link4_row", "link4_segment")
ROW_INFORMATION_COLUMNS = ("row", "points", "length", "mean_ndvi", "segment",
                           "p0_x", "p0_y", "p1_x", "p1_y", "p2_x", "p2_y")

# Vertices of each segment's centre line in `Field.segment_lines`.
_LINE_VERTICES = 17


@dataclass(frozen=True)
class Field:
    """The three input tables of one synthetic field.

    Attributes
    ----------
    connected_crop_rows : numpy.ndarray
        One row per segment: a free id, the segment's key, the keys of its
        neighbours on the same field row, then NaN (11 columns).
    points_in_rows : numpy.ndarray
        One row per detected point: key 1, key 2, x, y, NDVI, confidence.
    row_information : numpy.ndarray
        One record per segment (11 columns): key 1, three free columns (point
        count, length, mean NDVI), key 2, then the segment's start, end and
        middle on its fitted centre line.
    tolerance : float
        A tolerance suited to the field's noise, in metres.
    segment_lines : numpy.ndarray or None
        Every segment's fitted centre line as a polyline, one per record:
        shape (segments, vertices, 2).  The first and last vertices are the
        record's start and end exactly.
    """

    connected_crop_rows: np.ndarray
    points_in_rows: np.ndarray
    row_information: np.ndarray
    tolerance: float
    segment_lines: np.ndarray | None = None


def make_field(rows: int = 8, *, segments: int = 3, points_per_segment: int = 150,
               row_length: float = 24.0, row_spacing: float = 0.75, angle_deg: float = 28.0,
               overlap: tuple[float, float] = (1.2, 2.4), noise: float = 0.03,
               seed: int = 0) -> Field:
    """Generates a synthetic field.

    Parameters
    ----------
    rows : int
        Number of field rows (each detected as `segments` segments).
    segments : int
        Segments per field row; consecutive segments overlap.
    points_per_segment : int
        Detected points per segment.
    row_length : float
        Length of every field row, in metres.
    row_spacing : float
        Distance between neighbouring rows, in metres.
    angle_deg : float
        Direction of the rows against the x axis, in degrees.
    overlap : (float, float)
        Range of the length by which a segment runs past the nominal split
        point into its neighbour, in metres.
    noise : float
        Standard deviation of the points' scatter across the row, in metres.
    seed : int
        Seed of the random generator; the same seed gives the same field.

    Returns
    -------
    Field
    """
    if rows < 0 or segments < 1 or points_per_segment < 1:
        raise ValueError("rows must be >= 0, segments and points_per_segment >= 1")
    rng = np.random.default_rng(seed)
    n_seg = rows * segments
    theta = math.radians(angle_deg)
    direction = np.array([math.cos(theta), math.sin(theta)])
    normal = np.array([-math.sin(theta), math.cos(theta)])
    # Each row bends gently: a long sine across the row with its own phase.
    wavelength = 2.5 * row_length
    amplitude = rng.uniform(0.1, 0.3, rows)
    phase = rng.uniform(0.0, 2.0 * math.pi, rows)

    def centre(row_idx: np.ndarray, s: np.ndarray) -> np.ndarray:
        across = row_idx * row_spacing + amplitude[row_idx] * np.sin(2.0 * math.pi * s / wavelength + phase[row_idx])
        return s[:, None] * direction + across[:, None] * normal

    # Segment extents along the row: nominal splits, pushed past by the overlap.
    row_of_seg = np.repeat(np.arange(rows), segments)
    seg_of_seg = np.tile(np.arange(segments), rows)
    nominal = row_length / segments
    start = seg_of_seg * nominal - np.where(seg_of_seg > 0, rng.uniform(*overlap, n_seg) / 2, 0.0)
    end = (seg_of_seg + 1) * nominal + np.where(seg_of_seg < segments - 1, rng.uniform(*overlap, n_seg) / 2, 0.0)

    # Points: uniform along each segment, scattered across it.
    m = points_per_segment
    pt_seg = np.repeat(np.arange(n_seg), m)
    s = start[pt_seg] + rng.random(n_seg * m) * (end - start)[pt_seg]
    xy = centre(row_of_seg[pt_seg], s) + rng.normal(0.0, noise, n_seg * m)[:, None] * normal
    ndvi = np.clip(rng.normal(0.62, 0.08, n_seg * m), 0.0, 1.0)
    confidence = np.round(rng.beta(8.0, 2.0, n_seg * m), 3)
    points = np.column_stack([row_of_seg[pt_seg] + 1.0, seg_of_seg[pt_seg] + 1.0, xy, ndvi, confidence])

    # Records: start, end and middle of every segment's centre line.
    p0 = centre(row_of_seg, start)
    p1 = centre(row_of_seg, end)
    p2 = centre(row_of_seg, (start + end) / 2)
    # Centre lines as polylines (no random draws: the tables above do not
    # change with the vertex count).
    along = np.linspace(start, end, _LINE_VERTICES, axis=1)
    lines = centre(np.repeat(row_of_seg, _LINE_VERTICES), along.ravel()).reshape(n_seg, _LINE_VERTICES, 2)
    mean_ndvi = np.bincount(pt_seg, weights=ndvi, minlength=n_seg) / m
    info = np.column_stack([row_of_seg + 1.0, np.full(n_seg, float(m)), end - start, mean_ndvi,
                            seg_of_seg + 1.0, p0, p1, p2])

    # Connected rows: every segment is a base once, linked to the segments
    # before and after it on its field row; NaN ends the list of links.
    connected = np.full((n_seg, 11), np.nan)
    connected[:, 0] = np.arange(n_seg)
    connected[:, 1] = row_of_seg + 1.0
    connected[:, 2] = seg_of_seg + 1.0
    for idx in range(n_seg):
        col = 3
        for neighbour in (seg_of_seg[idx] - 1, seg_of_seg[idx] + 1):
            if 0 <= neighbour < segments:
                connected[idx, col] = row_of_seg[idx] + 1.0
                connected[idx, col + 1] = neighbour + 1.0
                col += 2
    return Field(connected, points, info, tolerance=max(noise, 0.01), segment_lines=lines)
