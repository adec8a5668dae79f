"""The `rowmerge` command line: `rowmerge merge ...`, `rowmerge merge-geo ...`
(in `_cli_geo`) and `rowmerge demo ...`.

Every failure the user can cause ends with one line on standard error and
exit status 2; no traceback is ever shown for bad input.
"""

from __future__ import annotations

import argparse
import os
import sys
import time

from . import __version__
from ._cli_fields import add_arguments as add_field_arguments
from .errors import MergeError
from .summary import summary_line
from .tables import Table, TableError, read_table, write_table

__all__ = ["main", "CliError", "merge_tables"]

EXIT_USAGE = 2

_EXAMPLES = """\
examples:
  rowmerge merge --connected connected.csv --points points.csv --rows rows.csv \\
      --tolerance 0.05 -o merged.csv
  rowmerge merge --connected c.npy --points p.npy --rows r.npy --tolerance 0.05 \\
      --threads 4 -o merged.npy
  rowmerge merge --field field --connected c.parquet --points p.parquet \\
      --rows r.parquet --tolerance 0.05 --workers 4 -o merged.parquet
  rowmerge demo --rows 8 --seed 1 --out demo-output
  python -m rowmerge --help

The progress bar is drawn on standard error when it is a colour terminal; set
NO_COLOR=1 or TERM=dumb (or pass --quiet) to silence it.
"""


