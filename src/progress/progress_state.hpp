// The numbers of a progress bar that live under its state lock.
#pragma once

#include <cstdint>
#include <optional>

#include "progress/estimator.hpp"
#include "progress/shared_position.hpp"
#include "progress/time.hpp"

namespace rowmerge::progress {

enum class Status : std::uint8_t {
  kInProgress,
  kDoneVisible,  // finished; the final frame stays on the screen
  kDoneHidden,   // released unfinished; the frame is cleared
};

class ProgressState {
 public:
  ProgressState(const SharedPosition& position, std::optional<std::uint64_t> length, Instant now) noexcept
      : length_(length), started_(now), estimator_(now), position_(position) {}

  std::optional<std::uint64_t> length() const noexcept { return length_; }
  std::uint64_t tick() const noexcept { return tick_; }
  Instant started() const noexcept { return started_; }
  Status status() const noexcept { return status_; }
  bool is_finished() const noexcept { return status_ != Status::kInProgress; }
  std::uint64_t position() const noexcept { return position_.position().load(std::memory_order_relaxed); }

  // One more tick (saturating), feeding the estimator the position at `now`.
  void tick_at(Instant now) noexcept;

  // Ends the bar with `status`; there is no way back.
  void finish(Status status) noexcept { status_ = status; }

  // The remaining time at `now`: zero once finished, without a length, or
  // without an estimate yet.
  Duration eta(Instant now) const noexcept;

 private:
  std::optional<std::uint64_t> length_;
  std::uint64_t tick_ = 0;
  Instant started_;
  Status status_ = Status::kInProgress;
  StepRateEstimator estimator_;
  const SharedPosition& position_;
};

}  // namespace rowmerge::progress
