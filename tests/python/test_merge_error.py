"""MergeError: the failing row and the reason, worked out from the tables;
kept whole across a process boundary.

The differential test draws random, often malformed tables and checks the
explanation against the literal model (which row fails first) and against
the native module (which text it fails with).  `ROWMERGE_FUZZ_EXAMPLES` and
`ROWMERGE_FUZZ_RANDOM` lengthen and reseed it as for the random-call test.
"""

from __future__ import annotations

import multiprocessing
import multiprocessing.spawn
import os
import pickle
import shlex
import sys
from concurrent.futures import ProcessPoolExecutor

import numpy as np
import pytest
from hypothesis import event, given
from hypothesis import strategies as st

import literal_model as model
import rowmerge
from rowmerge import MergeError, merge_frame
from rowmerge._explain import first_failure
from rowmerge.errors import explain, run_merge
from test_fuzz_native import FUZZ, fields, layouts
from worked_examples import diagonal, record

NAN = np.nan
NONE = model.NONE_UNWRAP
OOB = model.OUT_OF_BOUNDS
SHAPES = model.INCOMPATIBLE_SHAPES


def two_links():
    """Base crop row (1, 1) between (2, 1) and (3.5, 1); a second base (2, 1)."""
    info = np.array([record(1, 1, (0, 0), (10, 0), (5, 0)),
                     record(2, 1, (9, 1), (20, 1), (15, 1)),
                     record(3.5, 1, (-9, 1), (1, 1), (-4, 1))])
    connected = np.array([[0, 2, 1, NAN, NAN, NAN, NAN, NAN],
                          [0, 1, 1, 2, 1, 3.5, 1, NAN]])
    points = np.array([[1, 1, 3, 0], [2, 1, 12, 1]], dtype=float)
    return connected, points, info


def malformed():
    c, p, i = two_links()

    def with_c(row, column, value):
        changed = c.copy()
        changed[row, column] = value
        return changed

    yield ("base key 4.7 converts to 4", with_c(1, 1, 4.7), p, i, 1, NONE,
           "base crop row (4.7, 1), looked up as (4, 1), has no record in row_information")
    yield ("no linked record", with_c(1, 5, 4.0), p, i, 1, NONE,
           "linked crop row (4, 1) of link pair 1 has no record in row_information")
    yield ("linked keys are compared exactly", with_c(1, 5, 3.0), p, i, 1, NONE,
           "linked crop row (3, 1) of link pair 1 has no record in row_information; "
           "linked keys must equal columns 0 and 4 of a record exactly")
    yield ("NaN linked key 2", with_c(1, 4, NAN), p, i, 1, NONE,
           "linked crop row (2, nan) of link pair 0 has no record in row_information; "
           "a NaN key matches no record")
    yield ("second link pair cut off", c[:, :6], p, i, 1, OOB,
           "connected_crop_rows has 6 columns; link pair 1 has its key 1 in column 5 but no column 6 for key 2")
    yield ("list not ended", c[:, :5], p, i, 1, OOB,
           "connected_crop_rows has 5 columns; link pair 1 needs column 5 "
           "(key 1 of a linked crop row, or NaN to end the list)")
    yield ("base key cut off", c[:, :2], p, i, 0, OOB,
           "connected_crop_rows has 2 columns; the base crop row's key is read from columns 1 and 2")
    yield ("records of 9 columns, a linked record missing", with_c(1, 3, 4.0), p, i[:, :9], 1, NONE,
           "linked crop row (4, 1) of link pair 0 has no record in row_information")
    yield ("records of 9 columns", c, p, i[:, :9], 1, SHAPES,
           "row_information has 9 columns; records need 11, with the reference points in columns 5 "
           "to 10, for link pair 0")
    yield ("records without key 2", c, p, i[:, :4], 0, OOB,
           "row_information has 4 columns; the record of base crop row (2, 1) needs key 2 in column 4")
    yield ("no records", c, p, i[:0], 0, NONE,
           "base crop row (2, 1) has no record: row_information has no rows")
    yield ("points without y", c, p[:, :3], i, 1, OOB,
           "points_in_rows has 3 columns; the overlap filter needs x and y in columns 2 and 3")
    yield ("points without key 2", c, p[:, :1], i, 0, OOB,
           "points_in_rows has 1 column; points whose key 1 is the base crop row's (2) need key 2 in column 1")


CASES = list(malformed())


@pytest.mark.parametrize("case", CASES, ids=[c[0] for c in CASES])
def test_malformed_tables_are_explained(panic_type, case):
    _, connected, points, info, row, message, reason = case
    with pytest.raises(MergeError) as got:
        run_merge(connected, points, info, 0.1, 2)
    error = got.value
    assert type(error.__cause__) is panic_type and str(error.__cause__) == message
    assert (error.message, error.connected_row, error.reason, error.field) == (message, row, reason, None)
    assert str(error) == f"connected row {row}: {reason} ({message})"


CELLS = st.sampled_from([NAN, NAN, 0.0, -0.0, 1.0, 2.0, 3.7, 99.0])


