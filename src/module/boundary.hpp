// The one place where failures become Python exceptions.
//
// An entry point runs its body inside `at_boundary`.  What comes out:
//   py::PythonError   the Python error it carries is set again;
//   rowmerge::Abort    pyo3_runtime.PanicException with the abort's text (an empty
//                      text stays empty);
//   std::bad_alloc     MemoryError (also for sizes that overflow).
// Everything the body held has been given back by unwinding by then.
//   anything else      an abort without a message text: PanicException with
//                      "panic from Rust code".
// A failure while the exception is being set ends the process with
// "uncaught panic at ffi boundary".
#pragma once

#include <Python.h>

#include <new>
#include <string>
#include <string_view>

#include "common/abort.hpp"
#include "python/panic_exception.hpp"
#include "python/py_error.hpp"

namespace rowmerge::module {

void set_abort_exception(const Abort& abort) noexcept;

template <class Result, class Body>
Result at_boundary(Result failure, Body&& body) noexcept {
  try {
    return body();
  } catch (py::PythonError& error) {
    std::move(error).restore();
  } catch (const Abort& abort) {
    set_abort_exception(abort);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (...) {
    set_abort_exception(Abort::without_text());
  }
  return failure;
}

}  // namespace rowmerge::module
