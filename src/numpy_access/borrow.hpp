// Shared borrows of NumPy arrays through the process-wide registry.
//
// The registry's record is found (or created and published) on first use
// and kept for the life of the process, together with one reference to its
// capsule.  A failed search keeps nothing: the use that needed it aborts
// with "Internal borrow checking API error: ..." and the next one searches
// again.
#pragma once

#include <Python.h>

namespace rowmerge::numpy {

// A shared borrow held for a scope; given back by the destructor.
class SharedBorrow {
 public:
  // Takes a shared borrow of `array` (which must outlive this object).
  // Returns false when another module holds a conflicting exclusive borrow;
  // aborts on an unexpected answer or when the registry cannot be reached.
  static bool try_acquire(PyObject* array, SharedBorrow& out);

  SharedBorrow() noexcept = default;
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;
  ~SharedBorrow();

 private:
  PyObject* array_ = nullptr;
};

}  // namespace rowmerge::numpy
