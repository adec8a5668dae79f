"""`rowmerge.merge_frame` on pandas DataFrames.

Merges run in fresh interpreters, as a pipeline script would run them;
refusals that happen before any merge run here.
"""

from __future__ import annotations

import textwrap

import numpy as np
import pytest

from interpreter import run_python
from rowmerge import merge_frame
from rowmerge.field import make_field

TOL = 0.03


def run(code: str) -> None:
    proc = run_python(textwrap.dedent(code), env={"NO_COLOR": "1"})
    assert proc.returncode == 0, proc.stderr


def test_merge_frame_keeps_columns_dtypes_index_and_the_module_rows(tmp_path, pd):
    field = make_field(3, segments=3, points_per_segment=30, seed=5)
    for name, values in (("c", field.connected_crop_rows), ("p", field.points_in_rows),
                         ("r", field.row_information)):
        np.save(tmp_path / f"{name}.npy", values)
    # Mixed dtypes and free column names; the frame's index is not a range.
    run(f"""
        import numpy as np, pandas as pd
        from rowmerge import merge_frame
        d = {str(tmp_path)!r}
        p = np.load(d + "/p.npy")
        frame = pd.DataFrame({{
            "Row": p[:, 0].astype(np.int32), "Seg": p[:, 1].astype(np.uint16),
            "East": p[:, 2], "North": p[:, 3].astype(np.float32),
            "ndvi": p[:, 4], "healthy": p[:, 5] > 0.8,
            "count": pd.array(np.arange(len(p)) % 7, dtype="Int64"),
        }}, index=pd.Index(np.arange(len(p)) * 10 + 5, name="pid"))
        frame.loc[frame.index[3], "count"] = pd.NA
        out = merge_frame(pd.DataFrame(np.load(d + "/c.npy")), frame, np.load(d + "/r.npy"),
                          {TOL}, num_threads=1)
        assert list(out.columns) == list(frame.columns)
        assert out.dtypes.to_dict() == frame.dtypes.to_dict(), out.dtypes
        assert out.index.name == "pid"
        pd.testing.assert_frame_equal(out, frame.loc[out.index])
        out.to_pickle(d + "/out.pkl")
        frame.to_pickle(d + "/frame.pkl")
    """)
    # The same table as float64 through the module itself, in another process.
    run(f"""
        import numpy as np, pandas as pd
        from rowmerge import merge_points_removing_overlap
        d = {str(tmp_path)!r}
        frame = pd.read_pickle(d + "/frame.pkl")
        table = frame.to_numpy(dtype=np.float64, na_value=np.nan)
        np.save(d + "/direct.npy", merge_points_removing_overlap(
            np.load(d + "/c.npy"), table, np.load(d + "/r.npy"), {TOL}, 1))
    """)
    out = pd.read_pickle(tmp_path / "out.pkl")
    direct = np.load(tmp_path / "direct.npy")
    assert 0 < len(out) < len(field.points_in_rows)
    # One worker thread: both come in ascending connected-row order.
    assert out.to_numpy(dtype=np.float64, na_value=np.nan).tobytes() == direct.tobytes()


def test_merge_frame_refuses_what_it_cannot_merge(pd):
    field = make_field(1, segments=2, points_per_segment=5)
    points = pd.DataFrame(field.points_in_rows, columns=list("abcdef"))
    points["label"] = "crop"
    with pytest.raises(TypeError, match=r"points: column 'label' has data type"):
        merge_frame(field.connected_crop_rows, points, field.row_information, TOL)
    with pytest.raises(TypeError, match="points must be a pandas DataFrame"):
        merge_frame(field.connected_crop_rows, field.points_in_rows, field.row_information, TOL)
    with pytest.raises(ValueError, match="at least four"):
        merge_frame(field.connected_crop_rows, points.iloc[:, :3], field.row_information, TOL)
    records = pd.DataFrame(field.row_information)
    records["note"] = pd.Series(["x"] * len(records), dtype=object)
    with pytest.raises(TypeError, match=r"row_information: column 'note'"):
        merge_frame(field.connected_crop_rows, points.iloc[:, :6], records, TOL)


def test_merge_frame_without_pandas_says_how_to_install_it():
    run("""
        import sys
        sys.modules["pandas"] = None  # as if it were not installed
        import numpy as np
        from rowmerge import merge_frame
        try:
            merge_frame(np.zeros((0, 4)), None, np.zeros((0, 11)), 0.1)
        except ImportError as e:
            assert "pip install 'rowmerge[pandas]'" in str(e), e
        else:
            raise AssertionError("no ImportError")
    """)
