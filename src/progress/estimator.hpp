// The rate estimate behind the remaining time.
//
// An exponentially weighted average of steps per second, in which data 15 s
// old keeps a tenth of its weight, smoothed a second time and corrected for
// the bias of starting from zero.  The time since the last record counts as a
// stretch without progress, so a stalled bar's estimate decays.
#pragma once

#include <cstdint>
#include <optional>

#include "progress/time.hpp"

namespace rowmerge::progress {

class StepRateEstimator {
 public:
  explicit StepRateEstimator(Instant now) noexcept : prev_time_(now), start_time_(now) {}

  // Feeds the step count seen at `now`.  Counts that did not grow, or a clock
  // that did not move forward, change nothing; a count that went back
  // restarts the estimate.
  void record(std::uint64_t steps, Instant now) noexcept;

  // Steps per second at `now`; 0 before anything is recorded, and possibly
  // not finite right at the start.
  double rate(Instant now) const noexcept;

 private:
  void reset(std::uint64_t steps, Instant now) noexcept;

  double smoothed_ = 0.0;
  double double_smoothed_ = 0.0;
  std::uint64_t prev_steps_ = 0;
  Instant prev_time_;
  Instant start_time_;
};

// The weight that data `age_secs` old keeps: 0.1 raised to age / 15.
double estimator_weight(double age_secs) noexcept;

// The remaining time of `length - position` steps at `rate`: zero without a
// length, at a rate of 0 and for a rate that is not finite.
Duration remaining_time(std::optional<std::uint64_t> length, std::uint64_t position, double rate) noexcept;

}  // namespace rowmerge::progress