class CliError(Exception):
    """A failure to report as one line of text with exit status 2."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str):  # one line, no usage block
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")


def _whole_number(text: str, low: int, high: int) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if not low <= value <= high:
        raise argparse.ArgumentTypeError(f"must be between {low} and {high}, not {value}")
    return value


def _thread_count(text: str) -> int:
    return _whole_number(text, 0, 0xFFFFFFFF)


def _tolerance(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None


def _row_count(text: str) -> int:
    return _whole_number(text, 1, 10_000)


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="rowmerge",
                     description="Join crop-row segments, dropping the points where linked segments overlap.",
                     epilog=_EXAMPLES, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=f"rowmerge {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)

    merge = sub.add_parser("merge", help="merge the points of crop rows read from files",
                           description="Merge crop rows read from CSV, .npy or .npz files.",
                           epilog=_EXAMPLES, formatter_class=argparse.RawDescriptionHelpFormatter)
    merge.add_argument("--connected", required=True, metavar="FILE",
                       help="connected crop rows: id, base key 1, base key 2, then up to four linked keys")
    merge.add_argument("--points", required=True, metavar="FILE",
                       help="points: key 1, key 2, x, y, then any further columns")
    merge.add_argument("--rows", required=True, metavar="FILE",
                       help="crop-row records: 11 columns (key 1, 3 free, key 2, three reference points)")
    merge.add_argument("--tolerance", required=True, type=_tolerance, metavar="T",
                       help="distance in the units of x and y")
    merge.add_argument("--threads", type=_thread_count, default=None, metavar="N",
                       help="worker threads (default 0: chosen from the CPUs available; "
                            "1 for each task on a cluster)")
    merge.add_argument("-o", "--output", metavar="OUT",
                       help="write the merged points here (.npy or .npz by extension, with --field also "
                            ".parquet; CSV otherwise); "
                            "default: CSV on standard output")
    merge.add_argument("--force", action="store_true", help="replace OUT if it exists")
    merge.add_argument("-q", "--quiet", action="store_true",
                       help="no progress bar and no summary line")
    add_field_arguments(merge)

    from ._cli_geo import add_merge_geo
    add_merge_geo(sub)

    demo = sub.add_parser("demo", help="generate a synthetic field, merge it and plot it",
                          description="Generate a synthetic field, merge it, and write the inputs, "
                                      "the merged points and a plot.")
    demo.add_argument("--rows", type=_row_count, default=8, metavar="N", help="field rows (default 8)")
    demo.add_argument("--seed", type=int, default=0, metavar="S", help="random seed (default 0)")
    demo.add_argument("--out", default="rowmerge-demo", metavar="DIR",
                      help="output directory (default ./rowmerge-demo)")
    demo.add_argument("--geo", action="store_true",
                      help="also write the field as a GeoPackage, field.gpkg (needs rowmerge[geo])")
    demo.add_argument("-q", "--quiet", action="store_true", help="no progress bar and no summary line")
    return parser


def _check_columns(connected: Table, points: Table, rows: Table, names: tuple[str, str, str]) -> None:
    need = ((connected, names[0], 4, "at least 4 (an id, the base key and the first linked key 1)"),
            (points, names[1], 4, "at least 4 (key 1, key 2, x, y)"))
    for table, name, minimum, what in need:
        if table.values.shape[1] < minimum:
            raise CliError(f"{name}: {table.values.shape[1]} columns; needs {what}")
    if rows.values.shape[1] != 11:
        raise CliError(f"{names[2]}: {rows.values.shape[1]} columns; needs exactly 11 "
                       "(key 1, three free columns, key 2, three reference points)")


def merge_tables(connected, points, rows, tolerance: float, threads: int, *, capture_report: bool):
    """Runs the merge; a failure is raised as MergeError (CliError when out
    of memory).

    When `capture_report` is set, the report that a failing merge writes on
    standard error is held back (the explanation is in the error line
    instead); on success whatever was written is passed on.
    """
    from .errors import run_merge

    with _StderrCapture(capture_report) as captured:
        try:
            return run_merge(connected, points, rows, tolerance, threads)
        except MemoryError:
            captured.discard()
            raise CliError("merge failed: out of memory") from None
        except MergeError:
            captured.discard()
            raise


class _StderrCapture:
    """Redirects descriptor 2 to a temporary file for the length of a block."""

    def __init__(self, active: bool):
        self.active = active
        self.saved = -1
        self.file = None
        self.keep = True

    def discard(self) -> None:
        self.keep = False

    def __enter__(self):
        if self.active:
            import tempfile
            sys.stderr.flush()
            self.file = tempfile.TemporaryFile()
            self.saved = os.dup(2)
            os.dup2(self.file.fileno(), 2)
        return self

    def __exit__(self, *exc):
        if self.active:
            sys.stderr.flush()
            os.dup2(self.saved, 2)
            os.close(self.saved)
            if self.keep:
                self.file.seek(0)
                data = self.file.read()
                if data:
                    sys.stderr.buffer.write(data)
                    sys.stderr.flush()
            self.file.close()
        return False


def _quiet_progress() -> None:
    os.environ["NO_COLOR"] = "1"


def _run_merge(args) -> int:
    if args.field is not None:
        from ._cli_fields import run

        return run(args)
    if args.workers is not None or args.scheduler is not None:
        raise CliError("--workers and --scheduler merge the fields of multi-field tables: they need --field NAME")
    names = (args.connected, args.points, args.rows)
    if args.output and not args.force and os.path.lexists(args.output):
        raise CliError(f"{args.output}: already exists (use --force to replace it)")
    connected = read_table(args.connected, "connected_crop_rows")
    points = read_table(args.points, "points_in_rows")
    rows = read_table(args.rows, "row_information")
    _check_columns(connected, points, rows, names)
    if args.quiet:
        _quiet_progress()
    started = time.perf_counter()
    threads = 0 if args.threads is None else args.threads
    merged = merge_tables(connected.values, points.values, rows.values, args.tolerance, threads,
                          capture_report=not os.isatty(2))
    seconds = time.perf_counter() - started
    if args.output:
        write_table(args.output, merged, points.header, overwrite=args.force)
    else:
        from .tables import format_csv
        format_csv(merged, points.header, sys.stdout)
        sys.stdout.flush()
    if not args.quiet:
        print(summary_line(connected.values.shape[0], points.values.shape[0], merged.shape[0], seconds),
              file=sys.stderr)
    return 0


def main(argv: list[str] | None = None) -> int:
    """Runs the command line; returns the exit status."""
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command is None:
        parser.print_help(sys.stderr)
        return EXIT_USAGE
    try:
        if args.command == "merge":
            return _run_merge(args)
        if args.command == "merge-geo":
            from ._cli_geo import run_merge_geo
            return run_merge_geo(args)
        from .demo import run_demo
        if args.geo:
            from ._cli_geo import geo_modules
            geo_modules()
        if args.quiet:
            _quiet_progress()
        return run_demo(rows=args.rows, seed=args.seed, out_dir=args.out, quiet=args.quiet, geo=args.geo)
    except (CliError, TableError) as e:
        print(f"rowmerge: {e}", file=sys.stderr)
        return EXIT_USAGE
    except MergeError as e:
        print("rowmerge: merge failed: " + " ".join(str(e).split()), file=sys.stderr)
        return EXIT_USAGE
    except BrokenPipeError:
        # The reader of standard output went away (`rowmerge merge ... | head`).
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        print("rowmerge: interrupted", file=sys.stderr)
        return 130
