#include "python/interned.hpp"

#include "python/py_error.hpp"
#include "python/py_once.hpp"

namespace rowmerge::py {
namespace {

PyObject* interned(OnceCell<PyObject*>& cell, const char* text) {
  return cell.get_or_init([text] { return expect_object(PyUnicode_InternFromString(text)).release(); });
}

OnceCell<PyObject*> g_add_note;
OnceCell<PyObject*> g_name;
OnceCell<PyObject*> g_all;

}  // namespace

PyObject* name_add_note() { return interned(g_add_note, "add_note"); }
PyObject* name_dunder_name() { return interned(g_name, "__name__"); }
PyObject* name_dunder_all() { return interned(g_all, "__all__"); }

}  // namespace rowmerge::py
