"""The merge on GeoDataFrames: detected points and segment lines with a
coordinate reference system (needs ``pip install 'rowmerge[geo]'``).

`merge_geoframe` takes the points as Point geometries and the segments as
LineStrings, builds the three tables of the merge from them and returns the
surviving points as a GeoDataFrame like the one given.  `rows_from_lines` and
`link_segments` build the record table and the table of links on their own,
for callers who run the merge on arrays.

Keys.  A segment is named by two key columns, present in both frames: key 1
(the field row) and key 2 (the segment along it).  The merge compares keys as
whole numbers in some places and exactly as stored in others, so only whole
numbers from 1 to 4294967294 name a segment the same way everywhere; these
functions refuse every other value (a fraction, 0, a negative number, a
missing value, 4294967295 or more), naming the column and the first row that
holds it.  Key columns may have any integer dtype (pandas' nullable ones
included, as long as no value is missing) or a float dtype holding whole
numbers.  Ids of other kinds (strings, say) have to be mapped to such numbers
first, for example with ``pandas.factorize(ids)[0] + 1``.
"""

from __future__ import annotations

import re
from typing import Any, NoReturn

import numpy as np

_INSTALL_HINT = ("rowmerge.geo needs geopandas >= 1.0 and shapely >= 2; "
                 "install them with: pip install 'rowmerge[geo]'")


def _version(text: str) -> tuple[int, int]:
    found = re.match(r"(\d+)\.(\d+)", text)
    return (int(found[1]), int(found[2])) if found else (0, 0)


try:
    import geopandas
    import pandas as pd
    import shapely
except ImportError as e:
    raise ImportError(_INSTALL_HINT, name=getattr(e, "name", None)) from e
if _version(geopandas.__version__) < (1, 0) or _version(shapely.__version__) < (2, 0):
    raise ImportError(f"{_INSTALL_HINT} (found geopandas {geopandas.__version__}, "
                      f"shapely {shapely.__version__})")

from ._explain import KEY_MAX, number  # noqa: E402
from .errors import run_merge  # noqa: E402

__all__ = ["merge_geoframe", "rows_from_lines", "link_segments"]

# The largest key that every comparison of the merge tells apart from all others.
KEY_LIMIT = KEY_MAX - 1

_POINT = 0  # shapely's geometry type ids
_LINESTRING = 1
_TYPE_NAMES = {0: "Point", 1: "LineString", 2: "LinearRing", 3: "Polygon", 4: "MultiPoint",
               5: "MultiLineString", 6: "MultiPolygon", 7: "GeometryCollection"}


def _where(frame: "pd.DataFrame", position: int) -> str:
    """A row of `frame` as a user finds it: by position and, where the index
    is not simply the positions, by its index label."""
    index = frame.index
    if isinstance(index, pd.RangeIndex) and index.start == 0 and index.step == 1:
        return f"row {position}"
    label = index[position]
    if isinstance(label, np.generic):
        label = label.item()
    return f"row {position} (index label {label!r})"


def _frame(value: Any, role: str) -> "geopandas.GeoDataFrame":
    if not isinstance(value, geopandas.GeoDataFrame):
        raise TypeError(f"{role} must be a geopandas GeoDataFrame, not {type(value).__name__}")
    if value.active_geometry_name is None:
        raise ValueError(f"{role} has no active geometry column (set one with {role}.set_geometry(...))")
    return value


def _column(frame: "pd.DataFrame", column: Any, role: str) -> "pd.Series":
    if column not in frame.columns:
        shown = ", ".join(repr(c) for c in list(frame.columns)[:12])
        raise ValueError(f"{role} has no column {column!r} (its columns: {shown})")
    series = frame[column]
    if isinstance(series, pd.DataFrame):
        raise ValueError(f"{role} has {series.shape[1]} columns named {column!r}; a key needs exactly one")
    return series


