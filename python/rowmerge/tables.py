"""Reading and writing the tables of the command line: CSV, .npy and .npz.

Every problem with a file is raised as `TableError` with one line of text
that names the file (and, for CSV, the line and column), so the command line
can print it as it is.
"""

from __future__ import annotations

import contextlib
import csv
import io
import os
import secrets
from dataclasses import dataclass

import numpy as np

__all__ = ["Table", "TableError", "read_table", "read_text", "reading", "write_table", "write_text",
           "write_atomically", "format_csv", "NPZ_ARRAY"]


class TableError(Exception):
    """A table file that cannot be read or written; the text is one line."""


@dataclass(frozen=True)
class Table:
    """A two-dimensional float64 table and its header, if the file had one."""

    values: np.ndarray
    header: list[str] | None = None


def read_table(path: str, role: str | None = None) -> Table:
    """Reads a table from CSV (with or without a header), .npy or .npz.

    Parameters
    ----------
    path : str
        The file.  The extension chooses the format; anything that is not
        ``.npy`` or ``.npz`` is read as CSV.
    role : str, optional
        The table's name (``"points_in_rows"`` and so on): picks the array of
        that name from an .npz file that holds several.

    Returns
    -------
    Table
        The values as a C-contiguous float64 array, and the header of a CSV
        file (None when it had none).

    Raises
    ------
    TableError
        The file is missing or unreadable, or its content is not a
        two-dimensional numeric table.
    """
    ext = os.path.splitext(path)[1].lower()
    with reading(path):
        if ext == ".npy":
            return Table(_numeric_2d(np.load(path, allow_pickle=False), path))
        if ext == ".npz":
            return Table(_pick_npz(path, role))
        text = read_text(path)
    return parse_csv(text, path)


def read_text(path: str) -> str:
    """A text file's content (UTF-8, a byte order mark dropped)."""
    with open(path, "r", encoding="utf-8-sig", newline="") as f:
        return f.read()


@contextlib.contextmanager
def reading(path: str):
    """Turns what reading `path` can raise into TableError with one line."""
    try:
        yield
    except TableError:
        raise
    except FileNotFoundError:
        raise TableError(f"{path}: no such file") from None
    except IsADirectoryError:
        raise TableError(f"{path}: is a directory") from None
    except PermissionError:
        raise TableError(f"{path}: permission denied") from None
    except UnicodeDecodeError as e:
        raise TableError(f"{path}: not a text file ({e.reason} at byte {e.start})") from None
    except (OSError, ValueError, EOFError) as e:
        raise TableError(f"{path}: cannot read: {_one_line(e)}") from None


def _pick_npz(path: str, role: str | None) -> np.ndarray:
    with np.load(path, allow_pickle=False) as archive:
        names = list(archive.files)
        if len(names) == 1:
            name = names[0]
        elif role in names:
            name = role
        else:
            wanted = f"'{role}' or " if role else ""
            raise TableError(f"{path}: holds {len(names)} arrays ({', '.join(names) or 'none'}); "
                             f"expected {wanted}exactly one")
        return _numeric_2d(archive[name], f"{path}[{name}]")


def _numeric_2d(array: np.ndarray, where: str) -> np.ndarray:
    if array.ndim != 2:
        raise TableError(f"{where}: expected a two-dimensional table, found {array.ndim} dimension(s)")
    if array.dtype.kind not in "biuf":
        raise TableError(f"{where}: expected numbers, found data type {array.dtype}")
    return np.ascontiguousarray(array, dtype=np.float64)


def _one_line(e: BaseException) -> str:
    return " ".join(str(e).split()) or type(e).__name__


def _is_number(cell: str) -> bool:
    try:
        float(cell)
    except ValueError:
        return False
    return True


def parse_csv(text: str, path: str = "<text>") -> Table:
    """Parses CSV text into a Table.

    The first line is a header when none of its cells is a number.  An empty
    cell reads as NaN (what most CSV writers produce for a missing value).
    """
    lines = text.splitlines()
    if not lines or not any(line.strip() for line in lines):
        raise TableError(f"{path}: the file is empty")
    first = next(csv.reader([lines[0]]))
    header = None
    skip = 0
    if all(cell.strip() and not _is_number(cell) for cell in first):
        header = [cell.strip() for cell in first]
        skip = 1
    values = _parse_rows(lines, skip, path)
    if values.shape[0] == 0:
        width = len(header) if header else 0
        values = np.zeros((0, width))
    elif header is not None and values.shape[1] != len(header):
        raise TableError(f"{path}, line 2: {values.shape[1]} columns but the header has {len(header)}")
    return Table(values, header)


def _parse_rows(lines: list[str], skip: int, path: str) -> np.ndarray:
    body = lines[skip:]
    # Trailing blank lines are common; blank lines inside the data are not data.
    while body and not body[-1].strip():
        body.pop()
    if not body:
        return np.zeros((0, 0))
    try:
        fast = np.loadtxt(io.StringIO("\n".join(body)), delimiter=",", dtype=np.float64, ndmin=2,
                          comments=None)
        if fast.shape[0] == len(body):
            return np.ascontiguousarray(fast)
    except ValueError:
        pass
    return _parse_rows_carefully(body, skip, path)


