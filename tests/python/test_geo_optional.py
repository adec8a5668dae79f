"""rowmerge.geo is optional: everything else works without geopandas, and
its absence is reported with what to install (runs in every Python)."""

from __future__ import annotations

import textwrap

from interpreter import run_python


def test_rowmerge_and_its_command_line_do_not_import_geopandas():
    proc = run_python(textwrap.dedent("""
        import sys
        import rowmerge, rowmerge.cli
        rowmerge.cli.build_parser()
        loaded = sorted(m for m in ("geopandas", "shapely", "pyogrio", "pyproj", "pyarrow") if m in sys.modules)
        assert not loaded, loaded
    """))
    assert proc.returncode == 0, proc.stderr


def test_without_geopandas_every_geo_entry_says_how_to_install_it(tmp_path):
    out = tmp_path / "demo"
    proc = run_python(textwrap.dedent(f"""
        import os, sys
        sys.modules["geopandas"] = None  # as if it were not installed
        try:
            import rowmerge.geo
        except ImportError as e:
            assert "pip install 'rowmerge[geo]'" in str(e), e
        else:
            raise AssertionError("no ImportError")
        from rowmerge.cli import main
        assert main(["merge-geo", "--points", "p.gpkg", "--segments", "s.gpkg", "--key1", "a",
                     "--key2", "b", "--tolerance", "1"]) == 2
        assert main(["demo", "--geo", "--out", {str(out)!r}]) == 2
        assert not os.path.exists({str(out)!r})
    """), env={"NO_COLOR": "1"})
    assert proc.returncode == 0, proc.stderr
    lines = proc.stderr.splitlines()
    assert len(lines) == 2 and all("pip install 'rowmerge[geo]'" in line for line in lines), lines