@st.composite
def damaged_fields(draw):
    """Random tables with a few cells of single connected rows changed, and
    perhaps a record gone or a table cut narrower, so that rows fail at
    different places and the lowest failing row is often not the first."""
    connected, points, info = draw(fields())
    connected = connected.copy()
    rows, columns = connected.shape
    for _ in range(draw(st.integers(0, 3)) if rows and columns > 1 else 0):
        connected[draw(st.integers(0, rows - 1)), draw(st.integers(1, columns - 1))] = draw(CELLS)
    if info.shape[0] > 1 and draw(st.booleans()):
        info = np.delete(info, draw(st.integers(0, info.shape[0] - 1)), axis=0)
    if draw(st.integers(0, 5)) == 0:
        points = points[:, :draw(st.integers(1, 3))]
    if draw(st.integers(0, 5)) == 0:
        info = info[:, :draw(st.sampled_from([5, 9, 10]))]
    return connected, points, info


def test_narrow_tables_fail_only_where_they_are_read():
    connected, points, info = two_links()
    # x and y are read only of the points of a linked base (here there are none) ...
    narrow = points[1:, :3]
    assert first_failure(connected, narrow, info) is None
    np.testing.assert_array_equal(run_merge(connected, narrow, info, 0.1, 1), narrow)
    # ... and the reference points only for a link.
    assert first_failure(connected[:1], points, info[:, :9]) is None
    np.testing.assert_array_equal(run_merge(connected[:1], points, info[:, :9], 0.1, 1), points[1:])


@FUZZ
@given(tables=damaged_fields(), data=st.data())
def test_explanation_predicts_the_native_failure(tables, data):
    args = [data.draw(layouts(t)) for t in tables]
    try:
        model.merge(*args, 0.5)
    except model.ModelAbort as abort:
        expected = abort
    else:
        assert first_failure(*args) is None
        event("no failure")
        return
    with pytest.raises(MergeError) as got:
        run_merge(*args, 0.5, data.draw(st.sampled_from([1, 2, 4])))
    error = got.value
    assert error.message == str(expected)  # what the merge raised
    assert error.connected_row == expected.row  # the lowest failing row
    assert str(error) == f"connected row {expected.row}: {error.reason} ({expected})"
    event(f"failure at row {min(expected.row, 2)}: {expected}")


def _emulated_executable(directory) -> str | None:
    """Under an emulator the pool's interpreters need its prefix too."""
    prefix = os.environ.get("ROWMERGE_INTERPRETER_PREFIX")
    if not prefix:
        return None
    wrapper = directory / "python"
    wrapper.write_text(f'#!/bin/sh\nexec {prefix} {shlex.quote(sys.executable)} "$@"\n')
    wrapper.chmod(0o755)
    return str(wrapper)


@pytest.mark.parametrize("start_method", ["spawn", "fork"])
def test_merge_error_comes_back_from_a_worker_process(tmp_path, start_method):
    # This process has merged already, so a forked worker inherits pools
    # whose threads it does not have: it must make its own.
    connected, points, info = two_links()
    tables = (connected[1:], points, info[:2], 0.1, 1)  # row 41 of a larger table
    part = {"field": ("north", 3), "row_numbers": [41]}
    with pytest.raises(MergeError) as here:
        run_merge(*tables, **part)
    here.value.add_note("merged at the edge of the field")
    copy = pickle.loads(pickle.dumps(here.value))
    assert copy.__notes__ == ["merged at the edge of the field"]

    saved = multiprocessing.spawn.get_executable()
    executable = _emulated_executable(tmp_path) if start_method == "spawn" else None
    if executable:
        multiprocessing.spawn.set_executable(executable)
    try:
        with ProcessPoolExecutor(1, mp_context=multiprocessing.get_context(start_method)) as pool:
            future = pool.submit(run_merge, *tables, **part)
            with pytest.raises(MergeError) as there:
                future.result(timeout=300)
    finally:
        multiprocessing.spawn.set_executable(saved)
    for error in (copy, there.value):
        assert type(error) is MergeError
        assert (error.message, error.connected_row, error.reason, error.field) == \
            (here.value.message, 41, here.value.reason, ("north", 3))
        assert str(error) == str(here.value)
        assert str(error).startswith("field ('north', 3), connected row 41: linked crop row (3.5, 1) ")
    assert str(MergeError("text", None, "why", np.int64(7))) == "field 7: why (text)"


def test_failures_that_are_not_a_rows(merge, peer):
    connected, points, info, tol, _ = diagonal()
    assert peer.acquire_mut(points) == 0
    try:
        with pytest.raises(MergeError) as got:
            run_merge(connected, points, info, tol, 1)
    finally:
        peer.release_mut(points)
    assert got.value.connected_row is None
    assert str(got.value) == ("an input array is borrowed for writing by another extension module "
                              "(called `Result::unwrap()` on an `Err` value: AlreadyBorrowed)")
    # A table failure the tables do not bear out keeps the text and names no row.
    assert explain(OOB, connected, points, info[:0]) == (None, "the merge stopped, but the tables do not show why")
    assert explain(NONE, connected, points, info) == (None, "the merge stopped, but the tables do not show why")
    # Argument errors and the native function itself stay as they are.
    with pytest.raises(TypeError) as wrong:
        run_merge(connected, points.astype(np.float32), info, tol, 1)
    assert wrong.value.__notes__ == ["while processing 'points_in_rows'"]
    assert rowmerge.merge_points_removing_overlap is merge


def test_merge_frame_raises_merge_error_for_the_callers_rows(pd):
    connected, points, info = two_links()
    frame = pd.DataFrame(points, columns=["row", "segment", "x", "y"], index=[10, 20])
    with pytest.raises(MergeError) as got:
        merge_frame(pd.DataFrame(connected), frame, info[:2], 0.1)
    assert got.value.connected_row == 1
    assert got.value.reason == "linked crop row (3.5, 1) of link pair 1 has no record in row_information"
