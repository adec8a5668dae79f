#include "module/binding.hpp"

#include <string>
#include <vector>

#include "python/py_error.hpp"

namespace rowmerge::module {
namespace {

using py::PythonError;

std::string full_name() { return std::string(kFunctionName) + "()"; }

[[noreturn]] void type_error(const std::string& message) { throw PythonError::make(PyExc_TypeError, message); }

// The parameter slot a keyword names, or -1.
int slot_of(PyObject* keyword) {
  if (!PyUnicode_Check(keyword)) return -1;
  for (std::size_t i = 0; i < kParameterCount; ++i) {
    if (PyUnicode_CompareWithASCIIString(keyword, kParameterNames[i]) == 0) return static_cast<int>(i);
  }
  return -1;
}

// The TypeError for a keyword that names no parameter.  The message is built
// from the keyword object itself, so a name that is no valid UTF-8 (a lone
// surrogate, say) still gets it.
[[noreturn]] void unexpected_keyword(PyObject* keyword) {
  py::PyRef message =
      py::checked(PyUnicode_FromFormat("%s() got an unexpected keyword argument '%S'", kFunctionName, keyword));
  PyErr_SetObject(PyExc_TypeError, message.get());
  py::throw_fetched();
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string name_list(const std::vector<const char*>& names) {
  std::string list;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) list += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    list += '\'';
    list += names[i];
    list += '\'';
  }
  return list;
}

}  // namespace

BoundArguments bind_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs > static_cast<Py_ssize_t>(kParameterCount)) {
    type_error(full_name() + " takes 5 positional arguments but " + std::to_string(nargs) +
               (nargs == 1 ? " was given" : " were given"));
  }
  BoundArguments bound{};
  for (Py_ssize_t i = 0; i < nargs; ++i) bound[static_cast<std::size_t>(i)] = args[i];

  const Py_ssize_t keyword_count = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < keyword_count; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    const int slot = slot_of(keyword);
    if (slot < 0) unexpected_keyword(keyword);
    PyObject*& target = bound[static_cast<std::size_t>(slot)];
    if (target != nullptr) {
      type_error(full_name() + " got multiple values for argument '" + kParameterNames[static_cast<std::size_t>(slot)] +
                 "'");
    }
    target = args[nargs + k];
  }

  if (nargs < static_cast<Py_ssize_t>(kParameterCount)) {
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < kParameterCount; ++i) {
      if (bound[i] == nullptr) missing.push_back(kParameterNames[i]);
    }
    if (!missing.empty()) {
      type_error(full_name() + " missing " + std::to_string(missing.size()) + " required positional argument" +
                 (missing.size() == 1 ? "" : "s") + ": " + name_list(missing));
    }
  }
  return bound;
}

}  // namespace rowmerge::module
