"""Smoke test of an installed rowmerge wheel, run by the Python it went into.

usage: python -I wheel_smoke.py --write RESULT.npy --model-dir tests/python
           on the host: the demo field's merge must equal the literal model's,
           and is written to RESULT.npy for the other targets;
       python -I wheel_smoke.py --expect RESULT.npy
           on a target: the same merge must give those bytes exactly.

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


def demo_merge(num_threads: int):
    from rowmerge import merge_points_removing_overlap
    from rowmerge.field import make_field

    field = make_field(8, seed=0)
    merged = merge_points_removing_overlap(field.connected_crop_rows, field.points_in_rows,
                                           field.row_information, field.tolerance, num_threads)
    return field, merged


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

    field, merged = demo_merge(1)
    _, threaded = demo_merge(0)
    if row_multiset(threaded) != row_multiset(merged):
        sys.exit("the merge on all threads gives other rows than the merge on one thread")
    if not 0 < len(merged) < len(field.points_in_rows):
        sys.exit(f"the demo field's merge kept {len(merged)} of {len(field.points_in_rows)} points")

    if args.write:
        sys.path.insert(0, args.model_dir)
        import literal_model

        blocks = literal_model.merge(field.connected_crop_rows, field.points_in_rows,
                                     field.row_information, field.tolerance)
        expected = np.concatenate(blocks) if blocks else np.zeros((0, field.points_in_rows.shape[1]))
        if merged.tobytes() != expected.tobytes() or merged.shape != expected.shape:
            sys.exit("the demo field's merge differs from the literal model's")
        np.save(args.write, merged)
    else:
        expected = np.load(args.expect)
        if merged.shape != expected.shape or merged.tobytes() != expected.tobytes():
            sys.exit(f"the demo field's merge ({merged.shape}) differs from the host's ({expected.shape})")

    print(f"rowmerge {rowmerge.__version__} from {os.path.dirname(rowmerge.__file__)}: "
          f"{len(field.points_in_rows)} points in, {len(merged)} out, as expected "
          f"(numpy {np.__version__}, {sysconfig.get_platform()})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
