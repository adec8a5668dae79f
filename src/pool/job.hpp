// Jobs: units of work that live in the stack frame of the thread that made
// them.  Queues hold only `JobRef`s (two words); nothing is allocated per job.
//
// A `StackJob` runs its function once, stores the value or the exception it
// ended with, and then sets its latch.  Setting the latch is the last thing
// that touches the job: the creating thread may leave the frame right after.
#pragma once

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include "pool/unexpected_failure.hpp"

namespace rowmerge::pool {

struct JobRef {
  void* data = nullptr;
  void (*execute_fn)(void*) = nullptr;

  void execute() const { execute_fn(data); }
  friend bool operator==(const JobRef&, const JobRef&) = default;
};

// Stands in for `void` results.
struct Unit {};

template <class F>
using JobResultOf = std::conditional_t<std::is_void_v<std::invoke_result_t<F&, bool>>, Unit,
                                       std::invoke_result_t<F&, bool>>;

// Calls f(migrated), mapping a void result to Unit.
template <class F>
JobResultOf<F> call_with_migrated(F& f, bool migrated) {
  if constexpr (std::is_void_v<std::invoke_result_t<F&, bool>>) {
    f(migrated);
    return Unit{};
  } else {
    return f(migrated);
  }
}

// `Latch` provides `static void set(Latch*)`, which must not touch the latch
// after the waiting thread can observe it set.
template <class Latch, class F>
class StackJob {
 public:
  using Result = JobResultOf<F>;

  template <class... LatchArgs>
  explicit StackJob(F& func, LatchArgs&&... latch_args)
      : func_(func), latch_(std::forward<LatchArgs>(latch_args)...) {}
  StackJob(const StackJob&) = delete;
  StackJob& operator=(const StackJob&) = delete;

  JobRef as_job_ref() noexcept { return JobRef{this, &execute}; }
  Latch& latch() noexcept { return latch_; }

  // Runs the function on the thread that owns the frame, without a detour
  // through the result slot; a failure propagates directly.
  Result run_inline(bool migrated) { return call_with_migrated(func_, migrated); }

  // The stored value, or the stored failure rethrown.  Only after the latch is set.
  Result into_result() {
    if (failure_) std::rethrow_exception(failure_);
    return std::move(*value_);
  }

 private:
  // Run by whichever thread took the job from a queue: it counts as moved.
  static void execute(void* data) {
    auto* job = static_cast<StackJob*>(data);
    try {
      job->value_.emplace(call_with_migrated(job->func_, true));
    } catch (...) {
      job->failure_ = std::current_exception();  // carried to the owner by into_result()
    }
    UnexpectedFailureGuard guard;
    Latch::set(&job->latch_);
    guard.disarm();
  }

  F& func_;
  Latch latch_;
  std::optional<Result> value_;
  std::exception_ptr failure_;
};

}  // namespace rowmerge::pool
