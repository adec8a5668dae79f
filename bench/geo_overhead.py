#!/usr/bin/env python3
"""What merging GeoDataFrames costs beyond the merge itself.

For synthetic fields of two sizes, measured in one process and interleaved:

  plain   merge_points_removing_overlap on the tables that merge_geoframe
          builds (key 1, key 2, x, y and a position column; the records and
          links of the segments), built beforehand
  geo     merge_geoframe on the points and segments as GeoDataFrames: the
          checks, the tables, the merge and the result frame

The table gives the median of the repeats and the ratio geo / plain.  Both
use 2 worker threads.  Needs rowmerge[geo].

Usage: python bench/geo_overhead.py [--repeats 5]
"""

from __future__ import annotations

import argparse
import statistics
import time

import numpy as np

from rowmerge import merge_points_removing_overlap
from rowmerge.demo import field_geoframes
from rowmerge.field import make_field
from rowmerge.geo import link_segments, merge_geoframe, rows_from_lines

SIZES = {"200k": (40, 5, 1000), "1M": (200, 5, 1000)}  # field rows, segments, points per segment
TOLERANCE = 0.03
THREADS = 2


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    print(f"{'points':>8} {'plain s':>9} {'geo s':>9} {'geo/plain':>10}")
    for name, (rows, segments, per_segment) in SIZES.items():
        field = make_field(rows, segments=segments, points_per_segment=per_segment, seed=1)
        points, lines = field_geoframes(field)
        table = np.column_stack([points["row"], points["segment"], points.geometry.x, points.geometry.y,
                                 np.arange(len(points))]).astype(np.float64)
        links = link_segments(lines, "row", "segment")
        records = rows_from_lines(lines, "row", "segment")

        def plain():
            return len(merge_points_removing_overlap(links, table, records, TOLERANCE, THREADS))

        def geo():
            return len(merge_geoframe(points, lines, key1="row", key2="segment", tolerance=TOLERANCE,
                                      num_threads=THREADS))

        assert plain() == geo()
        times: dict[str, list[float]] = {"plain": [], "geo": []}
        for _ in range(args.repeats):
            for label, run in (("plain", plain), ("geo", geo)):
                started = time.perf_counter()
                run()
                times[label].append(time.perf_counter() - started)
        p, g = statistics.median(times["plain"]), statistics.median(times["geo"])
        print(f"{name:>8} {p:9.4f} {g:9.4f} {g / p:10.2f}")


if __name__ == "__main__":
    main()
