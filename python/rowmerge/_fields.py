"""Tables that hold many fields, told apart by a field column, and the merge
of every field in them on pandas DataFrames.

A field's id is a whole number or a string.  Every table of a multi-field
merge has a column of ids; its other columns, in their order, are the table
as the merge reads it.  `merge_each_field` gives, for every field, the rows
that `merge_frame` gives for that field's three tables.  The command line
runs it in the process; `rowmerge.dask` runs it inside each of its tasks.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np

__all__ = ["FieldColumns", "FieldGroups", "check_id_kinds", "field_columns", "float_columns", "group_by_field",
           "merge_each_field", "run_counts", "runs"]

TABLES = ("connected_crop_rows", "points", "row_information")


@dataclass(frozen=True)
class FieldColumns:
    """Where the field ids are in a table, and which columns the merge reads."""

    field: int  # position of the field column
    merged: tuple[int, ...]  # positions of the other columns, in order


def _pandas():
    from .frame import _pandas

    return _pandas()


def _is_field_dtype(pd: Any, dtype: Any) -> bool:
    if isinstance(dtype, pd.CategoricalDtype):
        dtype = dtype.categories.dtype
    types = pd.api.types
    if types.is_bool_dtype(dtype):
        return False
    return types.is_integer_dtype(dtype) or types.is_string_dtype(dtype) or types.is_object_dtype(dtype)


def field_columns(frame: Any, table: str, field: Any, minimum: int = 0) -> FieldColumns:
    """Checks a multi-field table's columns (a DataFrame, or a Dask frame's
    empty `_meta`) and says where its field ids and merged columns are.

    Raises KeyError without the field column, TypeError for a field column
    that cannot hold ids or another column that is not numeric, ValueError
    for fewer than `minimum` merged columns.
    """
    from .frame import _numeric_dtype

    pd = _pandas()
    columns = list(frame.columns)
    where = [i for i, name in enumerate(columns) if name == field]
    if not where:
        raise KeyError(f"{table} has no field column {field!r} (its columns: "
                       f"{', '.join(map(repr, columns)) or 'none'})")
    if len(where) > 1:
        raise ValueError(f"{table} has {len(where)} columns named {field!r}; the field column must be one")
    position = where[0]
    dtypes = list(frame.dtypes)
    if not _is_field_dtype(pd, dtypes[position]):
        raise TypeError(f"{table}: field column {field!r} has data type {dtypes[position]}; "
                        "field ids are whole numbers or strings")
    merged = tuple(i for i in range(len(columns)) if i != position)
    for i in merged:
        if not _numeric_dtype(pd, dtypes[i]):
            raise TypeError(f"{table}: column {columns[i]!r} has data type {dtypes[i]}; "
                            "only numbers can be merged")
    if len(merged) < minimum:
        raise ValueError(f"{table} has {len(merged)} column(s) besides the field column; "
                         f"it needs at least {minimum}: key 1, key 2, x, y")
    return FieldColumns(position, merged)


def _normalise_ids(uniques: Any, table: str, field: Any) -> list:
    """The distinct ids of a column as Python ints and strs; anything else
    (a float, a bool, a date in an object column) is refused."""
    ids = []
    for value in np.asarray(uniques, dtype=object).tolist():
        if isinstance(value, np.integer) and not isinstance(value, np.bool_):
            value = int(value)
        elif isinstance(value, str):
            value = str(value)  # np.str_ too
        if isinstance(value, str) or (isinstance(value, int) and not isinstance(value, bool)):
            ids.append(value)
            continue
        raise TypeError(f"{table}: field id {value!r} in column {field!r} is of type "
                        f"{type(value).__name__}; field ids are whole numbers or strings")
    return ids


def check_id_kinds(ids: dict) -> None:
    """Refuses whole numbers and strings as field ids side by side: 7 and
    "7" would be different fields, and a table whose numbers became text
    on the way (Dask stores an object column of numbers as strings) would
    silently match no other table."""
    kinds = {name: {str if isinstance(v, str) else int for v in values} for name, values in ids.items()}
    if len(set().union(*kinds.values())) < 2:
        return
    words = {int: "whole numbers", str: "strings"}
    described = "; ".join(f"{name}: {' and '.join(words[k] for k in (int, str) if k in found)}"
                          for name, found in kinds.items() if found)
    raise TypeError(f"field ids must be all whole numbers or all strings, in all three tables ({described}); "
                    "convert the field columns to one type")


def runs(keys: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Where the runs of equal neighbouring keys start, and how long they are."""
    if not len(keys):
        return np.zeros(0, np.intp), np.zeros(0, np.intp)
    starts = np.flatnonzero(keys[1:] != keys[:-1]) + 1
    starts = np.concatenate([np.zeros(1, np.intp), starts])
    return starts, np.diff(np.append(starts, len(keys)))


def run_counts(keys: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray] | None:
    """The keys, where their rows start and how many there are, when each
    key's rows are one run, as in rows grouped by key; None otherwise (the
    caller then groups by hashing)."""
    starts, lengths = runs(keys)
    if len(keys) and len(starts) >= len(keys) // 2:
        return None
    found = keys[starts]
    return (found, starts, lengths) if _pandas().Index(found).is_unique else None


@dataclass(frozen=True)
class FieldGroups:
    """The rows of a table grouped by field: rows `order[start[k]:stop[k]]`
    belong to field `ids[k]`, in their order in the table."""

    ids: list
    order: np.ndarray
    start: np.ndarray
    stop: np.ndarray

    def ranges(self) -> dict:
        return {key: (int(a), int(b)) for key, a, b in zip(self.ids, self.start, self.stop)}


