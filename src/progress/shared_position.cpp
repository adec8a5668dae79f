#include "progress/shared_position.hpp"

#include <algorithm>

namespace rowmerge::progress {

bool SharedPosition::allow_tick(Instant now) noexcept {
  if (now < start_) return false;
  constexpr std::uint64_t kMilli = 1'000'000;
  const std::uint64_t elapsed = nanos_between(start_, now);
  const std::uint64_t capacity = capacity_.load(std::memory_order_relaxed);
  const std::uint64_t mark = mark_ns_.load(std::memory_order_relaxed);
  const std::uint64_t diff = elapsed > mark ? elapsed - mark : 0;
  if (capacity == 0 && diff < kMilli) return false;
  const std::uint64_t earned = diff / kMilli;
  const std::uint64_t rest = diff % kMilli;
  capacity_.store(static_cast<std::uint8_t>(std::min<std::uint64_t>(capacity + earned - 1, kTickBurst)),
                  std::memory_order_relaxed);
  mark_ns_.store(elapsed - rest, std::memory_order_relaxed);
  return true;
}

}  // namespace rowmerge::progress
