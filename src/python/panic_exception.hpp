// pyo3_runtime.PanicException: the Python face of an abort.
//
// Derived directly from BaseException, so `except Exception` lets it pass.
// The class is made on first need and kept for the life of the process; it
// is not added to the module.
#pragma once

#include <Python.h>

#include <string_view>

namespace rowmerge::py {

// The class, made if needed; aborts with the fixed text if it cannot be made.
PyObject* panic_exception_type();
// The class if it was already made, else nullptr (never makes it).
PyObject* panic_exception_type_if_made() noexcept;

// Sets a new PanicException carrying `message` as the pending error.  If
// that fails the process ends: there is no way left to report anything.
void set_panic_exception(std::string_view message) noexcept;

// Ends the process with "uncaught panic at ffi boundary": for failures
// that happen while an exception is being set, where nothing can be reported.
[[noreturn]] void die_at_boundary() noexcept;

// Called when a PanicException raised by Python code reaches us: reports it
// and resumes the abort with its text.  Takes over the exception value.
[[noreturn]] void resume_panic(PyObject* value);

}  // namespace rowmerge::py
