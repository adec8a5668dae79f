"""`rowmerge merge-geo`: the merge on GIS files (points and segment lines)."""

from __future__ import annotations

import argparse
import os
import sys
import time

from .cli import CliError, _quiet_progress, _thread_count, _tolerance, merge_tables
from .summary import summary_line

__all__ = ["add_merge_geo", "run_merge_geo", "geo_modules"]

EXAMPLES = """\
examples:
  rowmerge merge-geo --points field.gpkg --points-layer points \\
      --segments field.gpkg --segments-layer segments \\
      --key1 row --key2 segment --tolerance 0.03 -o merged.gpkg
  rowmerge merge-geo --points points.parquet --segments segments.geojson \\
      --key1 row --key2 segment --tolerance 0.03 -o merged.fgb

Input: any vector format GDAL reads (GeoPackage, GeoJSON, Shapefile,
FlatGeobuf, ...) and GeoParquet (.parquet).  Output by the extension of OUT:
.gpkg (also for no extension), .geojson, .shp, .fgb or .parquet; without -o,
GeoJSON on standard output.  The points' CRS is kept; --tolerance is in its
units (metres for UTM).
"""


def add_merge_geo(sub) -> None:
    """Adds the `merge-geo` subcommand to the subparsers `sub`."""
    p = sub.add_parser("merge-geo", help="merge points and segment lines read from GIS files",
                       description="Merge crop rows from GIS files: points (Point geometries) and "
                                   "the detected segments (LineStrings), linked to their neighbours "
                                   "on each field row.",
                       epilog=EXAMPLES, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--points", required=True, metavar="FILE", help="the detected points (Point geometries)")
    p.add_argument("--segments", required=True, metavar="FILE",
                   help="the detected segments (LineStrings, first vertex to last)")
    p.add_argument("--key1", required=True, metavar="COL",
                   help="column of both files holding key 1 (the field row): whole numbers from 1")
    p.add_argument("--key2", required=True, metavar="COL",
                   help="column of both files holding key 2 (the segment along its row)")
    p.add_argument("--tolerance", required=True, type=_tolerance, metavar="T",
                   help="distance in the units of the points' CRS")
    p.add_argument("--points-layer", metavar="L", help="the layer of --points to read")
    p.add_argument("--segments-layer", metavar="L", help="the layer of --segments to read")
    p.add_argument("--allow-geographic", action="store_true",
                   help="merge even when the CRS is geographic (degrees)")
    p.add_argument("--threads", type=_thread_count, default=0, metavar="N",
                   help="worker threads (default 0: chosen from the CPUs available)")
    p.add_argument("-o", "--output", metavar="OUT",
                   help="write the merged points here, in the format of its extension; "
                        "default: GeoJSON on standard output")
    p.add_argument("--force", action="store_true", help="replace OUT if it exists")
    p.add_argument("-q", "--quiet", action="store_true", help="no progress bar and no summary line")


def geo_modules():
    """rowmerge.geo and the file functions; CliError saying what to install
    when they cannot be imported."""
    try:
        from . import _geo_files, geo
    except ImportError as e:
        raise CliError(" ".join(str(e).split())) from None
    return geo, _geo_files


def _one_line(e: BaseException) -> str:
    return " ".join(str(e).split())


def run_merge_geo(args) -> int:
    geo, files = geo_modules()
    out = args.output
    files.output_format(out)
    if out and not args.force and os.path.lexists(out):
        raise CliError(f"{out}: already exists (use --force to replace it)")
    points = files.read_geofile(args.points, args.points_layer, "--points-layer")
    segments = files.read_geofile(args.segments, args.segments_layer, "--segments-layer")
    geographic = None if args.allow_geographic else geo.geographic_crs(points, segments)
    if geographic is not None:
        role, crs = geographic
        raise CliError(f"{args.points if role == 'points' else args.segments}: the coordinate "
                       f"reference system {geo.crs_name(crs)} is geographic (degrees), and "
                       "--tolerance would be taken in degrees; reproject the files to a projected "
                       "CRS in metres (their UTM zone, say) or pass --allow-geographic")
    try:
        connected, table, info = geo._tables(points, segments, args.key1, args.key2, None, True)
    except (TypeError, ValueError) as e:
        raise CliError(_one_line(e)) from None
    if args.quiet:
        _quiet_progress()
    started = time.perf_counter()
    merged = merge_tables(connected, table, info, args.tolerance, args.threads,
                          capture_report=not os.isatty(2))
    seconds = time.perf_counter() - started
    del table
    result = geo._survivors(points, merged)
    files.write_geofile(out, [(None, result)], overwrite=args.force)
    if not args.quiet:
        print(summary_line(connected.shape[0], len(points), len(result), seconds), file=sys.stderr)
    return 0
