// A failure in the pool's own bookkeeping (outside the work of any job) has
// nowhere to go: the thread writes a fixed line to standard error and ends
// the process.  Guards sit around such bookkeeping.
#pragma once

#include <exception>

namespace rowmerge::pool {

// Writes "Rayon: detected unexpected panic; aborting\n" and aborts.
[[noreturn]] void abort_on_unexpected_failure() noexcept;

// Aborts the process if destroyed while an exception leaves its scope.
class UnexpectedFailureGuard {
 public:
  UnexpectedFailureGuard() noexcept : unwinding_at_entry_(std::uncaught_exceptions()) {}
  UnexpectedFailureGuard(const UnexpectedFailureGuard&) = delete;
  UnexpectedFailureGuard& operator=(const UnexpectedFailureGuard&) = delete;
  ~UnexpectedFailureGuard() {
    if (armed_ && std::uncaught_exceptions() > unwinding_at_entry_) abort_on_unexpected_failure();
  }
  void disarm() noexcept { armed_ = false; }

 private:
  int unwinding_at_entry_;
  bool armed_ = true;
};

}  // namespace rowmerge::pool