def group_by_field(column: Any, table: str, field: Any) -> FieldGroups:
    """Groups the rows of a table by the ids in `column` (a pandas Series).

    Raises ValueError when a row has no id (NaN, None, a missing value) and
    TypeError for an id that is neither a whole number nor a string.
    """
    pd = _pandas()
    if isinstance(column.dtype, np.dtype) and column.dtype.kind in "iu":  # none missing; usually grouped already
        counted = run_counts(column.to_numpy())
        if counted is not None:
            ids, start, counts = counted
            return FieldGroups(ids.tolist(), np.arange(len(column)), start, start + counts)
    codes, uniques = pd.factorize(column, use_na_sentinel=True)
    codes = np.asarray(codes, dtype=np.intp)
    missing = np.flatnonzero(codes < 0)
    if missing.size:
        raise ValueError(f"{table}: {missing.size} row(s) have no field id in column {field!r} "
                         f"(the first is row {int(missing[0])} of its partition)")
    ids = _normalise_ids(uniques, table, field)
    order = np.argsort(codes, kind="stable")
    counts = np.bincount(codes, minlength=len(ids))
    stop = np.cumsum(counts)
    return FieldGroups(ids, order, stop - counts, stop)


def float_columns(frame: Any, positions: tuple[int, ...], rows: np.ndarray | None = None,
                   extra: np.ndarray | None = None) -> np.ndarray:
    """The columns at `positions` (and `extra`, as one more column) as a
    float64 table, each column contiguous (the merge reads any layout, and
    a column is written fastest in one stretch)."""
    n = frame.shape[0] if rows is None else rows.shape[0]
    table = np.empty((len(positions) + (extra is not None), n), dtype=np.float64).T
    for out, position in enumerate(positions):
        values = frame.iloc[:, position].to_numpy(dtype=np.float64, na_value=np.nan)
        table[:, out] = values if rows is None else values[rows]
    if extra is not None:
        table[:, -1] = extra
    return table


def _point_table(columns: list[np.ndarray], rows: np.ndarray, space: np.ndarray | None = None) -> np.ndarray:
    """The points at `rows` (in that order) as the merge's table, with their
    positions as one more column; in the first rows of `space` when given."""
    if space is None:
        space = np.empty((len(columns) + 1, rows.shape[0]), dtype=np.float64).T
    table = space[:rows.shape[0]]
    contiguous = rows.shape[0] > 0 and rows[-1] - rows[0] + 1 == rows.shape[0]
    pick = slice(int(rows[0]), int(rows[-1]) + 1) if contiguous else rows
    for out, values in enumerate(columns):
        table[:, out] = values[pick]
    table[:, -1] = rows
    return table


def merge_each_field(connected_crop_rows: Any, points: Any, row_information: Any, tolerance: float, *,
                     field: Any = "field", num_threads: int = 1) -> Any:
    """Merges every field of three multi-field pandas tables, one field after another.

    Returns the surviving rows of `points` (every column, dtypes and index
    labels kept): for each field with connected rows, in the order in which
    the fields first appear in `connected_crop_rows`, the rows `merge_frame`
    gives for that field's tables.  A failing field raises MergeError with
    `field` set to its id and `connected_row` counted among that field's
    connected rows.
    """
    from .errors import run_merge

    pd = _pandas()
    tables = (connected_crop_rows, points, row_information)
    for name, table in zip(TABLES, tables):
        if not isinstance(table, pd.DataFrame):
            raise TypeError(f"{name} must be a pandas DataFrame, not {type(table).__name__}")
    where = [field_columns(t, name, field, 4 if name == "points" else 0) for name, t in zip(TABLES, tables)]
    groups = [group_by_field(t.iloc[:, w.field], name, field) for name, t, w in zip(TABLES, tables, where)]
    check_id_kinds({name: g.ids for name, g in zip(TABLES, groups)})
    c_groups, p_groups, i_groups = groups
    connected_values = float_columns(connected_crop_rows, where[0].merged)
    info_values = float_columns(row_information, where[2].merged)
    # Each field's points table is made when it is merged, as merge_frame
    # makes it: key 1, key 2, x and y (which alone decide what survives) and
    # the row's position in `points`, so that the survivors say which rows
    # they are.  Every field's table is written into the same space: one
    # for all would be fresh memory every time, and so would one per field
    # where the allocator hands large blocks back at once (Dask's workers).
    point_columns = [points.iloc[:, i].to_numpy(dtype=np.float64, na_value=np.nan) for i in where[1].merged[:4]]
    point_ranges, info_ranges = p_groups.ranges(), i_groups.ranges()
    largest = max((b - a for a, b in point_ranges.values()), default=0)
    space = np.empty((len(point_columns) + 1, largest), dtype=np.float64).T

    kept = []
    for key, a, b in zip(c_groups.ids, c_groups.start, c_groups.stop):
        p_start, p_stop = point_ranges.get(key, (0, 0))
        i_start, i_stop = info_ranges.get(key, (0, 0))
        rows = p_groups.order[p_start:p_stop]
        merged = run_merge(connected_values[c_groups.order[a:b]], _point_table(point_columns, rows, space),
                           info_values[i_groups.order[i_start:i_stop]], tolerance, num_threads, field=key)
        kept.append(merged[:, -1])
    rows = np.concatenate(kept).astype(np.intp) if kept else np.zeros(0, dtype=np.intp)
    return points.iloc[rows]
