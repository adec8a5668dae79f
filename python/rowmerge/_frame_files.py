"""Tables with named columns of several types, for the command line's
multi-field merges: CSV with a header and Parquet in, CSV, .npy, .npz and
Parquet out.

A CSV file's numbers are read exactly as `tables` reads them (an empty cell
is NaN); a column of text is kept as text, except that a column whose every
cell is a whole number written plainly ("12", "-3", not "012" or "+3") is
read as whole numbers.  Every problem is raised as TableError with one line
that names the file.
"""

from __future__ import annotations

import csv
import io
import os
import re
from typing import Any

import numpy as np

from .tables import (TableError, _format_column, _is_number, read_text, reading, write_atomically, write_table,
                     write_text)

__all__ = ["read_frame", "write_frame", "format_frame_csv", "PARQUET_SUFFIXES"]

PARQUET_SUFFIXES = (".parquet", ".pq")
_PLAIN_WHOLE = re.compile(r"(?:0|-?[1-9][0-9]*)\Z")
_INSTALL_PARQUET = "reading and writing Parquet needs pyarrow; install it with: pip install 'rowmerge[dask]'"


def _pandas():
    from .frame import _pandas

    return _pandas()


def _is_parquet(path: str) -> bool:
    return os.path.splitext(path)[1].lower() in PARQUET_SUFFIXES


def _pyarrow() -> None:
    try:
        import pyarrow  # noqa: F401
    except ImportError:
        raise TableError(_INSTALL_PARQUET) from None


def read_frame(path: str, text_column: Any = None) -> Any:
    """Reads a table with named columns: Parquet by extension, CSV with a
    header line otherwise.

    In CSV, every column but `text_column` must hold numbers (an empty cell
    is NaN); `text_column` holds text or whole numbers and no empty cell.
    """
    pd = _pandas()
    with reading(path):
        if _is_parquet(path):
            _pyarrow()
            return pd.read_parquet(path, engine="pyarrow")
        if os.path.splitext(path)[1].lower() in (".npy", ".npz"):
            raise TableError(f"{path}: a table of many fields is read from CSV with a header line or "
                             "from Parquet, which name its columns")
        text = read_text(path)
    return _parse_csv(text, path, text_column)


def _parse_csv(text: str, path: str, text_column: Any) -> Any:
    pd = _pandas()
    records = list(csv.reader(text.splitlines()))
    while records and not any(cell.strip() for cell in records[-1]):
        records.pop()
    if not records:
        raise TableError(f"{path}: the file is empty")
    header = [cell.strip() for cell in records[0]]
    if not all(header) or any(_is_number(cell) for cell in header):
        raise TableError(f"{path}: the first line must be a header naming every column")
    if len(set(header)) != len(header):
        raise TableError(f"{path}: the header names a column twice")
    width = len(header)
    for line, record in enumerate(records[1:], start=2):
        if len(record) != width:
            if not record or (len(record) == 1 and not record[0].strip()):
                raise TableError(f"{path}, line {line}: empty line inside the table")
            raise TableError(f"{path}, line {line}: {len(record)} columns but the header has {width}")
    cells = np.array(records[1:], dtype=object).reshape(len(records) - 1, width)
    return pd.DataFrame({name: _column(cells[:, c], path, c, name == text_column)
                         for c, name in enumerate(header)})


def _column(cells: np.ndarray, path: str, column: int, text: bool) -> np.ndarray:
    """A column of CSV cells: whole numbers when every cell is one written
    plainly; else float64 (an empty cell is NaN), or for a text column the
    cells as text."""
    stripped = [cell.strip() for cell in cells.tolist()]
    if stripped and all(_PLAIN_WHOLE.match(cell) for cell in stripped):
        whole = [int(cell) for cell in stripped]
        if all(-2**63 <= v < 2**63 for v in whole):
            return np.array(whole, dtype=np.int64)
    if text:
        for line, cell in enumerate(stripped, start=2):
            if not cell:
                raise TableError(f"{path}, line {line}, column {column + 1}: no field id")
        return np.array(stripped, dtype=object)
    try:
        return np.array([cell or "nan" for cell in stripped], dtype=str).astype(np.float64)
    except ValueError:
        pass
    for line, cell in enumerate(stripped, start=2):
        if cell and not _is_number(cell):
            shown = cell if len(cell) <= 40 else cell[:37] + "..."
            raise TableError(f"{path}, line {line}, column {column + 1}: not a number: {shown!r}")
    raise TableError(f"{path}: column {column + 1} could not be read as numbers")  # pragma: no cover


def format_frame_csv(frame: Any, out: io.TextIOBase) -> None:
    """Writes a DataFrame as CSV with its column names as the header: numbers
    so that they read back exactly, text quoted where it must be."""
    pd = _pandas()
    csv.writer(out, lineterminator="\n").writerow([str(c) for c in frame.columns])
    if frame.shape[0] == 0:
        return
    columns = []
    for c in range(frame.shape[1]):
        series = frame.iloc[:, c]
        dtype = series.dtype
        if pd.api.types.is_integer_dtype(dtype) and not series.hasnans:
            columns.append([str(v) for v in series.tolist()])
        elif pd.api.types.is_numeric_dtype(dtype) or pd.api.types.is_bool_dtype(dtype):
            columns.append(_format_column(series.to_numpy(dtype=np.float64, na_value=np.nan)))
        else:
            columns.append([_csv_cell("" if v is None or v is pd.NA else str(v)) for v in series.tolist()])
    chunk = 100_000
    for lo in range(0, frame.shape[0], chunk):
        out.write("\n".join(",".join(cells) for cells in zip(*(col[lo:lo + chunk] for col in columns))))
        out.write("\n")


def _csv_cell(text: str) -> str:
    if text and not any(ch in text for ch in ',"\r\n') and text == text.strip():
        return text
    if not text:
        return '""'
    return '"' + text.replace('"', '""') + '"'


def write_frame(path: str, frame: Any, *, overwrite: bool = False) -> None:
    """Writes a DataFrame atomically: Parquet, .npy or .npz by extension, CSV
    otherwise.  .npy and .npz hold every column as float64, so they take
    numeric columns only."""
    pd = _pandas()
    ext = os.path.splitext(os.fspath(path))[1].lower()
    if ext in (".npy", ".npz"):
        for column, dtype in frame.dtypes.items():
            if not (pd.api.types.is_numeric_dtype(dtype) or pd.api.types.is_bool_dtype(dtype)):
                raise TableError(f"{path}: column {column!r} does not hold numbers, and a {ext} file holds "
                                 "nothing else; write CSV or Parquet")
        write_table(path, frame.to_numpy(dtype=np.float64, na_value=np.nan), overwrite=overwrite)
    elif _is_parquet(path):
        _pyarrow()
        write_atomically(path, lambda f: frame.to_parquet(f, engine="pyarrow", index=False), overwrite=overwrite)
    else:
        write_text(path, lambda out: format_frame_csv(frame, out), overwrite=overwrite)
