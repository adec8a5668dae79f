#include "numpy_access/borrow_registry.hpp"

#include <unistd.h>

#include <cstdlib>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <string_view>
#include <unordered_map>

#include "numpy_access/api_table.hpp"
#include "numpy_access/borrow_key.hpp"

namespace rowmerge::numpy {
namespace {

using Count = std::intptr_t;  // > 0: shared borrows; -1: one exclusive borrow
using KeyCounts = std::map<BorrowKey, Count>;

// No inner map is empty and no count is 0: entries go when they would.
// A failure inside an operation (a broken invariant, or memory running out
// while the lock is held) ends the process: these operations are called
// from other modules through C function pointers and have no way to report
// an error, and a half-updated registry must not be used again.
struct Registry {
  std::mutex mutex;
  std::unordered_map<std::uintptr_t, KeyCounts> by_base;
};

[[noreturn]] void broken(std::string_view what) noexcept {
  const std::string_view prefix = "fatal: array borrow registry: ";
  [[maybe_unused]] ssize_t n = ::write(2, prefix.data(), prefix.size());
  n = ::write(2, what.data(), what.size());
  n = ::write(2, "\n", 1);
  std::abort();
}

// Follows `base` through arrays: the last array, or the first non-array
// object that owns the memory.
std::uintptr_t base_address(PyObject* array) {
  PyObject* current = array;
  for (;;) {
    PyObject* base = as_array(current)->base;
    if (base == nullptr) return reinterpret_cast<std::uintptr_t>(current);
    if (!is_array(base)) return reinterpret_cast<std::uintptr_t>(base);
    current = base;
  }
}

BorrowKey key_of(PyObject* array) {
  const ArrayObject* a = as_array(array);
  static_assert(sizeof(npy_intp) == sizeof(std::intptr_t));
  return borrow_key(reinterpret_cast<std::intptr_t>(a->data), a->nd, a->dimensions, a->strides, item_size(array));
}

struct Target {
  std::uintptr_t address;
  BorrowKey key;
};

// Everything that may call into NumPy happens before the registry lock.
Target target_of(PyObject* array) noexcept {
  try {
    return Target{base_address(array), key_of(array)};
  } catch (const std::exception& failure) {
    broken(failure.what());
  }
}

// One operation on the registry: what the array covers, read first, then the
// registry's lock for the rest of the operation.
struct Operation {
  Operation(void* flags, PyObject* array) noexcept
      : target(target_of(array)), registry(*static_cast<Registry*>(flags)), lock(registry.mutex) {}

  // For an acquire: the borrows already held on the target's base, or null
  // when there are none, after recording the target with `count` as its first.
  KeyCounts* held_or_first(Count count) {
    auto found = registry.by_base.find(target.address);
    if (found != registry.by_base.end()) return &found->second;
    registry.by_base[target.address].emplace(target.key, count);
    return nullptr;
  }

  // For a release: the borrows of the target's base, which must be there.
  auto held_base(std::string_view failure) noexcept {
    auto found = registry.by_base.find(target.address);
    if (found == registry.by_base.end()) broken(failure);
    return found;
  }

  const Target target;
  Registry& registry;
  std::lock_guard<std::mutex> lock;
};

int acquire_shared(void* flags, PyObject* array) noexcept {
  Operation op(flags, array);
  KeyCounts* counts = op.held_or_first(1);
  if (counts == nullptr) return kBorrowGranted;
  const BorrowKey& key = op.target.key;
  if (auto same = counts->find(key); same != counts->end()) {
    Count& count = same->second;
    if (count == 0 || count < -1) broken("invalid borrow count");
    if (count == -1 || count == std::numeric_limits<Count>::max()) return kAlreadyBorrowed;
    ++count;
    return kBorrowGranted;
  }
  for (const auto& [other, count] : *counts) {
    if (count < 0 && conflicts(key, other)) return kAlreadyBorrowed;
  }
  counts->emplace(key, 1);
  return kBorrowGranted;
}

int acquire_mut_shared(void* flags, PyObject* array) noexcept {
  if ((as_array(array)->flags & kArrayWriteable) == 0) return kNotWriteable;
  Operation op(flags, array);
  KeyCounts* counts = op.held_or_first(-1);
  if (counts == nullptr) return kBorrowGranted;
  const BorrowKey& key = op.target.key;
  if (counts->contains(key)) return kAlreadyBorrowed;
  for (const auto& [other, count] : *counts) {
    if (count != 0 && conflicts(key, other)) return kAlreadyBorrowed;
  }
  counts->emplace(key, -1);
  return kBorrowGranted;
}

void release_shared(void* flags, PyObject* array) noexcept {
  Operation op(flags, array);
  const auto found = op.held_base("release of a shared borrow that is not held");
  KeyCounts& counts = found->second;
  auto same = counts.find(op.target.key);
  if (same == counts.end() || same->second <= 0) broken("release of a shared borrow that is not held");
  if (--same->second == 0) {
    if (counts.size() == 1) {
      op.registry.by_base.erase(found);
    } else {
      counts.erase(same);
    }
  }
}

void release_mut_shared(void* flags, PyObject* array) noexcept {
  Operation op(flags, array);
  const auto found = op.held_base("release of an exclusive borrow that is not held");
  KeyCounts& counts = found->second;
  if (counts.size() < 2) {
    op.registry.by_base.erase(found);
  } else if (counts.erase(op.target.key) == 0) {
    broken("release of an exclusive borrow that is not held");
  }
}

void destroy_capsule(PyObject* capsule) noexcept {
  std::unique_ptr<BorrowApiRecord> record(
      static_cast<BorrowApiRecord*>(PyCapsule_GetPointer(capsule, kBorrowCapsuleName)));
  if (record) {
    std::unique_ptr<Registry> registry(static_cast<Registry*>(record->flags));
  } else {
    PyErr_Clear();
  }
}

}  // namespace

PyObject* new_borrow_capsule() {
  auto registry = std::make_unique<Registry>();
  auto record = std::make_unique<BorrowApiRecord>(BorrowApiRecord{
      1, registry.get(), &acquire_shared, &acquire_mut_shared, &release_shared, &release_mut_shared});
  PyObject* capsule = PyCapsule_New(record.get(), kBorrowCapsuleName, &destroy_capsule);
  if (capsule != nullptr) {
    // The capsule owns both now; its destructor frees them.
    registry.release();
    record.release();
  }
  return capsule;
}

}  // namespace rowmerge::numpy
