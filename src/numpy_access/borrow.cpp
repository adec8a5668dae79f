#include "numpy_access/borrow.hpp"

#include <string>

#include "common/abort.hpp"
#include "numpy_access/api_table.hpp"
#include "numpy_access/borrow_registry.hpp"
#include "python/py_error.hpp"
#include "python/py_once.hpp"

namespace rowmerge::numpy {
namespace {

using py::checked;
using py::PyRef;
using py::PythonError;

py::OnceCell<const BorrowApiRecord*> BORROW_RECORD;

PyRef find_or_publish_capsule(PyObject* module) {
  if (PyObject* found = PyObject_GetAttrString(module, kBorrowCapsuleName)) {
    PyRef capsule = PyRef::steal(found);
    if (!PyCapsule_CheckExact(capsule.get())) throw py::cast_error(capsule.get(), "PyCapsule");
    return capsule;
  }
  PyErr_Clear();  // any failure to read it means: not there yet, make it
  PyRef capsule = checked(new_borrow_capsule());
  if (PyObject_SetAttrString(module, kBorrowCapsuleName, capsule.get()) != 0) py::throw_fetched();
  return capsule;
}

const BorrowApiRecord* find_record() {
  const std::string module_name = array_module_name();
  PyRef module = checked(PyImport_ImportModule(module_name.c_str()));
  PyRef capsule = find_or_publish_capsule(module.get());
  auto record = static_cast<const BorrowApiRecord*>(PyCapsule_GetPointer(capsule.get(), kBorrowCapsuleName));
  if (record == nullptr) py::throw_fetched();
  if (record->version < 1) {
    throw PythonError::make(PyExc_TypeError, "Version " + std::to_string(record->version) +
                                                 " of borrow checking API is not supported by this version of "
                                                 "rust-numpy");
  }
  // Our own reference keeps the record alive whatever happens to the attribute.
  capsule.release();
  return record;
}

const BorrowApiRecord& record() {
  if (const BorrowApiRecord* const* found = BORROW_RECORD.get()) return **found;
  try {
    return *BORROW_RECORD.get_or_init(find_record);
  } catch (const PythonError& error) {
    raise_abort("Internal borrow checking API error: " + error.render());
  }
}

}  // namespace

bool SharedBorrow::try_acquire(PyObject* array, SharedBorrow& out) {
  const BorrowApiRecord& api = record();
  const int code = api.acquire(api.flags, array);
  if (code == kAlreadyBorrowed) return false;
  if (code != kBorrowGranted) {
    raise_abort("Unexpected return code " + std::to_string(code) + " from borrow checking API");
  }
  out.array_ = array;
  return true;
}

SharedBorrow::~SharedBorrow() {
  if (array_ == nullptr) return;
  const BorrowApiRecord& api = **BORROW_RECORD.get();  // found when the borrow was taken
  api.release(api.flags, array_);
}

}  // namespace rowmerge::numpy
