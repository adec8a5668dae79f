// Attribute names used on every call, interned once per process.
#pragma once

#include <Python.h>

namespace rowmerge::py {

PyObject* name_add_note();  // "add_note"
PyObject* name_dunder_name();  // "__name__"
PyObject* name_dunder_all();  // "__all__"

}  // namespace rowmerge::py
