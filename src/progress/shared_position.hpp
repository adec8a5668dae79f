// The lock-free part of a progress bar: the position every increment adds
// to, and the tick gate that decides, without a lock, whether an increment
// goes on to tick the bar.
//
// The gate lets ticks through in bursts of up to 10 and then one per whole
// millisecond, carrying the part of a millisecond not yet used.  Capacity and
// mark are plain atomic loads and stores, not a compare-and-swap: callers
// racing through at the same moment may all tick and the last store wins.
// That only lets a few extra ticks through; the position itself is one
// atomic add and never loses a count.
#pragma once

#include <atomic>
#include <cstdint>

#include "progress/time.hpp"

namespace rowmerge::progress {

class SharedPosition {
 public:
  static constexpr std::uint8_t kTickBurst = 10;

  explicit SharedPosition(Instant start) noexcept : start_(start) {}

  std::atomic<std::uint64_t>& position() noexcept { return position_; }
  const std::atomic<std::uint64_t>& position() const noexcept { return position_; }

  void add(std::uint64_t delta) noexcept { position_.fetch_add(delta, std::memory_order_seq_cst); }

  // Whether an increment at `now` ticks the bar; takes a tick if so.
  bool allow_tick(Instant now) noexcept;

 private:
  std::atomic<std::uint64_t> position_{0};
  const Instant start_;
  // Gate state, touched only with relaxed loads and stores: it guards no
  // other data, and a lost update merely lets an extra tick through.
  std::atomic<std::uint8_t> capacity_{kTickBurst};
  std::atomic<std::uint64_t> mark_ns_{0};  // nanoseconds after start_
};

}  // namespace rowmerge::progress
