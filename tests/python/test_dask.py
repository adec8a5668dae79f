"""`rowmerge.dask` on a real local cluster of two worker processes.

Many fields: every field's rows are compared, in order, with `merge_frame`
on that field's tables alone.  One large field: the result is compared, as
blocks, with the native merge of the whole tables.
"""

from __future__ import annotations

import os
import textwrap

import numpy as np
import pytest

pd = pytest.importorskip("pandas", reason="rowmerge.dask needs pandas, which this Python lacks")

from blocks import is_blocks_in_some_order
from interpreter import run_python
from rowmerge import MergeError, merge_points_removing_overlap
from rowmerge.errors import run_merge
from rowmerge.field import POINT_COLUMNS, make_field
from surveys import (FIELD, NORTH_FAILS, SANITIZED, TOL, cli, expected_rows, partitions, survey, tables_args,
                     write_survey_files)


@pytest.mark.parametrize("ids, seed", [("int", 1), ("str", 2)])
def test_every_field_as_merge_frame_gives_it(dask_client, ids, seed):
    from rowmerge.dask import merge_fields

    connected, points, records = survey(seed, ids)
    cuts = np.random.default_rng(seed).choice(np.arange(1, len(points)), 4, replace=False)
    for tables in ((connected, partitions(points, cuts), partitions(records, [len(records) // 2])),
                   (partitions(connected, [3]), points, records),
                   (partitions(connected, [3]), partitions(points, cuts), records)):
        merged = merge_fields(*tables, tolerance=TOL, field=FIELD).compute()
        assert list(merged.columns) == list(points.columns)
        assert merged.dtypes.to_dict() == tables[1].dtypes.to_dict()
        total = 0
        for name in pd.unique(connected[FIELD]):
            # One thread per task: each field's blocks in connected-row order.
            expected = expected_rows(connected, points, records, name)
            got = merged[merged[FIELD].astype(object) == name]
            pd.testing.assert_frame_equal(got, expected.astype(merged.dtypes), check_index_type=True)
            total += len(expected)
        assert len(merged) == total > 0


def test_a_failing_field_raises_merge_error_and_no_worker_dies(dask_client):
    from rowmerge.dask import merge_fields

    connected, points, records = survey(3, "str")
    records = records[records[FIELD] != "south, east"]  # connected rows, but no records
    pids = dask_client.run(os.getpid)
    with pytest.raises(MergeError) as got:
        merge_fields(connected, partitions(points, [100, 200]), records, tolerance=TOL, field=FIELD).compute()
    error = got.value
    assert error.field == "south, east"
    assert error.connected_row == 0
    assert str(error).startswith("field 'south, east', connected row 0: base crop row (1, 1) has no record: "
                                 "row_information has no rows (")
    assert dask_client.run(os.getpid) == pids


def test_the_command_line_on_a_running_cluster(dask_client, tmp_path):
    connected, points, records = write_survey_files(tmp_path)
    records[records[FIELD] != "north"].to_csv(tmp_path / "r.csv", index=False)
    done = cli(*tables_args("csv"), "--scheduler", dask_client.scheduler.address, "-o", "out.csv", cwd=tmp_path)
    assert (done.returncode, done.stderr) == (2, NORTH_FAILS)
    assert not (tmp_path / "out.csv").exists()


def test_tables_that_cannot_be_merged_are_refused_when_the_merge_is_built(dask_client):
    from rowmerge.dask import merge_fields

    connected, points, records = survey(4, "int")
    with pytest.raises(KeyError, match="connected_crop_rows has no field column 'field'"):
        merge_fields(connected, points, records, tolerance=TOL)
    # A column of numbers stored as objects becomes strings in a dask frame.
    as_objects = partitions(points.astype({FIELD: object}), [50])
    with pytest.raises(TypeError, match=r"field ids must be all whole numbers or all strings, in all three "
                                        r"tables \(connected_crop_rows: whole numbers; points: strings; "):
        merge_fields(connected, as_objects, records, tolerance=TOL, field=FIELD)
    for bad, message in ((points.astype({FIELD: float}), r"points: field column 'plot' has data type float64"),
                         (points.assign(label="x"), r"points: column 'label' has data type")):
        with pytest.raises(TypeError, match=message):
            merge_fields(connected, partitions(bad, [50]), records, tolerance=TOL, field=FIELD)
    unnamed = points.astype({FIELD: object})
    unnamed.loc[unnamed.index[60], FIELD] = None
    with pytest.raises(ValueError, match=r"points: 1 row\(s\) have no field id in column 'plot'"):
        merge_fields(connected, partitions(unnamed, [50]), records, tolerance=TOL, field=FIELD)


def large_field(seed: int):
    """One field whose keys need the key conversion to be grouped: stored
    with fractions, at and beyond the saturation point; a connected row
    given twice; points partly out of order, with their position as a
    last column."""
    f = make_field(24, segments=4, points_per_segment=50, seed=seed)
    connected, points, info = (t.copy() for t in (f.connected_crop_rows, f.points_in_rows, f.row_information))
    points[points[:, 0] == 3, 0] = 3.25
    connected[connected[:, 1] == 3, 1] = 3.75
    for table, columns in ((connected, [1, 3, 5]), (info, [0])):
        for c in columns:
            table[table[:, c] == 24, c] = 4294967295.0
    points[points[:, 0] == 24, 0] = 1e12
    connected = np.concatenate([connected, connected[[5]]])
    rng = np.random.default_rng(seed)
    moved = rng.choice(len(points), len(points) // 10, replace=False)
    order = np.concatenate([np.delete(np.arange(len(points)), moved), moved])
    points = np.column_stack([points[order], np.arange(len(points))])
    return connected, points, info


def test_one_large_field_gives_the_blocks_of_one_native_call(dask_client):
    from rowmerge.dask import merge_field

    connected, points, info = large_field(5)
    frame = pd.DataFrame(points, columns=[*POINT_COLUMNS, "id"]).astype({"row": np.float32})
    table = frame.to_numpy(dtype=np.float64)
    blocks = [merge_points_removing_overlap(connected[r:r + 1], table, info, TOL, 1) for r in range(len(connected))]
    whole = merge_points_removing_overlap(connected, table, info, TOL, 2)
    for tables in ((pd.DataFrame(connected), partitions(frame, [700, 1500, 2600, 3300]), info),
                   (partitions(pd.DataFrame(connected), [40]), frame, pd.DataFrame(info))):
        merged = merge_field(*tables, tolerance=TOL, npartitions=None if tables[1] is not frame else 3)
        result = merged.compute()
        assert result.dtypes.to_dict() == frame.dtypes.to_dict()
        values = result.to_numpy(dtype=np.float64)
        assert is_blocks_in_some_order(values, blocks)
        np.testing.assert_array_equal(np.sort(values[:, -1]), np.sort(whole[:, -1]))


def test_one_large_field_reports_the_lowest_failing_row(dask_client):
    from rowmerge.dask import merge_field

    connected, points, info = large_field(6)
    # Row 90 fails in the first partition's task, row 3 in the last one's.
    first, last = points[0, :2], points[-1, :2]
    connected[90, 1:5] = [*first, 77.0, 1.0]
    connected[3, 1:5] = [*last, 77.0, 2.0]
    frame = pd.DataFrame(points)
    with pytest.raises(MergeError) as one_call:
        run_merge(connected, frame.to_numpy(), info, TOL, 2)
    with pytest.raises(MergeError) as got:
        merge_field(connected, partitions(frame, [1000, 2000, 3000]), info, tolerance=TOL).compute()
    assert got.value.connected_row == one_call.value.connected_row == 3
    assert str(got.value) == str(one_call.value)


def test_merge_error_pickles_whole_where_distributed_pickles_causes_too():
    pytest.importorskip("distributed", reason="needs distributed: pip install 'rowmerge[dask]'")
    done = run_python(textwrap.dedent("""
        import pickle
        import numpy as np
        from rowmerge.errors import MergeError, NativeAbort, run_merge
        import distributed  # from now on every exception class known pickles its cause and traceback
        try:
            run_merge(np.array([[0, 1.0, 1.0, np.nan]]), np.zeros((0, 4)), np.zeros((0, 11)), 0.1, 1, field="A")
        except MergeError as e:
            error = e
        copy = pickle.loads(pickle.dumps(error))
        assert (type(copy), str(copy), copy.field) == (MergeError, str(error), "A")
        assert type(copy.__cause__) is NativeAbort and str(copy.__cause__) == str(error.__cause__)
    """), env={"NO_COLOR": "1"})
    assert done.returncode == 0, done.stderr


def test_import_needs_no_dask_and_says_how_to_get_it():
    done = run_python(textwrap.dedent("""
        import sys
        class Refuse:
            def find_spec(self, name, path=None, target=None):
                if name.split(".")[0] in ("dask", "distributed"):
                    raise ImportError(f"No module named {name!r}")
        sys.meta_path.insert(0, Refuse())
        import rowmerge, rowmerge.cli
        assert not [m for m in sys.modules if m.split(".")[0] in ("dask", "distributed")]
        try:
            import rowmerge.dask
        except ImportError as e:
            print(e)
        else:
            raise AssertionError("rowmerge.dask imported without dask")
    """))
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "rowmerge.dask needs Dask; install it with: pip install 'rowmerge[dask]'"


@pytest.mark.parametrize("layout", ["sorted", "grouped", "twice", "scattered"])
def test_rows_are_counted_and_placed_by_key_however_they_are_laid_out(layout):
    pytest.importorskip("dask", reason="needs dask: pip install 'rowmerge[dask]'")
    from rowmerge._fields import group_by_field
    from rowmerge.dask import _count_codes, _count_fields, _row_owners

    rng = np.random.default_rng(len(layout))
    keys = np.repeat(np.arange(1, 41, dtype=float), rng.integers(1, 30, 40))
    if layout == "grouped":  # each key's rows together, the keys in no order
        runs = np.split(keys, np.flatnonzero(np.diff(keys)) + 1)
        keys = np.concatenate([runs[i] for i in rng.permutation(len(runs))])
    elif layout == "twice":  # long runs, but each key in two of them
        keys = np.concatenate([keys, keys])
    elif layout == "scattered":
        keys = rng.permutation(keys)
    frame = pd.DataFrame({"k1": keys, "k2": 1.0 + keys % 3, "x": 0.0, "y": 0.0})
    codes = (keys.astype(np.uint64) << np.uint64(32)) | (1 + keys % 3).astype(np.uint64)
    counts = _count_codes(frame)
    assert counts.sort_index().to_dict() == pd.Series(codes).value_counts().sort_index().to_dict()
    fields = _count_fields(pd.Series(keys.astype(np.int64)), "points", "field")
    assert fields.to_dict() == {int(k): n for k, n in pd.Series(keys).value_counts().items()}
    assert {type(k) for k in fields.index} == {int}
    # The groups a task merges field by field: every id's rows, in their order, ids by first appearance.
    groups = group_by_field(pd.Series(keys.astype(np.int64)), "points", "field")
    assert groups.ids == pd.unique(keys).astype(int).tolist()
    assert [groups.order[a:b].tolist() for a, b in zip(groups.start, groups.stop)] == \
        [np.flatnonzero(keys == k).tolist() for k in groups.ids]
    # Every third key wanted, dealt to three targets.
    wanted = np.unique(codes)[::3]
    owner = pd.Series(np.arange(len(wanted)) % 3, index=pd.Index(wanted))
    expected = [int(owner[c]) if c in owner.index else -1 for c in codes]
    assert _row_owners(codes, owner).tolist() == expected


@pytest.mark.skipif(SANITIZED, reason="a new local cluster under AddressSanitizer takes minutes to start")
def test_workers_started_with_worker_environ_get_its_malloc_settings():
    pytest.importorskip("distributed", reason="needs distributed: pip install 'rowmerge[dask]'")
    done = run_python(textwrap.dedent("""
        import os
        import dask
        from distributed import Client, LocalCluster
        from rowmerge.dask import worker_environ
        # Variables of the starting process win over the configuration; a
        # cluster made earlier in the test process leaves Dask's here.
        for name in ("MALLOC_TRIM_THRESHOLD_", "MALLOC_MMAP_THRESHOLD_"):
            os.environ.pop(name, None)
        names = ("MALLOC_TRIM_THRESHOLD_", "MALLOC_MMAP_THRESHOLD_", "OMP_NUM_THREADS")
        with dask.config.set({"distributed.nanny.pre-spawn-environ": worker_environ()}):
            cluster = LocalCluster(n_workers=1, threads_per_worker=1, dashboard_address=None)
        with cluster, Client(cluster) as client:
            seen = list(client.run(lambda: [os.environ.get(n) for n in names]).values())
        print(seen)
        assert seen == [[str(64 << 20), str(32 << 20), "1"]], seen
    """), env={"NO_COLOR": "1"})
    assert done.returncode == 0, done.stderr[-2000:]