def _keys(frame: "pd.DataFrame", column: Any, role: str) -> np.ndarray:
    """The values of a key column as float64, every one a whole number from
    1 to KEY_LIMIT; anything else is refused, naming the first row."""
    series = _column(frame, column, role)
    dtype = series.dtype
    numeric = pd.api.types.is_integer_dtype(dtype) or pd.api.types.is_float_dtype(dtype)
    if not numeric or pd.api.types.is_bool_dtype(dtype):
        raise TypeError(f"{role}: key column {column!r} has data type {dtype}; keys must be whole "
                        f"numbers from 1 to {KEY_LIMIT} (map other ids to such numbers first, "
                        "for example with pandas.factorize)")
    values = series.to_numpy(dtype=np.float64, na_value=np.nan)
    with np.errstate(invalid="ignore"):
        good = (values >= 1.0) & (values <= float(KEY_LIMIT)) & (values == np.trunc(values))
    bad = np.flatnonzero(~good)
    if bad.size:
        position = int(bad[0])
        value = series.iloc[position]
        if pd.isna(value):
            shown = "a missing value"
        elif isinstance(value, (int, np.integer)):
            shown = str(int(value))
        else:
            shown = number(float(value))
        raise ValueError(f"{role}: key column {column!r} holds {shown} at {_where(frame, position)}; "
                         f"keys must be whole numbers from 1 to {KEY_LIMIT}")
    return values


def _segment_keys(segments: "pd.DataFrame", key1: Any, key2: Any) -> tuple[np.ndarray, np.ndarray]:
    """Key 1 and key 2 of every segment, checked, and refused when two
    segments share a key (the merge would use the first one's record for both)."""
    k1 = _keys(segments, key1, "segments")
    k2 = _keys(segments, key2, "segments")
    if len(k1) > 1:
        pairs = (k1.astype(np.uint64) << np.uint64(32)) | k2.astype(np.uint64)
        order = np.argsort(pairs, kind="stable")
        repeats = np.flatnonzero(pairs[order][1:] == pairs[order][:-1])
        if repeats.size:
            # The lowest row whose key an earlier row already has.
            later = order[repeats + 1]
            second = int(later.min())
            first = int(np.flatnonzero(pairs == pairs[second])[0])
            raise ValueError(
                f"segments: {_where(segments, first)} and {_where(segments, second)} have the same key "
                f"({number(k1[second])}, {number(k2[second])}) in columns {key1!r} and {key2!r}; "
                "every segment needs a key of its own")
    return k1, k2


def _refuse_geometry(frame: "geopandas.GeoDataFrame", role: str, position: int, wanted: int) -> NoReturn:
    """Raises the ValueError that says what is wrong with the geometry at
    `position`, which is not a usable geometry of the wanted type."""
    geometry = frame.geometry.array[position]
    what = _TYPE_NAMES[wanted]
    where = f"{role}: {_where(frame, position)}"
    if geometry is None:
        raise ValueError(f"{where} has no geometry; every row needs a {what}")
    kind = int(shapely.get_type_id(geometry))
    if kind != wanted:
        raise ValueError(f"{where} holds a {_TYPE_NAMES.get(kind, 'geometry')}; "
                         f"every geometry must be a {what}")
    if geometry.is_empty:
        raise ValueError(f"{where} holds an empty {what}")
    raise ValueError(f"{where} holds a {what} with a NaN coordinate")


def _point_xy(points: "geopandas.GeoDataFrame") -> tuple[np.ndarray, np.ndarray]:
    """x and y of every point.

    Missing geometries and those that are not Points have no x and y (NaN),
    and GEOS refuses those of an empty Point, so reading them is the whole
    check when all is well; only then are the types looked at."""
    geometries = np.asarray(points.geometry.array, dtype=object)
    try:
        x = shapely.get_x(geometries)
        y = shapely.get_y(geometries)
        if not (np.isnan(x).any() or np.isnan(y).any()):
            return x, y
    except shapely.errors.GEOSException:
        pass
    bad = (shapely.get_type_id(geometries) != _POINT) | shapely.is_empty(geometries)
    usable = np.flatnonzero(~bad)
    bad[usable] = np.isnan(shapely.get_x(geometries[usable])) | np.isnan(shapely.get_y(geometries[usable]))
    _refuse_geometry(points, "points", int(np.flatnonzero(bad)[0]), _POINT)


