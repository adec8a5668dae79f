#include "module/conversions.hpp"

#include <string>

#include "common/abort.hpp"
#include "common/messages.hpp"
#include "numpy_access/api_table.hpp"
#include "python/py_error.hpp"

namespace rowmerge::module {
namespace {

using py::PythonError;

[[noreturn]] void fail(const PythonError& error, const char* name) {
  error.add_note(std::string("while processing '") + name + "'");
  throw error;
}

[[noreturn]] void fail_with_pending(const char* name) { fail(PythonError::fetch(), name); }

bool is_native_float64_matrix(PyObject* object) {
  if (!numpy::is_array(object)) return false;
  const numpy::ArrayObject* array = numpy::as_array(object);
  if (array->nd != 2) return false;
  py::PyRef float64 = numpy::descr_float64();
  return array->descr == float64.get() || numpy::equiv_types(array->descr, float64.get());
}

}  // namespace

ArrayArgument::ArrayArgument(PyObject* object, const char* name) {
  if (!is_native_float64_matrix(object)) fail(py::cast_error(object, "ndarray"), name);
  array_ = py::PyRef::borrow(object);
  if (!numpy::SharedBorrow::try_acquire(object, borrow_)) {
    raise_abort(std::string(messages::kErrUnwrapPrefix) + "AlreadyBorrowed");
  }
}

double convert_tolerance(PyObject* object, const char* name) {
  if (PyFloat_CheckExact(object)) return PyFloat_AS_DOUBLE(object);
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred() != nullptr) fail_with_pending(name);
  return value;
}

std::uint32_t convert_num_threads(PyObject* object, const char* name) {
  py::PyRef integer;
  if (PyLong_Check(object)) {
    integer = py::PyRef::borrow(object);
  } else {
    integer = py::PyRef::steal(PyNumber_Index(object));
    if (!integer) fail_with_pending(name);
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(integer.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) fail_with_pending(name);
  if (value > 0xffffffffULL) {
    fail(PythonError::make(PyExc_OverflowError, "out of range integral type conversion attempted"), name);
  }
  return static_cast<std::uint32_t>(value);
}

}  // namespace rowmerge::module
