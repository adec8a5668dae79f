// The extension module rowmerge._native (multi-phase initialisation).
#include <Python.h>

#include <string>

#include "common/abort.hpp"
#include "module/boundary.hpp"
#include "module/merge_function.hpp"
#include "python/interned.hpp"
#include "python/py_error.hpp"

namespace rowmerge::module {
namespace {

using py::checked;
using py::PyRef;
using py::PythonError;

// The module's __all__, made as an empty list when it has none.
PyRef all_list(PyObject* module) {
  PyObject* name = py::name_dunder_all();
  if (PyObject* found = PyObject_GetAttr(module, name)) {
    PyRef all = PyRef::steal(found);
    if (!PyList_Check(all.get())) throw py::cast_error(all.get(), "list");
    return all;
  }
  PythonError error = PythonError::fetch();
  if (!error.is_instance_of(PyExc_AttributeError)) throw error;
  PyRef all = checked(PyList_New(0));
  if (PyObject_SetAttr(module, name, all.get()) != 0) py::throw_fetched();
  return all;
}

void add_function(PyObject* module) {
  if (!PyModule_Check(module)) throw py::cast_error(module, "module");
  PyRef module_name = checked(PyModule_GetNameObject(module));
  PyRef function = checked(PyCMethod_New(&merge_function_definition(), module, module_name.get(), nullptr));
  PyRef name = checked(PyObject_GetAttr(function.get(), py::name_dunder_name()));
  if (!PyUnicode_Check(name.get())) throw py::cast_error(name.get(), "PyString");
  PyRef all = all_list(module);
  if (PyList_Append(all.get(), name.get()) != 0) {
    raise_abort("could not append __name__ to __all__: " + PythonError::fetch().render());
  }
  if (PyObject_SetAttr(module, name.get(), function.get()) != 0) py::throw_fetched();
}

int exec_module(PyObject* module) noexcept {
  return at_boundary<int>(-1, [&] {
    add_function(module);
    return 0;
  });
}

PyModuleDef_Slot MODULE_SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef MODULE_DEFINITION = {
    PyModuleDef_HEAD_INIT,
    "_native",
    "",
    0,
    nullptr,
    MODULE_SLOTS,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace rowmerge::module

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&rowmerge::module::MODULE_DEFINITION); }