def _lines(segments: "geopandas.GeoDataFrame") -> np.ndarray:
    """The segments' geometries, every one a LineString that is not empty."""
    lines = np.asarray(segments.geometry.array, dtype=object)
    bad = np.flatnonzero((shapely.get_type_id(lines) != _LINESTRING) | shapely.is_empty(lines))
    if bad.size:
        _refuse_geometry(segments, "segments", int(bad[0]), _LINESTRING)
    return lines


def _records(segments: "geopandas.GeoDataFrame", lines: np.ndarray, k1: np.ndarray,
             k2: np.ndarray) -> np.ndarray:
    info = np.full((len(lines), 11), np.nan)
    info[:, 0] = k1
    info[:, 4] = k2
    info[:, 5:7] = shapely.get_coordinates(shapely.get_point(lines, 0))
    info[:, 7:9] = shapely.get_coordinates(shapely.get_point(lines, -1))
    info[:, 9:11] = shapely.get_coordinates(shapely.line_interpolate_point(lines, 0.5, normalized=True))
    nan = np.isnan(info[:, 5:11]).any(axis=1)
    if nan.any():
        _refuse_geometry(segments, "segments", int(np.flatnonzero(nan)[0]), _LINESTRING)
    return info


def rows_from_lines(segments: "geopandas.GeoDataFrame", key1: Any, key2: Any) -> np.ndarray:
    """The ``row_information`` table of a GeoDataFrame of segment lines.

    Parameters
    ----------
    segments : geopandas.GeoDataFrame
        One LineString per detected segment.
    key1, key2 : column labels
        The columns holding each segment's key 1 (its field row) and key 2
        (its place along the row): whole numbers from 1 to 4294967294 (see
        the module's documentation), one key per segment.

    Returns
    -------
    numpy.ndarray
        float64, one record of 11 columns per segment in the frame's order:
        key 1 in column 0, key 2 in column 4, the line's first vertex (P0)
        in columns 5 and 6, its last vertex (P1) in 7 and 8, and the point
        halfway along it (P2) in 9 and 10; columns 1 to 3 are NaN.  The
        coordinates are the geometries' x and y as they are (no
        reprojection).

    Raises
    ------
    TypeError
        `segments` is not a GeoDataFrame, or a key column is not numeric.
    ValueError
        A key column is missing or holds a value that is not a key, two
        segments have the same key, or a geometry is missing, empty, not a
        LineString or has a NaN coordinate (the message names the first
        such row).
    """
    segments = _frame(segments, "segments")
    k1, k2 = _segment_keys(segments, key1, key2)
    return _records(segments, _lines(segments), k1, k2)


def _ranks(segments: "pd.DataFrame", order: Any) -> np.ndarray:
    series = _column(segments, order, "segments")
    codes, _ = pd.factorize(series, sort=True)
    missing = np.flatnonzero(codes < 0)
    if missing.size:
        raise ValueError(f"segments: order column {order!r} has a missing value at "
                         f"{_where(segments, int(missing[0]))}")
    return codes


def _links(segments: "pd.DataFrame", k1: np.ndarray, k2: np.ndarray, order: Any) -> np.ndarray:
    n = len(k1)
    ranks = k2 if order is None else _ranks(segments, order)
    along = np.lexsort((ranks, k1))  # by field row, then along it
    same_row = k1[along][1:] == k1[along][:-1]
    if order is not None:
        ties = np.flatnonzero(same_row & (ranks[along][1:] == ranks[along][:-1]))
        if ties.size:
            a, b = sorted((int(along[ties[0]]), int(along[ties[0] + 1])))
            raise ValueError(f"segments: {_where(segments, a)} and {_where(segments, b)} of field row "
                             f"{number(k1[a])} have the same value in order column {order!r}; "
                             "the order along a field row must be unambiguous")
    before = np.full(n, -1, dtype=np.intp)
    after = np.full(n, -1, dtype=np.intp)
    linked = np.flatnonzero(same_row)
    before[along[linked + 1]] = along[linked]
    after[along[linked]] = along[linked + 1]

    table = np.full((n, 11), np.nan)
    table[:, 0] = np.arange(n)
    table[:, 1] = k1
    table[:, 2] = k2
    has_before = before >= 0
    table[has_before, 3] = k1[before[has_before]]
    table[has_before, 4] = k2[before[has_before]]
    rows = np.flatnonzero(after >= 0)
    column = np.where(has_before[rows], 5, 3)
    table[rows, column] = k1[after[rows]]
    table[rows, column + 1] = k2[after[rows]]
    return table


