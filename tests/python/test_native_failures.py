"""Aborts raised as pyo3_runtime.PanicException."""

from __future__ import annotations

import numpy as np
import pytest

import literal_model as model
from worked_examples import diagonal, record

NAN = np.nan


def test_panic_exception_class(panic_type):
    assert panic_type.__module__ == "pyo3_runtime"
    assert panic_type.__name__ == "PanicException"
    assert panic_type.__bases__ == (BaseException,)
    assert panic_type.__doc__ == (
        "\nThe exception raised when Rust code called from Python panics.\n\n"
        "Like SystemExit, this exception is derived from BaseException so that\n"
        "it will typically propagate all the way through the stack and cause the\n"
        "Python interpreter to exit.\n")


def test_panic_is_not_an_exception(merge, panic_type):
    connected, points, info, tol, _ = diagonal()
    caught_by_exception = False
    with pytest.raises(panic_type) as info_:
        try:
            merge(connected, points, info[:0], tol, 1)
        except Exception:  # noqa: BLE001 - must not catch it
            caught_by_exception = True
    assert not caught_by_exception
    assert info_.value.args == (model.NONE_UNWRAP,)
    assert str(info_.value) == model.NONE_UNWRAP
    assert not getattr(info_.value, "__notes__", None)


def malformed_cases():
    connected, points, info, tol, _ = diagonal()
    yield "two columns", connected[:, :2], points, info
    yield "three columns", connected[:, :3], points, info
    yield "key 1 without key 2", connected[:, :4], points, info
    yield "no records", connected, points, info[:0]
    yield "missing linked record", np.array([[0, 1, 1, 9, 9, NAN]]), points, info
    yield "record with 10 columns", connected, points, info[:, :10]
    yield "record with 12 columns", connected, points, np.hstack([info, np.zeros((2, 1))])
    yield "points with 3 columns", connected, points[:, :3], info
    yield "points with 1 column", connected, points[:, :1], info
    yield "records with 4 columns", connected, points, info[:, :4]
    yield "NaN linked key 2", np.array([[0, 1, 1, 2, NAN, NAN]]), points, info


@pytest.mark.parametrize("case", list(malformed_cases()), ids=lambda c: c[0])
def test_malformed_tables(merge, panic_type, case):
    _, connected, points, info = case
    with pytest.raises(model.ModelAbort) as expected:
        model.merge(connected, points, info, 0.1)
    with pytest.raises(panic_type) as got:
        merge(connected, points, info, 0.1, 2)
    assert str(got.value) == str(expected.value)


def test_lowest_failing_row_wins(merge, panic_type):
    info = np.array([record(k, 1, (0, 0), (10, 0), (5, 0)) for k in range(1, 40)])
    connected = np.array([[0, k, 1, k + 1, 1, NAN] for k in range(1, 39)], dtype=float)
    points = np.array([[k, 1, x, 0.0] for k in range(1, 40) for x in (1.0, 9.9)])
    connected[30, 3] = 99.0  # no such linked record
    late_only = connected.copy()
    connected[5, 5] = 3.0  # a second link pair without its key-2 column
    for tables, text in ((late_only, model.NONE_UNWRAP), (connected, model.OUT_OF_BOUNDS)):
        with pytest.raises(model.ModelAbort) as expected:
            model.merge(tables, points, info, 0.1)
        assert str(expected.value) == text
        for threads in (1, 2, 4):
            with pytest.raises(panic_type) as got:
                merge(tables, points, info, 0.1, threads)
            assert str(got.value) == text


@pytest.mark.parametrize("text", ["raised from __index__", ""])
def test_panic_raised_by_python_code_is_resumed(merge, panic_type, capfd, text):
    connected, points, info, tol, _ = diagonal()

    class Panics:
        def __index__(self):
            raise panic_type(text)

    with pytest.raises(panic_type) as got:
        merge(connected, points, info, tol, Panics())
    assert got.value.args == (text,)  # an empty text stays empty
    assert not getattr(got.value, "__notes__", None)
    err = capfd.readouterr().err
    assert "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---" in err
    assert "Python stack trace below:" in err
    assert text in err
    # The borrows of the three arrays were given back: the call works again.
    assert merge(connected, points, info, tol, 1).shape == (3, 4)
