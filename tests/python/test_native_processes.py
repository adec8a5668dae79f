"""Behaviour that needs a fresh interpreter: process-wide state and threads."""

from __future__ import annotations

import json
import textwrap

import numpy as np
import pytest

from interpreter import run_python

PRELUDE = textwrap.dedent("""
    import json, os, sys
    import numpy as np
    from rowmerge._native import merge_points_removing_overlap as merge
    def threads():
        return len(os.listdir("/proc/self/task"))
    def field(rows):
        info = np.array([[k, 0, 0, 0, 1, 0, 0, 10, 0, 5, 0] for k in range(1, rows + 2)], dtype=float)
        connected = np.array([[0, k, 1, k + 1, 1, np.nan] for k in range(1, rows + 1)], dtype=float)
        points = np.array([[k, 1, x, 0.0] for k in range(1, rows + 2) for x in (1.0, 9.9)])
        return connected, points, info
""")


def run(code: str, **kwargs):
    done = run_python(PRELUDE + textwrap.dedent(code), **kwargs)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1])


def test_worker_threads_follow_num_threads():
    counts = run("""
        before = threads()
        tables = field(20)
        merge(*tables, 0.1, 3)
        after_three = threads()
        merge(*tables, 0.1, 3)
        again = threads()
        merge(*tables, 0.1, 2)
        print(json.dumps([before, after_three, again, threads()]))
    """)
    before, after_three, again, after_two = counts
    assert after_three == before + 3
    assert again == after_three  # the pool for a count is made once
    assert after_two >= again


def test_repeated_calls_with_changing_thread_counts():
    outcome = run("""
        tables = field(30)
        first = merge(*tables, 0.1, 1)
        same = True
        for n in (2, 0, 1, 4, 3, 1, 2):
            got = merge(*tables, 0.1, n)
            key = lambda a: sorted(map(tuple, a.tolist()))
            same = same and got.shape == first.shape and key(got) == key(first)
        print(json.dumps([first.shape[0], same, merge(*tables, 0.1, 1).tolist() == first.tolist()]))
    """)
    assert outcome[0] > 0 and outcome[1:] == [True, True]


def test_array_module_of_the_running_numpy():
    name = run("""
        merge(np.zeros((0, 11)), np.zeros((0, 4)), np.zeros((0, 11)), 0.1, 1)
        found = [m for m in ("numpy._core.multiarray", "numpy.core.multiarray")
                 if m in sys.modules and hasattr(sys.modules[m], "_RUST_NUMPY_BORROW_CHECKING_API")]
        print(json.dumps(found))
    """)
    expected = "numpy._core.multiarray" if int(np.__version__.split(".")[0]) >= 2 else "numpy.core.multiarray"
    assert name == [expected]


# NumPy replaced by a stand-in package whose API table answers with chosen
# versions: the module must refuse it with the right text and keep nothing.
FAKE_NUMPY = textwrap.dedent("""
    import ctypes, sys, types
    answers = {"abi": 0x2000000, "feature": 0x11, "endian": 1}
    make = ctypes.CFUNCTYPE(ctypes.c_uint)
    callbacks = [make(lambda: answers["abi"]), make(lambda: answers["feature"]),
                 make(lambda: answers["endian"])]
    table = (ctypes.c_void_p * 300)()
    table[0] = ctypes.cast(callbacks[0], ctypes.c_void_p)
    table[211] = ctypes.cast(callbacks[1], ctypes.c_void_p)
    table[210] = ctypes.cast(callbacks[2], ctypes.c_void_p)
    new_capsule = ctypes.pythonapi.PyCapsule_New
    new_capsule.restype = ctypes.py_object
    new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    numpy = types.ModuleType("numpy"); numpy.__version__ = "2.1.0"; numpy.__path__ = []
    lib = types.ModuleType("numpy.lib")
    class NumpyVersion:
        def __init__(self, text): self.major = int(text.split(".")[0])
    lib.NumpyVersion = NumpyVersion
    core = types.ModuleType("numpy._core"); core.__path__ = []
    multiarray = types.ModuleType("numpy._core.multiarray")
    multiarray._ARRAY_API = new_capsule(ctypes.addressof(table), None, None)
    sys.modules.update({"numpy": numpy, "numpy.lib": lib, "numpy._core": core,
                        "numpy._core.multiarray": multiarray})
    import importlib.util, pathlib
""")

FAKE_CALLS = textwrap.dedent("""
    spec = importlib.util.find_spec("rowmerge._native")
    native = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(native)
    def call():
        try:
            native.merge_points_removing_overlap(object(), None, None, 0.1, 1)
        except BaseException as e:
            print(type(e).__name__ + ": " + str(e).splitlines()[0])
    for step in STEPS:
        exec(step)
        call()
""")


def run_fake(steps):
    pytest.importorskip("ctypes", reason="the stand-in NumPy's API table is made with ctypes, which this Python lacks")
    code = FAKE_NUMPY + f"STEPS = {steps!r}\n" + FAKE_CALLS
    done = run_python(code)
    assert done.returncode == 0, done.stderr
    return done.stdout.splitlines()


