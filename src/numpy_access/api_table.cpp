#include "numpy_access/api_table.hpp"

#include <cstdio>

#include "common/abort.hpp"
#include "python/py_error.hpp"
#include "python/py_once.hpp"

namespace rowmerge::numpy {
namespace {

using py::checked;
using py::PyRef;
using py::PythonError;

py::OnceCell<const char*> CORE_NAME;
py::OnceCell<ApiTable> API_TABLE;

std::string hex(unsigned value) {
  char text[16];
  std::snprintf(text, sizeof text, "%x", value);
  return text;
}

const char* find_core_name() {
  PyRef numpy = checked(PyImport_ImportModule("numpy"));
  PyRef version = checked(PyObject_GetAttrString(numpy.get(), "__version__"));
  PyRef lib = checked(PyImport_ImportModule("numpy.lib"));
  PyRef numpy_version = checked(PyObject_GetAttrString(lib.get(), "NumpyVersion"));
  PyRef parsed = checked(PyObject_CallOneArg(numpy_version.get(), version.get()));
  PyRef major_object = checked(PyObject_GetAttrString(parsed.get(), "major"));
  const long major = PyLong_AsLong(major_object.get());
  if (major == -1 && PyErr_Occurred() != nullptr) py::throw_fetched();
  if (major < 0 || major > 255) {
    throw PythonError::make(PyExc_OverflowError, "out of range integral type conversion attempted");
  }
  return major >= 2 ? "numpy._core" : "numpy.core";
}

const char* core_name() {
  return CORE_NAME.get_or_init(find_core_name);
}

template <class Fn>
Fn slot(void* const* slots, std::size_t index) {
  return reinterpret_cast<Fn>(slots[index]);
}

ApiTable locate_table() {
  const std::string module_name = array_module_name();
  PyRef module = checked(PyImport_ImportModule(module_name.c_str()));
  PyRef capsule = checked(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
  if (!PyCapsule_CheckExact(capsule.get())) throw py::cast_error(capsule.get(), "PyCapsule");
  auto slots = static_cast<void* const*>(PyCapsule_GetPointer(capsule.get(), nullptr));
  if (slots == nullptr) py::throw_fetched();

  const unsigned abi = slot<GetVersionFn>(slots, api_index::kGetNDArrayCVersion)();
  if (abi > kAbiVersion) {
    throw PythonError::make(PyExc_RuntimeError,
                            "module compiled against ABI version 0x2000000 but this version of numpy is 0x" + hex(abi));
  }
  const unsigned feature = slot<GetVersionFn>(slots, api_index::kGetNDArrayCFeatureVersion)();
  if (feature < kMinFeatureVersion) {
    throw PythonError::make(PyExc_RuntimeError,
                            "module was compiled against NumPy C-API version 0xc (NumPy 1.15) but the running "
                            "NumPy has C-API version 0x" + hex(feature));
  }
  if (slot<GetEndiannessFn>(slots, api_index::kGetEndianness)() != kCpuLittleEndian) {
    throw PythonError::make(PyExc_RuntimeError,
                            "module compiled as little endian, but detected different endianness at runtime");
  }
  // NumPy keeps the capsule (and so the table) alive as long as the array
  // module lives, which is until the process ends.
  return ApiTable{slots, feature};
}

}  // namespace

std::string array_module_name() { return std::string(core_name()) + ".multiarray"; }

const ApiTable& api() {
  if (const ApiTable* table = API_TABLE.get()) return *table;
  try {
    return API_TABLE.get_or_init(locate_table);
  } catch (const PythonError& error) {
    raise_abort("Failed to access NumPy array API capsule: " + error.render());
  }
}

PyTypeObject* array_type() { return static_cast<PyTypeObject*>(api().slots[api_index::kArrayType]); }

bool is_array(PyObject* object) { return PyObject_TypeCheck(object, array_type()) != 0; }

py::PyRef descr_float64() {
  return py::expect_object(slot<DescrFromTypeFn>(api().slots, api_index::kDescrFromType)(kTypeDouble));
}

bool equiv_types(PyObject* a, PyObject* b) {
  return slot<EquivTypesFn>(api().slots, api_index::kEquivTypes)(a, b) != 0;
}

npy_intp item_size(PyObject* array) {
  PyObject* descr = as_array(array)->descr;
  if (api().feature_version < kFeatureVersion2) return reinterpret_cast<const Descr1x*>(descr)->elsize;
  return reinterpret_cast<const Descr2x*>(descr)->elsize;
}

PyObject* new_from_descr(PyTypeObject* type, PyObject* descr, int nd, const npy_intp* dims, const npy_intp* strides,
                         void* data, int flags, PyObject* obj) {
  return slot<NewFromDescrFn>(api().slots, api_index::kNewFromDescr)(type, descr, nd, dims, strides, data, flags,
                                                                      obj);
}

int set_base_object(PyObject* array, PyObject* base) {
  return slot<SetBaseObjectFn>(api().slots, api_index::kSetBaseObject)(array, base);
}

}  // namespace rowmerge::numpy
