// The redraw limiter: a token bucket that lets frames through in bursts of
// up to 20 and refills one token per interval (50 ms at 20 frames a second),
// carrying the part of an interval not yet used.  Used under the bar's state
// lock only.
#pragma once

#include <cstdint>

#include "progress/time.hpp"

namespace rowmerge::progress {

class RateLimiter {
 public:
  static constexpr std::uint8_t kCapacity = 20;

  // `per_second` frames a second after the burst; the interval is
  // 1000 / per_second whole milliseconds.
  RateLimiter(std::uint8_t per_second, Instant now) noexcept
      : interval_ms_(static_cast<std::uint16_t>(1000 / per_second)), prev_(now) {}

  // Whether a frame may be drawn at `now`; takes a token if so.  A clock
  // reading before the last refill is refused.
  bool allow(Instant now) noexcept;

 private:
  std::uint16_t interval_ms_;
  std::uint8_t capacity_ = kCapacity;
  Instant prev_;
};

}  // namespace rowmerge::progress
