// The parallel for-each over ids 0 .. count-1.
//
// The range is halved recursively, steered by a split budget b that starts
// at T (the pool's thread count): a piece that was moved to another thread
// resets it to max(T, b / 2) and splits; otherwise a budget of 0 stops the
// splitting and anything else is halved and splits.  Both halves of the
// first split count as moved, since they reach the pool from outside.
//
// Failures: an unsplit piece stops at its first failing id; every other
// piece still runs to its end; of several failures, the lowest id's is
// rethrown on the calling thread.  With fewer than 2 ids the calling thread
// does the work itself.
#pragma once

#include <cstdint>

#include "common/function_ref.hpp"
#include "pool/registry.hpp"

namespace rowmerge::pool {

// The split budget.
class Splitter {
 public:
  explicit Splitter(std::uint32_t num_threads) noexcept : splits_(num_threads), num_threads_(num_threads) {}

  // Whether a piece of `len` ids splits; reduces the budget when it does.
  bool try_split(std::uint64_t len, bool moved) noexcept {
    if (len < 2) return false;
    if (moved) {
      splits_ = splits_ / 2 > num_threads_ ? splits_ / 2 : num_threads_;
      return true;
    }
    if (splits_ == 0) return false;
    splits_ /= 2;
    return true;
  }

  std::uint32_t budget() const noexcept { return splits_; }

 private:
  std::uint32_t splits_;
  std::uint32_t num_threads_;
};

void for_each_id(Registry& registry, std::uint64_t count, FunctionRef<void(std::uint64_t)> work);

}  // namespace rowmerge::pool
