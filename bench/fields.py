#!/usr/bin/env python3
"""Many fields, and one large field, merged in one process, on a spawn
process pool and on a local Dask cluster.

Many fields: 400 fields of 25,000 points (10,000,000 points, 10,000
connected rows).

  loop-1     merge_frame for one field after another, 1 thread
  loop-2     the same with 2 threads
  pool-2     a spawn ProcessPoolExecutor of 2 workers running merge_frame per
             field (each field's tables are sent to a worker and its rows back)
  cluster-2  rowmerge.dask.merge_fields on a LocalCluster of 2 worker
             processes with 1 thread each; the tables are dask frames already
             on the workers (20 partitions of 20 whole fields) and the result
             stays there (persisted), as a service would write it out from
             the workers.  The time is that of a second run, as a
             long-running service sees it (the loops, too, time their second
             pass over the tables); the first run's is shown beside it
  cluster-2g the same with the workers started with
             rowmerge.dask.worker_environ() (malloc thresholds of their own
             in place of Dask's MALLOC_TRIM_THRESHOLD_=65536)

One large field: the L field of bench/compare.py (5,000 connected rows,
5,000,000 points).

  native-2   one call of the native merge on the whole tables, 2 threads
  field-2    rowmerge.dask.merge_field on the same cluster, the points in 10
             partitions on the workers, the result persisted
  field-2g   the same on workers started with rowmerge.dask.worker_environ()

Every measurement runs in a fresh interpreter (a fresh cluster or pool for
the contenders that use one, started and warmed before the clock starts:
every process has run a small merge, as the loops have run the native
merges first),
contenders interleaved, and the median of the repeats is reported.  Before
timing, each contender's rows are checked against loop-1 (as sorted rows).

Overhead per field is the time beyond the bare native merges: (seconds - the
native merges' seconds with 1 thread, divided over the contender's 2 cores,
or not for loop-1) / fields.

Usage: python bench/fields.py [--repeats 3] [--fields 400]
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

TOLERANCE = 0.03
FIELD_SHAPE = (5, 5, 1000)        # field rows, segments, points per segment: 25 connected rows, 25,000 points
LARGE_SHAPE = (1000, 5, 1000)     # compare.py's large field
TASKS = 20                        # partitions of the many-field tables
LARGE_PARTITIONS = 10
MANY = ("loop-1", "loop-2", "pool-2", "cluster-2", "cluster-2g")
LARGE = ("native-2", "field-2", "field-2g")


# ---------------------------------------------------------------- worker side

def _digest(rows: np.ndarray) -> str:
    order = np.lexsort(rows.T[::-1]) if rows.shape[0] else np.arange(0)
    return hashlib.sha256(np.ascontiguousarray(rows[order]).tobytes()).hexdigest()[:16]


_COLUMNS = {"connected": [f"c{i}" for i in range(11)], "rows": [f"r{i}" for i in range(11)]}


def _frame(name: str, values: np.ndarray):
    """A multi-field table as a DataFrame: the field column, then the table."""
    import pandas as pd

    from rowmerge.field import POINT_COLUMNS

    frame = pd.DataFrame(np.ascontiguousarray(values[:, 1:]), columns=_COLUMNS.get(name, list(POINT_COLUMNS)))
    frame.insert(0, "field", values[:, 0].astype(np.int64))
    return frame


def _chunk(directory: str, name: str, start: int, stop: int):
    """Rows start:stop of a table, read by a worker from the file."""
    return _frame(name, np.load(os.path.join(directory, f"{name}.npy"), mmap_mode="r")[start:stop])


def _rows(directory: str, file: str, start: int, stop: int):
    import pandas as pd

    return pd.DataFrame(np.array(np.load(os.path.join(directory, f"{file}.npy"), mmap_mode="r")[start:stop]))


def _frames(directory: str):
    return [_frame(n, np.load(os.path.join(directory, f"{n}.npy"))) for n in ("connected", "points", "rows")]


def _on_workers(directory: str, name: str, parts: int, large: bool = False):
    """A table as a dask DataFrame loaded and kept by the workers, in `parts`
    partitions of whole fields (rows for the large field)."""
    import dask.dataframe as dd

    file = f"large-{name}" if large else name
    values = np.load(os.path.join(directory, f"{file}.npy"), mmap_mode="r")
    if large:
        bounds = np.linspace(0, len(values), parts + 1).astype(int)
        return dd.from_map(_rows, [directory] * parts, [file] * parts, bounds[:-1].tolist(),
                           bounds[1:].tolist()).persist()
    ids = values[:, 0]
    starts = np.concatenate([[0], np.flatnonzero(np.diff(ids)) + 1])
    cuts = starts[np.linspace(0, len(starts), parts + 1).astype(int)[:-1]].tolist() + [len(values)]
    return dd.from_map(_chunk, [directory] * parts, [name] * parts, cuts[:-1], cuts[1:]).persist()


def _per_field(connected, points, info) -> list[tuple]:
    """Each field's three tables without the field column, as a loop gets them."""
    def cut(table):
        ids = table["field"].to_numpy()
        bounds = [0, *(np.flatnonzero(np.diff(ids)) + 1).tolist(), len(ids)]
        return [table.iloc[a:b].drop(columns="field") for a, b in zip(bounds, bounds[1:])]
    return list(zip(cut(connected), cut(points), cut(info)))


