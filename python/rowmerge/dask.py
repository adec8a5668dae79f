"""Merges on Dask: many fields at once, or one field too large for a worker.

`merge_fields` merges every field of three multi-field tables; `merge_field`
merges one field whose points are spread over many partitions.  Both return
a lazy dask DataFrame; Dask schedules the tasks (on a `distributed` cluster,
or on any other Dask scheduler) and every task runs the native merge.

How the tables meet.  A task must see whole groups: every row of a field
(for `merge_field`: every point of a base crop row, and every connected row
naming it as base) in the same task.  Dask's shuffles would move every row
and reorder them; instead the group keys of each partition are counted
first (only the key columns are computed: a Parquet source reads just those)
and every group is given to the partition of the points that holds most of
its rows.  Only the points of a group that sit elsewhere then move; a
partition of the small tables (connected rows, records) that several tasks
need goes whole to each of them, fetched once by a worker, and every task
takes its own rows.  Pieces reach their task in the order of the partitions
they come from, so every group's rows keep their input order.  Data laid
out by field, as surveys usually are, does not move at all.  Groups without
points go to a partition chosen from their key alone.
"""

from __future__ import annotations

import heapq
import math
import zlib
from functools import partial
from typing import Any, Sequence

import numpy as np

try:
    import dask
    import dask.dataframe as dd
    import pandas as pd
except ImportError as _missing:  # pragma: no cover - exercised in a subprocess
    raise ImportError("rowmerge.dask needs Dask; install it with: pip install 'rowmerge[dask]'") from _missing

from ._explain import _key_pairs
from ._fields import (TABLES, check_id_kinds, field_columns, float_columns, group_by_field, merge_each_field,
                      run_counts, runs)
from .errors import MergeError, run_merge
from .frame import _numeric_dtype

__all__ = ["merge_fields", "merge_field", "worker_environ"]

# A pandas points table is cut into pieces of about this many rows (one task each).
_ROWS_PER_TASK = 1_000_000


# glibc's malloc in the worker processes.  Dask starts them with
# MALLOC_TRIM_THRESHOLD_=65536, which also pins the mmap threshold at 128 KiB:
# every larger allocation is then fresh memory, faulted in page by page, and
# the merges of a task run 2 to 3 times slower than in a plain process.
# These are the thresholds glibc itself reaches in a long-running process.
_WORKER_MALLOC = {"MALLOC_TRIM_THRESHOLD_": str(64 << 20), "MALLOC_MMAP_THRESHOLD_": str(32 << 20)}


def worker_environ() -> dict:
    """The environment to start Dask worker processes with for merging.

    Dask's own settings for new worker processes
    (``distributed.nanny.pre-spawn-environ``), with glibc malloc thresholds
    under which a task merges as fast as a plain process does: Dask's
    ``MALLOC_TRIM_THRESHOLD_=65536`` makes every allocation of 128 KiB or
    more fresh memory.  Workers then hand freed memory back to the system
    only beyond 64 MiB.  Set it before the cluster starts::

        with dask.config.set({"distributed.nanny.pre-spawn-environ": worker_environ()}):
            cluster = LocalCluster(n_workers=2, threads_per_worker=1)

    As Dask has it, a variable already set in the starting process's own
    environment wins over this setting.
    """
    environ = dict(dask.config.get("distributed.nanny.pre-spawn-environ"))
    environ.update(_WORKER_MALLOC)
    return environ


# ---------------------------------------------------------------- the tables

class _Table:
    """One input table: its partitions (pandas frames, or the Delayed
    partitions of a dask DataFrame) and an empty frame of its columns."""

    def __init__(self, value: Any, name: str):
        self.name = name
        if isinstance(value, dd.DataFrame):
            self.frame = value
            self.meta = value._meta
        elif isinstance(value, pd.DataFrame):
            self.frame = None
            self.meta = value.iloc[:0]
            self.parts = [value]
        else:
            raise TypeError(f"{name} must be a dask or pandas DataFrame, not {type(value).__name__}")

    @property
    def lazy(self) -> bool:
        return self.frame is not None

    def partitions(self) -> list:
        if self.lazy:
            self.parts = self.frame.to_delayed()
        return self.parts


def _field_column(frame: Any, position: int) -> Any:
    return frame.iloc[:, position]


def _count_fields(column: pd.Series, table: str, field: Any) -> pd.Series:
    """Rows per field id (checking the ids)."""
    groups = group_by_field(column, table, field)
    return pd.Series(groups.stop - groups.start, index=pd.Index(groups.ids, dtype=object), dtype=np.int64)


