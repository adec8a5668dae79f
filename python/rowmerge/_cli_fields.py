"""`rowmerge merge --field NAME`: the merge of every field of multi-field
tables, in the process or on a Dask cluster (`--workers N`, `--scheduler
ADDRESS`)."""

from __future__ import annotations

import argparse
import contextlib
import logging
import os
import sys
import time
import warnings

from ._frame_files import format_frame_csv, read_frame, write_frame
from .summary import summary_line

__all__ = ["add_arguments", "run"]

# Tasks per worker process on a cluster: enough for Dask to even out fields
# of different sizes, few enough that their overhead stays small.
TASKS_PER_WORKER = 4


def _worker_count(text: str) -> int:
    from .cli import _whole_number

    return _whole_number(text, 1, 1024)


def add_arguments(merge: argparse.ArgumentParser) -> None:
    group = merge.add_argument_group(
        "many fields", "Tables of many fields (CSV with a header line, or Parquet) with a column of\n"
                       "field ids; every field is merged on its own.")
    group.add_argument("--field", metavar="NAME",
                       help="the column of field ids, in all three tables; merges every field")
    where = group.add_mutually_exclusive_group()
    where.add_argument("--workers", type=_worker_count, metavar="N",
                       help="merge the fields on a local Dask cluster of N worker processes")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="merge the fields on the Dask cluster whose scheduler is at ADDRESS "
                            "(for example tcp://10.0.0.5:8786)")


def _check_tables(tables, names, field) -> None:
    from ._fields import TABLES, field_columns
    from .cli import CliError

    for table, name, role in zip(tables, names, TABLES):
        try:
            field_columns(table, name, field, 4 if role == "points" else 0)
        except (KeyError, TypeError, ValueError) as e:
            raise CliError(e.args[0] if isinstance(e, KeyError) else str(e)) from None


@contextlib.contextmanager
def _cluster(args):
    """A Dask client: on a new local cluster of `--workers` processes, or
    connected to `--scheduler`."""
    from .cli import CliError

    try:
        import dask
        from distributed import Client, LocalCluster
    except ImportError:
        raise CliError("--workers and --scheduler need Dask; install it with: pip install 'rowmerge[dask]'") \
            from None
    with warnings.catch_warnings():
        # The tables travel in the task graph; Dask's advice to load them in
        # the workers instead is not the user's to act on here.
        warnings.simplefilter("ignore")
        if args.workers is not None:
            # The workers get malloc settings under which merges run at full
            # speed (see worker_environ).  No progress bars from them either:
            # their standard error is ours.
            from .dask import worker_environ

            with dask.config.set({"distributed.nanny.pre-spawn-environ": worker_environ()}), \
                    LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                                 dashboard_address=None, silence_logs=logging.CRITICAL,
                                 env={"NO_COLOR": "1"}) as cluster, Client(cluster) as client:
                yield client
            return
        try:
            client = Client(args.scheduler, timeout="20s")
        except (OSError, TimeoutError, ValueError) as e:
            raise CliError(f"cannot reach the Dask scheduler at {args.scheduler}: {' '.join(str(e).split())}") \
                from None
        with client:
            yield client


def _merge(args, connected, points, rows, threads: int):
    from ._fields import merge_each_field
    from .cli import CliError, _StderrCapture
    from .errors import MergeError

    if args.workers is None and args.scheduler is None:
        with _StderrCapture(not os.isatty(2)) as captured:
            try:
                return merge_each_field(connected, points, rows, args.tolerance, field=args.field,
                                        num_threads=threads)
            except Exception:
                captured.discard()
                raise
    # A local cluster's workers write on our standard error (a failing
    # merge's report among it): that is held back, the error line says it.
    with _StderrCapture(args.workers is not None) as captured:
        captured.discard()
        try:
            with _cluster(args) as client, warnings.catch_warnings():
                from .dask import merge_fields

                warnings.simplefilter("ignore")
                workers = max(1, len(client.scheduler_info().get("workers", {})))
                merged = merge_fields(connected, points, rows, tolerance=args.tolerance, field=args.field,
                                      num_threads=threads, npartitions=TASKS_PER_WORKER * workers)
                return merged.compute()
        except (CliError, MergeError, MemoryError, KeyError, TypeError, ValueError):
            raise
        except Exception as e:  # noqa: BLE001 - a lost worker or connection, as one line
            raise CliError(f"merge failed on the cluster: {type(e).__name__}: {' '.join(str(e).split())}") \
                from None


def run(args) -> int:
    """Runs `rowmerge merge --field NAME ...`; returns the exit status."""
    from .cli import CliError, _quiet_progress

    names = (args.connected, args.points, args.rows)
    if args.output and not args.force and os.path.lexists(args.output):
        raise CliError(f"{args.output}: already exists (use --force to replace it)")
    tables = [read_frame(name, args.field) for name in names]
    _check_tables(tables, names, args.field)
    connected, points, rows = tables
    if args.quiet:
        _quiet_progress()
    # On a cluster each task merges with one thread unless told otherwise:
    # the worker processes are the parallelism.
    on_cluster = args.workers is not None or args.scheduler is not None
    threads = args.threads if args.threads is not None else (1 if on_cluster else 0)
    started = time.perf_counter()
    try:
        merged = _merge(args, connected, points, rows, threads)
    except MemoryError:
        raise CliError("merge failed: out of memory") from None
    except (KeyError, TypeError, ValueError) as e:
        raise CliError(e.args[0] if isinstance(e, KeyError) else str(e)) from None
    seconds = time.perf_counter() - started
    if args.output:
        write_frame(args.output, merged, overwrite=args.force)
    else:
        format_frame_csv(merged, sys.stdout)
        sys.stdout.flush()
    if not args.quiet:
        fields = connected[args.field].nunique()
        print(summary_line(connected.shape[0], points.shape[0], merged.shape[0], seconds, fields=fields),
              file=sys.stderr)
    return 0
