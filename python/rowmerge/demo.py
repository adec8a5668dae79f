"""`rowmerge demo`: a synthetic field merged, written out and plotted."""

from __future__ import annotations

import os
import sys
import time

import numpy as np

from .field import CONNECTED_COLUMNS, POINT_COLUMNS, ROW_INFORMATION_COLUMNS, make_field
from .summary import summary_line
from .tables import TableError, write_table

__all__ = ["run_demo", "removed_mask", "field_geoframes", "DEMO_FILES", "DEMO_GEOPACKAGE", "DEMO_CRS"]

DEMO_FILES = {
    "connected": "connected_crop_rows.csv",
    "points": "points_in_rows.csv",
    "rows": "row_information.csv",
    "merged": "merged_points.csv",
    "plot": "demo.png",
}
# `demo --geo`: the field as one GeoPackage with the layers points, segments
# and merged, placed in farmland of UTM zone 33N (the field's x and y are
# metres already, so they are only moved).
DEMO_GEOPACKAGE = "field.gpkg"
DEMO_CRS = "EPSG:32633"
DEMO_ORIGIN = (533_000.0, 5_340_000.0)


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


def field_geoframes(field, crs: str = DEMO_CRS, origin: tuple[float, float] = DEMO_ORIGIN):
    """A synthetic field as GeoDataFrames (needs rowmerge[geo]): the points
    and the segments' centre lines, moved by `origin` and set in `crs`.

    Returns
    -------
    (points, segments) : geopandas.GeoDataFrame
        points: row, segment (the key), ndvi, confidence and a Point each;
        segments: row, segment, points (the count), length (metres),
        mean_ndvi and a LineString each.
    """
    import geopandas
    import shapely

    pts, info = field.points_in_rows, field.row_information
    east, north = origin
    points = geopandas.GeoDataFrame(
        {"row": pts[:, 0].astype(np.int64), "segment": pts[:, 1].astype(np.int64),
         "ndvi": pts[:, 4], "confidence": pts[:, 5]},
        geometry=shapely.points(pts[:, 2] + east, pts[:, 3] + north), crs=crs)
    lines = field.segment_lines + np.array([east, north])
    segments = geopandas.GeoDataFrame(
        {"row": info[:, 0].astype(np.int64), "segment": info[:, 4].astype(np.int64),
         "points": info[:, 1].astype(np.int64), "length": info[:, 2], "mean_ndvi": info[:, 3]},
        geometry=shapely.linestrings(lines), crs=crs)
    return points, segments


def _write_geopackage(field, path: str) -> None:
    from ._geo_files import write_geofile
    from .geo import merge_geoframe

    points, segments = field_geoframes(field)
    merged = merge_geoframe(points, segments, key1="row", key2="segment", tolerance=field.tolerance)
    write_geofile(path, [("points", points), ("segments", segments), ("merged", merged)], overwrite=True)


def run_demo(rows: int = 8, seed: int = 0, out_dir: str = "rowmerge-demo", quiet: bool = False,
             geo: bool = False) -> int:
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
    geo : bool
        Also write the field and the merged points as a GeoPackage
        (`DEMO_GEOPACKAGE`, in `DEMO_CRS`; needs rowmerge[geo]).

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
    if geo:
        _write_geopackage(field, os.path.join(out_dir, DEMO_GEOPACKAGE))
    if not quiet:
        print(summary_line(field.connected_crop_rows.shape[0], field.points_in_rows.shape[0],
                           merged.shape[0], seconds), file=sys.stderr)
        print(f"rowmerge: wrote {', '.join(DEMO_FILES[k] for k in ('connected', 'points', 'rows', 'merged'))}"
              f" to {out_dir}", file=sys.stderr)
        if geo:
            print(f"rowmerge: wrote {DEMO_GEOPACKAGE} (layers points, segments, merged; {DEMO_CRS}) "
                  f"to {out_dir}", file=sys.stderr)
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
