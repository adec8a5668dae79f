#!/usr/bin/env python3
"""rowmerge against the alternatives, on synthetic fields of four sizes.

Contenders
  rowmerge-2   the extension module with 2 worker threads
  rowmerge-1   the same with 1 worker thread
  literal-2    the literal merge (scans every table for every question), C++,
               connected rows spread over 2 threads
  numpy        a vectorised NumPy merge (points grouped by key once, one mask
               per connected row and link)
  limit        every point read once and an output of the size rowmerge
               produced written once into fresh memory, split over 2 Python
               threads (NumPy's copyto and sum let go of the interpreter
               lock): the least memory traffic of any merge on 2 threads
  floor        copying the three inputs once and writing an output of the
               size rowmerge produced, on one thread

Every measurement runs in a fresh interpreter (so that its peak memory is
its own), interleaved across contenders, and the median
of the repeats is reported.  Peak memory is the growth of the process's
maximum resident set during the measured call, beyond what the loaded inputs
already used, less the file pages the call brought in: the first call of a
process pages in the code it runs (the extension's, NumPy's), which is the
program's, not the call's memory (about 0.25 MB for rowmerge; the file
column of the table shows it).  Before timing, every contender's rows are
checked to agree.

On the largest field the literal merge is run on a slice of the connected
rows and its time extrapolated; the table says so.

Usage: python bench/compare.py [--sizes small,medium,large,xlarge] [--repeats 3]
"""

from __future__ import annotations

import argparse
import ctypes
import hashlib
import json
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
LITERAL_LIB = os.environ.get("ROWMERGE_LITERAL_LIB", os.path.join(ROOT, "build", "bench", "libliteral.so"))

# name: (field rows, segments per field row, points per segment, literal slice or None)
SIZES = {
    "small": (40, 5, 1000, None),     # 200 connected rows, 200,000 points
    "medium": (200, 5, 1000, None),   # 1,000 / 1,000,000
    "large": (1000, 5, 1000, 250),    # 5,000 / 5,000,000; literal on 250 connected rows
    "xlarge": (4000, 5, 1000, 60),    # 20,000 / 20,000,000; literal on 60 connected rows
}
CONTENDERS = ("rowmerge-2", "rowmerge-1", "literal-2", "numpy", "limit", "floor")
LIMIT_THREADS = 2
TOLERANCE = 0.03


# ---------------------------------------------------------------- worker side

def _status_kb(field: str) -> int | None:
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def _reset_peak() -> int:
    """Starts a new peak-memory window; returns the resident size now, in KiB.

    Linux resets the peak resident size (VmHWM) to the current one when "5"
    is written to clear_refs; elsewhere the process's maximum so far is the
    baseline, which can hide growth that stays below an earlier peak.
    """
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        now = _status_kb("VmRSS")
        if now is not None:
            return now
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def _peak_kb() -> int:
    peak = _status_kb("VmHWM")
    return peak if peak is not None else resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def _digest(rows: np.ndarray) -> str:
    order = np.lexsort(rows.T[::-1]) if rows.shape[0] else np.arange(0)
    return hashlib.sha256(np.ascontiguousarray(rows[order]).tobytes()).hexdigest()[:16]


def _literal(c, p, r, first, count, threads):
    lib = ctypes.CDLL(LITERAL_LIB)
    f = lib.literal_merge
    dbl, sz = ctypes.POINTER(ctypes.c_double), ctypes.c_size_t
    f.argtypes = [dbl, sz, sz, dbl, sz, sz, dbl, sz, sz, ctypes.c_double, sz, sz, ctypes.c_uint,
                  ctypes.POINTER(ctypes.POINTER(ctypes.c_uint32)), ctypes.POINTER(sz), ctypes.c_char_p, sz]
    f.restype = ctypes.c_int
    lib.literal_free.argtypes = [ctypes.POINTER(ctypes.c_uint32)]
    out, n, err = ctypes.POINTER(ctypes.c_uint32)(), sz(), ctypes.create_string_buffer(512)
    ptr = lambda a: a.ctypes.data_as(dbl)  # noqa: E731
    rc = f(ptr(c), *c.shape, ptr(p), *p.shape, ptr(r), *r.shape, TOLERANCE, first, count, threads,
           ctypes.byref(out), ctypes.byref(n), err, len(err))
    if rc != 0:
        raise RuntimeError("literal merge failed: " + err.value.decode())
    try:
        rows = np.ctypeslib.as_array(out, shape=(n.value,)).astype(np.intp) if n.value else np.zeros(0, np.intp)
    finally:
        lib.literal_free(out)
    return p[rows]


