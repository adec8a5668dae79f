// An input array as the merge reads it: in place.
//
// The merge reads the caller's memory directly, through a view with the
// array's own steps (negative and zero ones included): the interpreter lock
// is held for the whole call and the shared borrows keep every cooperating
// module from writing, and the workers read the memory without touching a
// Python object.  Only an array whose elements are not float64-aligned
// (start or strides not multiples of 8 bytes, which NumPy allows for views
// of raw buffers) is copied first, element by element, since such elements
// cannot be loaded as doubles on every target.
//
// Nothing the merge does may rely on the array's values staying the same
// between two readings: a thread outside the interpreter lock could in
// principle still write them.  Every reader is built so that this gives
// wrong numbers at worst, never a read or write out of bounds, a hang or a
// crash (see merge/survivor_index.hpp and merge/indexes.cpp).
#pragma once

#include <Python.h>

#include "merge/matrix.hpp"

namespace rowmerge::module {

class InputTable {
 public:
  // `array` is a 2-D native float64 ndarray that stays alive and borrowed
  // while the table is used.  Throws std::bad_alloc when a copy cannot be
  // had or the size does not fit the address space.
  explicit InputTable(PyObject* array);
  InputTable(const InputTable&) = delete;
  InputTable& operator=(const InputTable&) = delete;

  const MatrixView& view() const noexcept { return view_; }

 private:
  Matrix copy_;  // only for arrays that cannot be read in place
  MatrixView view_;
};

}  // namespace rowmerge::module
