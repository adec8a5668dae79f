// The process-wide borrow registry that extension modules share.
//
// Modules that hand NumPy arrays to native code record their borrows here:
// shared (read-only) borrows are counted, an exclusive one excludes every
// other borrow of memory it may share.  The registry is published as a
// capsule on NumPy's array module holding a `BorrowApiRecord`; whichever
// cooperating module finds the capsule missing creates it.  The record's
// layout is fixed by that protocol.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace rowmerge::numpy {

inline constexpr const char* kBorrowCapsuleName = "_RUST_NUMPY_BORROW_CHECKING_API";

using BorrowAcquireFn = int (*)(void* flags, PyObject* array);
using BorrowReleaseFn = void (*)(void* flags, PyObject* array);

struct BorrowApiRecord {
  std::uint64_t version;
  void* flags;  // the registry, opaque to users
  BorrowAcquireFn acquire;
  BorrowAcquireFn acquire_mut;
  BorrowReleaseFn release;
  BorrowReleaseFn release_mut;
};

#if UINTPTR_MAX == 0xffffffffffffffffu
static_assert(offsetof(BorrowApiRecord, flags) == 8 && offsetof(BorrowApiRecord, acquire) == 16 &&
              offsetof(BorrowApiRecord, acquire_mut) == 24 && offsetof(BorrowApiRecord, release) == 32 &&
              offsetof(BorrowApiRecord, release_mut) == 40 && sizeof(BorrowApiRecord) == 48);
#elif UINTPTR_MAX == 0xffffffffu
static_assert(offsetof(BorrowApiRecord, flags) == 8 && offsetof(BorrowApiRecord, acquire) == 12 &&
              offsetof(BorrowApiRecord, acquire_mut) == 16 && offsetof(BorrowApiRecord, release) == 20 &&
              offsetof(BorrowApiRecord, release_mut) == 24 && sizeof(BorrowApiRecord) == 32);
#endif

// Return codes of the acquire operations.
inline constexpr int kBorrowGranted = 0;
inline constexpr int kAlreadyBorrowed = -1;
inline constexpr int kNotWriteable = -2;

// A capsule holding a new record {version 1, a new empty registry, our four
// operations}, whose destructor frees both.  Null with a Python error set
// on failure.
PyObject* new_borrow_capsule();

}  // namespace rowmerge::numpy