def _limit(c, p, r, out_rows: int, threads: int) -> np.ndarray:
    """Every input value read once, the output written once, over `threads`."""
    import threading
    out = np.empty((out_rows, p.shape[1]))
    copied = min(out_rows, p.shape[0])
    sums = [0.0] * threads

    def share(k: int) -> None:
        lo, hi = copied * k // threads, copied * (k + 1) // threads
        np.copyto(out[lo:hi], p[lo:hi])
        rest = p.shape[0] - copied
        a, b = copied + rest * k // threads, copied + rest * (k + 1) // threads
        sums[k] = float(p[a:b].sum())
        lo, hi = copied + (out_rows - copied) * k // threads, copied + (out_rows - copied) * (k + 1) // threads
        out[lo:hi] = 0.0
        if k == 0:
            sums[k] += float(c.sum()) + float(r.sum())

    helpers = [threading.Thread(target=share, args=(k,)) for k in range(1, threads)]
    for t in helpers:
        t.start()
    share(0)
    for t in helpers:
        t.join()
    return out


def worker(args) -> None:
    c = np.load(os.path.join(args.dir, "connected.npy"))
    p = np.load(os.path.join(args.dir, "points.npy"))
    r = np.load(os.path.join(args.dir, "rows.npy"))
    first, count = args.first, (c.shape[0] if args.count < 0 else args.count)
    if args.contender == "numpy":
        sys.path.insert(0, HERE)
        from numpy_merge import numpy_merge
    elif args.contender.startswith("rowmerge"):
        from rowmerge import merge_points_removing_overlap
    subset = c[first:first + count]

    def run_once():
        if args.contender.startswith("rowmerge"):
            return merge_points_removing_overlap(subset, p, r, TOLERANCE, int(args.contender.split("-")[1]))
        if args.contender == "numpy":
            return numpy_merge(subset, p, r, TOLERANCE)
        if args.contender == "limit":
            return _limit(c, p, r, args.out_rows, LIMIT_THREADS)
        # floor: the inputs copied once, an output of rowmerge's size written
        copies = (c.copy(), p.copy(), r.copy())
        result = np.empty((args.out_rows, p.shape[1]))
        n = min(args.out_rows, p.shape[0])
        result[:n] = copies[1][:n]
        result[n:] = 0.0
        return result

    base = _reset_peak()
    files_before = _status_kb("RssFile") or 0
    extra = {}
    t0 = time.perf_counter()
    if args.contender == "literal-2":
        # The copies the library makes are timed on their own, so that only
        # the merge proper is extrapolated when a slice is run.
        out = _literal(c, p, r, first, 0, 2)
        extra["fixed_seconds"] = time.perf_counter() - t0
        t0 = time.perf_counter()
        out = _literal(c, p, r, first, count, 2)
    else:
        out = run_once()
    seconds = time.perf_counter() - t0
    files_kb = max(0, (_status_kb("RssFile") or 0) - files_before)
    peak_kb = _peak_kb() - base - files_kb
    # The same call once more in the same process: a pipeline that merges
    # field after field sees this time, without the first call's cost of
    # getting fresh memory from the kernel.
    warm = seconds
    if args.contender != "literal-2":
        del out
        t0 = time.perf_counter()
        out = run_once()
        warm = time.perf_counter() - t0
    result = {"seconds": seconds, "warm_seconds": warm, "peak_extra_kb": peak_kb, "files_kb": files_kb,
              "rows_out": int(out.shape[0]),
              "input_kb": (c.nbytes + p.nbytes + r.nbytes) // 1024, "output_kb": out.nbytes // 1024, **extra}
    if args.digest:
        result["digest"] = _digest(out)
    print(json.dumps(result))


# ---------------------------------------------------------------- driver side

def run_worker(contender: str, directory: str, *, first=0, count=-1, out_rows=0, digest=False) -> dict:
    cmd = [sys.executable, os.path.abspath(__file__), "--worker", contender, "--dir", directory,
           "--first", str(first), "--count", str(count), "--out-rows", str(out_rows)]
    if digest:
        cmd.append("--digest")
    env = dict(os.environ, NO_COLOR="1")  # no progress bar in the measurements
    proc = subprocess.run(cmd, capture_output=True, text=True, env=env)
    if proc.returncode != 0:
        raise SystemExit(f"{contender} failed:\n{proc.stderr}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


def make_inputs(name: str, directory: str) -> tuple[int, int]:
    from rowmerge.field import make_field
    rows, segments, per_segment, _ = SIZES[name]
    field = make_field(rows, segments=segments, points_per_segment=per_segment,
                       row_length=12.0 * segments, seed=7)
    np.save(os.path.join(directory, "connected.npy"), field.connected_crop_rows)
    np.save(os.path.join(directory, "points.npy"), field.points_in_rows)
    np.save(os.path.join(directory, "rows.npy"), field.row_information)
    return field.connected_crop_rows.shape[0], field.points_in_rows.shape[0]


def check_agreement(directory: str, n_connected: int, literal_slice: int | None) -> int:
    """Every contender's rows, compared as sorted tables; returns rowmerge's output row count."""
    full = {name: run_worker(name, directory, digest=True) for name in ("rowmerge-2", "rowmerge-1", "numpy")}
    count = literal_slice if literal_slice is not None else n_connected
    sliced = {name: run_worker(name, directory, count=count, digest=True) for name in ("literal-2", "numpy")}
    if literal_slice is None:
        sliced.pop("numpy")
        full.update(sliced)
        sliced = {}
    digests = {name: r["digest"] for name, r in full.items()}
    if len(set(digests.values())) != 1:
        raise SystemExit(f"contenders disagree: {digests}")
    if sliced and len({r["digest"] for r in sliced.values()}) != 1:
        raise SystemExit(f"contenders disagree on the first {count} connected rows: "
                         f"{ {n: r['digest'] for n, r in sliced.items()} }")
    return full["rowmerge-2"]["rows_out"]


def measure(name: str, repeats: int) -> list[dict]:
    with tempfile.TemporaryDirectory(prefix="rowmerge-bench-") as directory:
        n_connected, n_points = make_inputs(name, directory)
        literal_slice = SIZES[name][3]
        out_rows = check_agreement(directory, n_connected, literal_slice)
        samples: dict[str, list[dict]] = {c: [] for c in CONTENDERS}
        for _ in range(repeats):
            for contender in CONTENDERS:
                kwargs = {"out_rows": out_rows}
                if contender == "literal-2" and literal_slice is not None:
                    kwargs["count"] = literal_slice
                samples[contender].append(run_worker(contender, directory, **kwargs))
    rows = []
    for contender, runs in samples.items():
        seconds, warm = [], []
        for r in runs:
            s = r["seconds"]
            if contender == "literal-2" and literal_slice is not None:
                fixed = min(r["fixed_seconds"], s)
                s = fixed + (s - fixed) * n_connected / literal_slice
            seconds.append(s)
            warm.append(s if contender == "literal-2" else r["warm_seconds"])
        note = ""
        if contender == "literal-2" and literal_slice is not None:
            note = f"extrapolated from {literal_slice} of {n_connected} connected rows"
        rows.append({"size": name, "contender": contender, "connected": n_connected, "points": n_points,
                     "seconds": statistics.median(seconds), "warm": statistics.median(warm),
                     "peak_extra_mb": statistics.median(r["peak_extra_kb"] for r in runs) / 1024,
                     "files_mb": statistics.median(r.get("files_kb", 0) for r in runs) / 1024,
                     "input_mb": runs[0]["input_kb"] / 1024, "output_mb": runs[0]["output_kb"] / 1024,
                     "note": note})
    return rows


def report(results: list[dict]) -> None:
    print("cold: the first call in a fresh interpreter; warm: the same call again in that process")
    print(f"{'field':<30} {'contender':<11} {'cold s':>8} {'x rm':>7} {'x limit':>8} "
          f"{'warm s':>8} {'x rm':>7} {'x limit':>8} {'peak +MB':>9} {'file MB':>8}  note")
    by_size = {}
    for size in dict.fromkeys(r["size"] for r in results):
        group = [r for r in results if r["size"] == size]
        get = by_size[size] = {r["contender"]: r for r in group}
        label = f"{size} ({group[0]['connected']:,} / {group[0]['points']:,})"
        for r in group:
            cols = []
            for key in ("seconds", "warm"):
                cols.append(f"{r[key]:>8.4f} {r[key] / get['rowmerge-2'][key]:>7.2f} "
                            f"{r[key] / get['limit'][key]:>8.2f}")
            print(f"{label:<30} {r['contender']:<11} {cols[0]} {cols[1]} {r['peak_extra_mb']:>9.1f} "
                  f"{r['files_mb']:>8.2f}  {r['note']}")
            label = ""

    print("\ntargets (rowmerge with 2 threads):")

    def check(text: str, ok: bool, figure: str) -> None:
        print(f"  {'met   ' if ok else 'MISSED'} {text}: {figure}")

    def vs_limit(size: str, key: str, most: float, kind: str) -> None:
        if size in by_size:
            get = by_size[size]
            ratio = get["rowmerge-2"][key] / get["limit"][key]
            check(f"{size} field, {kind}, within {most}x of the limit", ratio <= most, f"{ratio:.2f}x")

    vs_limit("large", "warm", 2.0, "warm")
    vs_limit("large", "seconds", 2.5, "first call in a fresh process")
    vs_limit("medium", "warm", 2.5, "warm")
    if "large" in by_size:
        get = by_size["large"]
        for key, kind in (("warm", "warm"), ("seconds", "cold")):
            ratio = get["numpy"][key] / get["rowmerge-2"][key]
            check(f"large field, {kind}, at least 10x faster than NumPy", ratio >= 10, f"{ratio:.1f}x")
    if "medium" in by_size and "xlarge" in by_size:
        def growth_of(contender: str) -> tuple[float, dict]:
            per_point = {s: by_size[s][contender]["warm"] / by_size[s][contender]["points"]
                         for s in ("medium", "xlarge")}
            return per_point["xlarge"] / per_point["medium"], per_point

        growth, per_point = growth_of("rowmerge-2")
        # The limit's own growth says how much of it the memory system makes
        # (caches, fresh pages), whatever the merge does.
        check("time per point, medium -> xlarge, warm, grows at most 1.2x", growth <= 1.2,
              f"{growth:.2f}x ({per_point['medium'] * 1e9:.1f} -> {per_point['xlarge'] * 1e9:.1f} ns; "
              f"the limit's grows {growth_of('limit')[0]:.2f}x)")
    for size, get in by_size.items():
        rm = get["rowmerge-2"]
        budget = rm["output_mb"] + 8 * rm["points"] / 2**20
        check(f"{size} field, peak memory beyond the inputs within output + 8 bytes per point",
              rm["peak_extra_mb"] <= budget, f"{rm['peak_extra_mb']:.0f} MB, budget {budget:.0f} MB")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--sizes", default="small,medium,large,xlarge")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    parser.add_argument("--dir", help=argparse.SUPPRESS)
    parser.add_argument("--first", type=int, default=0, help=argparse.SUPPRESS)
    parser.add_argument("--count", type=int, default=-1, help=argparse.SUPPRESS)
    parser.add_argument("--out-rows", type=int, default=0, help=argparse.SUPPRESS)
    parser.add_argument("--digest", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        args.contender = args.worker
        worker(args)
        return 0
    if not os.path.exists(LITERAL_LIB):
        raise SystemExit(f"{LITERAL_LIB} is missing: run 'make bench' (or bench/literal/build.sh)")
    results = []
    for name in args.sizes.split(","):
        results.extend(measure(name, max(args.repeats, 1)))
        print(f"measured {name}", file=sys.stderr)
    report(results)
    return 0


if __name__ == "__main__":
    sys.exit(main())
