// Python errors as C++ exceptions.
//
// `PythonError` carries one normalised Python exception through C++ code
// until the module's boundary sets it again.  Fetching an error that is
// one of our own PanicExceptions (raised by Python code that we called)
// does not pass it on: the abort it stands for is resumed instead.
#pragma once

#include <Python.h>

#include <exception>
#include <string>
#include <string_view>

#include "python/py_ref.hpp"

namespace rowmerge::py {

class PythonError : public std::exception {
 public:
  // Takes the pending Python error (a SystemError if, wrongly, none is
  // pending).  Resumes the abort if the error is a PanicException.
  static PythonError fetch();
  // A new exception of `type` with `message` as its one argument.
  static PythonError make(PyObject* type, std::string_view message);

  PythonError(const PythonError& other) noexcept : value_(other.value_.new_ref()) {}
  PythonError(PythonError&&) noexcept = default;
  PythonError& operator=(const PythonError&) = delete;
  PythonError& operator=(PythonError&&) = delete;

  const char* what() const noexcept override { return "Python error"; }
  bool is_instance_of(PyObject* type) const noexcept;

  // The error's type, value and traceback as text, for abort messages.
  std::string render() const;
  // Calls the exception's add_note; a failing call is dropped silently.
  void add_note(std::string_view note) const;
  // Sets the error as the pending Python error.
  void restore() &&;

 private:
  explicit PythonError(PyRef value) noexcept : value_(std::move(value)) {}
  PyRef value_;
};

// Makes the exception `value` the pending error.
void set_pending(PyRef value) noexcept;

// Fetches the pending error and throws it.
[[noreturn]] void throw_fetched();

// `object` (a new reference) or, when it is null, the fetched error thrown.
inline PyRef checked(PyObject* object) {
  if (object == nullptr) throw_fetched();
  return PyRef::steal(object);
}

// For places where the interpreter must return an object: when it returns
// none, the pending error is printed and the call aborts.
PyRef expect_object(PyObject* object);

// The TypeError for an object that is not of the `expected` type:
// "'list' object is not an instance of 'ndarray'", "'None' is not an
// instance of 'ndarray'".
PythonError cast_error(PyObject* object, const char* expected);

// Rendering of an exception value, used by PythonError::render.
std::string render_exception(PyObject* value);

}  // namespace rowmerge::py
