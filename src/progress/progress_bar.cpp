#include "progress/progress_bar.hpp"

#include <new>
#include <string>
#include <vector>

#include "progress/format.hpp"

namespace rowmerge::progress {

ProgressBar::ProgressBar(std::uint64_t len) : ProgressBar(len, monotonic_clock(), standard_error_terminal()) {}

// The clock is read in member order: the redraw limiter, the shared
// position, the state.
ProgressBar::ProgressBar(std::uint64_t len, const Clock& clock, Terminal& terminal)
    : clock_(clock),
      target_(ProgressDrawTarget::for_terminal(terminal, kRefreshRate, clock)),
      shared_(clock.now()),
      state_(shared_, len, clock.now()),
      style_(ProgressStyle::default_bar()) {}

ProgressBar::~ProgressBar() {
  // A lock left poisoned by a failure guards numbers nobody may trust; the
  // bar then goes without a last frame rather than failing in a destructor.
  if (state_lock_.poisoned() || target_.poisoned()) return;
  try {
    PoisonGuard guard(state_lock_);
    if (state_.is_finished()) return;
    const Instant now = clock_.now();
    state_.finish(Status::kDoneHidden);
    if (const std::optional<std::uint64_t> len = state_.length()) {
      shared_.position().store(*len, std::memory_order_seq_cst);
    }
    draw(true, now);
  } catch (const std::bad_alloc&) {
    // Out of memory while clearing: the frame stays, like any failed write.
  }
}

void ProgressBar::set_style(ProgressStyle style) {
  style.set_tab_width(kTabWidth);
  PoisonGuard guard(state_lock_);
  style_ = std::move(style);
}

void ProgressBar::inc(std::uint64_t delta) {
  shared_.add(delta);
  const Instant now = clock_.now();
  if (shared_.allow_tick(now)) tick_inner(now);
}

void ProgressBar::tick_inner(Instant now) {
  {
    PoisonGuard slot(ticker_lock_);
    if (ticker_running_) return;
  }
  PoisonGuard guard(state_lock_);
  state_.tick_at(now);
  draw(false, now);
}

void ProgressBar::finish_with_message(std::string_view /*message*/) {
  PoisonGuard guard(state_lock_);
  const Instant now = clock_.now();
  state_.finish(Status::kDoneVisible);
  if (const std::optional<std::uint64_t> len = state_.length()) {
    shared_.position().store(*len, std::memory_order_seq_cst);
  }
  draw(true, now);
}

void ProgressBar::draw(bool force, Instant now) {
  force = force || state_.is_finished();
  if (target_.is_hidden()) return;
  if (!force && !target_.allow(now)) return;
  const TermSize size = target_.size();
  std::vector<std::string> lines;
  if (state_.status() != Status::kDoneHidden) {
    const LineInputs in{
        .position = shared_.position(),
        .length = state_.length(),
        .tick = state_.tick(),
        .done = state_.is_finished(),
        .elapsed = duration_between(state_.started(), clock_.now()),
        .eta = state_.eta(clock_.now()),
    };
    lines = format_state(style_, in, size.columns, target_.colors());
  }
  (void)target_.write_frame(lines, size);
}

}  // namespace rowmerge::progress
