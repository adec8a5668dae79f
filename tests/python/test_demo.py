"""`rowmerge demo` and the synthetic field behind it."""

from __future__ import annotations

import math
import os
import subprocess

import numpy as np
import pytest

from interpreter import python_command, run_python
from rowmerge.demo import DEMO_FILES, removed_mask
from rowmerge.field import make_field
from rowmerge.tables import read_table


def needs_matplotlib():
    pytest.importorskip("matplotlib", reason="the demo's plot needs matplotlib, which this Python lacks")


def test_demo_writes_inputs_merged_points_and_plot(tmp_path):
    needs_matplotlib()
    out = tmp_path / "demo"
    proc = subprocess.run(python_command("-m", "rowmerge", "demo", "--rows", "5", "--seed", "2", "--out", str(out)),
                          capture_output=True, text=True, timeout=300, env=dict(os.environ, NO_COLOR="1"))
    assert proc.returncode == 0, proc.stderr
    assert sorted(os.listdir(out)) == sorted(DEMO_FILES.values())
    assert (out / "demo.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    points = read_table(str(out / "points_in_rows.csv"))
    merged = read_table(str(out / "merged_points.csv"))
    assert merged.header == points.header == ["row", "segment", "x", "y", "ndvi", "confidence"]
    # The files are the generator's field, exactly.
    field = make_field(5, seed=2)
    assert points.values.tobytes() == field.points_in_rows.tobytes()
    assert read_table(str(out / "row_information.csv")).values.tobytes() == field.row_information.tobytes()
    removed = removed_mask(points.values, merged.values)
    assert 0 < removed.sum() < 0.3 * len(removed)
    assert f"15 connected rows, {len(removed)} points in, {len(merged.values)} points out" in proc.stderr
    assert "plot written to" in proc.stderr


def test_demo_without_matplotlib_still_merges_and_says_why(tmp_path):
    out = tmp_path / "demo"
    proc = run_python(
        "import sys\n"
        "sys.modules['matplotlib'] = None  # as if it were not installed\n"
        "from rowmerge.cli import main\n"
        f"sys.exit(main(['demo', '--rows', '2', '--out', {str(out)!r}, '--quiet']))\n",
        env={"NO_COLOR": "1"})
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr.splitlines() == [
        "rowmerge: plot skipped: matplotlib is not installed (install it with: pip install 'rowmerge[plot]')"]
    assert (out / "merged_points.csv").exists() and not (out / "demo.png").exists()


def test_the_plot_leaves_the_backend_of_the_host_program_alone(tmp_path):
    needs_matplotlib()
    png = tmp_path / "field.png"
    proc = run_python(
        "import sys\n"
        "import matplotlib\n"
        "matplotlib.use('svg')  # the host program's choice\n"
        "import numpy as np\n"
        "from rowmerge.field import make_field\n"
        "from rowmerge.plot import plot_field\n"
        "field = make_field(2, seed=1)\n"
        f"plot_field(field, np.zeros(len(field.points_in_rows), dtype=bool), {str(png)!r})\n"
        "assert matplotlib.get_backend() == 'svg', matplotlib.get_backend()\n"
        "assert 'matplotlib.pyplot' not in sys.modules\n")
    assert proc.returncode == 0, proc.stderr
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_field_tables_fit_together():
    field = make_field(4, segments=3, points_per_segment=20, seed=9)
    c, p, r = field.connected_crop_rows, field.points_in_rows, field.row_information
    assert c.shape == (12, 11) and p.shape == (240, 6) and r.shape == (12, 11)
    records = {(a, b) for a, b in r[:, [0, 4]].tolist()}
    for row in c:
        assert (row[1], row[2]) in records
        links = [(row[k], row[k + 1]) for k in range(3, 11, 2) if not math.isnan(row[k])]
        # End segments have one neighbour, inner ones two; the list ends in NaN.
        assert len(links) == (1 if row[2] in (1, 3) else 2)
        assert all(link in records and link[0] == row[1] and abs(link[1] - row[2]) == 1 for link in links)
    # Neighbouring segments overlap along the row.
    seg1, seg2 = r[0], r[1]
    assert np.hypot(*(seg2[5:7] - seg1[5:7])) < np.hypot(*(seg1[7:9] - seg1[5:7]))
    assert make_field(4, segments=3, points_per_segment=20, seed=9).points_in_rows.tobytes() == p.tobytes()
    assert make_field(4, segments=3, points_per_segment=20, seed=10).points_in_rows.tobytes() != p.tobytes()


def test_removed_mask_compares_whole_rows():
    points = np.array([[1.0, 1, 0, 0], [1, 1, 0, np.nan], [1, 2, 0, 0]])
    merged = np.array([[1.0, 2, 0, 0], [1, 1, 0, np.nan]])
    assert removed_mask(points, merged).tolist() == [True, False, False]
    assert removed_mask(points, np.zeros((0, 4))).tolist() == [True, True, True]