def _key_columns(frame: Any) -> Any:
    return frame.iloc[:, 0:2]


def _codes(frame: pd.DataFrame, start: int = 0) -> np.ndarray:
    """The converted key in columns `start`, `start + 1` of every row as one
    unsigned 64-bit number; 0 for a table too narrow to hold it (its rows
    fail wherever they are merged)."""
    if frame.shape[1] < start + 2:
        return np.zeros(frame.shape[0], dtype=np.uint64)
    return _key_pairs(frame.iloc[:, start].to_numpy(np.float64, na_value=np.nan),
                      frame.iloc[:, start + 1].to_numpy(np.float64, na_value=np.nan))


def _base_codes(frame: pd.DataFrame) -> np.ndarray:
    """The converted base key of every connected row (its columns 1 and 2):
    where `merge_field` routes the row, and what its task takes it by."""
    return _codes(frame, 1)


def _count_codes(frame: pd.DataFrame, start: int = 0) -> pd.Series:
    """Rows per converted key in columns `start`, `start + 1`."""
    codes = _codes(frame, start)
    counted = run_counts(codes)  # points usually come grouped by crop row
    if counted is not None:
        return pd.Series(counted[2], index=pd.Index(counted[0]), dtype=np.int64)
    return pd.Series(codes).value_counts(sort=False)


# ---------------------------------------------------------------- placement

def _slot(key: Any, slots: int) -> int:
    """A partition for a key from the key alone, the same in every process."""
    if isinstance(key, str):
        return zlib.crc32(key.encode("utf-8", "surrogatepass")) % slots
    return int(key) % slots


def _owners(wanted: pd.Index, point_counts: Sequence[pd.Series], slots: int, *, spread: bool) -> pd.Series:
    """The partition each wanted key is merged in.

    With one count per partition of the points, a key goes to the partition
    holding most of its points (the first of those on a tie).  With `spread`
    (one count for a pandas table to be cut in `slots` pieces) keys are
    dealt out by size, largest first, each to the piece with the fewest
    points so far.  Keys without points go to `_slot`.
    """
    owner: dict = {}
    if spread:
        counts = pd.concat(point_counts) if point_counts else pd.Series([], dtype=np.int64)
        counts = counts[counts.index.isin(wanted)]
        loads = [(0, slot) for slot in range(slots)]
        for key, count in sorted(counts.items(), key=lambda item: -item[1]):
            load, slot = heapq.heappop(loads)
            owner[key] = slot
            heapq.heappush(loads, (load + int(count), slot))
    else:
        frames = [pd.DataFrame({"key": c.index.to_numpy(dtype=object), "count": c.to_numpy(), "part": j})
                  for j, c in enumerate(point_counts) if len(c)]
        if frames:
            table = pd.concat(frames, ignore_index=True)
            table = table[table["key"].isin(wanted)]
            best = table.loc[table.groupby("key", sort=False)["count"].idxmax()]
            owner = dict(zip(best["key"].tolist(), best["part"].tolist()))
    keys = wanted.tolist()
    return pd.Series([owner[k] if k in owner else _slot(k, slots) for k in keys],
                     index=pd.Index(keys, dtype=object if wanted.dtype == object else wanted.dtype),
                     dtype=np.int64)


def _row_owners(keys: Any, owner: pd.Series) -> np.ndarray:
    """The owner of every row, -1 for rows whose key no task wants (looked
    up once per run of equal keys)."""
    keys = np.asarray(keys, dtype=object) if owner.index.dtype == object else np.asarray(keys)
    starts, lengths = runs(keys)
    where = owner.index.get_indexer(keys[starts])
    found = np.where(where >= 0, owner.to_numpy()[np.maximum(where, 0)], -1)
    return np.repeat(found, lengths)


def _split(frame: pd.DataFrame, keys, owner: pd.Series, targets: Sequence[int]) -> dict:
    """The rows of `frame` for each target, in their order, with their
    positions in `frame`: a slice where they are one stretch of rows."""
    row_owner = _row_owners(keys(frame), owner)
    pieces = {}
    for target in targets:
        rows = np.flatnonzero(row_owner == target)
        if len(rows) and rows[-1] - rows[0] + 1 == len(rows):
            pieces[target] = (frame.iloc[int(rows[0]):int(rows[-1]) + 1], rows)
        else:
            pieces[target] = (frame.iloc[rows], rows)
    return pieces


