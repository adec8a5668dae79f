"""Memory and references: nothing a call takes is kept, on success or failure.

Memory is measured in fresh interpreters, so nothing else the suite did is
counted.  Under AddressSanitizer (scripts/asan-pytest) the memory figures mean
nothing (freed memory sits in quarantine); there the leak checker does that job
and only the reference counts are checked here.
"""

from __future__ import annotations

import json
import os
import sys

import numpy as np
import pytest

from interpreter import run_python
from worked_examples import diagonal

UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
needs_plain_allocator = pytest.mark.skipif(UNDER_ASAN, reason="memory figures are meaningless under ASan")


class FloatLike:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class IndexLike:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def failing_field():
    """Two connected crop rows; the second names a base crop row without a record."""
    connected, points, info, tol, _ = diagonal()
    connected = np.vstack([connected, connected])
    connected[1, 1] = 99.0
    return connected, points, info, tol


def call_kinds():
    """(name, arguments, keyword arguments, expected exception or None)."""
    connected, points, info, tol, _ = diagonal()
    broken = failing_field()
    return [
        ("success", (connected, points, info, FloatLike(tol), IndexLike(1)), {}, None),
        ("success, two threads", (connected, points, info, tol, IndexLike(2)), {}, None),
        ("success by keyword", (), dict(num_threads=IndexLike(1), tolerance=FloatLike(tol), connected_crop_rows=connected,
                                         row_information=info, points_in_rows=points), None),
        ("abort", (*broken[:3], FloatLike(broken[3]), IndexLike(2)), {}, BaseException),
        ("third array refused", (connected, points, info.astype(np.float32), tol, 1), {}, TypeError),
        ("second array refused", (connected, [[1.0]], info, tol, 1), {}, TypeError),
        ("tolerance refused", (connected, points, info, "0.5", 1), {}, TypeError),
        ("num_threads too large", (connected, points, info, FloatLike(tol), IndexLike(2**32)), {}, OverflowError),
        ("num_threads negative", (connected, points, info, tol, IndexLike(-1)), {}, OverflowError),
        ("unknown keyword", (connected, points, info, tol), dict(threads=IndexLike(1)), TypeError),
        ("duplicate argument", (connected, points, info, tol), dict(tolerance=FloatLike(tol), num_threads=1), TypeError),
    ]


@pytest.mark.parametrize("name, args, kwargs, error", call_kinds(), ids=[k[0] for k in call_kinds()])
def test_reference_counts_of_arguments_are_unchanged(merge, name, args, kwargs, error):
    # Small ints and other objects that the interpreter shares everywhere have
    # counts that anything in the process moves (a collection, another
    # thread); only the caller's own objects can show a leak.
    objects = [o for o in (*args, *kwargs.values()) if sys.getrefcount(o) < 1_000_000]
    before = [sys.getrefcount(o) for o in objects]
    for _ in range(3):
        if error is None:
            result = merge(*args, **kwargs)
            # The caller holds the only reference to the result, and the
            # result the only one to its container.
            container = result.base
            counts = sys.getrefcount(result), sys.getrefcount(container)
            assert counts == (2, 3)  # each plus the argument of getrefcount
            del result, container
        else:
            with pytest.raises(error):
                merge(*args, **kwargs)
    after = [sys.getrefcount(o) for o in objects]
    assert after == before


MEASURE_CALLS = r"""
import gc, json, os, sys
import numpy as np
sys.path.insert(0, {tests!r})
from test_leaks_native import call_kinds
from rowmerge import merge_points_removing_overlap as merge

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

def run(args, kwargs, count):
    for _ in range(count):
        try:
            merge(*args, **kwargs)
        except BaseException:
            pass

report = {{}}
for name, args, kwargs, error in call_kinds():
    run(args, kwargs, 2000)  # warm-up: pools, caches, first-use items
    gc.collect()
    rss0, blocks0 = rss(), sys.getallocatedblocks()
    run(args, kwargs, {calls})
    gc.collect()
    report[name] = [rss() - rss0, sys.getallocatedblocks() - blocks0]
print(json.dumps(report))
"""


@needs_plain_allocator
def test_many_calls_of_every_kind_do_not_grow_memory():
    tests = os.path.dirname(os.path.abspath(__file__))
    proc = run_python(MEASURE_CALLS.format(tests=tests, calls=10_000), env={"NO_COLOR": "1"}, timeout=600)
    assert proc.returncode == 0, proc.stderr[-3000:]
    report = json.loads(proc.stdout.strip().splitlines()[-1])
    print(report)
    for name, (rss_growth, block_growth) in report.items():
        assert rss_growth < 1 << 20, (name, rss_growth)
        # A Python object kept per call would add 10,000 blocks.
        assert block_growth < 500, (name, block_growth)


RESULT_LIFETIME = r"""
import gc, json, os
import numpy as np
from rowmerge import merge_points_removing_overlap as merge

def rss():
    gc.collect()
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

rows = 1_000_000
connected = np.array([[0.0, 1.0, 1.0, np.nan]])
info = np.zeros((1, 5)); info[0, 0] = info[0, 4] = 1.0
points = np.ones((rows, 8)); points[:, 2] = np.arange(rows)
result = merge(connected, points, info, 0.1, 2)   # every point survives: 64 MB
del points
view = result[::1000, 2]
expected = float(view.sum())
figures = {"with_result": rss()}
del result
figures["with_view"] = rss()
figures["view_intact"] = float(view.sum()) == expected
del view
figures["after_view"] = rss()
print(json.dumps(figures))
"""


@needs_plain_allocator
def test_result_buffer_is_freed_with_the_last_view():
    proc = run_python(RESULT_LIFETIME, env={"NO_COLOR": "1"})
    assert proc.returncode == 0, proc.stderr[-3000:]
    f = json.loads(proc.stdout.strip().splitlines()[-1])
    mib = 1 << 20
    assert f["view_intact"]
    # The view keeps the whole buffer alive; the last view frees it.
    assert f["with_view"] > f["with_result"] - 4 * mib, f
    assert f["after_view"] < f["with_view"] - 56 * mib, f
