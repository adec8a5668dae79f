// XorShift64*: the cheap generator workers use to pick whom to steal from.
#pragma once

#include <atomic>
#include <cstdint>

namespace rowmerge::pool {

class XorShift64Star {
 public:
  // Each generator starts from its own nonzero seed: a hash of a
  // process-wide counter.
  XorShift64Star() noexcept {
    static std::atomic<std::uint64_t> SEED_COUNTER{0};
    std::uint64_t seed = 0;
    for (std::uint64_t n = SEED_COUNTER.fetch_add(1, std::memory_order_relaxed); seed == 0; ++n) seed = mix(n);
    state_ = seed;
  }

  std::uint64_t next() noexcept {
    std::uint64_t x = state_;
    x ^= x >> 12;
    x ^= x << 25;
    x ^= x >> 27;
    state_ = x;
    return x * 0x2545F4914F6CDD1DULL;
  }

  std::size_t next_below(std::size_t n) noexcept { return static_cast<std::size_t>(next() % n); }

 private:
  // A 64-bit finaliser: spreads consecutive counters over the whole range.
  static std::uint64_t mix(std::uint64_t z) noexcept {
    z += 0x9E3779B97F4A7C15ULL;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }

  std::uint64_t state_;
};

}  // namespace rowmerge::pool