PREFIX = "PanicException: Failed to access NumPy array API capsule: type <class 'RuntimeError'>, value RuntimeError("


def test_numpy_table_checks():
    lines = run_fake([
        "answers['feature'] = 0xb",
        "answers['feature'] = 0xa",  # tried again: nothing was kept
        "answers['feature'] = 0x11; answers['abi'] = 0x3000000",
        "answers['abi'] = 0x1000009; answers['endian'] = 2",
        "multiarray._ARRAY_API = 5",
        "numpy.__version__ = 'x'",
    ])
    assert lines[0] == PREFIX + ("'module was compiled against NumPy C-API version 0xc (NumPy 1.15) but the "
                                 "running NumPy has C-API version 0xb'), traceback: None")
    assert lines[1].endswith("C-API version 0xa'), traceback: None")
    assert lines[2] == PREFIX + ("'module compiled against ABI version 0x2000000 but this version of numpy is "
                                 "0x3000000'), traceback: None")
    assert lines[3] == PREFIX + "'module compiled as little endian, but detected different endianness at runtime')"\
        ", traceback: None"
    assert lines[4] == ("PanicException: Failed to access NumPy array API capsule: type <class 'TypeError'>, "
                        "value TypeError(\"'int' object is not an instance of 'PyCapsule'\"), traceback: None")
    # The core name was found once and is kept; the version is not read again.
    assert lines[5] == lines[4]


def test_numpy_that_cannot_be_imported():
    code = textwrap.dedent("""
        import sys, importlib.util, pathlib, sysconfig
        package = pathlib.Path(importlib.util.find_spec("rowmerge").submodule_search_locations[0])
        sys.modules["numpy"] = None
        path = package / ("_native" + sysconfig.get_config_var("EXT_SUFFIX"))
        spec = importlib.util.spec_from_file_location("rowmerge._native", path)
        native = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(native)
        for _ in range(2):
            try:
                native.merge_points_removing_overlap([], [], [], 0.1, 1)
            except BaseException as e:
                print(type(e).__name__ + ": " + str(e))
        del sys.modules["numpy"]
        import numpy as np
        print(native.merge_points_removing_overlap(np.zeros((0, 11)), np.zeros((0, 3)), np.zeros((0, 11)), 0, 1).shape)
    """)
    done = run_python(code)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0].startswith("PanicException: Failed to access NumPy array API capsule: type "
                               "<class 'ModuleNotFoundError'>")
    assert "traceback:" in lines[0]
    assert lines[-1] == "(0, 3)"
    assert sum(line.startswith("PanicException") for line in lines) == 2


def test_a_second_thread_waits_for_the_first_use_without_the_interpreter_lock():
    # Thread a is inside the first use (locating NumPy's API table, slowed
    # down here) when thread b calls too.  b must wait for a's result, made
    # once, and must let go of the interpreter lock while it waits: a needs
    # that lock to finish, so holding it would hang the process.
    outcome = run("""
        import threading, time
        import numpy.lib
        real = numpy.lib.NumpyVersion
        calls, shapes = [], {}
        inside = threading.Event()
        def slow(text):
            calls.append(threading.current_thread().name)
            inside.set()
            time.sleep(0.5)
            return real(text)
        numpy.lib.NumpyVersion = slow
        def work():
            shapes[threading.current_thread().name] = merge(*field(3), 0.1, 1).shape
        a = threading.Thread(target=work, name="a")
        a.start()
        inside.wait()
        b = threading.Thread(target=work, name="b")
        b.start()
        a.join(); b.join()
        print(json.dumps([calls, sorted(shapes), shapes["a"] == shapes["b"]]))
    """)
    assert outcome == [["a"], ["a", "b"], True]


# Pools per thread count: only the two most recently used counts keep theirs.
def test_thread_counts_in_turn_leave_only_the_two_latest_pools():
    counts = run("""
        import time
        def settled(most):
            # A joined worker can stay listed for a moment, under an emulator especially.
            deadline = time.monotonic() + 20
            while threads() > most and time.monotonic() < deadline:
                time.sleep(0.01)
            return threads()
        tables = field(4)
        before = threads()
        for n in range(1, 41):
            merge(*tables, 0.1, n)
        forty = settled(before + 40 + 39)
        merge(*tables, 0.1, 1)
        merge(*tables, 0.1, 2)
        back = settled(before + 1 + 2)
        for n in (1, 2, 1, 2):
            merge(*tables, 0.1, n)
        print(json.dumps([before, forty, back, threads()]))
    """)
    before, forty, back, repeated = counts
    assert forty <= before + 40 + 39
    assert back <= before + 3
    assert repeated == back  # recent counts start no thread