def _route(table: _Table, keys, counts: Sequence[pd.Series], owner: pd.Series, shared_owner: Any, *,
           in_task: bool = False) -> dict[int, list]:
    """For every target partition, the pieces of `table` it needs, in the
    order of the table's partitions, as (piece, partition, take) triples.

    A piece is a whole partition when all its rows go to one target, else a
    (frame, positions in the partition) pair cut out of it: by a task for a
    dask table, here for a pandas one.  With `in_task` (for the small
    tables) a dask partition is not cut by a task of its own: each target
    gets it whole, with `take` set, and takes its own rows (`_taken`).  A
    worker then fetches a partition once, not a piece for every task.
    `shared_owner` is `owner` as a piece of the graph, for the tasks that cut.
    """
    routed: dict[int, list] = {}
    owner_of = dict(zip(owner.index.tolist(), owner.tolist()))
    for part, (frame, count) in enumerate(zip(table.partitions(), counts)):
        keys_here = count.index.tolist()
        targets = sorted({owner_of[k] for k in keys_here if k in owner_of})
        if not targets:
            continue
        if len(targets) == 1 and all(k in owner_of for k in keys_here):
            routed.setdefault(targets[0], []).append((frame, part, False))
            continue
        if table.lazy and in_task:
            for target in targets:
                routed.setdefault(target, []).append((frame, part, True))
            continue
        if table.lazy:
            split = dask.delayed(_split, pure=False)(frame, keys, shared_owner, targets)
            pieces = {t: split[t] for t in targets}
        else:
            pieces = _split(frame, keys, owner, targets)
        for target in targets:
            routed.setdefault(target, []).append((pieces[target], part, False))
    return routed


def _taken(pieces: Sequence, takes: Sequence[bool], keys, owner: pd.Series | None, target: int) -> list:
    """The pieces of a task, with the rows the task merges taken out of the
    whole partitions it was given to take them from."""
    return [_split(piece, keys, owner, [target])[target] if take else piece for piece, take in zip(pieces, takes)]


def _frame_and_rows(piece: Any) -> tuple[pd.DataFrame, np.ndarray]:
    if isinstance(piece, tuple):
        return piece
    return piece, np.arange(piece.shape[0])


def _concat(pieces: Sequence, meta: pd.DataFrame) -> pd.DataFrame:
    frames = [_frame_and_rows(p)[0] for p in pieces]
    if not frames:
        return meta
    return frames[0] if len(frames) == 1 else pd.concat(frames)


def _compute_counts(tables: Sequence[tuple]) -> list[list[pd.Series]]:
    """Key counts per partition of each table, the dask tables' in one compute.

    `tables` holds (table, columns, counter): `columns` picks the key
    columns of a partition (of the dask frame, so that only they are
    computed), `counter` counts the rows per key in them.
    """
    lazy = []
    result: list[list] = []
    for table, columns, counter in tables:
        if table.lazy:
            # One task per partition: the count runs where the columns are picked.
            parts = columns(table.frame).map_partitions(counter, meta=pd.Series([], dtype=np.int64),
                                                        enforce_metadata=False).to_delayed()
            result.append([None] * len(parts))
            lazy.extend((len(result) - 1, j, p) for j, p in enumerate(parts))
        else:
            result.append([counter(columns(part)) for part in table.parts])
    computed = dask.compute(*[task for _, _, task in lazy])
    for (t, j, _), counts in zip(lazy, computed):
        result[t][j] = counts
    return result


def _check_whole_number(value: Any, name: str, low: int = 0) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} must be a whole number, not {type(value).__name__}")
    if value < low:
        raise ValueError(f"{name} must be at least {low}, not {value}")
    return int(value)


def _cut_points(points: _Table, npartitions: int | None) -> int | None:
    """Checks `npartitions` and repartitions a dask points table to it."""
    if npartitions is None:
        return None
    npartitions = _check_whole_number(npartitions, "npartitions", 1)
    if points.lazy and npartitions != points.frame.npartitions:
        points.frame = points.frame.repartition(npartitions=npartitions)
    return npartitions


def _slots(points: _Table, npartitions: int | None, groups: int) -> int:
    """How many tasks merge: one per partition of a dask points table; for a
    pandas one `npartitions`, or a task per million points and at most one
    per group."""
    if points.lazy:
        return points.frame.npartitions
    if npartitions is not None:
        return npartitions
    return max(1, min(groups, math.ceil(points.parts[0].shape[0] / _ROWS_PER_TASK)))


