#include "numpy_access/borrow_key.hpp"

#include <bit>
#include <utility>

namespace rowmerge::numpy {
namespace {

using Word = std::uintptr_t;

Word magnitude(std::intptr_t value) noexcept {
  // Two's complement negation in unsigned arithmetic is defined for every value.
  return value < 0 ? Word{0} - static_cast<Word>(value) : static_cast<Word>(value);
}

// Wrapping signed arithmetic, as on the machine word.
std::intptr_t wrapping_add(std::intptr_t a, std::intptr_t b) noexcept {
  return static_cast<std::intptr_t>(static_cast<Word>(a) + static_cast<Word>(b));
}
std::intptr_t wrapping_mul(std::intptr_t a, std::intptr_t b) noexcept {
  return static_cast<std::intptr_t>(static_cast<Word>(a) * static_cast<Word>(b));
}

}  // namespace

std::intptr_t stein_gcd(std::intptr_t a, std::intptr_t b) noexcept {
  Word u = magnitude(a);
  Word v = magnitude(b);
  if (u == 0) return static_cast<std::intptr_t>(v);
  if (v == 0) return static_cast<std::intptr_t>(u);
  const int shift = std::countr_zero(u | v);
  u >>= std::countr_zero(u);
  while (v != 0) {
    v >>= std::countr_zero(v);
    if (u > v) std::swap(u, v);
    v -= u;
  }
  return static_cast<std::intptr_t>(u << shift);
}

BorrowKey borrow_key(std::intptr_t data, int nd, const std::intptr_t* dims, const std::intptr_t* strides,
                     std::intptr_t item_size) noexcept {
  BorrowKey key{data, data, data, 1};
  if (nd <= 0) return key;

  bool empty = false;
  for (int axis = 0; axis < nd; ++axis) empty = empty || dims[axis] == 0;
  if (!empty) {
    for (int axis = 0; axis < nd; ++axis) {
      const std::intptr_t reach = wrapping_mul(dims[axis] - 1, strides[axis]);
      if (reach < 0) {
        key.start = wrapping_add(key.start, reach);
      } else {
        key.end = wrapping_add(key.end, reach);
      }
    }
    key.end = wrapping_add(key.end, item_size);
  }

  key.gcd = strides[0];
  for (int axis = 1; axis < nd; ++axis) key.gcd = stein_gcd(key.gcd, strides[axis]);
  return key;
}

bool conflicts(const BorrowKey& a, const BorrowKey& b) noexcept {
  if (b.start >= a.end || a.start >= b.end) return false;
  const Word g = static_cast<Word>(stein_gcd(a.gcd, b.gcd));
  const Word distance = a.data >= b.data ? static_cast<Word>(a.data) - static_cast<Word>(b.data)
                                         : static_cast<Word>(b.data) - static_cast<Word>(a.data);
  // Only zero strides on both sides: each view is one element, and the
  // ranges overlap, so they share memory (whatever their data pointers).
  if (g == 0) return true;
  return distance % g == 0;
}

}  // namespace rowmerge::numpy
