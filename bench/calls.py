#!/usr/bin/env python3
"""The cost of a call beyond its merge, and the threads that calls leave behind.

Timings (one process, the pool already made by a first call):
  1 row, num_threads 0     the automatic count, worked out once per process
  1 row, explicit count    the same call naming the count that 0 resolved to
  2 rows, 2 threads        the smallest call that hands work to the pool

Each variant runs in batches of --batch calls, the variants interleaved, for
--rounds rounds; the median time per call over the rounds is reported, with
ratios between variants measured in the same run.

Threads: the threads of the process before any merge, after merges with 1,
2, ..., 40 threads in turn, and after merges with 1 and 2 threads again.

Usage: python bench/calls.py [--rounds 200] [--batch 50]
"""

from __future__ import annotations

import argparse
import os
import statistics
import time

import numpy as np

from rowmerge import merge_points_removing_overlap as merge


def field(rows: int):
    """`rows` connected rows, each linking crop row k to k + 1 along one line."""
    info = np.array([[k, 0, 0, 0, 1, 0, 0, 10, 0, 5, 0] for k in range(1, rows + 2)], dtype=float)
    connected = np.array([[0, k, 1, k + 1, 1, np.nan] for k in range(1, rows + 1)], dtype=float)
    points = np.array([[k, 1, x, 0.0] for k in range(1, rows + 2) for x in (1.0, 9.9)])
    return connected, points, info


def threads() -> int:
    return len(os.listdir("/proc/self/task"))


def settled(most: int, limit: float = 10.0) -> int:
    """The thread count once joined workers have left the listing."""
    deadline = time.monotonic() + limit
    while threads() > most and time.monotonic() < deadline:
        time.sleep(0.005)
    return threads()


def per_call_ns(call, batch: int) -> float:
    start = time.perf_counter_ns()
    for _ in range(batch):
        call()
    return (time.perf_counter_ns() - start) / batch


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=200)
    parser.add_argument("--batch", type=int, default=50)
    args = parser.parse_args()

    one, two = field(1), field(2)
    before = threads()
    merge(*one, 0.1, 0)
    automatic = threads() - before  # the pool the automatic count made
    variants = {
        "1 row, num_threads 0": lambda: merge(*one, 0.1, 0),
        f"1 row, num_threads {automatic}": lambda: merge(*one, 0.1, automatic),
        "2 rows, 2 threads": lambda: merge(*two, 0.1, 2),
    }
    for call in variants.values():  # every pool made before timing
        call()
    samples = {name: [] for name in variants}
    for _ in range(args.rounds):
        for name, call in variants.items():
            samples[name].append(per_call_ns(call, args.batch))
    medians = {name: statistics.median(values) / 1000 for name, values in samples.items()}

    print(f"median time per call, {args.rounds} rounds of {args.batch} calls (automatic count: {automatic})")
    for name, value in medians.items():
        print(f"  {name:<24} {value:8.2f} us")
    names = list(variants)
    print(f"  ratio, count 0 / explicit count: {medians[names[0]] / medians[names[1]]:.2f} (target: at most 1.5)")
    print(f"  ratio, 2 rows on 2 threads / 1 row: {medians[names[2]] / medians[names[1]]:.2f}")

    # Threads left behind by changing counts (only the two latest pools stay).
    base = settled(before + automatic + 2)
    for n in range(1, 41):
        merge(*two, 0.1, n)
    forty = settled(before + 40 + 39)
    merge(*two, 0.1, 1)
    merge(*two, 0.1, 2)
    back = settled(before + 3)
    print(f"threads: {before} before any merge, {base} with the pools above, "
          f"{forty} after counts 1..40 in turn, {back} after 1 and 2 again")


if __name__ == "__main__":
    main()