def _empty_result(meta: pd.DataFrame):
    return dd.from_pandas(meta, npartitions=1)


def _pieces(routed: dict[int, list], target: int) -> list:
    return [piece for piece, _, _ in routed.get(target, [])]


def _takes(routed: dict[int, list], target: int) -> list[bool]:
    return [take for _, _, take in routed.get(target, [])]


def _for_takers(shared_owner: Any, *routed: dict[int, list]) -> Any:
    """`shared_owner` for the tasks that take their own rows; None when no
    task does, so that the owners reach the workers only when needed."""
    return shared_owner if any(take for r in routed for pieces in r.values() for _, _, take in pieces) else None


# ---------------------------------------------------------------- many fields

def _merge_fields_task(connected: Sequence, points: Sequence, info: Sequence, takes: tuple, keys: tuple,
                       owner: pd.Series | None, target: int, metas: tuple, tolerance: float, field: Any,
                       num_threads: int) -> pd.DataFrame:
    connected = _taken(connected, takes[0], keys[0], owner, target)
    info = _taken(info, takes[1], keys[1], owner, target)
    return merge_each_field(_concat(connected, metas[0]), _concat(points, metas[1]), _concat(info, metas[2]),
                            tolerance, field=field, num_threads=num_threads)


def merge_fields(connected_crop_rows: Any, points: Any, row_information: Any, *, tolerance: float,
                 field: Any = "field", num_threads: int = 1, npartitions: int | None = None):
    """Merges every field of three multi-field tables on Dask.

    Parameters
    ----------
    connected_crop_rows, points, row_information : dask.dataframe.DataFrame or pandas.DataFrame
        The tables of many fields, in the order of
        :func:`rowmerge.merge_points_removing_overlap`.  Each has a column
        named `field` holding the id of the field a line belongs to (whole
        numbers or strings; the same id in two tables is the same field).
        The other columns, in their order, are the table as the merge reads
        it: ``points`` key 1, key 2, x, y and any further numeric columns;
        ``row_information`` its 11 columns.
    tolerance : float
        Distance in the units of x and y.
    field : str, default "field"
        The name of the field column.
    num_threads : int, default 1
        Native worker threads for each task's merges.  The default of 1 lets
        Dask's worker processes give the parallelism: a cluster of N worker
        processes with one thread each runs N merges at a time.  Use more
        where a worker has cores that Dask leaves idle (0 lets rowmerge
        choose from the cores the worker process may use).
    npartitions : int, optional
        How many tasks merge the fields: by default one for each partition of
        a dask ``points`` (which is repartitioned to `npartitions` when
        given), and for a pandas ``points`` one for every million points, at
        most one per field.

    Returns
    -------
    dask.dataframe.DataFrame
        Lazy, with exactly the columns, dtypes and index of ``points``.  Its
        ``.compute()`` gives, for every field, the rows that
        :func:`rowmerge.merge_frame` gives for that field's three tables: one
        block of rows per connected row, each block's rows in their order in
        ``points``.  The fields and blocks come in no fixed order.  A field
        with points but no connected rows gives nothing.

    Raises
    ------
    rowmerge.MergeError
        At ``.compute()``, when a field's merge fails (for example a field
        with connected rows but no records): ``field`` is that field's id and
        ``connected_row`` counts that field's connected rows from 0, as
        ``merge_frame`` would for the field's tables alone.  When several
        fields fail, the error is that of whichever failing task Dask sees
        first, so any of them may be named.
    KeyError, TypeError, ValueError
        Right away: a table without the field column, a field column that is
        not whole numbers or strings, a column that is not numeric, fewer
        than four point columns.  A row without a field id, or an id that is
        neither a whole number nor a string, raises ValueError or TypeError.

    Notes
    -----
    Building the result computes the field column of every dask table (as
    ``set_index`` computes its divisions) to see which partitions hold which
    fields.  Each field is then merged in the partition that holds most of
    its points, and only points held elsewhere move; tables laid out by
    field move no points.  A partition of the connected rows or the records
    that several tasks need reaches each worker once, and every task takes
    its own rows from it.
    """
    tables = [_Table(t, name) for name, t in zip(TABLES, (connected_crop_rows, points, row_information))]
    where = [field_columns(t.meta, t.name, field, 4 if t.name == "points" else 0) for t in tables]
    num_threads = _check_whole_number(num_threads, "num_threads")
    columns = [partial(_field_column, position=w.field) for w in where]
    counters = [partial(_count_fields, table=t.name, field=field) for t in tables]
    npartitions = _cut_points(tables[1], npartitions)
    counts = _compute_counts(list(zip(tables, columns, counters)))
    check_id_kinds({t.name: [key for c in n for key in c.index] for t, n in zip(tables, counts)})
    wanted = pd.Index(pd.unique(np.concatenate([c.index.to_numpy(dtype=object) for c in counts[0]]))
                      if counts[0] else [], dtype=object)
    if not len(wanted):
        return _empty_result(tables[1].meta)
    slots = _slots(tables[1], npartitions, len(wanted))
    owner = _owners(wanted, counts[1], slots, spread=not tables[1].lazy)
    shared_owner = dask.delayed(owner, pure=False)  # in the graph only if a task uses it
    routed = [_route(t, c, n, owner, shared_owner, in_task=t.name != "points")
              for t, c, n in zip(tables, columns, counts)]
    shared_owner = _for_takers(shared_owner, routed[0], routed[2])
    metas = tuple(t.meta for t in tables)
    tasks = [dask.delayed(_merge_fields_task, pure=False)(
                 _pieces(routed[0], target), _pieces(routed[1], target), _pieces(routed[2], target),
                 (_takes(routed[0], target), _takes(routed[2], target)), (columns[0], columns[2]),
                 shared_owner, target, metas, tolerance, field, num_threads)
             for target in sorted(routed[0])]
    return dd.from_delayed(tasks, meta=tables[1].meta, verify_meta=False)


