"""Reading and writing GIS files for the command line and the demo:
everything GDAL reads (through pyogrio), and GeoParquet (through pyarrow).

Every problem with a file is raised as `GeoFileError`, one line of text that
names the file.  Output is written into a temporary directory beside the
target and moved into place when complete, so a failed run leaves nothing
behind and an existing file is replaced only when asked.
"""

from __future__ import annotations

import os
import shutil
import sys
import tempfile
from typing import Iterable

from .tables import TableError, _move_into_place, _one_line

__all__ = ["GeoFileError", "read_geofile", "write_geofile", "output_format", "INSTALL_HINT"]

INSTALL_HINT = "install them with: pip install 'rowmerge[geo]'"

PARQUET = "GeoParquet"
# Output formats by the extension of the file name; no extension: GeoPackage.
FORMATS = {".gpkg": "GPKG", "": "GPKG", ".geojson": "GeoJSON", ".json": "GeoJSON",
           ".shp": "ESRI Shapefile", ".fgb": "FlatGeobuf", ".parquet": PARQUET}
_SHAPEFILE_PARTS = (".shx", ".dbf", ".prj", ".cpg")
# Files beside a Shapefile that describe the data in it (indexes, the code
# page, the CRS): left over from a replaced Shapefile they would be wrong.
_SHAPEFILE_LEFTOVERS = _SHAPEFILE_PARTS + (".qix", ".sbn", ".sbx")


class GeoFileError(TableError):
    """A GIS file that cannot be read or written; the text is one line."""


def _modules():
    try:
        import geopandas
        import pyogrio
    except ImportError as e:
        missing = getattr(e, "name", None) or "geopandas"
        raise GeoFileError(f"GIS files need geopandas and pyogrio ({missing} is missing); "
                           f"{INSTALL_HINT}") from None
    return geopandas, pyogrio


def _is_parquet(path: str) -> bool:
    return os.path.splitext(path)[1].lower() == ".parquet"


def read_geofile(path: str, layer: str | None = None, layer_option: str = "--layer"):
    """Reads one layer of a vector file (any format GDAL reads) or a
    GeoParquet file (``.parquet``) as a GeoDataFrame.

    A file with several layers needs `layer`; `layer_option` is the name the
    message gives it.
    """
    geopandas, pyogrio = _modules()
    if not path.startswith("/vsi") and not os.path.exists(path):
        raise GeoFileError(f"{path}: no such file")
    if _is_parquet(path):
        if layer is not None:
            raise GeoFileError(f"{path}: a GeoParquet file has no layers ({layer_option} does not apply)")
        frame = _read_parquet(geopandas, path)
    else:
        errors = (pyogrio.errors.DataSourceError, pyogrio.errors.DataLayerError,
                  pyogrio.errors.FieldError, pyogrio.errors.GeometryError, pyogrio.errors.CRSError)
        try:
            if layer is None:
                layers = [str(name) for name in pyogrio.list_layers(path)[:, 0]]
                if len(layers) > 1:
                    raise GeoFileError(f"{path}: holds {len(layers)} layers ({', '.join(layers)}); "
                                       f"choose one with {layer_option}")
            frame = geopandas.read_file(path, layer=layer, engine="pyogrio")
        except GeoFileError:
            raise
        except pyogrio.errors.DataLayerError as e:
            raise GeoFileError(f"{path}: {_one_line(e)}") from None
        except (*errors, OSError) as e:
            raise GeoFileError(f"{path}: cannot read: {_one_line(e)}") from None
    if not isinstance(frame, geopandas.GeoDataFrame):
        raise GeoFileError(f"{path}: holds no geometries")
    return frame


def _read_parquet(geopandas, path: str):
    try:
        return geopandas.read_parquet(path)
    except ImportError as e:
        raise GeoFileError(f"{path}: GeoParquet needs pyarrow ({_one_line(e)}); {INSTALL_HINT}") from None
    except (OSError, ValueError, TypeError) as e:
        # pyarrow's own errors derive from these.
        raise GeoFileError(f"{path}: cannot read as GeoParquet: {_one_line(e)}") from None


def output_format(path: str | None) -> str:
    """The format written to `path`, by its extension (GeoJSON when None:
    standard output)."""
    if path is None:
        return "GeoJSON"
    ext = os.path.splitext(path)[1].lower()
    if ext not in FORMATS:
        raise GeoFileError(f"{path}: cannot tell the format from the extension {ext!r}; "
                           "use .gpkg (or no extension), .geojson, .shp, .fgb or .parquet")
    return FORMATS[ext]


def _check_crs_recordable(path: str, driver: str, crs) -> None:
    # GeoJSON names a CRS other than WGS 84 by its authority code alone and
    # takes a file without one as WGS 84: a CRS without a code would come
    # back as the wrong one.
    if driver == "GeoJSON" and crs is not None and crs.to_authority() is None:
        raise GeoFileError(f"{path}: GeoJSON records a coordinate reference system only by its "
                           f"authority code (such as EPSG:32633), and {crs.name!r} has none; "
                           "write a GeoPackage (.gpkg) instead")


