"""Input copies and the result array."""

from __future__ import annotations

import gc
import sys

import numpy as np
import pytest

from worked_examples import axis_parallel, diagonal


@pytest.mark.parametrize("example", [diagonal, axis_parallel])
def test_worked_examples(merge, example):
    connected, points, info, tol, survivors = example()
    np.testing.assert_array_equal(merge(connected, points, info, tol, 1), survivors)


def test_result_array_properties(merge):
    connected, points, info, tol, survivors = diagonal()
    result = merge(connected, points, info, tol, 1)
    assert result.dtype == np.float64 and result.dtype.isnative
    assert result.flags.c_contiguous and result.flags.writeable and not result.flags.owndata
    assert result.strides == (32, 8)
    assert type(result.base).__name__ == "PySliceContainer"
    with pytest.raises(TypeError):
        type(result.base)()
    result[0, 0] = 42.0  # writeable memory of its own
    assert result[0, 0] == 42.0 and points[0, 0] == 1.0


def test_result_data_lives_as_long_as_a_view(merge):
    connected, points, info, tol, survivors = diagonal()
    result = merge(connected, points, info, tol, 1)
    container = result.base
    view = result[1:, 2:]
    del result, container
    gc.collect()
    # Churn the allocator; a freed buffer would likely be reused and overwritten.
    junk = [np.full((3, 4), -1.0) for _ in range(200)]
    np.testing.assert_array_equal(view, survivors[1:, 2:])
    del junk


def test_empty_output(merge):
    connected, points, info, tol, _ = diagonal()
    for cons in (connected[:0], np.zeros((0, 2))):
        result = merge(cons, points, info, tol, 1)
        assert result.shape == (0, 4) and result.strides == (0, 0) and result.dtype == np.float64
    # A base crop row without points: nothing survives anywhere.
    elsewhere = points.copy()
    elsewhere[:, 0] = 7.0
    assert merge(connected, elsewhere, info, tol, 1).shape == (0, 4)
    assert merge(connected[:0], np.zeros((3, 7)), info, tol, 2).shape == (0, 7)


def layouts(table: np.ndarray):
    """The same table in layouts that are not C-contiguous."""
    yield "fortran", np.asfortranarray(table)
    wide = np.zeros((table.shape[0] * 2, table.shape[1] * 3))
    wide[::2, ::3] = table
    yield "strided", wide[::2, ::3]
    flipped = np.ascontiguousarray(table[::-1, ::-1])
    yield "negative", flipped[::-1, ::-1]
    readonly = table.copy()
    readonly.flags.writeable = False
    yield "readonly", readonly
    yield "matrix", np.asmatrix(table)
    yield "transposed", np.ascontiguousarray(table.T).T


@pytest.mark.filterwarnings("ignore::PendingDeprecationWarning")
@pytest.mark.parametrize("argument", [0, 1, 2])
def test_input_layouts_equal_their_contiguous_copies(merge, argument):
    tables = list(diagonal()[:3])
    expected = merge(*tables, 0.1, 1)
    for name, variant in layouts(tables[argument]):
        np.testing.assert_array_equal(variant, tables[argument])
        given = list(tables)
        given[argument] = variant
        np.testing.assert_array_equal(merge(*given, 0.1, 1), expected, err_msg=name)


@pytest.mark.parametrize("twice", [False, True], ids=["each-base-once", "bases-named-twice"])
def test_large_tables_in_every_layout_give_the_same_rows(merge, twice):
    # About 19 MB of points: copied in pieces on the pool, with the keys read
    # on the way for a C-ordered table and afterwards for a Fortran-ordered
    # one.  The points are shuffled in blocks so that every crop row's points
    # are spread over pieces.  Naming bases twice lets the output outgrow the
    # points table.
    from rowmerge.field import make_field
    field = make_field(40, segments=5, points_per_segment=2000, seed=3)
    connected, points, info = field.connected_crop_rows, field.points_in_rows, field.row_information
    rng = np.random.default_rng(0)
    blocks = np.array_split(np.arange(points.shape[0]), 997)
    points = points[np.concatenate([blocks[i] for i in rng.permutation(len(blocks))])]
    points = np.column_stack([points, np.arange(points.shape[0])])  # a point id, last
    assert points.nbytes > 16 << 20
    if twice:
        connected = np.concatenate([connected, connected[::3]])
    expected = merge(connected, points, info, 0.03, 1)
    distinct = np.unique(expected[:, -1]).size
    assert 0 < distinct < points.shape[0]
    assert distinct < expected.shape[0] if twice else distinct == expected.shape[0]
    np.testing.assert_array_equal(merge(connected, np.asfortranarray(points), info, 0.03, 1), expected)
    both = merge(connected, points, info, 0.03, 2)
    by_id = lambda rows: rows[np.argsort(rows[:, -1], kind="stable")]  # noqa: E731
    np.testing.assert_array_equal(by_id(both), by_id(expected))


def test_zero_strides_and_single_rows(merge):
    connected, points, info, tol, _ = diagonal()
    repeated = np.broadcast_to(connected[0], (3, connected.shape[1]))
    assert repeated.strides[0] == 0
    got = merge(repeated, points, info, tol, 1)
    np.testing.assert_array_equal(got, np.concatenate([diagonal()[4]] * 3))
    one_point = points[1:2].copy()
    np.testing.assert_array_equal(merge(connected, np.asfortranarray(one_point), info, tol, 1), one_point)


def test_same_array_for_several_parameters(merge):
    # Row 0 is at once the record of crop row (1, 1), its only point and its
    # connected row (no links: column 3 is NaN).
    table = np.array([[1.0, 1.0, 1.0, np.nan, 1.0, 0, 0, 0, 0, 0, 0]])
    np.testing.assert_array_equal(merge(table, table, table, 0.1, 1), table)


@pytest.mark.skipif(sys.maxsize < 2**62, reason="the view needs a 64-bit address space")
def test_an_input_whose_copy_cannot_be_had_raises_memory_error(merge):
    # A 256 TiB broadcast view: NumPy makes it without memory, but no process
    # can hold its copy.  The call must say so, not crash or copy short.
    huge = np.lib.stride_tricks.as_strided(np.zeros(1), shape=(2**42, 8), strides=(0, 0))
    connected = np.zeros((1, 3))
    with pytest.raises(MemoryError):
        merge(connected, huge, np.zeros((1, 11)), 0.1, 1)
    # Nothing was left borrowed: the same arrays work again.
    result = merge(np.zeros((0, 11)), np.zeros((2, 8)), np.zeros((1, 11)), 0.1, 1)
    assert result.shape == (0, 8)
