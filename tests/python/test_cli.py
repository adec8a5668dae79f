"""The `rowmerge merge` command, run as `python -m rowmerge` in fresh interpreters."""

from __future__ import annotations

import importlib.metadata
import os
import re
import subprocess
import textwrap

import numpy as np
import pytest

import rowmerge
from interpreter import python_command, run_python
from rowmerge.field import POINT_COLUMNS, make_field
from rowmerge.tables import parse_csv, write_table

TOL = 0.03


def cli(*args: str, cwd=None, env=None) -> subprocess.CompletedProcess:
    full_env = dict(os.environ, NO_COLOR="1")
    full_env.update(env or {})
    return subprocess.run(python_command("-m", "rowmerge", *args), cwd=cwd, env=full_env,
                          capture_output=True, text=True, timeout=120)


def direct_merge(tmp_path, threads: int) -> np.ndarray:
    """The module's own result for the field in tmp_path, from a fresh interpreter."""
    out = tmp_path / f"direct-{threads}.npy"
    code = textwrap.dedent(f"""
        import numpy as np
        from rowmerge import merge_points_removing_overlap
        d = {str(tmp_path)!r}
        c, p, r = (np.load(f"{{d}}/{{n}}.npy") for n in ("connected", "points", "rows"))
        np.save({str(out)!r}, merge_points_removing_overlap(c, p, r, {TOL}, {threads}))
    """)
    proc = run_python(code, env={"NO_COLOR": "1"})
    assert proc.returncode == 0, proc.stderr
    return np.load(out)


@pytest.fixture
def field_files(tmp_path):
    """A small field as CSV with headers, CSV without headers and .npy."""
    field = make_field(4, segments=3, points_per_segment=40, seed=3)
    tables = {"connected": field.connected_crop_rows, "points": field.points_in_rows,
              "rows": field.row_information}
    for name, values in tables.items():
        np.save(tmp_path / f"{name}.npy", values)
        write_table(str(tmp_path / f"{name}.csv"), values, list(POINT_COLUMNS) if name == "points" else None)
        write_table(str(tmp_path / f"{name}-bare.csv"), values)
    return tmp_path


def merge_args(d, kind="csv", *extra):
    suffix = {"csv": ".csv", "bare": "-bare.csv", "npy": ".npy"}[kind]
    return ("merge", "--connected", str(d / f"connected{suffix}"), "--points", str(d / f"points{suffix}"),
            "--rows", str(d / f"rows{suffix}"), "--tolerance", str(TOL), *extra)


def sorted_rows(a: np.ndarray) -> np.ndarray:
    return a[np.lexsort(a.T[::-1])]


def test_csv_output_keeps_the_header_and_matches_the_module_exactly(field_files):
    expected = direct_merge(field_files, 1)
    proc = cli(*merge_args(field_files, "csv", "--threads", "1"))
    assert proc.returncode == 0, proc.stderr
    table = parse_csv(proc.stdout)
    assert table.header == list(POINT_COLUMNS)
    # One worker thread: blocks in ascending connected-row order, so the rows
    # compare in order, bit for bit.
    assert table.values.tobytes() == expected.tobytes()
    points = np.load(field_files / "points.npy")
    assert 0 < expected.shape[0] < points.shape[0]
    assert re.fullmatch(rf"rowmerge: 12 connected rows, {points.shape[0]} points in, "
                        rf"{expected.shape[0]} points out, \d+\.\d{{3}} s\n", proc.stderr), proc.stderr


def test_headerless_csv_stays_headerless_and_npy_round_trips(field_files):
    expected = sorted_rows(direct_merge(field_files, 2))
    bare = cli(*merge_args(field_files, "bare", "--quiet"))
    assert bare.returncode == 0 and bare.stderr == ""
    table = parse_csv(bare.stdout)
    assert table.header is None
    np.testing.assert_array_equal(sorted_rows(table.values), expected)

    out = field_files / "merged.npy"
    proc = cli(*merge_args(field_files, "npy", "-o", str(out), "--threads", "2"))
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == ""
    merged = np.load(out)
    assert merged.dtype == np.float64
    np.testing.assert_array_equal(sorted_rows(merged), expected)


def test_npz_output_is_an_archive_that_reads_back(field_files):
    out = field_files / "merged.npz"
    proc = cli(*merge_args(field_files, "csv", "-o", str(out), "-q"))
    assert proc.returncode == 0, proc.stderr
    with np.load(out) as archive:
        assert archive.files == ["merged_points"]
        merged = archive["merged_points"]
    np.testing.assert_array_equal(sorted_rows(merged), sorted_rows(direct_merge(field_files, 0)))
    # The archive serves as the points of another merge.
    again = cli("merge", "--connected", str(field_files / "connected.npy"), "--points", str(out),
                "--rows", str(field_files / "rows.npy"), "--tolerance", str(TOL), "-q")
    assert again.returncode == 0, again.stderr
    assert parse_csv(again.stdout).values.shape[1] == merged.shape[1]


