"""GIS files through GDAL (pyogrio) and GeoParquet: `rowmerge merge-geo`
and `rowmerge demo --geo`, run as `python -m rowmerge` in fresh interpreters."""

from __future__ import annotations

import os
import subprocess

import numpy as np
import pytest

gpd = pytest.importorskip("geopandas", minversion="1.0",
                          reason="GIS files need geopandas >= 1.0, which this Python lacks")
import pyogrio  # noqa: E402
import pyproj  # noqa: E402
from geopandas.testing import assert_geodataframe_equal  # noqa: E402

from interpreter import python_command  # noqa: E402
from rowmerge._geo_files import GeoFileError, write_geofile  # noqa: E402
from rowmerge.cli import main  # noqa: E402
from rowmerge.demo import DEMO_CRS, DEMO_ORIGIN, field_geoframes  # noqa: E402
from rowmerge.field import make_field  # noqa: E402
from rowmerge.geo import merge_geoframe  # noqa: E402
from rowmerge.tables import read_table  # noqa: E402

TOL = "0.03"
KEYS = ("--key1", "row", "--key2", "segment", "--tolerance", TOL, "--threads", "1")


def cli(*args: str, cwd=None) -> subprocess.CompletedProcess:
    return subprocess.run(python_command("-m", "rowmerge", *args), cwd=cwd, capture_output=True,
                          text=True, timeout=300, env=dict(os.environ, NO_COLOR="1"))


@pytest.fixture(scope="module")
def field_gpkg(tmp_path_factory):
    """A GeoPackage with two layers, points and segments, and the merge of them."""
    d = tmp_path_factory.mktemp("geo")
    points, segments = field_geoframes(make_field(4, segments=3, points_per_segment=50, seed=4))
    write_geofile(str(d / "field.gpkg"), [("points", points), ("segments", segments)])
    expected = merge_geoframe(points, segments, key1="row", key2="segment", tolerance=float(TOL), num_threads=1)
    return d, points, segments, expected.reset_index(drop=True)


def same(path, expected, **kw):
    read = gpd.read_parquet(path) if str(path).endswith(".parquet") else gpd.read_file(path, **kw)
    assert_geodataframe_equal(read.reset_index(drop=True), expected, check_dtype=False)


def test_merge_geo_round_trip_through_geopackage_geojson_and_geoparquet(field_gpkg, capfd):
    d, points, segments, expected = field_gpkg
    gpkg = str(d / "field.gpkg")
    proc = cli("merge-geo", "--points", gpkg, "--points-layer", "points", "--segments", gpkg,
               "--segments-layer", "segments", *KEYS, "-o", str(d / "merged.gpkg"))
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr.startswith(f"rowmerge: 12 connected rows, {len(points)} points in, "
                                  f"{len(expected)} points out, ")
    same(d / "merged.gpkg", expected)

    # GeoParquet and GeoJSON in, GeoJSON (with a CRS other than WGS 84) and GeoParquet out.
    points.to_parquet(d / "points.parquet")
    segments.to_file(d / "segments.geojson", engine="pyogrio")
    for out in ("merged.geojson", "merged.parquet", "merged.fgb", "merged"):
        assert main(["merge-geo", "--points", str(d / "points.parquet"), "--segments",
                     str(d / "segments.geojson"), *KEYS, "-o", str(d / out), "--quiet"]) == 0
    assert capfd.readouterr().err == ""
    assert '"name": "urn:ogc:def:crs:EPSG::32633"' in (d / "merged.geojson").read_text()
    same(d / "merged.geojson", expected)  # coordinates exact, CRS kept
    same(d / "merged.parquet", expected)
    with pytest.warns(RuntimeWarning, match="GPKG application_id, but non conformant file extension"):
        assert pyogrio.read_info(d / "merged")["driver"] == "GPKG"
    fgb = gpd.read_file(d / "merged.fgb")  # stored in the order of its spatial index
    assert fgb.crs == DEMO_CRS and sorted(fgb.geometry.x) == sorted(expected.geometry.x)
    # Without -o: GeoJSON on standard output.
    proc = cli("merge-geo", "--points", gpkg, "--points-layer", "points", "--segments", gpkg,
               "--segments-layer", "segments", *KEYS, "-q")
    assert proc.returncode == 0, proc.stderr
    (d / "stdout.geojson").write_text(proc.stdout)
    same(d / "stdout.geojson", expected)


def test_shapefile_output_is_all_its_files_and_force_replaces_them(field_gpkg, tmp_path, capfd):
    d, _, _, expected = field_gpkg
    gpkg = str(d / "field.gpkg")
    args = ["merge-geo", "--points", gpkg, "--points-layer", "points", "--segments", gpkg,
            "--segments-layer", "segments", *KEYS, "-q", "-o", str(tmp_path / "m.shp")]
    (tmp_path / "m.qix").write_bytes(b"an index of an older m.shp")
    assert main(args) == 2  # m.shp is free, but its index is not
    assert "m.qix: already exists (use --force to replace it)" in capfd.readouterr().err
    os.unlink(tmp_path / "m.qix")
    assert main(args) == 0
    assert sorted(os.listdir(tmp_path)) == ["m.cpg", "m.dbf", "m.prj", "m.shp", "m.shx"]
    shp = gpd.read_file(tmp_path / "m.shp")
    assert shp.crs == DEMO_CRS and shp.geometry.x.tolist() == expected.geometry.x.tolist()
    (tmp_path / "m.qix").write_bytes(b"stale")
    assert main(args) == 2
    assert "m.shp: already exists (use --force to replace it)" in capfd.readouterr().err
    assert main([*args, "--force"]) == 0
    assert sorted(os.listdir(tmp_path)) == ["m.cpg", "m.dbf", "m.prj", "m.shp", "m.shx"]


