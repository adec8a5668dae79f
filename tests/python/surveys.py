"""Multi-field survey tables for the tests of many-field merges, and the
command line that merges them from files."""

from __future__ import annotations

import os
import subprocess

import numpy as np
import pandas as pd

from interpreter import python_command
from rowmerge import merge_frame
from rowmerge.field import POINT_COLUMNS, make_field

TOL = 0.03
FIELD = "plot"


def partitions(frame: pd.DataFrame, cuts) -> "dd.DataFrame":  # noqa: F821
    """A dask DataFrame whose partitions are `frame` cut at the given rows."""
    import dask.dataframe as dd

    bounds = [0, *sorted(cuts), len(frame)]
    return dd.concat([dd.from_pandas(frame.iloc[a:b], npartitions=1, sort=False)
                      for a, b in zip(bounds, bounds[1:])])


def survey(seed: int, ids: str):
    """Seven fields in three multi-field tables, laid out untidily.

    Field ids are ints or strs; one field has points but no connected rows,
    one has a second record for a crop row (placed later, so it must not
    count), one has a connected row twice; two fields' points are shuffled
    together.  The points' extra columns are of several dtypes, their index
    is not a range.
    """
    rng = np.random.default_rng(seed)
    names = ([int(v) for v in rng.choice(1000, 7, replace=False)] if ids == "int"
             else ["north", "N-1", "south, east", "7", "Feld ü", "b", "a"])
    connected, points, records = [], [], []
    for k, name in enumerate(names):
        f = make_field(int(rng.integers(1, 4)), segments=int(rng.integers(1, 4)),
                       points_per_segment=int(rng.integers(5, 40)), seed=seed * 10 + k)
        c = pd.DataFrame(f.connected_crop_rows, columns=[f"c{i}" for i in range(11)])
        r = pd.DataFrame(f.row_information, columns=[f"r{i}" for i in range(11)])
        p = pd.DataFrame(f.points_in_rows, columns=POINT_COLUMNS)
        if k == 1:
            late = r.iloc[[0]].copy()
            late[["r5", "r6"]] = late[["r7", "r8"]].to_numpy()  # another near end
            r = pd.concat([r, late])
        if k == 2:
            c = pd.concat([c, c.iloc[[0]]])
        if k == 3:
            c = c.iloc[:0]
        c.insert(0, FIELD, name)
        p.insert(2, FIELD, name)
        r[FIELD] = name
        connected.append(c)
        points.append(p)
        records.append(r)
    connected, records = pd.concat(connected), pd.concat(records)
    both = pd.concat(points[4:6]).sample(frac=1.0, random_state=seed)
    points = pd.concat([*points[:4], both, *points[6:]], ignore_index=True)
    n = len(points)
    points = points.astype({"row": np.int32, "segment": np.uint16, "y": np.float32})
    points["healthy"] = points["confidence"] > 0.8
    points["count"] = pd.array(np.arange(n) % 5, dtype="Int64")
    points.loc[points.index[::11], "count"] = pd.NA
    points.index = pd.Index(7 + 3 * np.arange(n), name="pid")
    if ids == "int":
        # The same ids, stored differently in each table.
        connected[FIELD] = connected[FIELD].astype(np.int32)
        records[FIELD] = records[FIELD].astype(np.uint16)
    else:
        points[FIELD] = points[FIELD].astype("str")
    return connected.reset_index(drop=True), points, records.reset_index(drop=True)


def expected_rows(connected, points, records, name) -> pd.DataFrame:
    mine = [t[t[FIELD] == name].drop(columns=FIELD) for t in (connected, points, records)]
    return points.loc[merge_frame(*mine, TOL, num_threads=1).index]


# Under the AddressSanitizer run (scripts/asan-pytest) every process of a new
# local cluster allocates through the sanitizer and starts very slowly; the
# cluster tests of rowmerge.dask run the same merges in its workers there.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


# What `rowmerge merge --field` says when the records of field "north" are missing.
NORTH_FAILS = ("rowmerge: merge failed: field 'north', connected row 0: base crop row (1, 1) has no record: "
               "row_information has no rows (called `Option::unwrap()` on a `None` value)\n")


def cli(*args: str, cwd) -> subprocess.CompletedProcess:
    """`rowmerge merge --field plot ARGS...` in a fresh interpreter."""
    env = dict(os.environ, NO_COLOR="1")
    return subprocess.run(python_command("-m", "rowmerge", "merge", "--field", FIELD, *args), cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=600)


def tables_args(kind: str) -> list[str]:
    return ["--connected", f"c.{kind}", "--points", f"p.{kind}", "--rows", f"r.{kind}", "--tolerance", str(TOL)]


def write_survey_files(directory):
    """A survey with string field ids, as CSV with headers (c.csv, p.csv,
    r.csv) and, where pyarrow is installed, as Parquet; the points' dtypes
    are those CSV gives back.  Returns the three tables."""
    try:
        import pyarrow  # noqa: F401
        parquet = True
    except ImportError:
        parquet = False
    connected, points, records = survey(8, "str")
    points = points.reset_index(drop=True).astype({c: np.float64 for c in points.columns if c != FIELD})
    for name, table in (("c", connected), ("p", points), ("r", records)):
        table.to_csv(directory / f"{name}.csv", index=False)
        if parquet:
            table.to_parquet(directory / f"{name}.parquet", index=False)
    return connected, points, records