def _outputs(path: str, driver: str) -> list[str]:
    """The files that make up the output, or would be taken as part of it."""
    if driver != "ESRI Shapefile":
        return [path]
    stem = os.path.splitext(path)[0]
    return [path] + [stem + ext for ext in _SHAPEFILE_LEFTOVERS]


def write_geofile(path: str | None, layers: Iterable[tuple[str | None, object]], *,
                  overwrite: bool = False) -> None:
    """Writes GeoDataFrames to `path` in the format of its extension, each as
    a layer of the given name (None: the file's own name), keeping each
    frame's CRS; `path` None writes one frame as GeoJSON to standard output.

    The file (a Shapefile's files) is written in a temporary directory beside
    `path` and moved into place only when complete; an existing file is
    replaced only with `overwrite`.
    """
    layers = list(layers)
    driver = output_format(path)
    for _, frame in layers:
        _check_crs_recordable(path or "standard output", driver, frame.crs)
    if path is None:
        _write_stdout(layers)
        return
    path = os.fspath(path)
    targets = _outputs(path, driver)
    if not overwrite:
        for target in targets:
            if os.path.lexists(target):
                raise GeoFileError(f"{target}: already exists (use --force to replace it)")
    directory = os.path.dirname(os.path.abspath(path))
    try:
        scratch = tempfile.mkdtemp(prefix=f".{os.path.basename(path)}.", suffix=".tmp", dir=directory)
    except OSError as e:
        raise GeoFileError(f"{path}: cannot write: {e.strerror or _one_line(e)}") from None
    try:
        name = os.path.basename(path)
        if driver == "GPKG" and not os.path.splitext(name)[1]:
            name += ".gpkg"  # GDAL warns about a GeoPackage named otherwise
        inner = os.path.join(scratch, name)
        for layer, frame in layers:
            _write_one(frame, inner, driver, layer)
        _check_written(path, inner, driver, layers)
        _move_all(scratch, inner, path, targets, overwrite)
    except GeoFileError:
        raise
    except OSError as e:
        raise GeoFileError(f"{path}: cannot write: {e.strerror or _one_line(e)}") from None
    except Exception as e:
        if not _is_io_error(e):
            raise
        raise GeoFileError(f"{path}: cannot write: {_one_line(e)}") from None
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


def _is_io_error(e: Exception) -> bool:
    """Errors of GDAL and pyarrow that are about the file or its contents."""
    module = type(e).__module__ or ""
    return module.startswith(("pyogrio", "pyarrow")) or isinstance(e, ValueError)


def _write_one(frame, inner: str, driver: str, layer: str | None) -> None:
    if driver == PARQUET:
        frame.to_parquet(inner)
        return
    options = {}
    if driver == "GeoJSON":
        # Numbers as text with 17 significant figures read back exactly.
        options["layer_options"] = {"SIGNIFICANT_FIGURES": "17"}
    frame.to_file(inner, driver=driver, layer=layer, engine="pyogrio", **options)


def _check_written(path: str, inner: str, driver: str, layers) -> None:
    """The CRS as the file records it, read back: refused when lost."""
    if driver == PARQUET:
        return
    _, pyogrio = _modules()
    for layer, frame in layers:
        if frame.crs is None:
            continue
        recorded = pyogrio.read_info(inner, layer=layer)["crs"]
        if recorded is None:
            raise GeoFileError(f"{path}: the {driver} file did not keep the coordinate reference "
                               f"system {frame.crs.name!r}; write a GeoPackage (.gpkg) instead")


def _move_all(scratch: str, inner: str, path: str, targets: list[str], overwrite: bool) -> None:
    """Moves the files written in `scratch` into place, `inner` to `path`
    and its companions (a Shapefile's) beside it."""
    directory = os.path.dirname(os.path.abspath(path))
    main = os.path.basename(inner)
    written = sorted(os.listdir(scratch))
    for name in written:
        with open(os.path.join(scratch, name), "rb") as f:
            os.fsync(f.fileno())
    final = {name: os.path.join(directory, name) for name in written}
    final[main] = path
    if overwrite:
        for target in targets:
            if target not in final.values() and os.path.lexists(target):
                os.unlink(target)
    # The main file last: a reader that finds it finds its companions complete.
    for name in sorted(written, key=lambda n: n == main):
        _move_into_place(os.path.join(scratch, name), final[name], overwrite)


def _write_stdout(layers) -> None:
    import io

    _, pyogrio = _modules()
    if len(layers) != 1:
        raise GeoFileError("standard output takes one layer")
    layer, frame = layers[0]
    buffer = io.BytesIO()
    try:
        pyogrio.write_dataframe(frame, buffer, driver="GeoJSON", layer=layer or "merged",
                                layer_options={"SIGNIFICANT_FIGURES": "17"})
    except Exception as e:
        if not _is_io_error(e):
            raise
        raise GeoFileError(f"standard output: cannot write GeoJSON: {_one_line(e)}") from None
    sys.stdout.buffer.write(buffer.getvalue())
    sys.stdout.flush()