# Fork.  The child runs `body` and reports its JSON result through a pipe;
# a child still running after the limit is killed and reported as "hung".
FORK = textwrap.dedent("""
    import time
    def in_child(body, limit=60):
        r, w = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.close(r)
            try:
                out = json.dumps(body())
            except BaseException as e:
                out = json.dumps(["raised", repr(e)])
            os.write(w, out.encode())
            os._exit(0)
        os.close(w)
        deadline = time.monotonic() + limit
        while os.waitpid(pid, os.WNOHANG)[0] == 0:
            if time.monotonic() > deadline:
                os.kill(pid, 9)
                os.waitpid(pid, 0)
                return "hung"
            time.sleep(0.01)
        with os.fdopen(r, "rb") as f:
            return json.loads(f.read())
    def rows(a):
        # The rows in one order, whatever order the blocks came in.
        return a[np.lexsort(a.T[::-1])]
    def same(a, b):
        return a.shape == b.shape and bool(np.array_equal(a, b))
    def large(copies):
        # One crop row with `copies` points per point: the copy of the
        # points and the index run on the pool.
        connected, points, info = field(3)
        return connected, np.repeat(points, copies, axis=0), info
""")


def run_forking(code: str, **kwargs):
    return run(FORK + textwrap.dedent(code), **kwargs)


def test_a_forked_child_merges_on_pools_of_its_own():
    outcome = run_forking("""
        small, big = field(30), large(70000)
        expected = rows(merge(*small, 0.1, 1))
        expected_big = rows(merge(*big, 0.1, 2))
        merge(*small, 0.1, 0)
        def child():
            got = [same(rows(merge(*small, 0.1, n)), expected) for n in (2, 0, 3, 1)]
            return got + [same(rows(merge(*big, 0.1, n)), expected_big) for n in (2, 0)]
        first = in_child(child)
        second = in_child(child)  # the parent's pools were not disturbed by the first child
        print(json.dumps([first, second, same(rows(merge(*small, 0.1, 2)), expected)]))
    """)
    assert outcome == [[True] * 6, [True] * 6, True]


def test_the_automatic_count_is_resolved_once_and_again_in_a_forked_child():
    outcome = run_forking("""
        tables = field(4)
        before = threads()
        merge(*tables, 0.1, 0)
        first = threads() - before
        os.environ["RAYON_NUM_THREADS"] = "5"
        merge(*tables, 0.1, 0)
        second = threads() - before
        def child():
            alone = threads()
            merge(*tables, 0.1, 0)
            return threads() - alone
        print(json.dumps([first, second, in_child(child)]))
    """, env={"RAYON_NUM_THREADS": "3"})
    assert outcome == [3, 3, 5]


def test_a_multiprocessing_fork_pool_maps_merges_after_the_parent_merged():
    outcome = run_forking("""
        import multiprocessing
        fields = [field(k) for k in (3, 8, 20, 2)]
        expected = [rows(merge(*f, 0.1, 2)) for f in fields]
        def work(job):
            k, n = job
            return same(rows(merge(*fields[k], 0.1, n)), expected[k])
        jobs = [(k, n) for k in range(len(fields)) for n in (0, 1, 2, 3)]
        with multiprocessing.get_context("fork").Pool(2) as workers:
            try:
                got = workers.map_async(work, jobs).get(timeout=60)
            except multiprocessing.TimeoutError:
                got = "hung"
        print(json.dumps(got))
    """)
    assert outcome == [True] * 16


def test_a_fork_during_another_threads_first_use_does_not_hang_the_child():
    # Thread a is inside the first use (locating NumPy's API table, slowed
    # down here, with the interpreter lock let go) when the main thread
    # forks.  The child has no thread a: it must make the table itself.
    outcome = run_forking("""
        import threading
        import numpy.lib
        real = numpy.lib.NumpyVersion
        inside = threading.Event()
        def slow(text):
            inside.set()
            time.sleep(0.5)
            return real(text)
        numpy.lib.NumpyVersion = slow
        a = threading.Thread(target=lambda: merge(*field(3), 0.1, 1))
        a.start()
        inside.wait()
        got = in_child(lambda: merge(*field(3), 0.1, 2).shape[0])
        a.join()
        print(json.dumps([got, merge(*field(3), 0.1, 2).shape[0]]))
    """)
    assert outcome[0] == outcome[1] > 0


def test_workers_use_no_processor_time_between_calls():
    # Workers search on for a moment after their last job, then sleep: once
    # the calls stop, the pool's threads gather no more processor time (the
    # kernel's per-thread user and system ticks), however many calls came
    # before.  A worker that went on searching would gather a tick every
    # 10 ms of the half second watched.
    ticks = run("""
        import time
        def cpu_ticks():
            ticks = {}
            for tid in os.listdir("/proc/self/task"):
                try:
                    with open(f"/proc/self/task/{tid}/stat") as stat:
                        fields = stat.read().rsplit(")", 1)[1].split()
                except FileNotFoundError:
                    continue
                ticks[tid] = int(fields[11]) + int(fields[12])
            return ticks
        before = set(os.listdir("/proc/self/task"))
        tables = field(2)
        for _ in range(20000):
            merge(*tables, 0.1, 2)
        workers = set(os.listdir("/proc/self/task")) - before
        time.sleep(0.05)
        first = cpu_ticks()
        time.sleep(0.5)
        later = cpu_ticks()
        print(json.dumps([len(workers), [later[t] - first[t] for t in workers]]))
    """)
    count, growth = ticks
    assert count == 2
    assert sum(growth) <= 2, growth
