"""The module object, argument binding and argument conversion."""

from __future__ import annotations

import numpy as np
import pytest

from worked_examples import diagonal

NAME = "merge_points_removing_overlap()"


def args():
    connected, points, info, tol, _ = diagonal()
    return [connected, points, info, tol, 1]


def test_module_and_function_attributes(native, merge):
    assert native.__doc__ == ""
    assert native.__all__ == ["merge_points_removing_overlap"]
    assert merge.__text_signature__ == "(connected_crop_rows, points_in_rows, row_information, tolerance, num_threads)"
    assert merge.__doc__ is None
    assert merge.__name__ == "merge_points_removing_overlap"
    assert merge.__module__ == native.__name__
    import rowmerge

    assert rowmerge.merge_points_removing_overlap is merge


def test_all_keywords_in_any_order(merge):
    c, p, i, t, n = args()
    expected = merge(c, p, i, t, n)
    got = merge(num_threads=n, row_information=i, tolerance=t, points_in_rows=p, connected_crop_rows=c)
    np.testing.assert_array_equal(got, expected)
    np.testing.assert_array_equal(merge(c, p, i, num_threads=n, tolerance=t), expected)


@pytest.mark.parametrize("call, message", [
    (lambda f, a: f(*a, 1), f"{NAME} takes 5 positional arguments but 6 were given"),
    (lambda f, a: f(*a[:4], threads=1), f"{NAME} got an unexpected keyword argument 'threads'"),
    # A name that cannot be encoded as UTF-8 is shown as it is.
    (lambda f, a: f(*a[:4], **{"\udc80": 1}), f"{NAME} got an unexpected keyword argument '\udc80'"),
    # An unknown keyword is reported before anything is found missing.
    (lambda f, a: f(*a[:3], threads=1), f"{NAME} got an unexpected keyword argument 'threads'"),
    (lambda f, a: f(*a[:4], tolerance=1, num_threads=1),
     f"{NAME} got multiple values for argument 'tolerance'"),
    (lambda f, a: f(*a[:4]), f"{NAME} missing 1 required positional argument: 'num_threads'"),
    (lambda f, a: f(*a[:3]), f"{NAME} missing 2 required positional arguments: 'tolerance' and 'num_threads'"),
    (lambda f, a: f(a[0], num_threads=1),
     f"{NAME} missing 3 required positional arguments: 'points_in_rows', 'row_information', and 'tolerance'"),
    (lambda f, a: f(), f"{NAME} missing 5 required positional arguments: 'connected_crop_rows', "
                       "'points_in_rows', 'row_information', 'tolerance', and 'num_threads'"),
    # Too many positional arguments is checked before the keywords.
    (lambda f, a: f(*a, 1, bogus=2), f"{NAME} takes 5 positional arguments but 6 were given"),
])
def test_binding_errors(merge, call, message):
    with pytest.raises(TypeError) as info:
        call(merge, args())
    assert str(info.value) == message
    assert not getattr(info.value, "__notes__", None)


CAST = "'ndarray' object is not an instance of 'ndarray'"


@pytest.mark.parametrize("value, message", [
    ([[1.0, 2.0]], "'list' object is not an instance of 'ndarray'"),
    (None, "'None' is not an instance of 'ndarray'"),
    (np.zeros((2, 4), dtype=np.float32), CAST),
    (np.zeros(4), CAST),
    (np.zeros((1, 2, 4)), CAST),
    (np.zeros((2, 4), dtype=">f8"), CAST),
    (np.zeros((2, 4), dtype=np.int64), CAST),
])
def test_array_cast_errors(merge, value, message):
    c, p, i, t, n = args()
    with pytest.raises(TypeError) as info:
        merge(c, value, i, t, n)
    assert str(info.value) == message
    assert info.value.__notes__ == ["while processing 'points_in_rows'"]


def test_first_failing_conversion_wins(merge):
    c, p, i, t, n = args()
    with pytest.raises(TypeError) as info:
        merge(c, p, None, "x", -1)
    assert info.value.__notes__ == ["while processing 'row_information'"]
    with pytest.raises(TypeError) as info:
        merge(c, p, i, "x", -1)
    assert info.value.__notes__ == ["while processing 'tolerance'"]


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("tolerance", [1, True, np.float64(0.1), np.float32(0.5), np.int16(2), Index(3)])
def test_tolerance_accepts_what_float_conversion_accepts(merge, tolerance):
    c, p, i, _, n = args()
    expected = merge(c, p, i, float(tolerance.__index__() if isinstance(tolerance, Index) else tolerance), n)
    np.testing.assert_array_equal(merge(c, p, i, tolerance, n), expected)


@pytest.mark.parametrize("num_threads", [0, 2, True, np.uint8(1), Index(2)])
def test_num_threads_accepts_integers(merge, num_threads):
    c, p, i, t, _ = args()
    assert merge(c, p, i, t, num_threads).shape == (3, 4)


@pytest.mark.parametrize("name, value, kind, message", [
    ("tolerance", "0.5", TypeError, "must be real number, not str"),
    ("tolerance", None, TypeError, "must be real number, not NoneType"),
    ("num_threads", 2.0, TypeError, "'float' object cannot be interpreted as an integer"),
    ("num_threads", -1, OverflowError, None),
    ("num_threads", 2**64, OverflowError, None),
    ("num_threads", 4294967296, OverflowError, "out of range integral type conversion attempted"),
    ("num_threads", Index(-5), OverflowError, None),
])
def test_number_conversion_errors(merge, name, value, kind, message):
    c, p, i, t, n = args()
    values = {"tolerance": t, "num_threads": n, name: value}
    with pytest.raises(kind) as info:
        merge(c, p, i, **values)
    if message is not None:
        assert str(info.value) == message
    assert info.value.__notes__ == [f"while processing '{name}'"]


def test_exception_from_dunder_index_passes_through(merge):
    class Broken:
        def __index__(self):
            raise KeyError("inside __index__")

    c, p, i, t, _ = args()
    with pytest.raises(KeyError) as info:
        merge(c, p, i, t, Broken())
    assert info.value.__notes__ == ["while processing 'num_threads'"]
