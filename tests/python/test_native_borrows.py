"""The borrow protocol, against a second extension module that shares it."""

from __future__ import annotations

import importlib
import os

import numpy as np
import pytest

from interpreter import run_python
from worked_examples import diagonal

CAPSULE = "_RUST_NUMPY_BORROW_CHECKING_API"
ALREADY_BORROWED = "called `Result::unwrap()` on an `Err` value: AlreadyBorrowed"


def array_module():
    major = int(np.__version__.split(".")[0])
    return importlib.import_module("numpy._core.multiarray" if major >= 2 else "numpy.core.multiarray")


def test_capsule_is_published_on_numpys_array_module(peer):
    capsule = getattr(array_module(), CAPSULE)
    assert type(capsule).__name__ == "PyCapsule"


def test_exclusive_borrow_blocks_overlapping_views(merge, peer, panic_type):
    connected, points, info, tol, survivors = diagonal()
    field = np.zeros((points.shape[0] + 2, 4))
    field[1:-1] = points
    view = field[1:-1]
    assert peer.acquire_mut(field[:3]) == 0
    try:
        with pytest.raises(panic_type) as got:
            merge(connected, view, info, tol, 1)
        assert str(got.value) == ALREADY_BORROWED
        # The refused call gave back the borrow of its first argument.
        assert peer.acquire_mut(connected) == 0
        peer.release_mut(connected)
    finally:
        peer.release_mut(field[:3])
    np.testing.assert_array_equal(merge(connected, view, info, tol, 1), survivors)


def test_interleaved_columns_do_not_conflict(merge, peer):
    connected, points, info, tol, survivors = diagonal()
    field = np.zeros((points.shape[0], 8))
    field[:, 1::2] = points
    theirs = field[:, 0]  # stride 64; ours: strides (64, 16), 8 bytes further on
    assert peer.acquire_mut(theirs) == 0
    try:
        np.testing.assert_array_equal(merge(connected, field[:, 1::2], info, tol, 1), survivors)
    finally:
        peer.release_mut(theirs)


def test_conflict_check_is_cautious(merge, peer, panic_type):
    # Columns 0 and 2 share no element, but their ranges overlap and 16 bytes
    # is a multiple of the strides' divisor 8: refused.
    block = np.zeros((3, 4))
    assert peer.acquire_mut(block[:, 0:1]) == 0
    try:
        with pytest.raises(panic_type) as got:
            merge(block[:, 2:3], np.zeros((0, 4)), np.zeros((0, 11)), 0.1, 1)
        assert str(got.value) == ALREADY_BORROWED
    finally:
        peer.release_mut(block[:, 0:1])


def test_broadcast_views(merge, peer, panic_type):
    memory = np.zeros(4)

    def broadcast(shape, dtype=np.float64, offset=0):
        return np.ndarray(shape, dtype, buffer=memory, offset=offset, strides=(0,) * len(shape))

    ours = broadcast((2, 2))
    empty = (np.zeros((0, 11)), np.zeros((0, 4)))
    # Only zero strides on both sides: one element each.
    for theirs, refused in (
        (broadcast((3,), offset=8), False),  # the next element
        (broadcast((3,)), True),  # the same element
        (broadcast((3,), np.uint8, offset=4), True),  # a byte inside it
    ):
        assert theirs.base is memory
        assert peer.acquire_mut(theirs) == 0
        try:
            if refused:
                with pytest.raises(panic_type, match="AlreadyBorrowed"):
                    merge(*empty, ours, 0.1, 1)
            else:
                assert merge(*empty, ours, 0.1, 1).shape == (0, 4)
        finally:
            peer.release_mut(theirs)


def test_read_only_arrays_are_borrowed_shared_only(merge, peer):
    connected, points, info, tol, survivors = diagonal()
    points.flags.writeable = False
    assert peer.acquire_mut(points) == -2
    assert peer.acquire(points) == 0  # a shared borrow beside ours
    try:
        np.testing.assert_array_equal(merge(connected, points, info, tol, 1), survivors)
    finally:
        peer.release(points)


def assert_all_free(peer, *arrays):
    for array in arrays:
        assert peer.acquire_mut(array) == 0
        peer.release_mut(array)


def test_borrows_are_given_back(merge, peer, panic_type):
    connected, points, info, tol, survivors = diagonal()
    merge(connected, points, info, tol, 1)
    assert_all_free(peer, connected, points, info)
    table = np.array([[1.0, 1.0, 1.0, np.nan, 1.0, 0, 0, 0, 0, 0, 0]])
    merge(table, table, table, tol, 1)  # three shared borrows under one key
    assert_all_free(peer, table)
    with pytest.raises(TypeError):
        merge(connected, points, info, "x", 1)
    assert_all_free(peer, connected, points, info)
    with pytest.raises(TypeError):
        merge(connected, points, [1], tol, 1)
    assert_all_free(peer, connected, points)
    with pytest.raises(panic_type):
        merge(connected, points, info[:1], tol, 1)
    assert_all_free(peer, connected, points, info)


PEER_FIRST = """
import importlib.util, sys
import numpy as np
spec = importlib.util.spec_from_file_location("_borrow_peer", {path!r})
peer = importlib.util.module_from_spec(spec)
spec.loader.exec_module(peer)
{setup}
from rowmerge._native import merge_points_removing_overlap as merge
def call():
    try:
        merge(np.zeros((0, 11)), np.zeros((0, 4)), np.zeros((0, 11)), 0.1, 1)
        print("ok", peer.recorded())
    except BaseException as e:
        print(type(e).__name__, str(e).splitlines()[0], peer.recorded())
call()
{then}
call()
"""


@pytest.mark.parametrize("setup, then, first, second", [
    ("peer.publish(1, 0)", "peer.publish(1, 7)", "ok (3, 3)",
     "PanicException Unexpected return code 7 from borrow checking API (4, 3)"),
    ("peer.publish(0, 0)", "peer.publish(1, 0)",
     "PanicException Internal borrow checking API error: type <class 'TypeError'>, value TypeError('Version 0 "
     "of borrow checking API is not supported by this version of rust-numpy'), traceback: None (0, 0)",
     "ok (3, 3)"),
    ("peer.publish(1, 0, 'other')", "peer.publish(2, 0)",
     "PanicException Internal borrow checking API error: type <class 'ValueError'>", "ok (3, 3)"),
    ("setattr(np.core.multiarray if np.__version__ < '2' else np._core.multiarray, "
     "'_RUST_NUMPY_BORROW_CHECKING_API', 5)", "",
     "PanicException Internal borrow checking API error: type <class 'TypeError'>, "
     "value TypeError(\"'int' object is not an instance of 'PyCapsule'\"), traceback: None (0, 0)",
     "PanicException Internal borrow checking API error"),
])
def test_capsule_published_by_another_module(peer_path, setup, then, first, second):
    done = run_python(PEER_FIRST.format(path=str(peer_path), setup=setup, then=then))
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0].startswith(first) and lines[1].startswith(second), lines
