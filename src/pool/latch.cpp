#include "pool/latch.hpp"

#include <sched.h>

#include "pool/sleep.hpp"

namespace rowmerge::pool {

void SpinLatch::set(SpinLatch* latch) {
  // Copy what the wake-up needs first: once the state says "set", the owner
  // may leave the frame that holds the latch.
  Sleep* sleep = latch->sleep_;
  const std::size_t target = latch->target_;
  if (latch->core_.set()) sleep->notify_worker_latch_is_set(target);
}

void LockLatch::set() {
  std::uint32_t expected = kUnset;
  if (state_.compare_exchange_strong(expected, kSet, std::memory_order_acq_rel, std::memory_order_acquire)) return;
  // A waiter blocks, or is about to under the mutex: set and wake it there.
  std::lock_guard lock(mutex_);
  state_.store(kSet, std::memory_order_release);
  cv_.notify_all();
}

void LockLatch::block() {
  std::unique_lock lock(mutex_);
  std::uint32_t expected = kUnset;
  if (!state_.compare_exchange_strong(expected, kBlocked, std::memory_order_acq_rel, std::memory_order_acquire) &&
      expected == kSet) {
    return;
  }
  cv_.wait(lock, [this] { return is_set(); });
}

void LockLatch::wait() {
  if (!is_set()) block();
}

void LockLatch::wait_and_reset() {
  wait();
  state_.store(kUnset, std::memory_order_relaxed);  // the setter is done with it
}

void LockLatch::spin_wait_and_reset(std::chrono::nanoseconds spin) {
  if (!is_set()) {
    const auto until = std::chrono::steady_clock::now() + spin;
    do {
      sched_yield();
    } while (!is_set() && std::chrono::steady_clock::now() < until);
  }
  wait_and_reset();
}

}  // namespace rowmerge::pool
