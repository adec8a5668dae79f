"""`rowmerge.geo`: the merge on GeoDataFrames and the tables built from them."""

from __future__ import annotations

import numpy as np
import pytest

gpd = pytest.importorskip("geopandas", minversion="1.0",
                          reason="rowmerge.geo needs geopandas >= 1.0, which this Python lacks")
import pandas as pd  # noqa: E402
import shapely  # noqa: E402
from geopandas.testing import assert_geodataframe_equal  # noqa: E402

from rowmerge import MergeError, merge_points_removing_overlap  # noqa: E402
from rowmerge.demo import DEMO_CRS, field_geoframes  # noqa: E402
from rowmerge.field import make_field  # noqa: E402
from rowmerge.geo import link_segments, merge_geoframe, rows_from_lines  # noqa: E402

TOL = 0.03


@pytest.fixture(scope="module")
def frames():
    field = make_field(5, segments=4, points_per_segment=60, seed=7)
    return (field, *field_geoframes(field))


def merge(points, segments, **kw):
    kw.setdefault("tolerance", TOL)
    return merge_geoframe(points, segments, key1="row", key2="segment", num_threads=1, **kw)


def test_merge_geoframe_keeps_the_frame_and_agrees_with_the_plain_merge(frames):
    field, points, segments = frames
    n = len(points)
    # Free dtypes, another geometry column name, an index that is not a range.
    points = points.astype({"row": "int32", "segment": "uint16"}).assign(
        label=pd.array(np.where(np.arange(n) % 3, "a", "b"), dtype="string"),
        count=pd.array(np.arange(n) % 5, dtype="Int64"))
    points = points.rename_geometry("where").set_index(pd.Index(np.arange(n) * 3 + 100, name="pid"))
    segments = segments.iloc[::-1]  # the frames' order is free
    out = merge(points, segments)
    assert isinstance(out, gpd.GeoDataFrame) and out.geometry.name == "where" and out.crs == DEMO_CRS
    assert_geodataframe_equal(out, points.loc[out.index])

    # The plain merge on the flattened tables, with a position column.
    table = np.column_stack([points["row"], points["segment"], points.geometry.x, points.geometry.y,
                             np.arange(n)]).astype(np.float64)
    plain = merge_points_removing_overlap(link_segments(segments, "row", "segment"), table,
                                          rows_from_lines(segments, "row", "segment"), TOL, 1)
    assert out.index.tolist() == points.index[plain[:, 4].astype(int)].tolist()
    assert 0 < len(out) < n
    # The lines are the field's centre lines, whose halfway points are close
    # to the records' middles: the field's own tables keep the same points.
    own = np.column_stack([field.points_in_rows[:, :4], np.arange(n)])
    direct = merge_points_removing_overlap(field.connected_crop_rows, own, field.row_information, TOL, 1)
    assert sorted(points.index.get_indexer(out.index)) == sorted(direct[:, 4].astype(int).tolist())


def test_rows_from_lines_reads_the_ends_and_the_point_halfway():
    segments = gpd.GeoDataFrame(
        {"r": [4, 4], "s": [2.0, 7.0]},
        geometry=[shapely.LineString([(0, 0), (10, 0), (10, 30)]),
                  shapely.LineString([(1, 1, 5), (1, 9, 6)])])
    info = rows_from_lines(segments, "r", "s")
    expected = np.array([[4, np.nan, np.nan, np.nan, 2, 0, 0, 10, 30, 10, 10],
                         [4, np.nan, np.nan, np.nan, 7, 1, 1, 1, 9, 1, 5]])
    np.testing.assert_array_equal(info, expected)


def test_link_segments_links_each_segment_to_its_neighbours_on_its_row():
    # Frame order shuffled, gaps in key 2, a segment alone on its row.
    segments = pd.DataFrame({"row": [2, 1, 1, 3, 1, 2], "seg": [9, 5, 1, 1, 2, 4],
                             "along": [0.0, 30.0, 20.0, 1.0, 10.0, 5.0]})
    nan = np.nan
    expected = np.array([
        [0, 2, 9, 2, 4, nan], [1, 1, 5, 1, 2, nan], [2, 1, 1, 1, 2, nan],
        [3, 3, 1, nan, nan, nan], [4, 1, 2, 1, 1, 1], [5, 2, 4, 2, 9, nan]])
    table = link_segments(segments, "row", "seg")
    assert table.shape == (6, 11)
    np.testing.assert_array_equal(table[:, :6], expected)
    assert np.isnan(table[[0, 1, 2, 3, 5], 5:]).all() and table[4, 5:7].tolist() == [1, 5]
    # By `order`: on row 1 the order is 2, 1, 5; on row 2 it is 9, 4.
    by_order = link_segments(segments, "row", "seg", order="along")
    assert by_order[2, 3:7].tolist() == [1, 2, 1, 5] and by_order[4, 3:5].tolist() == [1, 1]
    assert by_order[0, 3:5].tolist() == [2, 4] and np.isnan(by_order[0, 5])
    with pytest.raises(ValueError, match=r"row 0 and row 5 of field row 2 have the same value in "
                                         r"order column 'along'"):
        link_segments(segments.assign(along=[5.0, 30, 20, 1, 10, 5]), "row", "seg", order="along")
    with pytest.raises(ValueError, match=r"order column 'along' has a missing value at row 3"):
        link_segments(segments.assign(along=[0.0, 30, 20, nan, 10, 5]), "row", "seg", order="along")
    with pytest.raises(ValueError, match=r"row 2 and row 4 have the same key \(1, 2\) in columns "
                                         r"'row' and 'seg'"):
        link_segments(segments.assign(seg=[9, 5, 2, 1, 2, 4]), "row", "seg")


