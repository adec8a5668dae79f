// Instants and spans of time for the progress bar.
//
// An `Instant` is a monotonic clock reading.  A `Duration` is a span of whole
// seconds plus nanoseconds; unlike a 64-bit nanosecond count it can hold the
// very long remaining times a stalled bar may estimate.
#pragma once

#include <chrono>
#include <cstdint>

namespace rowmerge::progress {

using Instant = std::chrono::steady_clock::time_point;

struct Duration {
  std::uint64_t secs = 0;
  std::uint32_t nanos = 0;  // below 1 000 000 000

  // Whole seconds plus nanoseconds / 1e9, in float64.
  double as_secs_f64() const noexcept;
  friend bool operator==(const Duration&, const Duration&) = default;
};

inline constexpr std::uint32_t kNanosPerSecond = 1'000'000'000;

// The span from `earlier` to `later`; zero when `later` is not after `earlier`.
Duration duration_between(Instant earlier, Instant later) noexcept;

// Nanoseconds from `earlier` to `later`; zero when `later` is not after `earlier`.
std::uint64_t nanos_between(Instant earlier, Instant later) noexcept;

// Seconds in float64 to a Duration: negative and NaN give zero, values beyond
// the largest second count saturate, and the fraction is truncated to whole
// nanoseconds (a rounding up to a full second carries).
Duration duration_from_secs_f64(double seconds) noexcept;

// The monotonic clock, behind a seam so that tests can drive time by hand.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual Instant now() const noexcept = 0;
};

// The process's monotonic clock.
const Clock& monotonic_clock() noexcept;

}  // namespace rowmerge::progress
