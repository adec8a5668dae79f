"""`rowmerge demo`: a synthetic field merged, written out and plotted."""

from __future__ import annotations

import os
import sys
import time

import numpy as np

from .field import CONNECTED_COLUMNS, POINT_COLUMNS, ROW_INFORMATION_COLUMNS, make_field
from .summary import summary_line
from .tables import TableError, write_table

__all__ = ["run_demo", "removed_mask", "DEMO_FILES"]

DEMO_FILES = {
    "connected": "connected_crop_rows.csv",
    "points": "points_in_rows.csv",
    "rows": "row_information.csv",
    "merged": "merged_points.csv",
    "plot": "demo.png",
}


def removed_mask(points: np.ndarray, merged: np.ndarray) -> np.ndarray:
    """Marks the rows of `points` that appear nowhere in `merged`.

    Rows are compared whole, by their bytes, so NaN cells compare equal to
    themselves here.
    """
    if points.shape[0] == 0:
        return np.zeros(0, dtype=bool)
    row_type = np.dtype((np.void, points.dtype.itemsize * points.shape[1]))
    keys = np.ascontiguousarray(points).view(row_type).ravel()
    kept = np.ascontiguousarray(merged, dtype=points.dtype).view(row_type).ravel()
    return ~np.isin(keys, kept)


def run_demo(rows: int = 8, seed: int = 0, out_dir: str = "rowmerge-demo", quiet: bool = False) -> int:
    """Generates a field, merges it, writes CSV files and a plot to `out_dir`.

    Parameters
    ----------
    rows : int
        Field rows to generate (each detected as three overlapping segments).
    seed : int
        Seed of the generator.
    out_dir : str
        Directory for the files; created when missing.  Files of an earlier
        demo there are replaced.
    quiet : bool
        Print nothing but errors.

    Returns
    -------
    int
        The exit status, 0.
    """
    from .errors import run_merge

    field = make_field(rows, seed=seed)
    try:
        os.makedirs(out_dir, exist_ok=True)
    except OSError as e:
        raise TableError(f"{out_dir}: cannot create the directory: {e.strerror or e}") from None

    def path(name: str) -> str:
        return os.path.join(out_dir, DEMO_FILES[name])

    write_table(path("connected"), field.connected_crop_rows, list(CONNECTED_COLUMNS), overwrite=True)
    write_table(path("points"), field.points_in_rows, list(POINT_COLUMNS), overwrite=True)
    write_table(path("rows"), field.row_information, list(ROW_INFORMATION_COLUMNS), overwrite=True)

    started = time.perf_counter()
    merged = run_merge(field.connected_crop_rows, field.points_in_rows, field.row_information,
                       field.tolerance, 0)
    seconds = time.perf_counter() - started
    write_table(path("merged"), merged, list(POINT_COLUMNS), overwrite=True)

    removed = removed_mask(field.points_in_rows, merged)
    plot_note = _plot(field, removed, path("plot"))
    if not quiet:
        print(summary_line(field.connected_crop_rows.shape[0], field.points_in_rows.shape[0],
                           merged.shape[0], seconds), file=sys.stderr)
        print(f"rowmerge: wrote {', '.join(DEMO_FILES[k] for k in ('connected', 'points', 'rows', 'merged'))}"
              f" to {out_dir}", file=sys.stderr)
    if not quiet or plot_note.startswith("plot skipped"):
        print(f"rowmerge: {plot_note}", file=sys.stderr)
    return 0


def _plot(field, removed: np.ndarray, png: str) -> str:
    try:
        from .plot import plot_field
    except ImportError as e:
        missing = (getattr(e, "name", None) or "matplotlib").partition(".")[0]  # the package to install
        return (f"plot skipped: {missing} is not installed "
                "(install it with: pip install 'rowmerge[plot]')")
    plot_field(field, removed, png)
    return f"plot written to {png}"
