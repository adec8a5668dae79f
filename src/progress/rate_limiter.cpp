#include "progress/rate_limiter.hpp"

#include <algorithm>

namespace rowmerge::progress {

bool RateLimiter::allow(Instant now) noexcept {
  if (now < prev_) return false;
  const std::uint64_t elapsed = nanos_between(prev_, now);
  const std::uint64_t interval_ns = std::uint64_t{interval_ms_} * 1'000'000;
  if (capacity_ == 0 && elapsed < interval_ns) return false;
  // Whole intervals earn tokens; the rest of the last one is carried by
  // moving the reference point back.
  const std::uint64_t earned = (elapsed / 1'000'000) / interval_ms_;
  const std::uint64_t rest = elapsed % interval_ns;
  capacity_ = static_cast<std::uint8_t>(std::min<std::uint64_t>(capacity_ + earned - 1, kCapacity));
  prev_ = now - std::chrono::nanoseconds(rest);
  return true;
}

}  // namespace rowmerge::progress
