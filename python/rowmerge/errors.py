"""`MergeError`: a failed merge that says where and why, and that can be
sent from one process to another.

The native function raises its failures as ``pyo3_runtime.PanicException``,
which derives from BaseException, cannot be pickled and carries a fixed text
that names no row.  Every entry point of the package that runs a merge goes
through `run_merge`, which turns that exception into `MergeError`; argument
errors (TypeError, OverflowError) and MemoryError pass through unchanged.
"""

from __future__ import annotations

from typing import Any, Sequence

import numpy as np

from ._explain import TABLE_FAILURES, first_failure

__all__ = ["MergeError", "NativeAbort", "run_merge", "merge_error", "explain", "is_native_abort"]


class MergeError(Exception):
    """A merge that failed.

    Attributes
    ----------
    message : str
        The native failure's text, unchanged.
    connected_row : int or None
        The row of ``connected_crop_rows`` whose merge failed: the lowest
        failing one.  None when the failure is not one of a row (the worker
        threads could not start, an input array was borrowed elsewhere, ...).
    reason : str
        What is wrong, in words.
    field : object or None
        The id of the field whose merge failed, where a caller merges many.

    ``str()`` puts them together as ``field 'A', connected row 3: <reason>
    (<message>)``; the field part is left out when `field` is None and the
    row part when `connected_row` is None.  The exception pickles with every
    attribute, so it comes back whole from a worker process; the native
    exception it was raised from (``__cause__``) stays behind, or travels
    as a `NativeAbort` where ``distributed`` makes causes pickle too.
    """

    def __init__(self, message: str, connected_row: int | None = None,
                 reason: str = "the merge failed", field: Any = None):
        super().__init__(message)
        self.message = message
        self.connected_row = connected_row
        self.reason = reason
        self.field = field

    def __str__(self) -> str:
        where = []
        if self.field is not None:
            where.append(f"field {_field_text(self.field)}")
        if self.connected_row is not None:
            where.append(f"connected row {self.connected_row}")
        text = f"{self.reason} ({self.message})"
        return f"{', '.join(where)}: {text}" if where else text

    def __repr__(self) -> str:
        return (f"{type(self).__name__}({self.message!r}, connected_row={self.connected_row!r}, "
                f"reason={self.reason!r}, field={self.field!r})")

    def __reduce__(self):
        return (type(self), (self.message, self.connected_row, self.reason, self.field), self.__dict__)


class NativeAbort(Exception):
    """The text of a native failure, where the native exception cannot go.

    ``pyo3_runtime.PanicException`` cannot be pickled as itself: its module
    cannot be imported.  Plain pickling leaves a MergeError's cause behind,
    but Dask's ``distributed`` makes every exception pickle its cause and
    traceback too (with ``tblib``), once it is imported; the cause then
    travels as a NativeAbort with the same text.
    """


def _reduce_abort(abort: BaseException):
    return NativeAbort, tuple(abort.args)


def _picklable(kind: type) -> None:
    if kind.__dict__.get("__reduce__") is not _reduce_abort:
        kind.__reduce__ = _reduce_abort


def _field_text(field: Any) -> str:
    if isinstance(field, np.generic):
        field = field.item()
    return repr(field)


def is_native_abort(error: BaseException) -> bool:
    """Whether `error` is the native module's exception for a failed merge."""
    return any(k.__name__ == "PanicException" and k.__module__ == "pyo3_runtime" for k in type(error).__mro__)


# Failures that are not the tables' fault, by the start of their text.
_OTHER_FAILURES = (
    ("called `Result::unwrap()` on an `Err` value: AlreadyBorrowed",
     "an input array is borrowed for writing by another extension module"),
    ("called `Result::unwrap()` on an `Err` value: ThreadPoolBuildError { kind: IOError(",
     "the merge's worker threads could not be started"),
    ("called `Result::unwrap()` on an `Err` value: ThreadPoolBuildError",
     "the merge's worker threads could not be set up"),
    ("called `Result::unwrap()` on an `Err` value: PoisonError",
     "the merge's result list was left unusable by a failure on another worker thread"),
    ("Failed to access NumPy array API capsule", "NumPy's C API could not be reached"),
    ("Internal borrow checking API error",
     "the registry that extension modules share to track array borrows could not be used"),
    ("Unexpected return code", "the registry that extension modules share to track array borrows failed"),
    ("failed to create type object for `PySliceContainer`", "the result array could not be created"),
    ("Failed to create slice container", "the result array could not be created"),
    ("PyObject pointer is null", "the interpreter could not create an object the merge needed"),
)
_UNEXPLAINED = "the merge stopped, but the tables do not show why"
_UNKNOWN = "the merge stopped with an unexpected failure"


def explain(message: str, connected_crop_rows: np.ndarray, points_in_rows: np.ndarray,
            row_information: np.ndarray) -> tuple[int | None, str]:
    """The failing connected row (None when the failure is not a row's) and
    what went wrong, in words, for a merge of these tables that failed with
    `message`.

    A failure of the tables is worked out from the tables; when what they
    predict is not `message`, the row is None and the words say that the
    reason could not be found.
    """
    if message in TABLE_FAILURES:
        failure = first_failure(connected_crop_rows, points_in_rows, row_information)
        if failure is not None and failure.message == message:
            return failure.row, failure.reason
        return None, _UNEXPLAINED
    for start, words in _OTHER_FAILURES:
        if message.startswith(start):
            return None, words
    return None, _UNKNOWN


def merge_error(abort: BaseException, connected_crop_rows: np.ndarray, points_in_rows: np.ndarray,
                row_information: np.ndarray, *, field: Any = None,
                row_numbers: Sequence[int] | None = None) -> MergeError:
    """The MergeError for a native failure of a merge of these tables.

    `row_numbers` maps each row of `connected_crop_rows` to the number to
    report, for a table that is a part of a larger one.  Nothing here raises:
    if the tables cannot be examined, the error says so and keeps the text.
    """
    message = abort.args[0] if abort.args and isinstance(abort.args[0], str) else str(abort)
    try:
        row, reason = explain(message, connected_crop_rows, points_in_rows, row_information)
        if row is not None and row_numbers is not None:
            row = int(row_numbers[row])
    except Exception as e:  # noqa: BLE001 - the native text must reach the caller whatever happens here
        row, reason = None, f"the merge stopped; its tables could not be examined ({type(e).__name__})"
    return MergeError(message, row, reason, field)


def run_merge(connected_crop_rows: np.ndarray, points_in_rows: np.ndarray, row_information: np.ndarray,
              tolerance: float, num_threads: int = 0, *, field: Any = None,
              row_numbers: Sequence[int] | None = None) -> np.ndarray:
    """`merge_points_removing_overlap`, raising MergeError when the merge fails.

    `field` and `row_numbers` go into the error (see `merge_error`).  The
    MergeError is chained from the native exception.
    """
    from ._native import merge_points_removing_overlap

    try:
        return merge_points_removing_overlap(connected_crop_rows, points_in_rows, row_information,
                                             tolerance, num_threads)
    except BaseException as abort:
        if not is_native_abort(abort):
            raise
        _picklable(type(abort))
        raise merge_error(abort, connected_crop_rows, points_in_rows, row_information,
                          field=field, row_numbers=row_numbers) from abort
