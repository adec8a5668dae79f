#include "pool/unexpected_failure.hpp"

#include <unistd.h>

#include <cstdlib>

namespace rowmerge::pool {

void abort_on_unexpected_failure() noexcept {
  static constexpr char kText[] = "Rayon: detected unexpected panic; aborting\n";
  [[maybe_unused]] const ssize_t ignored = ::write(2, kText, sizeof(kText) - 1);
  std::abort();
}

}  // namespace rowmerge::pool
