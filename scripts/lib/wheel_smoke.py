"""Smoke test of an installed rowmerge wheel, run by the Python it went into.

usage: python -I wheel_smoke.py --write RESULT.npz --model-dir tests/python
           on the host: the demo field's merge must equal the literal model's;
           the field and the result are written to RESULT.npz;
       python -I wheel_smoke.py --expect RESULT.npz
           on a target: the merge of the host's field must give the host's
           result exactly.  (The target's own field may differ in the last
           bits: NumPy draws normal deviates through the C library's libm.)

Either way the package must come from the environment's site-packages (not a
checkout), and a merge on all threads must give the same rows as one on one
thread.
"""

from __future__ import annotations

import argparse
import os
import sys
import sysconfig
from importlib.machinery import EXTENSION_SUFFIXES

import numpy as np


TABLES = ("connected_crop_rows", "points_in_rows", "row_information")


def merge(tables: dict, num_threads: int):
    from rowmerge import merge_points_removing_overlap

    return merge_points_removing_overlap(*(tables[t] for t in TABLES), float(tables["tolerance"]), num_threads)


def row_multiset(rows: np.ndarray) -> list[bytes]:
    return sorted(row.tobytes() for row in rows)


def main() -> int:
    parser = argparse.ArgumentParser()
    group = parser.add_mutually_exclusive_group(required=True)
    group.add_argument("--write", metavar="RESULT.npy")
    group.add_argument("--expect", metavar="RESULT.npy")
    parser.add_argument("--model-dir", help="the directory of literal_model.py (with --write)")
    args = parser.parse_args()

    import rowmerge
    from rowmerge import _native

    site = sysconfig.get_paths()["platlib"]
    for module in (rowmerge, _native):
        if not os.path.realpath(module.__file__).startswith(os.path.realpath(site) + os.sep):
            sys.exit(f"{module.__name__} comes from {module.__file__}, not from {site}")
    if not any(_native.__file__.endswith(s) for s in EXTENSION_SUFFIXES):
        sys.exit(f"{_native.__file__} does not carry one of this Python's suffixes {EXTENSION_SUFFIXES}")

    from rowmerge.field import make_field

    field = make_field(8, seed=0)
    if args.write:
        tables = {t: getattr(field, t) for t in TABLES}
        tables["tolerance"] = np.float64(field.tolerance)
    else:
        with np.load(args.expect) as saved:
            tables = {name: saved[name] for name in saved.files}
    merged = merge(tables, 1)
    if row_multiset(merge(tables, 0)) != row_multiset(merged):
        sys.exit("the merge on all threads gives other rows than the merge on one thread")
    points = tables["points_in_rows"]
    if not 0 < len(merged) < len(points):
        sys.exit(f"the demo field's merge kept {len(merged)} of {len(points)} points")

    if args.write:
        sys.path.insert(0, args.model_dir)
        import literal_model

        blocks = literal_model.merge(*(tables[t] for t in TABLES), field.tolerance)
        expected = np.concatenate(blocks) if blocks else np.zeros((0, points.shape[1]))
        if merged.tobytes() != expected.tobytes() or merged.shape != expected.shape:
            sys.exit("the demo field's merge differs from the literal model's")
        np.savez(args.write, merged=merged, **tables)
    else:
        expected = tables["merged"]
        if merged.shape != expected.shape or merged.tobytes() != expected.tobytes():
            sys.exit(f"the merge of the host's demo field ({merged.shape}) differs from the host's ({expected.shape})")

    print(f"rowmerge {rowmerge.__version__} from {os.path.dirname(rowmerge.__file__)}: "
          f"{len(points)} points in, {len(merged)} out, as expected "
          f"(numpy {np.__version__}, {sysconfig.get_platform()})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
