// The result array: the output Matrix's buffer handed to NumPy without a
// copy.  Its base object, a PySliceContainer, frees the buffer when the
// array and all its views are gone.
#pragma once

#include <Python.h>

#include "merge/matrix.hpp"
#include "python/py_ref.hpp"

namespace rowmerge::module {

// A writeable, C-contiguous float64 array that does not own its data.
py::PyRef matrix_to_array(Matrix&& output);

}  // namespace rowmerge::module
