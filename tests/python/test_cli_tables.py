"""Reading and writing the command line's table files (no merge involved)."""

from __future__ import annotations

import importlib.util
import io
import math
import os
import textwrap

import numpy as np
import pytest

from interpreter import run_python
from rowmerge.tables import TableError, format_csv, parse_csv, read_table, write_table


def test_header_detection_and_missing_cells():
    with_header = parse_csv("key1,key2,x,y\n1,2,0.5,\n3,4,-1e-3,nan\n")
    assert with_header.header == ["key1", "key2", "x", "y"]
    assert with_header.values.shape == (2, 4)
    assert math.isnan(with_header.values[0, 3]) and math.isnan(with_header.values[1, 3])
    # A first line with any number in it is data, so a typo is reported, not
    # silently taken for a header.
    with pytest.raises(TableError, match=r"line 1, column 1: not a number: 'x1'"):
        parse_csv("x1,2,3,4\n1,2,3,4\n", "t.csv")
    only_header = parse_csv("a,b,c,d\n")
    assert only_header.values.shape == (0, 4)
    with pytest.raises(TableError, match="line 2: 3 columns but the header has 4"):
        parse_csv("a,b,c,d\n1,2,3\n", "t.csv")
    with pytest.raises(TableError, match="line 3: empty line inside the table"):
        parse_csv("1,2\n3,4\n\n5,6\n", "t.csv")


def test_csv_values_read_back_bit_for_bit():
    values = np.array([[1.0, 4294967295.0, 0.1, -0.0],
                       [np.nan, np.inf, -np.inf, 1e300],
                       [2.0**53, -3.0, 5e-324, 1 / 3]])
    out = io.StringIO()
    format_csv(values, ["a", "b", "c", "d"], out)
    assert out.getvalue().splitlines()[1] == "1,4294967295,0.1,-0.0"
    back = parse_csv(out.getvalue())
    assert back.header == ["a", "b", "c", "d"]
    assert back.values.tobytes() == values.tobytes()


def test_numpy_files(tmp_path):
    ints = np.arange(12, dtype=np.int32).reshape(3, 4)
    np.save(tmp_path / "ints.npy", ints)
    table = read_table(str(tmp_path / "ints.npy"))
    assert table.values.dtype == np.float64 and table.header is None
    np.testing.assert_array_equal(table.values, ints)
    np.save(tmp_path / "text.npy", np.array([["a", "b"]]))
    with pytest.raises(TableError, match="expected numbers"):
        read_table(str(tmp_path / "text.npy"))
    np.savez(tmp_path / "two.npz", a=ints, b=ints)
    with pytest.raises(TableError, match="holds 2 arrays"):
        read_table(str(tmp_path / "two.npz"), "points_in_rows")
    (tmp_path / "junk.npy").write_bytes(b"not a numpy file")
    with pytest.raises(TableError, match="cannot read"):
        read_table(str(tmp_path / "junk.npy"))


def test_write_is_atomic_and_refuses_to_overwrite(tmp_path):
    target = tmp_path / "out.csv"
    write_table(str(target), np.ones((2, 4)), ["a", "b", "c", "d"])
    assert target.read_text() == "a,b,c,d\n1,1,1,1\n1,1,1,1\n"
    with pytest.raises(TableError, match="already exists"):
        write_table(str(target), np.zeros((1, 4)))
    assert target.read_text().startswith("a,b,c,d\n")
    write_table(str(target), np.zeros((1, 4)), overwrite=True)
    assert target.read_text() == "0,0,0,0\n"
    with pytest.raises(TableError, match="cannot write"):
        write_table(str(tmp_path / "missing-dir" / "out.csv"), np.zeros((1, 4)))
    assert sorted(os.listdir(tmp_path)) == ["out.csv"]


def test_written_files_get_the_mode_of_open_without_touching_the_umask(tmp_path):
    # The plot too, where matplotlib is there to draw it.
    plot = importlib.util.find_spec("matplotlib") is not None
    # In a process of its own: the umask is process-wide.
    code = textwrap.dedent(f"""
        import os, stat
        import numpy as np
        from rowmerge.tables import write_table
        from rowmerge.field import make_field
        d = {str(tmp_path)!r}
        os.umask(0o027)
        def refuse(mask):
            raise AssertionError("the umask was changed")
        os.umask = refuse
        with open(os.path.join(d, "plain"), "w"):
            pass
        field = make_field(1, segments=2, points_per_segment=5)
        for name in ("t.csv", "t.npy", "t.npz"):
            write_table(os.path.join(d, name), np.ones((2, 4)))
        if {plot}:
            from rowmerge.plot import plot_field
            plot_field(field, np.zeros(len(field.points_in_rows), dtype=bool), os.path.join(d, "t.png"))
        print(" ".join(f"{{n}}:{{stat.S_IMODE(os.stat(os.path.join(d, n)).st_mode):o}}"
                       for n in sorted(os.listdir(d))))
    """)
    proc = run_python(code)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["plain:640", "t.csv:640", "t.npy:640", "t.npz:640"] + ["t.png:640"] * plot
