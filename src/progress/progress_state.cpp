#include "progress/progress_state.hpp"

#include <limits>

namespace rowmerge::progress {

void ProgressState::tick_at(Instant now) noexcept {
  if (tick_ != std::numeric_limits<std::uint64_t>::max()) ++tick_;
  estimator_.record(position(), now);
}

Duration ProgressState::eta(Instant now) const noexcept {
  if (is_finished() || !length_) return Duration{};
  return remaining_time(length_, position(), estimator_.rate(now));
}

}  // namespace rowmerge::progress