def _merge_one(tables: tuple, threads: int):
    from rowmerge import merge_frame

    return merge_frame(*tables, TOLERANCE, threads)


def _stacked_fields(fields) -> dict[str, np.ndarray]:
    """The three tables of `fields` (rowmerge.field.Field) stacked, each row
    led by its field's number."""
    tables: dict[str, list] = {"connected": [], "points": [], "rows": []}
    for k, f in enumerate(fields):
        for name, table in (("connected", f.connected_crop_rows), ("points", f.points_in_rows),
                            ("rows", f.row_information)):
            tables[name].append(np.column_stack([np.full(len(table), float(k)), table]))
    return {name: np.concatenate(parts) for name, parts in tables.items()}


def _small_fields(fields: int = 2):
    """A few small fields as multi-field tables, for warming up."""
    from rowmerge.field import make_field

    stacked = _stacked_fields(make_field(2, segments=3, points_per_segment=50, seed=k) for k in range(fields))
    return [_frame(name, values) for name, values in stacked.items()]


def _warm_up() -> int:
    """A small merge, so that a process has run the code (and started the
    native pool) before it is timed, as the loops have."""
    from rowmerge._fields import merge_each_field

    merge_each_field(*_small_fields(), TOLERANCE)
    return os.getpid()


def _warm(_: int) -> int:
    _warm_up()
    time.sleep(0.2)  # so that both workers of the pool get one
    return os.getpid()


def _local_cluster(own_malloc: bool = False):
    import dask
    from distributed import Client, LocalCluster

    from rowmerge.dask import worker_environ

    environ = worker_environ() if own_malloc else dict(dask.config.get("distributed.nanny.pre-spawn-environ"))
    with dask.config.set({"distributed.nanny.pre-spawn-environ": environ}):
        cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                               env={"NO_COLOR": "1"})
    client = Client(cluster)
    client.run(lambda: __import__("rowmerge.dask"))
    client.run(_warm_up)
    return cluster, client


def _warm_cluster(client, one_field: bool) -> None:
    """One small merge through the timed path, in the workers' task threads."""
    import dask.dataframe as dd

    from rowmerge.dask import merge_field, merge_fields

    connected, points, rows = _small_fields(4)
    if one_field:
        first = [t[t["field"] == 0].drop(columns="field") for t in (connected, points, rows)]
        merge_field(first[0], dd.from_pandas(first[1], npartitions=2), first[2], tolerance=TOLERANCE).compute()
    else:
        merge_fields(connected, dd.from_pandas(points, npartitions=4, sort=False), rows,
                     tolerance=TOLERANCE).compute()


def _timed_twice(build) -> tuple[float, tuple]:
    """Seconds of a first run of the merge that `build` makes (persisted and
    waited for, then let go), and (seconds, result) of a second: the second
    is what a long-running service sees, as the loops time their second pass
    over the same tables."""
    from distributed import wait

    t0 = time.perf_counter()
    merged = build().persist()
    wait(merged)
    first = time.perf_counter() - t0
    del merged
    t0 = time.perf_counter()
    merged = build().persist()
    wait(merged)
    return first, (time.perf_counter() - t0, merged)


