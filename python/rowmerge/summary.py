"""The line `rowmerge merge` and `rowmerge demo` print on standard error after a merge."""

from __future__ import annotations

__all__ = ["summary_line"]


def summary_line(rows: int, points_in: int, points_out: int, seconds: float, *, fields: int | None = None) -> str:
    """Connected rows, points in, points out and the seconds the merge took, as one line;
    for a merge of many fields, the number of fields first."""
    counted = "" if fields is None else f"{fields} field{'' if fields == 1 else 's'}, "
    return (f"rowmerge: {counted}{rows} connected rows, {points_in} points in, {points_out} points out, "
            f"{seconds:.3f} s")
