"""Join crop-row segments, dropping the points where linked segments overlap.

`merge_points_removing_overlap` is the native merge on NumPy arrays;
`merge_frame` runs it on a pandas DataFrame of points and raises `MergeError`,
which says which connected row failed and why, when the merge fails.
`rowmerge.geo` (the extra ``geo``) merges GeoDataFrames of points and segment
lines.  The README explains the three input tables and the result.
"""

__version__ = "0.1.0"  # the one place the version is written

from ._native import merge_points_removing_overlap
from .errors import MergeError
from .frame import merge_frame

__all__ = ["merge_points_removing_overlap", "merge_frame", "MergeError", "__version__"]
