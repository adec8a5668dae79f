// Where a progress bar's frames go: nowhere (hidden), or a terminal.
//
// A terminal target builds each frame in its output buffer (under the
// buffer lock): first it erases the rows the last frame took, then it writes
// the new lines, each padded with spaces to the end of the last row it
// wraps onto.  The whole frame then reaches the descriptor in one complete
// write.  Callers hold the bar's state lock around every call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/poison_mutex.hpp"
#include "progress/rate_limiter.hpp"
#include "progress/terminal.hpp"
#include "progress/time.hpp"

namespace rowmerge::progress {

class ProgressDrawTarget {
 public:
  // A terminal target on `terminal` when it passes the colour-terminal test
  // for its descriptor, else hidden.  Decided once, here.  A terminal target
  // reads `clock` once for its redraw limiter.
  static ProgressDrawTarget for_terminal(Terminal& terminal, std::uint8_t refresh_rate, const Clock& clock);
  static ProgressDrawTarget hidden() { return ProgressDrawTarget(nullptr); }

  bool is_hidden() const noexcept { return term_ == nullptr; }

  // The redraw limiter's verdict at `now` (always false when hidden).
  bool allow(Instant now) noexcept;

  // The terminal's size, 80 x 24 when it reports none.
  TermSize size() const;

  // The colour switch of the terminal.
  bool colors() const;

  // Erases the last frame and writes `lines`.  Returns 0, or the errno of a
  // failed write, in which case the count of rows of the last frame is kept.
  // Writes nothing while the calling thread unwinds from an exception, so a
  // failure leaves the last frame on the screen.
  int write_frame(const std::vector<std::string>& lines, TermSize size);

  bool poisoned() const noexcept { return term_ && term_->buffer_lock.poisoned(); }

 private:
  struct TermTarget {
    TermTarget(Terminal& t, std::uint8_t refresh_rate, Instant now) : terminal(t), limiter(refresh_rate, now) {}
    Terminal& terminal;
    PoisonMutex buffer_lock;
    std::string buffer;  // guarded by buffer_lock
    std::size_t last_rows = 0;
    RateLimiter limiter;
  };

  explicit ProgressDrawTarget(std::unique_ptr<TermTarget> term) : term_(std::move(term)) {}

  std::unique_ptr<TermTarget> term_;
};

// Writes all of `bytes` to `fd`, retrying interrupted and partial writes.
// Returns 0 or the errno of the failure.
int write_all(int fd, const std::string& bytes) noexcept;

}  // namespace rowmerge::progress
