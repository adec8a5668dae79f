// The facts about NumPy's C ABI that the module relies on.
//
// NumPy is never linked: its C API is a table of pointers published in a
// capsule, and arrays and descriptors are plain C structures.  Everything we
// touch is declared here, so the build needs no NumPy at all.  The layouts
// are the public ones of NumPy 1.x and 2.x; they share the array structure
// and the head of the descriptor, and differ in where the item size lives.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace rowmerge::numpy {

using npy_intp = Py_ssize_t;

// Positions in the "_ARRAY_API" table.
namespace api_index {
inline constexpr std::size_t kGetNDArrayCVersion = 0;
inline constexpr std::size_t kArrayType = 2;
inline constexpr std::size_t kDescrFromType = 45;
inline constexpr std::size_t kNewFromDescr = 94;
inline constexpr std::size_t kEquivTypes = 182;
inline constexpr std::size_t kGetEndianness = 210;
inline constexpr std::size_t kGetNDArrayCFeatureVersion = 211;
inline constexpr std::size_t kSetBaseObject = 282;
}  // namespace api_index

// The oldest C ABI / feature level we can work with, and the feature level
// from which descriptors have the 2.x layout.
inline constexpr unsigned kAbiVersion = 0x2000000;
inline constexpr unsigned kMinFeatureVersion = 0xc;
inline constexpr unsigned kFeatureVersion2 = 0x12;
inline constexpr int kCpuLittleEndian = 1;

inline constexpr int kTypeDouble = 12;
inline constexpr int kArrayWriteable = 0x0400;

// struct PyArrayObject_fields (identical prefix in 1.x and 2.x).
struct ArrayObject {
  PyObject_HEAD
  char* data;
  int nd;
  npy_intp* dimensions;
  npy_intp* strides;
  PyObject* base;
  PyObject* descr;
  int flags;
  PyObject* weakreflist;
};

// Head of every descriptor.
struct DescrHead {
  PyObject_HEAD
  PyTypeObject* typeobj;
  char kind;
  char type;
  char byteorder;
  char flags_1x;  // flags in 1.x, unused in 2.x
  int type_num;
};

// NumPy 1.x descriptor: the item size is an int right after type_num.
struct Descr1x {
  DescrHead head;
  int elsize;
  int alignment;
};

// NumPy 2.x descriptor: 64-bit flags, then the item size as npy_intp.
struct Descr2x {
  DescrHead head;
  std::uint64_t flags;
  npy_intp elsize;
  npy_intp alignment;
};

// The layouts above must match NumPy's on both word sizes we build for.
#if UINTPTR_MAX == 0xffffffffffffffffu
static_assert(offsetof(ArrayObject, data) == 16 && offsetof(ArrayObject, base) == 48 &&
              offsetof(ArrayObject, descr) == 56 && offsetof(ArrayObject, flags) == 64);
static_assert(offsetof(Descr1x, elsize) == 32 && offsetof(Descr2x, elsize) == 40);
#elif UINTPTR_MAX == 0xffffffffu
static_assert(offsetof(ArrayObject, data) == 8 && offsetof(ArrayObject, base) == 24 &&
              offsetof(ArrayObject, descr) == 28 && offsetof(ArrayObject, flags) == 32);
static_assert(offsetof(Descr1x, elsize) == 20 && offsetof(Descr2x, elsize) == 32);
#endif

using GetVersionFn = unsigned (*)();
using GetEndiannessFn = int (*)();
using DescrFromTypeFn = PyObject* (*)(int);
using NewFromDescrFn = PyObject* (*)(PyTypeObject*, PyObject*, int, const npy_intp*, const npy_intp*, void*, int,
                                     PyObject*);
using EquivTypesFn = unsigned char (*)(PyObject*, PyObject*);
using SetBaseObjectFn = int (*)(PyObject*, PyObject*);

inline ArrayObject* as_array(PyObject* o) noexcept { return reinterpret_cast<ArrayObject*>(o); }

}  // namespace rowmerge::numpy
