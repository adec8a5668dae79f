// Conversion of the bound arguments, in parameter order.
//
// A failing conversion raises its own Python error with the note "while
// processing '<name>'" added (aborts get no note).
#pragma once

#include <Python.h>

#include <cstdint>

#include "numpy_access/borrow.hpp"
#include "python/py_ref.hpp"

namespace rowmerge::module {

// A 2-D native float64 ndarray held for the call: a reference to it and a
// shared borrow of it, given back in the reverse order when it goes.
class ArrayArgument {
 public:
  ArrayArgument(PyObject* object, const char* name);
  ArrayArgument(const ArrayArgument&) = delete;
  ArrayArgument& operator=(const ArrayArgument&) = delete;

  PyObject* get() const noexcept { return array_.get(); }

 private:
  py::PyRef array_;
  numpy::SharedBorrow borrow_;
};

double convert_tolerance(PyObject* object, const char* name);
std::uint32_t convert_num_threads(PyObject* object, const char* name);

}  // namespace rowmerge::module
