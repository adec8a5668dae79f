// Which memory an array view covers, for the borrow registry.
//
// Two arrays with the same base may share memory.  A key records the byte
// range a view spans, its data pointer and the greatest common divisor of
// its byte strides; `conflicts` says whether two views of one base may
// touch a common element.  It is cautious: it may report a conflict where
// the views share nothing, never the reverse.  Pure arithmetic, no Python.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>

namespace rowmerge::numpy {

struct BorrowKey {
  std::intptr_t start = 0;  // lowest byte address covered
  std::intptr_t end = 0;    // one past the highest byte covered
  std::intptr_t data = 0;   // the view's data pointer
  std::intptr_t gcd = 0;    // gcd of the byte strides (see borrow_key)

  friend auto operator<=>(const BorrowKey&, const BorrowKey&) = default;
};

// Binary (Stein's) greatest common divisor of |a| and |b|; gcd(0, x) = |x|.
std::intptr_t stein_gcd(std::intptr_t a, std::intptr_t b) noexcept;

// The key of a view with `nd` dimensions of `dims` elements and `strides`
// bytes, whose elements are `item_size` bytes.  With one dimension the gcd
// is the stride itself (it may be negative or 0).
BorrowKey borrow_key(std::intptr_t data, int nd, const std::intptr_t* dims, const std::intptr_t* strides,
                     std::intptr_t item_size) noexcept;

// Whether two views of the same base may share an element.  When both
// views have only zero strides (broadcasts, gcd 0) each covers one element,
// so overlapping ranges mean shared memory.
bool conflicts(const BorrowKey& a, const BorrowKey& b) noexcept;

}  // namespace rowmerge::numpy
