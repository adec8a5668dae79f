"""`rowmerge merge --field NAME`: every field of multi-field files, in the
process and on a local Dask cluster (`--workers 2`)."""

from __future__ import annotations

import contextlib

import numpy as np
import pytest

pd = pytest.importorskip("pandas", reason="merge --field needs pandas, which this Python lacks")

from rowmerge._frame_files import read_frame
from surveys import FIELD, NORTH_FAILS, SANITIZED, cli, expected_rows, tables_args, write_survey_files


@pytest.fixture
def files(tmp_path):
    return tmp_path, write_survey_files(tmp_path)


def by_field(frame: pd.DataFrame) -> dict:
    values = frame.drop(columns=FIELD).to_numpy(dtype=np.float64, na_value=np.nan)
    ids = frame[FIELD].astype(str).to_numpy()
    return {name: values[ids == name] for name in pd.unique(ids)}


def sorted_rows(a: np.ndarray) -> np.ndarray:
    return a[np.lexsort(a.T[::-1])]


@pytest.mark.skipif(SANITIZED, reason="a new local cluster under AddressSanitizer takes minutes to start")
def test_every_field_in_the_process_and_on_a_local_cluster(files):
    pytest.importorskip("distributed", reason="--workers needs distributed: pip install 'rowmerge[dask]'")
    d, (connected, points, records) = files
    expected = {name: expected_rows(connected, points, records, name).drop(columns=FIELD).to_numpy(np.float64,
                                                                                                  na_value=np.nan)
                for name in pd.unique(connected[FIELD])}

    here = cli(*tables_args("csv"), "-o", "here.csv", cwd=d)
    assert here.returncode == 0, here.stderr
    assert here.stderr.startswith(f"rowmerge: 6 fields, {len(connected)} connected rows, {len(points)} points in, ")
    got = by_field(read_frame(str(d / "here.csv"), FIELD))
    assert got.keys() == {k for k, v in expected.items() if len(v)}
    for name, rows in got.items():  # threads chosen by the machine: blocks in any order
        np.testing.assert_array_equal(sorted_rows(rows), sorted_rows(expected[name]))

    there = cli(*tables_args("parquet"), "--workers", "2", "-o", "there.parquet", cwd=d)
    assert there.returncode == 0, there.stderr
    assert there.stderr.startswith("rowmerge: 6 fields, ")
    merged = pd.read_parquet(d / "there.parquet")
    assert merged.dtypes.to_dict() == points.dtypes.to_dict()
    got = by_field(merged)
    assert got.keys() == {k for k, v in expected.items() if len(v)}
    for name, rows in got.items():  # one thread per task: each field exactly as merge_frame gives it
        np.testing.assert_array_equal(rows, expected[name])


def in_process(directory, *args: str, field: bool = True) -> int:
    """The status of `rowmerge merge [--field plot] ARGS...` run by `main`
    in this process, in `directory` (refusals need no fresh interpreter)."""
    from rowmerge.cli import main

    with contextlib.chdir(directory):
        return main(["merge", *(["--field", FIELD] if field else []), *args])


def test_a_failing_field_is_one_line_and_leaves_no_file(files, capfd):
    d, (connected, points, records) = files
    records[records[FIELD] != "north"].to_csv(d / "r.csv", index=False)
    assert in_process(d, *tables_args("csv"), "-o", "out.csv") == 2
    assert capfd.readouterr().err == NORTH_FAILS
    assert not (d / "out.csv").exists()


@pytest.mark.parametrize("change, message", [
    (lambda d: (d / "p.csv").write_text("row,segment,x,y\n1,1,0,0\n"),
     "rowmerge: p.csv has no field column 'plot' (its columns: 'row', 'segment', 'x', 'y')\n"),
    (lambda d: (d / "p.csv").write_text("plot,row,segment,x,y\na,1,1,0,0\nb,1,1,zero,0\n"),
     "rowmerge: p.csv, line 3, column 4: not a number: 'zero'\n"),
    (lambda d: (d / "p.csv").write_text("plot,row,segment,x,y\na,1,1,0,0\n,1,1,0,0\n"),
     "rowmerge: p.csv, line 3, column 1: no field id\n"),
    (lambda d: (d / "p.csv").write_text("1,1,1,0,0\n"),
     "rowmerge: p.csv: the first line must be a header naming every column\n"),
])
def test_tables_that_cannot_be_merged(files, change, message, capfd):
    d, _ = files
    change(d)
    assert in_process(d, *tables_args("csv")) == 2
    assert capfd.readouterr() == ("", message)


def test_options_that_do_not_fit(files, capfd):
    d, _ = files
    assert in_process(d, *tables_args("csv"), "-o", "out.npy") == 2
    assert capfd.readouterr().err == ("rowmerge: out.npy: column 'plot' does not hold numbers, and a "
                                      ".npy file holds nothing else; write CSV or Parquet\n")
    assert not (d / "out.npy").exists()
    assert in_process(d, *tables_args("csv"), "--workers", "2", field=False) == 2
    assert capfd.readouterr().err == ("rowmerge: --workers and --scheduler merge the fields of "
                                      "multi-field tables: they need --field NAME\n")
