"""Which connected row made a merge fail, and why, worked out from the tables.

The merge does not check its tables up front: a missing column or record
stops the merge of the connected row that needs it, with one of three fixed
texts, and the merge reports the lowest connected row that stopped.  The
order in which one row's merge reads the tables is fixed, so the first
failure of every row follows from the tables alone.  `first_failure` works
it out for all rows at once with array operations (a Python loop runs only
over the four link pairs) and says in words what is wrong.

The rules, in the order a row's merge meets them:

1. the base key: columns 1 and 2 of ``connected_crop_rows``;
2. the base crop row's points: keys in columns 0 and 1 of ``points_in_rows``
   (column 1 is read only for a point whose key 1 matched);
3. the base record: the first row of ``row_information`` whose columns 0
   and 4 convert to the base key (column 4 read only after column 0 matched);
4. for link pair k = 0..3: column 2k+3 of ``connected_crop_rows`` (NaN ends
   the list), column 2k+4, the linked record by exact comparison, the
   reference points of both records (only 11 columns hold exactly three),
   then x and y (columns 2 and 3) of every point still in the list.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Callable

import numpy as np

__all__ = ["Failure", "first_failure", "TABLE_FAILURES",
           "OUT_OF_BOUNDS", "NO_VALUE", "INCOMPATIBLE_SHAPES"]

OUT_OF_BOUNDS = "ndarray: index out of bounds"
NO_VALUE = "called `Option::unwrap()` on a `None` value"
INCOMPATIBLE_SHAPES = (
    "called `Result::unwrap()` on an `Err` value: ShapeError/IncompatibleShape: incompatible shapes")
TABLE_FAILURES = frozenset({OUT_OF_BOUNDS, NO_VALUE, INCOMPATIBLE_SHAPES})

KEY_MAX = 4294967295
LINK_PAIRS = 4
RECORD_COLUMNS = 11


@dataclass(frozen=True)
class Failure:
    """The first failure of the lowest failing connected row."""

    row: int
    message: str  # the text the merge stops with
    reason: str  # what is wrong, in words


def convert_keys(values: np.ndarray) -> np.ndarray:
    """The merge's key conversion: truncation to an unsigned 32-bit integer;
    NaN and everything below 1 give 0, 4294967295 and above saturate."""
    values = np.asarray(values, dtype=np.float64)
    if values.size:
        # Keys are usually all in range: then the conversion is a plain
        # truncation (a NaN makes both tests false).
        low, high = np.min(values), np.max(values)
        if low >= 1.0 and high < float(KEY_MAX):
            return values.astype(np.uint32)
    keys = np.zeros(values.shape, dtype=np.uint32)
    with np.errstate(invalid="ignore"):
        high = values >= float(KEY_MAX)
        middle = (values >= 1.0) & ~high
    keys[high] = KEY_MAX
    keys[middle] = values[middle].astype(np.uint32)
    return keys


def _key_pairs(key1: np.ndarray, key2: np.ndarray) -> np.ndarray:
    pairs = convert_keys(key1).astype(np.uint64)
    pairs <<= np.uint64(32)
    pairs |= convert_keys(key2)
    return pairs


def _exact_pairs(key1: np.ndarray, key2: np.ndarray) -> np.ndarray:
    """Pairs of float64 values as complex numbers, for `np.isin` to compare
    both parts with IEEE equality, as the merge does: -0.0 equals 0.0, and a
    pair holding NaN equals nothing."""
    pairs = np.empty(len(key1), dtype=np.complex128)
    pairs.real = key1
    pairs.imag = key2
    return pairs


# What stopped a row, in the order a row meets them.
_CONNECTED_NARROW = 1
_POINTS_NO_COLUMNS = 2
_POINTS_ONE_COLUMN = 3
_NO_RECORDS = 4
_RECORDS_NO_COLUMNS = 5
_RECORDS_NO_KEY2 = 6
_NO_BASE_RECORD = 7
_LINK_KEY1_MISSING = 8
_LINK_KEY2_MISSING = 9
_NO_LINKED_RECORD = 10
_RECORDS_NOT_11 = 11
_POINTS_NO_XY = 12


class _Outcome:
    """Per connected row: the first failure found so far and at which link pair."""

    def __init__(self, rows: int):
        self.code = np.zeros(rows, dtype=np.int8)
        self.pair = np.zeros(rows, dtype=np.int8)

    def running(self) -> np.ndarray:
        return self.code == 0

    def fail(self, where: np.ndarray | bool, code: int, pair: int = 0) -> None:
        hit = (self.code == 0) & where
        self.code[hit] = code
        self.pair[hit] = pair


def first_failure(connected: np.ndarray, points: np.ndarray, info: np.ndarray) -> Failure | None:
    """The failure the merge of these tables stops with: the lowest failing
    connected row, the text the merge gives for it and the reason in words.
    None when no connected row fails."""
    connected, points, info = (np.asarray(t, dtype=np.float64) for t in (connected, points, info))
    rows, connected_columns = connected.shape
    point_rows, point_columns = points.shape
    info_rows, info_columns = info.shape
    outcome = _Outcome(rows)
    if rows == 0:
        return None

    if connected_columns < 3:
        outcome.fail(True, _CONNECTED_NARROW)
        return _describe(outcome, connected, points, info)
    key1 = convert_keys(connected[:, 1])
    base = _key_pairs(connected[:, 1], connected[:, 2])

    # The base crop row's points.
    has_points = np.zeros(rows, dtype=bool)
    if point_rows and point_columns == 0:
        outcome.fail(True, _POINTS_NO_COLUMNS)
    elif point_rows and point_columns == 1:
        outcome.fail(np.isin(key1, convert_keys(points[:, 0])), _POINTS_ONE_COLUMN)
    elif point_rows and point_columns < 4:
        # Only here can the points themselves stop a later link pair.
        has_points = np.isin(base, _key_pairs(points[:, 0], points[:, 1]))

    # The base record.
    if info_rows == 0:
        outcome.fail(True, _NO_RECORDS)
    elif info_columns == 0:
        outcome.fail(True, _RECORDS_NO_COLUMNS)
    elif info_columns <= 4:
        key1_found = np.isin(key1, convert_keys(info[:, 0]))
        outcome.fail(key1_found, _RECORDS_NO_KEY2)
        outcome.fail(~key1_found, _NO_BASE_RECORD)
    else:
        outcome.fail(~np.isin(base, _key_pairs(info[:, 0], info[:, 4])), _NO_BASE_RECORD)

    # With fewer than 5 columns every row has failed at its base record.
    records = _exact_pairs(info[:, 0], info[:, 4]) if info_columns >= 5 else None
    linking = outcome.running()
    for k in range(LINK_PAIRS):
        if not linking.any():
            break
        if connected_columns <= 2 * k + 3:
            outcome.fail(linking, _LINK_KEY1_MISSING, k)
            break
        a = connected[:, 2 * k + 3]
        linking &= ~np.isnan(a)
        if connected_columns <= 2 * k + 4:
            outcome.fail(linking, _LINK_KEY2_MISSING, k)
            break
        b = connected[:, 2 * k + 4]
        found = np.isin(_exact_pairs(a, b), records)
        outcome.fail(linking & ~found, _NO_LINKED_RECORD, k)
        if info_columns != RECORD_COLUMNS:
            outcome.fail(linking, _RECORDS_NOT_11, k)
        outcome.fail(linking & has_points, _POINTS_NO_XY, k)
        linking &= outcome.running()
    return _describe(outcome, connected, points, info)


def _describe(outcome: _Outcome, connected, points, info) -> Failure | None:
    failed = np.flatnonzero(outcome.code)
    if failed.size == 0:
        return None
    row = int(failed[0])
    code = int(outcome.code[row])
    message, words = _REASONS[code]
    return Failure(row, message, words(_Place(connected, points, info, row, int(outcome.pair[row]))))


def number(value: float) -> str:
    """A stored value as the table holds it: 7 for 7.0, 3.7, nan, -0.0."""
    value = float(value)
    if value.is_integer() and abs(value) < 2.0**53 and not (value == 0.0 and np.signbit(value)):
        return str(int(value))
    return repr(value)


def _columns(count: int) -> str:
    return f"{count} column" + ("" if count == 1 else "s")


@dataclass(frozen=True)
class _Place:
    """The tables and the failing row, for the words."""

    connected: np.ndarray
    points: np.ndarray
    info: np.ndarray
    row: int
    pair: int

    def cell(self, column: int) -> float:
        return float(self.connected[self.row, column])

    def base(self) -> str:
        """The base crop row's key as stored and, when it differs, as it is looked up."""
        stored = (self.cell(1), self.cell(2))
        shown = f"base crop row ({number(stored[0])}, {number(stored[1])})"
        looked_up = tuple(int(k) for k in convert_keys(np.array(stored)))
        if looked_up != tuple(stored):
            shown += f", looked up as ({looked_up[0]}, {looked_up[1]}),"
        return shown

    def linked(self) -> tuple[float, float]:
        return self.cell(2 * self.pair + 3), self.cell(2 * self.pair + 4)


