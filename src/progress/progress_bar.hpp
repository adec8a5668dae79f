// The progress bar drawn on standard error while a merge runs.
//
// Any thread may call `inc` at any time.  Its common path is one atomic add,
// one clock reading and a few atomic loads: the tick gate lets through at
// most bursts of 10 and then one increment per millisecond to the state
// lock, where the tick count and the rate estimate are updated and a frame
// may be drawn, at most in bursts of 20 and then one per 50 ms.
//
// Whether the bar is visible is decided once, at creation: only when
// standard error is a colour-capable terminal.  A hidden bar keeps counting
// but never formats or writes anything.
//
// Lock order: the caller's own locks, then the ticker slot (taken and
// released alone), then the state lock, then the terminal's buffer lock.
// The state lock is held for a whole tick, so frames never interleave.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/poison_mutex.hpp"
#include "progress/draw_target.hpp"
#include "progress/progress_state.hpp"
#include "progress/shared_position.hpp"
#include "progress/style.hpp"
#include "progress/terminal.hpp"
#include "progress/time.hpp"

namespace rowmerge::progress {

class ProgressBar {
 public:
  static constexpr std::uint8_t kRefreshRate = 20;  // frames per second
  static constexpr std::size_t kTabWidth = 8;

  // A bar of `len` steps on standard error, timed by the monotonic clock.
  explicit ProgressBar(std::uint64_t len);
  // The same on the given seams, which must outlive the bar.
  ProgressBar(std::uint64_t len, const Clock& clock, Terminal& terminal);

  // Release.  A bar that was not finished finishes with clearing its frame,
  // unless this thread is unwinding from an exception: then the last frame
  // stays as it was.
  ~ProgressBar();

  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  void set_style(ProgressStyle style);

  // Adds `delta` to the position; may tick the bar and draw a frame.
  void inc(std::uint64_t delta);

  // Marks the bar done at its full length and draws the final frame, which
  // the redraw limiter cannot hold back.  The layout has no place for the
  // message, so it is neither shown nor kept.
  void finish_with_message(std::string_view message);

  std::uint64_t position() const noexcept { return shared_.position().load(std::memory_order_relaxed); }
  bool is_hidden() const noexcept { return target_.is_hidden(); }

 private:
  void tick_inner(Instant now);
  // A draw attempt; the caller holds the state lock.  Write errors are
  // dropped: progress output never affects the work.
  void draw(bool force, Instant now);

  const Clock& clock_;

  // The ticker slot.  This program never starts a background ticker, so the
  // slot stays empty; every tick still looks into it under its lock.
  PoisonMutex ticker_lock_;
  bool ticker_running_ = false;

  // Under state_lock_: everything below but the shared position.
  PoisonMutex state_lock_;
  ProgressDrawTarget target_;
  SharedPosition shared_;
  ProgressState state_;
  ProgressStyle style_;
};

}  // namespace rowmerge::progress
