// Copying a 2-D float64 ndarray into an owned Matrix.
//
// A C- or Fortran-contiguous array is copied as one block (a Fortran-order
// copy keeps its order; readers address by (row, column) anyway).  Any
// other layout, negative and zero strides included, is copied element by
// element.  The array is only read; sizes are checked (std::bad_alloc).
#pragma once

#include <Python.h>

#include <cstdint>

#include "merge/indexes.hpp"
#include "merge/matrix.hpp"

namespace rowmerge::module {

// Block copies run on the pool of a merge with `num_threads`.  Given `keys`,
// the array is a points table: a row-major block copy also reads its
// crop-row keys on the way and leaves that first pass of the index in
// `*keys` (other layouts leave it untouched, and the index reads them later).
Matrix copy_to_matrix(PyObject* array, std::uint32_t num_threads, merge::PointKeyScan* keys = nullptr);

}  // namespace rowmerge::module
