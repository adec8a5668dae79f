#include "python/panic_exception.hpp"

#include <unistd.h>

#include <cstdlib>
#include <new>
#include <string>

#include "common/abort.hpp"
#include "python/py_error.hpp"
#include "python/py_once.hpp"

namespace rowmerge::py {
namespace {

constexpr const char* kDoc =
    "\n"
    "The exception raised when Rust code called from Python panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

OnceCell<PyObject*> PANIC_EXCEPTION_TYPE;

}  // namespace

void die_at_boundary() noexcept {
  constexpr char kText[] = "uncaught panic at ffi boundary\n";
  [[maybe_unused]] const ssize_t written = ::write(2, kText, sizeof kText - 1);
  std::abort();
}

PyObject* panic_exception_type() {
  return PANIC_EXCEPTION_TYPE.get_or_init([] {
    PyObject* type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kDoc, PyExc_BaseException, nullptr);
    if (type == nullptr) {
      PyErr_Clear();
      raise_abort("Failed to initialize new exception type.");
    }
    return type;
  });
}

PyObject* panic_exception_type_if_made() noexcept {
  PyObject* const* type = PANIC_EXCEPTION_TYPE.get();
  return type != nullptr ? *type : nullptr;
}

void set_panic_exception(std::string_view message) noexcept {
  try {
    PyObject* type = panic_exception_type();
    PyRef text = expect_object(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    PyErr_SetObject(type, text.get());
  } catch (const Abort&) {
    die_at_boundary();
  } catch (const std::bad_alloc&) {
    die_at_boundary();
  }
}

void resume_panic(PyObject* value) {
  PyRef exception = PyRef::steal(value);
  std::string message = "Unwrapped panic from Python code";
  if (PyRef text = PyRef::steal(PyObject_Str(exception.get()))) {
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(text.get(), &size)) {
      message.assign(data, static_cast<std::size_t>(size));
    }
  }
  PyErr_Clear();
  PySys_WriteStderr("--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n");
  PySys_WriteStderr("Python stack trace below:\n");
  set_pending(std::move(exception));
  PyErr_PrintEx(0);
  raise_abort(std::move(message));
}

}  // namespace rowmerge::py
