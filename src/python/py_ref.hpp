// PyRef: one owned reference to a Python object.
//
// Built only through the named `steal` (take over a new reference) and
// `borrow` (add a reference to a borrowed one); `release` hands the
// reference out.  Every use happens with the interpreter lock held.
#pragma once

#include <Python.h>

#include <utility>

namespace rowmerge::py {

class PyRef {
 public:
  PyRef() noexcept = default;
  static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
  static PyRef borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyRef(std::move(other)).swap(*this);
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const noexcept { return object_; }
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  PyRef new_ref() const noexcept { return borrow(object_); }

 private:
  explicit PyRef(PyObject* object) noexcept : object_(object) {}
  void swap(PyRef& other) noexcept { std::swap(object_, other.object_); }

  PyObject* object_ = nullptr;
};

}  // namespace rowmerge::py