def test_merge_geo_refusals_are_one_line_and_leave_no_file(field_gpkg, tmp_path, capfd):
    d, points, segments, _ = field_gpkg
    gpkg = str(d / "field.gpkg")
    layers = ("--points-layer", "points", "--segments-layer", "segments")
    out = tmp_path / "out.gpkg"
    wgs84 = str(tmp_path / "wgs84.gpkg")
    write_geofile(wgs84, [("points", points.to_crs(4326)), ("segments", segments.to_crs(4326))])
    custom = str(tmp_path / "custom.gpkg")
    local = pyproj.CRS.from_proj4("+proj=tmerc +lon_0=15.4 +k=1 +x_0=0 +y_0=0 +ellps=GRS80 +units=m")
    write_geofile(custom, [("points", points.to_crs(local)), ("segments", segments.to_crs(local))])
    out.write_bytes(b"keep me")
    cases = [
        (("--points", gpkg, "--segments", gpkg, "--segments-layer", "segments", "-o", str(tmp_path / "a.gpkg")),
         f"{gpkg}: holds 2 layers (points, segments); choose one with --points-layer"),
        (("--points", gpkg, "--segments", gpkg, *layers, "-o", str(out)),
         f"{out}: already exists (use --force to replace it)"),
        (("--points", gpkg, "--segments", gpkg, *layers, "-o", str(tmp_path / "a.csv")),
         "a.csv: cannot tell the format from the extension '.csv'"),
        (("--points", str(tmp_path / "none.gpkg"), "--segments", gpkg, "-o", str(tmp_path / "a.gpkg")),
         "none.gpkg: no such file"),
        (("--points", gpkg, "--points-layer", "segments", "--segments", gpkg, "--segments-layer", "segments",
          "-o", str(tmp_path / "a.gpkg")), "points: row 0 holds a LineString; every geometry must be a Point"),
        (("--points", wgs84, "--segments", wgs84, *layers, "-o", str(tmp_path / "a.gpkg")),
         f"{wgs84}: the coordinate reference system WGS 84 (EPSG:4326) is geographic (degrees)"),
        (("--points", custom, "--segments", custom, *layers, "-o", str(tmp_path / "a.geojson")),
         "GeoJSON records a coordinate reference system only by its authority code"),
    ]
    for args, message in cases:
        status = main(["merge-geo", *args, "--key1", "row", "--key2", "segment", "--tolerance", TOL])
        stderr = capfd.readouterr().err
        assert status == 2 and stderr.count("\n") == 1 and message in stderr, stderr
    assert out.read_bytes() == b"keep me"
    assert sorted(os.listdir(tmp_path)) == ["custom.gpkg", "out.gpkg", "wgs84.gpkg"]
    proc = cli("merge-geo", "--points", wgs84, "--segments", wgs84, *layers, "--key1", "row", "--key2", "segment",
               "--tolerance", "3e-7", "--allow-geographic", "-q", "-o", str(tmp_path / "deg.gpkg"))
    assert proc.returncode == 0, proc.stderr
    assert gpd.read_file(tmp_path / "deg.gpkg").crs == "EPSG:4326"


def test_write_geofile_keeps_a_failed_write_out_of_the_way(field_gpkg, tmp_path):
    _, points, segments, _ = field_gpkg
    # A Shapefile holds one kind of geometry: GDAL stops after the first rows.
    mixed = gpd.GeoDataFrame(geometry=[*points.geometry[:3], *segments.geometry[:3]], crs=points.crs)
    with pytest.raises(GeoFileError, match=r"out.shp: cannot write: .*"):
        write_geofile(str(tmp_path / "out.shp"), [(None, mixed)])
    assert os.listdir(tmp_path) == []
    # GeoJSON is text: coordinates near 0 keep every digit too.
    tiny = gpd.GeoDataFrame({"v": [1]}, geometry=gpd.points_from_xy([1e-7 / 3], [2 / 3]), crs=points.crs)
    write_geofile(str(tmp_path / "tiny.geojson"), [(None, tiny)])
    back = gpd.read_file(tmp_path / "tiny.geojson")
    assert back.crs == points.crs and (back.geometry.x[0], back.geometry.y[0]) == (1e-7 / 3, 2 / 3)


def test_demo_geo_writes_the_field_as_one_geopackage(tmp_path):
    out = tmp_path / "demo"
    proc = cli("demo", "--geo", "--rows", "3", "--seed", "5", "--out", str(out))
    assert proc.returncode == 0, proc.stderr
    assert "wrote field.gpkg (layers points, segments, merged; EPSG:32633)" in proc.stderr
    gpkg = out / "field.gpkg"
    assert [tuple(layer) for layer in pyogrio.list_layers(gpkg)] == [
        ("points", "Point"), ("segments", "LineString"), ("merged", "Point")]
    merged = gpd.read_file(gpkg, layer="merged")
    assert merged.crs == DEMO_CRS and list(merged.columns) == ["row", "segment", "ndvi", "confidence", "geometry"]
    # The same points as the demo's plain merge, placed at the field's UTM position.
    plain = read_table(str(out / "merged_points.csv")).values
    moved = np.column_stack([plain[:, 2] + DEMO_ORIGIN[0], plain[:, 3] + DEMO_ORIGIN[1]])
    geo = np.column_stack([merged.geometry.x, merged.geometry.y])
    np.testing.assert_array_equal(np.sort(geo, axis=0), np.sort(moved, axis=0))