def _parse_rows_carefully(body: list[str], skip: int, path: str) -> np.ndarray:
    rows: list[list[float]] = []
    width = None
    for offset, record in enumerate(csv.reader(body)):
        line = skip + offset + 1
        if not record or (len(record) == 1 and not record[0].strip()):
            raise TableError(f"{path}, line {line}: empty line inside the table")
        if width is None:
            width = len(record)
        elif len(record) != width:
            raise TableError(f"{path}, line {line}: {len(record)} columns where the lines before have {width}")
        row = []
        for column, cell in enumerate(record, start=1):
            cell = cell.strip()
            if not cell:
                row.append(float("nan"))
                continue
            try:
                row.append(float(cell))
            except ValueError:
                shown = cell if len(cell) <= 40 else cell[:37] + "..."
                raise TableError(f"{path}, line {line}, column {column}: not a number: {shown!r}") from None
        rows.append(row)
    return np.array(rows, dtype=np.float64).reshape(len(rows), width or 0)


def _format_column(column: np.ndarray) -> list[str]:
    # Whole numbers (keys, counts) print without a fraction; everything else
    # as the shortest text that reads back to the same float64.
    with np.errstate(invalid="ignore"):
        whole = (np.abs(column) < 2.0**53) & (column == np.trunc(column)) & ~(np.signbit(column) & (column == 0))
    if whole.all():
        return [str(v) for v in column.astype(np.int64).tolist()]
    return [str(int(v)) if w else repr(v) for v, w in zip(column.tolist(), whole.tolist())]


def format_csv(values: np.ndarray, header: list[str] | None, out: io.TextIOBase) -> None:
    """Writes a table as CSV; every value reads back exactly."""
    if header is not None:
        csv.writer(out, lineterminator="\n").writerow(header)
    if values.shape[0] == 0:
        return
    columns = [_format_column(values[:, c]) for c in range(values.shape[1])]
    chunk = 100_000
    for lo in range(0, values.shape[0], chunk):
        out.write("\n".join(",".join(cells) for cells in zip(*(col[lo:lo + chunk] for col in columns))))
        out.write("\n")


# The name of the array in an .npz file that the command line writes.
NPZ_ARRAY = "merged_points"


def write_table(path: str, values: np.ndarray, header: list[str] | None = None, *,
                overwrite: bool = False) -> None:
    """Writes a table to `path` atomically: .npy or .npz by extension, CSV
    otherwise.

    An .npz file holds the one array `NPZ_ARRAY`.  See `write_atomically`
    for how the file is put in place.
    """
    ext = os.path.splitext(os.fspath(path))[1].lower()
    if ext not in (".npy", ".npz"):
        write_text(path, lambda out: format_csv(values, header, out), overwrite=overwrite)
        return

    def write(f) -> None:
        if ext == ".npy":
            np.save(f, values, allow_pickle=False)
        else:
            np.savez(f, **{NPZ_ARRAY: values})

    write_atomically(path, write, overwrite=overwrite)


def write_text(path: str, fill, *, overwrite: bool = False) -> None:
    """Writes a UTF-8 text file through `fill(text_file)`, as `write_atomically` does."""
    def write(f) -> None:
        text = io.TextIOWrapper(f, encoding="utf-8", newline="")
        fill(text)
        text.flush()
        text.detach()

    write_atomically(path, write, overwrite=overwrite)


def write_atomically(path: str, write, *, overwrite: bool = False) -> None:
    """Writes a file through `write(binary_file)` and puts it at `path`.

    The data go to a temporary file beside `path`, which then takes its
    place, so a failed run never leaves a partial file; the file gets the
    mode that creating it with `open` would give.  Without `overwrite` an
    existing `path` is left alone and TableError is raised.
    """
    path = os.fspath(path)
    directory = os.path.dirname(os.path.abspath(path))
    if not overwrite and os.path.lexists(path):
        raise TableError(f"{path}: already exists (use --force to replace it)")
    try:
        fd, tmp = create_beside(directory, os.path.basename(path))
    except OSError as e:
        raise TableError(f"{path}: cannot write: {e.strerror or _one_line(e)}") from None
    try:
        with os.fdopen(fd, "wb") as f:
            write(f)
            f.flush()
            os.fsync(f.fileno())
        _move_into_place(tmp, path, overwrite)
    except BaseException as e:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        if isinstance(e, TableError):
            raise
        if isinstance(e, OSError):
            raise TableError(f"{path}: cannot write: {e.strerror or _one_line(e)}") from None
        raise


def _move_into_place(tmp: str, path: str, overwrite: bool) -> None:
    if overwrite:
        os.replace(tmp, path)
        return
    # A hard link never replaces an existing name, so a file that appeared
    # while we worked is not clobbered.
    try:
        os.link(tmp, path)
    except FileExistsError:
        raise TableError(f"{path}: already exists (use --force to replace it)") from None
    except OSError:
        if os.path.lexists(path):
            raise TableError(f"{path}: already exists (use --force to replace it)") from None
        os.replace(tmp, path)
        return
    os.unlink(tmp)


def create_beside(directory: str, name: str) -> tuple[int, str]:
    """A new, empty temporary file in `directory`: its descriptor and path.

    It is created with mode 0o666 for the kernel to apply the umask (and a
    default ACL) to, just as for a file made with `open`; reading the umask
    would mean setting it, which races with other threads.
    """
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0)
    for _ in range(100):
        tmp = os.path.join(directory, f".{name}.{secrets.token_hex(4)}.tmp")
        try:
            return os.open(tmp, flags, 0o666), tmp
        except FileExistsError:
            continue
    raise FileExistsError(f"no free temporary name beside {name}")