def _no_linked_record(p: _Place) -> str:
    a, b = p.linked()
    words = (f"linked crop row ({number(a)}, {number(b)}) of link pair {p.pair} "
             f"has no record in row_information")
    if np.isnan(b):
        return words + "; a NaN key matches no record"
    if p.info.shape[1] >= 5 and np.isin(_key_pairs(np.array([a]), np.array([b])),
                                        _key_pairs(p.info[:, 0], p.info[:, 4]))[0]:
        return words + "; linked keys must equal columns 0 and 4 of a record exactly"
    return words


_REASONS: dict[int, tuple[str, Callable[[_Place], str]]] = {
    _CONNECTED_NARROW: (OUT_OF_BOUNDS, lambda p: (
        f"connected_crop_rows has {_columns(p.connected.shape[1])}; "
        "the base crop row's key is read from columns 1 and 2")),
    _POINTS_NO_COLUMNS: (OUT_OF_BOUNDS, lambda p: (
        "points_in_rows has 0 columns; a point's crop row is read from columns 0 and 1")),
    _POINTS_ONE_COLUMN: (OUT_OF_BOUNDS, lambda p: (
        "points_in_rows has 1 column; points whose key 1 is the base crop row's "
        f"({int(convert_keys(np.array([p.cell(1)]))[0])}) need key 2 in column 1")),
    _NO_RECORDS: (NO_VALUE, lambda p: f"{p.base()} has no record: row_information has no rows"),
    _RECORDS_NO_COLUMNS: (OUT_OF_BOUNDS, lambda p: (
        "row_information has 0 columns; records are looked up by key 1 and key 2 in columns 0 and 4")),
    _RECORDS_NO_KEY2: (OUT_OF_BOUNDS, lambda p: (
        f"row_information has {_columns(p.info.shape[1])}; the record of {p.base()} "
        "needs key 2 in column 4")),
    _NO_BASE_RECORD: (NO_VALUE, lambda p: f"{p.base()} has no record in row_information"),
    _LINK_KEY1_MISSING: (OUT_OF_BOUNDS, lambda p: (
        f"connected_crop_rows has {_columns(p.connected.shape[1])}; link pair {p.pair} needs "
        f"column {2 * p.pair + 3} (key 1 of a linked crop row, or NaN to end the list)")),
    _LINK_KEY2_MISSING: (OUT_OF_BOUNDS, lambda p: (
        f"connected_crop_rows has {_columns(p.connected.shape[1])}; link pair {p.pair} has its key 1 "
        f"in column {2 * p.pair + 3} but no column {2 * p.pair + 4} for key 2")),
    _NO_LINKED_RECORD: (NO_VALUE, _no_linked_record),
    _RECORDS_NOT_11: (INCOMPATIBLE_SHAPES, lambda p: (
        f"row_information has {_columns(p.info.shape[1])}; records need 11, with the reference "
        f"points in columns 5 to 10, for link pair {p.pair}")),
    _POINTS_NO_XY: (OUT_OF_BOUNDS, lambda p: (
        f"points_in_rows has {_columns(p.points.shape[1])}; the overlap filter needs x and y "
        "in columns 2 and 3")),
}
