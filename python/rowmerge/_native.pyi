from typing import Final

import numpy as np
import numpy.typing as npt

__all__: Final[list[str]]

def merge_points_removing_overlap(
    connected_crop_rows: npt.NDArray[np.float64],
    points_in_rows: npt.NDArray[np.float64],
    row_information: npt.NDArray[np.float64],
    tolerance: float,
    num_threads: int,
) -> npt.NDArray[np.float64]:
    """Merges every connected crop row and returns the surviving point rows.

    All arrays are two-dimensional float64.  Failures of the merge raise
    ``pyo3_runtime.PanicException``, which derives from BaseException.
    """
    ...