@pytest.mark.parametrize("value, shown", [
    (2.5, "2.5"), (0, "0"), (-3, "-3"), (np.nan, "a missing value"), (4294967295, "4294967295")])
def test_keys_the_merge_cannot_tell_apart_are_refused(frames, value, shown):
    _, points, segments = frames
    labelled = points.set_index(points.index + 1000)
    bad = labelled.astype({"segment": "float64"})
    bad.iloc[7, bad.columns.get_loc("segment")] = value
    with pytest.raises(ValueError, match=rf"points: key column 'segment' holds {shown} at row 7 "
                                         r"\(index label 1007\); keys must be whole numbers "
                                         r"from 1 to 4294967294"):
        merge(bad, segments)
    with pytest.raises(TypeError, match=r"segments: key column 'row' has data type (str|object|string)"):
        merge(points, segments.astype({"row": str}))
    with pytest.raises(ValueError, match=r"points has no column 'row'"):
        merge(points.drop(columns="row"), segments)
    # Any integer dtype, nullable ones and whole floats are keys.
    same = merge(points.astype({"row": "Int64", "segment": "float32"}), segments.astype({"row": "uint8"}))
    assert same.index.tolist() == merge(points, segments).index.tolist()


def test_geometries_that_are_not_points_or_lines_are_refused(frames):
    _, points, segments = frames
    cases = [
        (points, 4, None, "points: row 4 has no geometry; every row needs a Point"),
        (points, 5, shapely.LineString([(0, 0), (1, 1)]),
         "points: row 5 holds a LineString; every geometry must be a Point"),
        (points, 6, shapely.Point(), "points: row 6 holds an empty Point"),
        (points, 7, shapely.Point(np.nan, 1.0), "points: row 7 holds a Point with a NaN coordinate"),
        (segments, 2, shapely.MultiLineString([[(0, 0), (1, 1)]]),
         "segments: row 2 holds a MultiLineString; every geometry must be a LineString"),
        (segments, 3, shapely.LineString(), "segments: row 3 holds an empty LineString"),
    ]
    for frame, row, geometry, message in cases:
        geometries = np.asarray(frame.geometry.array, dtype=object).copy()
        geometries[row] = geometry
        broken = frame.set_geometry(gpd.GeoSeries(geometries, index=frame.index, crs=frame.crs))
        args = (broken, segments) if frame is points else (points, broken)
        with pytest.raises(ValueError, match=r"^" + message.replace("(", r"\(").replace(")", r"\)") + "$"):
            merge(*args)
    with pytest.raises(TypeError, match="points must be a geopandas GeoDataFrame, not DataFrame"):
        merge(pd.DataFrame(points.drop(columns="geometry")), segments)


def test_crs_mismatch_is_reprojected_and_a_geographic_crs_refused_unless_allowed(frames):
    _, points, segments = frames
    expected = merge(points, segments)
    # Segments in another CRS: reprojected to the points' (the round trip
    # moves the lines by nanometres, which decides no point here).
    assert merge(points, segments.to_crs("EPSG:3035")).index.tolist() == expected.index.tolist()
    # Without a CRS on one side both are taken as they are.
    bare = points.set_crs(None, allow_override=True)
    assert bare.crs is None and merge(bare, segments).index.tolist() == expected.index.tolist()

    wgs84 = points.to_crs("EPSG:4326")
    with pytest.raises(ValueError, match=r"points are in the geographic coordinate reference system "
                                         r"WGS 84 \(EPSG:4326\).*points\.estimate_utm_crs\(\)"):
        merge(wgs84, segments)
    with pytest.raises(ValueError, match=r"^segments are in the geographic .* WGS 84 \(EPSG:4326\)"):
        merge(bare, segments.to_crs("EPSG:4326"))
    allowed = merge(wgs84, segments, tolerance=TOL / 111_000, allow_geographic=True)
    assert allowed.crs == "EPSG:4326" and 0 < len(allowed) < len(points)


def test_merge_failures_raise_merge_error(frames):
    _, points, segments = frames
    links = link_segments(segments, "row", "segment")
    links[3, 4] = 99  # a neighbour that no segment has
    with pytest.raises(MergeError) as caught:
        merge(points, segments, links=pd.DataFrame(links))
    assert caught.value.connected_row == 3 and "linked crop row (1, 99)" in str(caught.value)
    empty = merge(points.iloc[:0], segments.iloc[:0])
    assert len(empty) == 0 and empty.crs == points.crs
