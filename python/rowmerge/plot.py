"""The demo's picture: a field before and after the merge (needs matplotlib).

The picture is drawn on a figure of its own and written straight to a PNG
file: neither pyplot nor the backend of the program that imports this module
is touched, and no window ever opens.
"""

from __future__ import annotations

import os

import numpy as np
from matplotlib.figure import Figure

__all__ = ["plot_field"]

_SEGMENT_COLOURS = ("#1b9e77", "#7570b3", "#e6ab02", "#66a61e")
_KEPT = "#4d7f3a"
_REMOVED = "#d7301f"


def plot_field(field, removed: np.ndarray, png: str) -> None:
    """Draws the detected segments and the merged rows side by side.

    Parameters
    ----------
    field : rowmerge.field.Field
        The inputs.
    removed : numpy.ndarray of bool
        Per row of ``field.points_in_rows``: True when the merge dropped it.
    png : str
        Output file; written through a temporary file and renamed.
    """
    pts = field.points_in_rows
    x, y, seg = pts[:, 2], pts[:, 3], pts[:, 1].astype(int)
    fig = Figure(figsize=(11, 4.6), layout="constrained")
    before, after = fig.subplots(1, 2, sharex=True, sharey=True)
    for s in np.unique(seg):
        on = seg == s
        before.scatter(x[on], y[on], s=3, color=_SEGMENT_COLOURS[(s - 1) % len(_SEGMENT_COLOURS)],
                       label=f"segment {s}", linewidths=0)
    info = field.row_information
    before.scatter(info[:, [5, 7]].ravel(), info[:, [6, 8]].ravel(), s=14, marker="|", color="black",
                   label="segment ends")
    before.set_title("Detected: each crop row found as overlapping segments")
    before.legend(loc="upper left", fontsize=8, markerscale=3, frameon=False)

    after.scatter(x[~removed], y[~removed], s=3, color=_KEPT, linewidths=0,
                  label=f"kept ({int((~removed).sum())} points)")
    after.scatter(x[removed], y[removed], s=5, color=_REMOVED, linewidths=0,
                  label=f"removed overlap ({int(removed.sum())} points)")
    after.set_title("Merged: overlap points removed")
    after.legend(loc="upper left", fontsize=8, markerscale=3, frameon=False)

    for ax in (before, after):
        ax.set_aspect("equal")
        ax.set_xlabel("x (m)")
        ax.grid(True, linewidth=0.3, alpha=0.5)
    before.set_ylabel("y (m)")

    from .tables import create_beside

    directory = os.path.dirname(os.path.abspath(png))
    fd, tmp = create_beside(directory, os.path.basename(png))
    try:
        with os.fdopen(fd, "wb") as f:
            fig.savefig(f, format="png", dpi=90)
        os.replace(tmp, png)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
