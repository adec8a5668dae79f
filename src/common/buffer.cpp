#include "common/buffer.hpp"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <new>

namespace rowmerge {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
// Below this the alignment padding would cost more than the faults saved.
constexpr std::size_t kHugeThreshold = std::size_t{8} << 20;

}  // namespace

double* allocate_doubles(std::size_t count) {
  if (count == 0) return nullptr;
  if (count > SIZE_MAX / sizeof(double)) throw std::bad_array_new_length();
  const std::size_t bytes = count * sizeof(double);
  void* p = nullptr;
  if (bytes >= kHugeThreshold) {
    const std::size_t rounded = (bytes + kHugePage - 1) & ~(kHugePage - 1);
    p = std::aligned_alloc(kHugePage, rounded);
    // Huge pages for the whole ones only: a huge page over the end would make
    // the last, partly used one resident whole, up to 2 MiB beyond `bytes`.
    const std::size_t whole = bytes & ~(kHugePage - 1);
    if (p != nullptr) {
      (void)::madvise(p, whole, MADV_HUGEPAGE);  // advice only
      if (whole != rounded) (void)::madvise(static_cast<char*>(p) + whole, rounded - whole, MADV_NOHUGEPAGE);
    }
  } else {
    p = std::malloc(bytes);
  }
  if (p == nullptr) throw std::bad_alloc();
  return static_cast<double*>(p);
}

void free_doubles(double* data) noexcept { std::free(data); }

}  // namespace rowmerge
