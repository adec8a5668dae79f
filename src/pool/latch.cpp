#include "pool/latch.hpp"

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
  std::lock_guard lock(mutex_);
  is_set_ = true;
  cv_.notify_all();
}

void LockLatch::wait() {
  std::unique_lock lock(mutex_);
  cv_.wait(lock, [this] { return is_set_; });
}

void LockLatch::wait_and_reset() {
  std::unique_lock lock(mutex_);
  cv_.wait(lock, [this] { return is_set_; });
  is_set_ = false;
}

}  // namespace rowmerge::pool