# ---------------------------------------------------------------- one large field

def _as_frame(value: Any, name: str) -> Any:
    if isinstance(value, np.ndarray):
        if value.ndim != 2:
            raise ValueError(f"{name} must be two-dimensional, not {value.ndim}-dimensional")
        return pd.DataFrame(value)
    return value


def _check_numeric(meta: pd.DataFrame, name: str, minimum: int = 0) -> None:
    for column, dtype in meta.dtypes.items():
        if not _numeric_dtype(pd, dtype):
            raise TypeError(f"{name}: column {column!r} has data type {dtype}; only numbers can be merged")
    if meta.shape[1] < minimum:
        raise ValueError(f"{name} has {meta.shape[1]} column(s); it needs at least {minimum}: key 1, key 2, x, y")


def _all_columns(frame: pd.DataFrame, extra: np.ndarray | None = None) -> np.ndarray:
    return float_columns(frame, tuple(range(frame.shape[1])), extra=extra)


def _records(*parts: pd.DataFrame) -> np.ndarray:
    return _all_columns(parts[0] if len(parts) == 1 else pd.concat(parts))


def _merge_part(connected: Sequence, takes: Sequence[bool], owner: pd.Series | None, target: int,
                offsets: Sequence[int], points: Sequence, info: np.ndarray, metas: tuple, tolerance: float,
                num_threads: int) -> tuple:
    """The merge of one task's connected rows: (rows, None), or (None, the
    MergeError) naming the row by its number in the whole table."""
    connected = _taken(connected, takes, _base_codes, owner, target)
    pieces = [_frame_and_rows(p) for p in connected]
    rows = np.concatenate([r + o for (_, r), o in zip(pieces, offsets)]) if pieces else np.zeros(0, np.intp)
    connected_frame = _concat(connected, metas[0])
    points_frame = _concat(points, metas[1])
    # Key 1, key 2, x and y decide which points survive; the other columns
    # are carried along, so the survivors' positions (one more column) say
    # which rows of the frame to hand on.
    table = float_columns(points_frame, (0, 1, 2, 3), extra=np.arange(points_frame.shape[0]))
    try:
        merged = run_merge(_all_columns(connected_frame), table, info, tolerance, num_threads, row_numbers=rows)
    except MergeError as error:
        return None, error
    return points_frame.iloc[merged[:, -1].astype(np.intp)], None


def _failure(result: tuple) -> MergeError | None:
    return result[1]


def _lowest_failure(*failures: MergeError | None) -> bool:
    """Raises the failure the merge of the whole tables reports: the one of
    the lowest connected row (a failure that is no row's comes first)."""
    found = [f for f in failures if f is not None]
    if found:
        raise min(found, key=lambda f: -1 if f.connected_row is None else f.connected_row)
    return True


def _rows_of(result: tuple, checked: bool) -> pd.DataFrame:
    return result[0]


