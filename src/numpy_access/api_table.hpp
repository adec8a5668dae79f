// NumPy's C API, found at run time.
//
// The "_ARRAY_API" capsule of NumPy's array module holds the table of C
// functions and type objects.  It is located on first use, checked, and
// kept for the life of the process; a failed attempt keeps nothing and the
// next use tries again.  Every function here needs the interpreter lock.
#pragma once

#include <Python.h>

#include <string>

#include "numpy_access/numpy_abi.hpp"
#include "python/py_ref.hpp"

namespace rowmerge::numpy {

struct ApiTable {
  void* const* slots;
  unsigned feature_version;
};

// The table, located if needed.  Aborts with "Failed to access NumPy array
// API capsule: " and the Python error when it cannot be had.
const ApiTable& api();

// "numpy._core.multiarray" (NumPy 2 and later) or "numpy.core.multiarray".
// Throws py::PythonError when NumPy's version cannot be read.
std::string array_module_name();

PyTypeObject* array_type();
// An ndarray or an instance of a subclass.
bool is_array(PyObject* object);
// The float64 data type (a new reference).
py::PyRef descr_float64();
bool equiv_types(PyObject* a, PyObject* b);
// The item size of the array's data type, from the 1.x or 2.x layout.
npy_intp item_size(PyObject* array);

// Thin calls through the table.
PyObject* new_from_descr(PyTypeObject* type, PyObject* descr, int nd, const npy_intp* dims,
                         const npy_intp* strides, void* data, int flags, PyObject* obj);
int set_base_object(PyObject* array, PyObject* base);

}  // namespace rowmerge::numpy