def test_npz_input_picks_the_array_by_name(field_files):
    archive = field_files / "all.npz"
    np.savez(archive, connected_crop_rows=np.load(field_files / "connected.npy"),
             points_in_rows=np.load(field_files / "points.npy"),
             row_information=np.load(field_files / "rows.npy"))
    proc = cli("merge", "--connected", str(archive), "--points", str(archive), "--rows", str(archive),
               "--tolerance", str(TOL), "-q")
    assert proc.returncode == 0, proc.stderr
    np.testing.assert_array_equal(sorted_rows(parse_csv(proc.stdout).values),
                                  sorted_rows(direct_merge(field_files, 0)))


def test_force_replaces_an_existing_output(field_files):
    out = field_files / "merged.csv"
    out.write_text("old\n")
    proc = cli(*merge_args(field_files, "csv", "-o", str(out), "--force", "-q"))
    assert proc.returncode == 0, proc.stderr
    assert parse_csv(out.read_text()).header == list(POINT_COLUMNS)


def _write(path, text):
    path.write_text(text)
    return str(path)


# (what to break, expected text in the one error line)
ERRORS = {
    "missing": ("points", None, "no such file"),
    "directory": ("points", "DIR", "is a directory"),
    "not numeric": ("points", "row,segment,x,y\n1,1,0.5,0.5\n1,1,zero,0.5\n", "line 3, column 3: not a number: 'zero'"),
    "ragged": ("points", "1,1,0.5,0.5\n1,1,0.5\n", "line 2: 3 columns where the lines before have 4"),
    "empty": ("points", "", "the file is empty"),
    "too few point columns": ("points", "1,1,0.5\n", "3 columns; needs at least 4"),
    "wrong record columns": ("rows", "1,0,0,0,1,0,0,1,1\n", "9 columns; needs exactly 11"),
    "not a table": ("rows", "NPY1D", "expected a two-dimensional table"),
    "bad threads": ("threads", "-1", "argument --threads: must be between 0 and 4294967295"),
}


@pytest.mark.parametrize("case", ERRORS, ids=list(ERRORS))
def test_bad_input_gives_one_line_and_status_2_and_no_output_file(field_files, case):
    which, content, message = ERRORS[case]
    d = field_files
    files = {"connected": str(d / "connected.csv"), "points": str(d / "points.csv"), "rows": str(d / "rows.csv")}
    threads = "0"
    if which == "threads":
        threads = content
    elif content is None:
        files[which] = str(d / "absent.csv")
    elif content == "DIR":
        files[which] = str(d)
    elif content == "NPY1D":
        np.save(d / "flat.npy", np.arange(11.0))
        files[which] = str(d / "flat.npy")
    else:
        files[which] = _write(d / "broken.csv", content)
    out = d / "out.csv"
    proc = cli("merge", "--connected", files["connected"], "--points", files["points"], "--rows", files["rows"],
               "--tolerance", str(TOL), "--threads", threads, "-o", str(out))
    assert proc.returncode == 2
    lines = proc.stderr.splitlines()
    assert len(lines) == 1, proc.stderr
    assert message in lines[0]
    assert "Traceback" not in proc.stderr
    assert not out.exists()


def test_failed_merge_explains_itself_and_leaves_nothing(field_files):
    rows = np.load(field_files / "rows.npy")
    np.save(field_files / "rows-missing.npy", np.delete(rows, 2, axis=0))  # the record of crop row (1, 3)
    out = field_files / "out.npy"
    proc = cli("merge", "--connected", str(field_files / "connected.npy"),
               "--points", str(field_files / "points.npy"), "--rows", str(field_files / "rows-missing.npy"),
               "--tolerance", str(TOL), "-o", str(out))
    assert proc.returncode == 2
    assert proc.stderr.splitlines() == [
        "rowmerge: merge failed: connected row 1: linked crop row (1, 3) of link pair 1 has no record "
        "in row_information (called `Option::unwrap()` on a `None` value)"]
    before = set(os.listdir(field_files))
    assert not out.exists()
    assert not any(name.startswith(".out.npy") for name in before)


def test_existing_output_is_kept_without_force(field_files):
    out = field_files / "merged.csv"
    out.write_text("precious\n")
    proc = cli(*merge_args(field_files, "csv", "-o", str(out)))
    assert proc.returncode == 2
    assert proc.stderr.splitlines() == [f"rowmerge: {out}: already exists (use --force to replace it)"]
    assert out.read_text() == "precious\n"


def test_version_and_help():
    version = cli("--version")
    assert version.returncode == 0 and version.stdout == f"rowmerge {rowmerge.__version__}\n"
    helptext = cli("merge", "--help")
    assert helptext.returncode == 0
    assert "examples:" in helptext.stdout and "NO_COLOR" in helptext.stdout
    missing = cli("merge", "--points", "p.csv")
    assert missing.returncode == 2 and len(missing.stderr.splitlines()) == 1


def test_the_installed_distribution_has_the_package_version():
    try:
        installed = importlib.metadata.version("rowmerge")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("the package runs from a staged copy here, not from an installed distribution")
    assert installed == rowmerge.__version__