def link_segments(segments: "geopandas.GeoDataFrame", key1: Any, key2: Any,
                  order: Any = None) -> np.ndarray:
    """The ``connected_crop_rows`` table that links every segment to its
    neighbours on its field row.

    Segments with the same key 1 lie on one field row.  Along a row they are
    ordered by key 2, or by the column `order` when it is given (a distance
    along the row, a detection time: any column whose values sort).  A
    segment's neighbours are the segment just before it and the one just
    after it in that order, whatever the gap between their key 2 values:
    with keys 1, 2 and 5 on a row, 2 and 5 are neighbours.

    Parameters
    ----------
    segments : geopandas.GeoDataFrame or pandas.DataFrame
        One row per segment; only the key columns (and `order`) are read.
    key1, key2 : column labels
        The key columns: whole numbers from 1 to 4294967294, one key per
        segment (see the module's documentation).
    order : column label, optional
        The column that orders the segments along a field row; its values
        must differ within a row and none may be missing.

    Returns
    -------
    numpy.ndarray
        float64, 11 columns, one line per segment in the frame's order:
        column 0 the segment's position in the frame, columns 1 and 2 its
        key, then the key of the neighbour before it and of the one after
        it (a first or last segment has only one; a segment alone on its row
        none), the list ended by NaN.  Every segment is a base exactly once,
        so each keeps its own points, with the overlap at both ends removed.

    Raises
    ------
    TypeError
        A key column is not numeric.
    ValueError
        A key column or `order` is missing or holds a value it may not, or
        two segments have the same key (the message names the rows).
    """
    if not isinstance(segments, pd.DataFrame):
        raise TypeError(f"segments must be a GeoDataFrame or DataFrame, not {type(segments).__name__}")
    k1, k2 = _segment_keys(segments, key1, key2)
    return _links(segments, k1, k2, order)


def crs_name(crs) -> str:
    epsg = crs.to_epsg()
    return f"{crs.name} (EPSG:{epsg})" if epsg is not None else crs.name


def geographic_crs(points: "geopandas.GeoDataFrame", segments: "geopandas.GeoDataFrame"):
    """Which frame's geographic CRS the merge would work in, as ("points",
    crs) or ("segments", crs); None when the CRS is projected or missing.

    The merge works in the points' CRS, or in the segments' when the points
    have none."""
    role, crs = ("points", points.crs) if points.crs is not None else ("segments", segments.crs)
    return (role, crs) if crs is not None and crs.is_geographic else None


def _common_crs(points: "geopandas.GeoDataFrame", segments: "geopandas.GeoDataFrame",
                allow_geographic: bool) -> "geopandas.GeoDataFrame":
    """The segments in the points' CRS, after checking that the CRS the
    merge works in measures distances in linear units."""
    geographic = geographic_crs(points, segments)
    if geographic is not None and not allow_geographic:
        role, crs = geographic
        raise ValueError(
            f"{role} are in the geographic coordinate reference system {crs_name(crs)}, whose "
            "coordinates are degrees, and tolerance would be taken in degrees too (0.03 degrees is "
            "about 3 km); reproject both frames to a projected CRS in metres first, for example "
            "crs = points.estimate_utm_crs(), then points.to_crs(crs) and segments.to_crs(crs), "
            "or pass allow_geographic=True")
    if points.crs is not None and segments.crs is not None and points.crs != segments.crs:
        segments = segments.to_crs(points.crs)
    return segments