def merge_field(connected_crop_rows: Any, points: Any, row_information: Any, *, tolerance: float,
                npartitions: int | None = None, num_threads: int = 1):
    """Merges one field whose points are too many for one worker.

    Parameters
    ----------
    connected_crop_rows : dask.dataframe.DataFrame, pandas.DataFrame or numpy.ndarray
        The field's connected rows, laid out as for
        :func:`rowmerge.merge_points_removing_overlap`.
    points : dask.dataframe.DataFrame or pandas.DataFrame
        The field's points: key 1, key 2, x, y and any further numeric
        columns.
    row_information : dask.dataframe.DataFrame, pandas.DataFrame or numpy.ndarray
        One record per crop row (11 columns).  It is small, and every task
        gets all of it.
    tolerance : float
        Distance in the units of x and y.
    npartitions : int, optional
        How many tasks merge: by default one per partition of a dask
        ``points`` (repartitioned to `npartitions` when given); for a pandas
        ``points`` one for every million points.
    num_threads : int, default 1
        Native worker threads for each task's merge (see
        :func:`merge_fields`).

    Returns
    -------
    dask.dataframe.DataFrame
        Lazy, with the columns, dtypes and index of ``points``.  Its
        ``.compute()`` holds the rows of one call of the merge on the whole
        tables: the same blocks (one per connected row, each block's rows in
        their order in ``points``), in no fixed order of blocks.

    Raises
    ------
    rowmerge.MergeError
        At ``.compute()``, when the merge fails: ``connected_row`` is the
        row of the whole ``connected_crop_rows``, the lowest failing one, as
        one call on the whole tables reports it.
    TypeError, ValueError
        Right away: a column that is not numeric, fewer than four point
        columns.

    Notes
    -----
    Points and connected rows are grouped by the converted key of their
    crop row (the merge's key conversion: truncation, NaN and values below 1
    to 0, saturation at 4294967295), so that a block never spans two tasks.
    Building the result computes the two key columns of the points (and the
    connected rows) to see where each crop row's points are; each crop row
    is merged in the partition that holds most of its points.  Every task
    waits for all of them before its rows are handed on, so that the lowest
    failing row is reported whatever finished first.
    """
    connected_crop_rows = _as_frame(connected_crop_rows, "connected_crop_rows")
    row_information = _as_frame(row_information, "row_information")
    connected, points_table, info = (_Table(t, name) for name, t in
                                     zip(TABLES, (connected_crop_rows, points, row_information)))
    _check_numeric(points_table.meta, "points", 4)
    _check_numeric(connected.meta, "connected_crop_rows")
    _check_numeric(info.meta, "row_information")
    num_threads = _check_whole_number(num_threads, "num_threads")
    npartitions = _cut_points(points_table, npartitions)
    counts = _compute_counts([(connected, lambda frame: frame, partial(_count_codes, start=1)),
                              (points_table, _key_columns, _count_codes)])
    wanted = pd.Index(pd.unique(np.concatenate([c.index.to_numpy(np.uint64) for c in counts[0]]))
                      if counts[0] else np.zeros(0, np.uint64))
    if not len(wanted):
        return _empty_result(points_table.meta)
    slots = _slots(points_table, npartitions, len(wanted))
    owner = _owners(wanted, counts[1], slots, spread=not points_table.lazy)
    shared_owner = dask.delayed(owner, pure=False)
    routed_connected = _route(connected, _base_codes, counts[0], owner, shared_owner, in_task=True)
    routed_points = _route(points_table, _codes, counts[1], owner, shared_owner)
    shared_owner = _for_takers(shared_owner, routed_connected)
    offsets = np.concatenate([[0], np.cumsum([int(c.sum()) for c in counts[0]])]).tolist()
    if info.lazy:
        records = dask.delayed(_records, pure=False)(*info.partitions())
    else:
        records = dask.delayed(_all_columns(info.parts[0]), pure=False)
    metas = (connected.meta, points_table.meta)
    merged = []
    for target in sorted(routed_connected):
        pieces = routed_connected[target]
        merged.append(dask.delayed(_merge_part, pure=False)(
            _pieces(routed_connected, target), _takes(routed_connected, target), shared_owner, target,
            [offsets[part] for _, part, _ in pieces], _pieces(routed_points, target), records, metas, tolerance,
            num_threads))
    checked = dask.delayed(_lowest_failure, pure=False)(*[dask.delayed(_failure, pure=False)(m) for m in merged])
    rows = [dask.delayed(_rows_of, pure=False)(m, checked) for m in merged]
    return dd.from_delayed(rows, meta=points_table.meta, verify_meta=False)
