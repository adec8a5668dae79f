#include "python/py_error.hpp"

#include "common/abort.hpp"
#include "python/interned.hpp"
#include "python/panic_exception.hpp"

namespace rowmerge::py {
namespace {

// The pending exception, normalised, with its traceback attached; or null.
PyObject* take_raised_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  return PyErr_GetRaisedException();
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return nullptr;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return value;
#endif
}

// UTF-8 text of a str object; `fallback` (and no pending error) if it fails.
std::string text_of(PyRef object, const char* fallback) {
  if (object) {
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(object.get(), &size)) {
      return std::string(data, static_cast<std::size_t>(size));
    }
  }
  PyErr_Clear();
  return fallback;
}

std::string render_traceback(PyObject* value) {
  PyRef traceback = PyRef::steal(PyException_GetTraceback(value));
  if (!traceback) return "None";
  PyRef module = PyRef::steal(PyImport_ImportModule("traceback"));
  PyRef lines = module ? PyRef::steal(PyObject_CallMethod(module.get(), "format_tb", "O", traceback.get())) : PyRef();
  PyRef empty = PyRef::steal(PyUnicode_FromString(""));
  PyRef joined = (lines && empty) ? PyRef::steal(PyUnicode_Join(empty.get(), lines.get())) : PyRef();
  std::string text = text_of(std::move(joined), "<traceback could not be formatted>");
  text.insert(text.begin(), '\n');
  return text;
}

}  // namespace

PythonError PythonError::fetch() {
  PyObject* value = take_raised_exception();
  if (value == nullptr) {
    PyErr_SetString(PyExc_SystemError, "error return without exception set");
    value = take_raised_exception();
  }
  PyObject* panic = panic_exception_type_if_made();
  if (panic != nullptr && reinterpret_cast<PyObject*>(Py_TYPE(value)) == panic) resume_panic(value);
  return PythonError(PyRef::steal(value));
}

PythonError PythonError::make(PyObject* type, std::string_view message) {
  PyRef text = expect_object(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  PyErr_SetObject(type, text.get());
  return fetch();
}

bool PythonError::is_instance_of(PyObject* type) const noexcept {
  return PyErr_GivenExceptionMatches(value_.get(), type) != 0;
}

std::string PythonError::render() const { return render_exception(value_.get()); }

void PythonError::add_note(std::string_view note) const {
  PyObject* name = name_add_note();
  PyRef text = PyRef::steal(PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size())));
  PyRef result = text ? PyRef::steal(PyObject_CallMethodOneArg(value_.get(), name, text.get())) : PyRef();
  if (!result) PyErr_Clear();
}

void PythonError::restore() && { set_pending(std::move(value_)); }

void set_pending(PyRef exception) noexcept {
  PyObject* value = exception.release();
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(value);
#else
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
  Py_INCREF(type);
  PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

void throw_fetched() { throw PythonError::fetch(); }

PyRef expect_object(PyObject* object) {
  if (object == nullptr) {
    if (PyErr_Occurred() != nullptr) PyErr_PrintEx(0);
    raise_abort("PyObject pointer is null");
  }
  return PyRef::steal(object);
}

PythonError cast_error(PyObject* object, const char* expected) {
  std::string message = "'";
  if (object == Py_None) {
    message += "None' is not";
  } else {
    message += text_of(PyRef::steal(PyType_GetQualName(Py_TYPE(object))), "<failed to extract type name>");
    message += "' object is not";
  }
  message += " an instance of '";
  message += expected;
  message += "'";
  return PythonError::make(PyExc_TypeError, message);
}

std::string render_exception(PyObject* value) {
  std::string text = "type ";
  text += text_of(PyRef::steal(PyObject_Repr(reinterpret_cast<PyObject*>(Py_TYPE(value)))), "<unknown type>");
  text += ", value ";
  text += text_of(PyRef::steal(PyObject_Repr(value)), "<value could not be shown>");
  text += ", traceback: ";
  text += render_traceback(value);
  return text;
}

}  // namespace rowmerge::py
