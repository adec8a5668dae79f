#include "progress/estimator.hpp"

#include <cmath>

namespace rowmerge::progress {

double estimator_weight(double age_secs) noexcept { return std::pow(0.1, age_secs / 15.0); }

void StepRateEstimator::reset(std::uint64_t steps, Instant now) noexcept {
  smoothed_ = 0.0;
  double_smoothed_ = 0.0;
  prev_steps_ = steps;
  prev_time_ = now;
  start_time_ = now;
}

void StepRateEstimator::record(std::uint64_t steps, Instant now) noexcept {
  if (steps < prev_steps_) {
    reset(steps, now);
    return;
  }
  if (steps == prev_steps_ || now <= prev_time_) return;
  const double dt = duration_between(prev_time_, now).as_secs_f64();
  const double w = estimator_weight(dt);
  const double r = static_cast<double>(steps - prev_steps_) / dt;
  smoothed_ = r * (1.0 - w) + smoothed_ * w;
  const double norm = 1.0 - estimator_weight(duration_between(start_time_, now).as_secs_f64());
  double_smoothed_ = (1.0 - w) * (smoothed_ / norm) + w * double_smoothed_;
  prev_steps_ = steps;
  prev_time_ = now;
}

double StepRateEstimator::rate(Instant now) const noexcept {
  const double w = estimator_weight(duration_between(prev_time_, now).as_secs_f64());
  const double norm = 1.0 - estimator_weight(duration_between(start_time_, now).as_secs_f64());
  const double s = w * smoothed_ / norm;
  const double d = w * double_smoothed_ + (1.0 - w) * s;
  return d / norm;
}

Duration remaining_time(std::optional<std::uint64_t> length, std::uint64_t position, double rate) noexcept {
  if (!length || rate == 0.0) return Duration{};
  const std::uint64_t left = *length > position ? *length - position : 0;
  return duration_from_secs_f64(static_cast<double>(left) / rate);
}

}  // namespace rowmerge::progress