def _stacked(frames) -> np.ndarray:
    return np.concatenate([f.to_numpy(np.float64) for f in frames]) if frames else np.zeros((0, 7))


def worker(args) -> None:
    result: dict = {}
    if args.contender in MANY:
        connected, points, info = _frames(args.dir)
        fields = _per_field(connected, points, info)
        if args.contender.startswith("loop"):
            threads = int(args.contender[-1])
            from rowmerge import merge_points_removing_overlap
            tables = [(c.to_numpy(np.float64), p.to_numpy(np.float64), r.to_numpy(np.float64)) for c, p, r in fields]
            t0 = time.perf_counter()
            for c, p, r in tables:
                merge_points_removing_overlap(c, p, r, TOLERANCE, 1)
            result["native_1_seconds"] = time.perf_counter() - t0
            t0 = time.perf_counter()
            out = [_merge_one(field, threads) for field in fields]
            result["seconds"] = time.perf_counter() - t0
            rows = [points.loc[o.index] for o in out] if args.digest else []
        elif args.contender == "pool-2":
            import multiprocessing
            from concurrent.futures import ProcessPoolExecutor
            with ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn")) as pool:
                list(pool.map(_warm, range(2)))
                t0 = time.perf_counter()
                out = list(pool.map(_merge_one, fields, [1] * len(fields), chunksize=4))
                result["seconds"] = time.perf_counter() - t0
            rows = [points.loc[o.index] for o in out] if args.digest else []
        else:
            from distributed import wait

            from rowmerge.dask import merge_fields
            cluster, client = _local_cluster(own_malloc=args.contender == "cluster-2g")
            with cluster, client:
                tables = [_on_workers(args.dir, name, n) for name, n in (("connected", 2), ("points", TASKS),
                                                                         ("rows", 2))]
                wait(tables)
                _warm_cluster(client, one_field=False)
                result["first_seconds"], merged = _timed_twice(lambda: merge_fields(*tables, tolerance=TOLERANCE))
                result["seconds"] = merged[0]
                merged = merged[1]
                rows = [merged.compute()] if args.digest else []
        result["fields"] = len(fields)
        result["points"] = int(points.shape[0])
        if args.digest:
            result["digest"] = _digest(_stacked(rows))
    else:
        c, p, r = (np.load(os.path.join(args.dir, f"large-{n}.npy")) for n in ("connected", "points", "rows"))
        if args.contender == "native-2":
            from rowmerge import merge_points_removing_overlap
            t0 = time.perf_counter()
            out = merge_points_removing_overlap(c, p, r, TOLERANCE, 2)
            result["seconds"] = time.perf_counter() - t0
        else:
            from distributed import wait

            from rowmerge.dask import merge_field
            cluster, client = _local_cluster(own_malloc=args.contender == "field-2g")
            with cluster, client:
                points = _on_workers(args.dir, "points", LARGE_PARTITIONS, large=True)
                wait(points)
                _warm_cluster(client, one_field=True)
                result["first_seconds"], merged = _timed_twice(lambda: merge_field(c, points, r, tolerance=TOLERANCE))
                result["seconds"] = merged[0]
                merged = merged[1]
                out = merged.compute().to_numpy(np.float64) if args.digest else None
        result["points"] = int(p.shape[0])
        if args.digest:
            result["digest"] = _digest(out)
    print(json.dumps(result))


# ---------------------------------------------------------------- driver side