def _tables(points: "geopandas.GeoDataFrame", segments: "geopandas.GeoDataFrame", key1: Any, key2: Any,
            links: Any, allow_geographic: bool) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Checks the frames and builds the merge's three tables: the links, the
    points (key 1, key 2, x, y and the row's position) and the records."""
    points = _frame(points, "points")
    segments = _frame(segments, "segments")
    p1 = _keys(points, key1, "points")
    p2 = _keys(points, key2, "points")
    k1, k2 = _segment_keys(segments, key1, key2)
    x, y = _point_xy(points)
    _lines(segments)
    segments = _common_crs(points, segments, allow_geographic)

    table = np.empty((len(points), 5))
    table[:, 0] = p1
    table[:, 1] = p2
    table[:, 2] = x
    table[:, 3] = y
    table[:, 4] = np.arange(len(points))
    del x, y
    info = _records(segments, np.asarray(segments.geometry.array, dtype=object), k1, k2)
    if links is None:
        connected = _links(segments, k1, k2, None)
    else:
        from .frame import _table
        connected = _table(pd, links, "links")
    return connected, table, info


def _survivors(points: "geopandas.GeoDataFrame", merged: np.ndarray) -> "geopandas.GeoDataFrame":
    return points.iloc[merged[:, 4].astype(np.intp)]


def merge_geoframe(points: "geopandas.GeoDataFrame", segments: "geopandas.GeoDataFrame", *, key1: Any,
                   key2: Any, tolerance: float, links: Any = None, allow_geographic: bool = False,
                   num_threads: int = 0) -> "geopandas.GeoDataFrame":
    """Merges detected crop-row segments held as GeoDataFrames.

    Parameters
    ----------
    points : geopandas.GeoDataFrame
        One Point per detected point, with the key of its segment in the
        columns `key1` and `key2`.  x and y are the geometry's; every other
        column is carried along untouched.
    segments : geopandas.GeoDataFrame
        One LineString per segment, with its key in the same two columns.
        Its first and last vertices are the segment's ends, the point
        halfway along it its middle (see `rows_from_lines`).
    key1, key2 : column labels
        The key columns: whole numbers from 1 to 4294967294, one key per
        segment (see the module's documentation).  Points whose key names no
        segment are not in the result.
    tolerance : float
        A distance in the units of the points' CRS (metres for UTM): it
        widens the part of a segment that is kept, and an overlap shorter
        than `tolerance` removes nothing.
    links : pandas.DataFrame or numpy.ndarray, optional
        The ``connected_crop_rows`` table, keyed by the same keys; by
        default ``link_segments(segments, key1, key2)``, which links every
        segment to its neighbours on its field row.
    allow_geographic : bool, default False
        Merge even when the coordinates are degrees of a geographic CRS.
    num_threads : int, default 0
        Worker threads; 0 lets the system choose.

    Returns
    -------
    geopandas.GeoDataFrame
        The surviving rows of `points`, unchanged: same columns, dtypes,
        index labels, geometry column and CRS.  The rows come in one block
        per line of the links (one per segment by default), in their order
        in `points` within a block; the order of the blocks depends on
        thread scheduling.  A point whose segment is the base of several
        lines of `links` appears once for each line that keeps it.

    Coordinate reference systems
    ----------------------------
    The merge works in the points' CRS: segments in another CRS are
    reprojected to it.  When either frame has no CRS, both are taken as they
    are.  A geographic CRS (degrees) is refused with ValueError unless
    `allow_geographic` is set: reproject first, for example to
    ``points.estimate_utm_crs()``.

    Raises
    ------
    ImportError
        geopandas or shapely is missing (at ``import rowmerge.geo``).
    TypeError
        `points` or `segments` is not a GeoDataFrame, or a key column is not
        numeric.
    ValueError
        A key column is missing or holds a value that is not a key, two
        segments have the same key, a geometry is missing, empty, of the
        wrong type or has a NaN coordinate, or the CRS is geographic (the
        message names the column, the first offending row or the CRS).
    rowmerge.MergeError
        The merge failed (for example a key in `links` without a segment);
        its `connected_row` is a line of `links`, which by default is the
        segment at that position of `segments`.

    Examples
    --------
    >>> import geopandas as gpd
    >>> from rowmerge.geo import merge_geoframe
    >>> points = gpd.read_file("field.gpkg", layer="points")      # doctest: +SKIP
    >>> segments = gpd.read_file("field.gpkg", layer="segments")  # doctest: +SKIP
    >>> merged = merge_geoframe(points, segments, key1="row", key2="segment",
    ...                         tolerance=0.03)                   # doctest: +SKIP
    """
    connected, table, info = _tables(points, segments, key1, key2, links, allow_geographic)
    merged = run_merge(connected, table, info, tolerance, num_threads)
    del table
    return _survivors(points, merged)
