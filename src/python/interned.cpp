#include "python/interned.hpp"

#include "python/py_error.hpp"
#include "python/py_once.hpp"

namespace rowmerge::py {
namespace {

PyObject* interned(OnceCell<PyObject*>& cell, const char* text) {
  return cell.get_or_init([text] { return expect_object(PyUnicode_InternFromString(text)).release(); });
}

OnceCell<PyObject*> NAME_ADD_NOTE;
OnceCell<PyObject*> NAME_DUNDER_NAME;
OnceCell<PyObject*> NAME_DUNDER_ALL;

}  // namespace

PyObject* name_add_note() { return interned(NAME_ADD_NOTE, "add_note"); }
PyObject* name_dunder_name() { return interned(NAME_DUNDER_NAME, "__name__"); }
PyObject* name_dunder_all() { return interned(NAME_DUNDER_ALL, "__all__"); }

}  // namespace rowmerge::py