def run_worker(contender: str, directory: str, digest: bool = False) -> dict:
    cmd = [sys.executable, os.path.abspath(__file__), "--worker", contender, "--dir", directory]
    if digest:
        cmd.append("--digest")
    env = dict(os.environ, NO_COLOR="1")
    proc = subprocess.run(cmd, capture_output=True, text=True, env=env)
    if proc.returncode != 0:
        raise SystemExit(f"{contender} failed:\n{proc.stderr}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


def make_inputs(directory: str, fields: int, large_rows: int) -> None:
    from rowmerge.field import make_field

    rows, segments, per_segment = FIELD_SHAPE
    stacked = _stacked_fields(make_field(rows, segments=segments, points_per_segment=per_segment,
                                         row_length=12.0 * segments, seed=1000 + k) for k in range(fields))
    for name, values in stacked.items():
        np.save(os.path.join(directory, f"{name}.npy"), values)
    _, segments, per_segment = LARGE_SHAPE
    large = make_field(large_rows, segments=segments, points_per_segment=per_segment, row_length=12.0 * segments, seed=7)
    for name, table in (("connected", large.connected_crop_rows), ("points", large.points_in_rows),
                        ("rows", large.row_information)):
        np.save(os.path.join(directory, f"large-{name}.npy"), table)


def measure(repeats: int, fields: int, large_rows: int) -> tuple[dict, dict]:
    with tempfile.TemporaryDirectory(prefix="rowmerge-fields-") as directory:
        make_inputs(directory, fields, large_rows)
        for group in (MANY, LARGE):
            digests = {c: run_worker(c, directory, digest=True)["digest"] for c in group}
            if len(set(digests.values())) != 1:
                raise SystemExit(f"contenders disagree: {digests}")
        samples: dict[str, list[dict]] = {c: [] for c in MANY + LARGE}
        for _ in range(repeats):
            for contender in MANY + LARGE:
                samples[contender].append(run_worker(contender, directory))
                print(f"measured {contender}", file=sys.stderr)
    return {c: statistics.median(r["seconds"] for r in runs) for c, runs in samples.items()}, \
        {"native_1": statistics.median(r["native_1_seconds"] for r in samples["loop-1"] + samples["loop-2"]),
         "fields": samples["loop-1"][0]["fields"], "points": samples["loop-1"][0]["points"],
         "large_points": samples["native-2"][0]["points"],
         "first": {c: statistics.median(r["first_seconds"] for r in runs)
                   for c, runs in samples.items() if "first_seconds" in runs[0]}}


def report(seconds: dict, facts: dict) -> None:
    fields, points = facts["fields"], facts["points"]
    print(f"{fields} fields, {points:,} points; bare native merges with 1 thread: {facts['native_1']:.3f} s "
          "(medians; machine load not controlled)")
    first = facts["first"]
    print(f"{'contender':<11} {'seconds':>8} {'Mpoints/s':>10} {'x loop-1':>9} {'overhead ms/field':>18} "
          f"{'first run s':>12}")
    for c in MANY:
        cores = 1 if c == "loop-1" else 2
        overhead = (seconds[c] - facts["native_1"] / cores) / fields * 1000
        print(f"{c:<11} {seconds[c]:>8.3f} {points / seconds[c] / 1e6:>10.2f} "
              f"{seconds['loop-1'] / seconds[c]:>9.2f} {overhead:>18.3f} "
              f"{f'{first[c]:.3f}' if c in first else '':>12}")
    print(f"\none field of {facts['large_points']:,} points")
    print(f"{'contender':<11} {'seconds':>8} {'Mpoints/s':>10} {'x native-2':>11} {'first run s':>12}")
    for c in LARGE:
        print(f"{c:<11} {seconds[c]:>8.3f} {facts['large_points'] / seconds[c] / 1e6:>10.2f} "
              f"{seconds[c] / seconds['native-2']:>11.2f} {f'{first[c]:.3f}' if c in first else '':>12}")
    print("\ntargets (on workers with Dask's settings; with worker_environ()):")
    for suffix in ("", "g"):
        speedup = seconds["loop-1"] / seconds[f"cluster-2{suffix}"]
        print(f"  {'met   ' if speedup >= 1.6 else 'MISSED'} merge_fields (cluster-2{suffix}) at least 1.6x faster "
              f"than the 1-thread loop: {speedup:.2f}x")
    for suffix in ("", "g"):
        ratio = seconds[f"field-2{suffix}"] / seconds["native-2"]
        print(f"  {'met   ' if ratio <= 3 else 'MISSED'} merge_field (field-2{suffix}) within 3x of one native call "
              f"with 2 threads: {ratio:.2f}x")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--fields", type=int, default=400)
    parser.add_argument("--large-rows", type=int, default=LARGE_SHAPE[0], help=argparse.SUPPRESS)
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    parser.add_argument("--dir", help=argparse.SUPPRESS)
    parser.add_argument("--digest", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        args.contender = args.worker
        worker(args)
        return 0
    report(*measure(max(args.repeats, 1), args.fields, args.large_rows))
    return 0


if __name__ == "__main__":
    sys.exit(main())
