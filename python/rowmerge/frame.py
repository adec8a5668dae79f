"""The merge on pandas DataFrames."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np

from ._fields import float_columns

if TYPE_CHECKING:  # pragma: no cover
    import pandas as pd

__all__ = ["merge_frame"]

_INSTALL_HINT = "merge_frame needs pandas; install it with: pip install 'rowmerge[pandas]'"


def _pandas():
    try:
        import pandas
    except ImportError as e:
        raise ImportError(_INSTALL_HINT) from e
    return pandas


def _numeric_dtype(pd: Any, dtype: Any) -> bool:
    return pd.api.types.is_numeric_dtype(dtype) and not pd.api.types.is_complex_dtype(dtype)


def _table(pd: Any, value: Any, name: str) -> np.ndarray:
    """A DataFrame or array-like as the two-dimensional float64 array the merge takes."""
    if isinstance(value, pd.DataFrame):
        for column, dtype in value.dtypes.items():
            if not _numeric_dtype(pd, dtype):
                raise TypeError(f"{name}: column {column!r} has data type {dtype}; only numbers can be merged")
        return value.to_numpy(dtype=np.float64, na_value=np.nan)
    if isinstance(value, np.ndarray) and value.dtype == np.float64:
        return value
    return np.asarray(value, dtype=np.float64)


def merge_frame(connected_crop_rows: Any, points: "pd.DataFrame", row_information: Any,
                tolerance: float, num_threads: int = 0) -> "pd.DataFrame":
    """Merges crop rows whose points are held in a pandas DataFrame.

    Parameters
    ----------
    connected_crop_rows : pandas.DataFrame or numpy.ndarray
        One row per connected crop row (layout as for
        :func:`merge_points_removing_overlap`).
    points : pandas.DataFrame
        One row per point.  Column names are free; the first four columns are
        read as key 1, key 2, x and y, and every other column is carried
        along.  All columns must be numeric (bool included).
    row_information : pandas.DataFrame or numpy.ndarray
        One record per crop row (11 columns).
    tolerance : float
        Distance in the units of x and y.
    num_threads : int, default 0
        Worker threads; 0 lets the system choose.

    Returns
    -------
    pandas.DataFrame
        The surviving rows of `points`, unchanged: same columns in the same
        order, same dtypes, and the index labels of the rows they came from
        (a label repeats when its crop row is the base of several connected
        crop rows).  The rows come in blocks per connected crop row; the
        order of the blocks depends on thread scheduling.

    Raises
    ------
    ImportError
        pandas is not installed.
    TypeError
        A column is not numeric (the message names it), or an argument has
        the wrong type.
    ValueError
        `points` has fewer than four columns.
    rowmerge.MergeError
        The merge failed (for example a key that `row_information` lacks);
        its `connected_row` is a row of `connected_crop_rows` as given.

    Examples
    --------
    >>> import pandas as pd
    >>> from rowmerge import merge_frame
    >>> from rowmerge.field import make_field
    >>> field = make_field(rows=2, segments=2, points_per_segment=50, seed=1)
    >>> points = pd.DataFrame(field.points_in_rows,
    ...                       columns=["row", "segment", "x", "y", "ndvi", "confidence"])
    >>> merged = merge_frame(field.connected_crop_rows, points, field.row_information,
    ...                      tolerance=0.05)  # doctest: +SKIP
    """
    pd = _pandas()
    from .errors import run_merge

    if not isinstance(points, pd.DataFrame):
        raise TypeError(f"points must be a pandas DataFrame, not {type(points).__name__}")
    n_rows, n_cols = points.shape
    if n_cols < 4:
        raise ValueError(f"points has {n_cols} column(s); it needs at least four: key 1, key 2, x, y")
    for column, dtype in points.dtypes.items():
        if not _numeric_dtype(pd, dtype):
            raise TypeError(f"points: column {column!r} has data type {dtype}; only numbers can be merged")
    connected = _table(pd, connected_crop_rows, "connected_crop_rows")
    info = _table(pd, row_information, "row_information")

    # Key 1, key 2, x and y alone decide which points survive, and the merge
    # copies whole rows: so it gets those four columns and one more holding
    # each row's position, which tells exactly which input rows survived.
    # The result is then taken from the frame itself and keeps every value
    # and dtype as it was.
    table = float_columns(points, (0, 1, 2, 3), extra=np.arange(n_rows, dtype=np.float64))
    merged = run_merge(connected, table, info, tolerance, num_threads)
    del table
    positions = merged[:, 4].astype(np.intp)
    return points.iloc[positions]
