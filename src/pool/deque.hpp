// A worker's own job queue.  The owner pushes and pops the newest job; other
// workers steal the oldest.  Every operation that changes the queue holds a
// short mutex; an atomic copy of the length lets thieves pass over empty
// queues without touching the mutex.
//
// Why a thief that skips a queue by its length never misses a job it must
// see: the length is written under the mutex before the pusher announces the
// job on the sleep counter word, and a thief only decides to sleep after a
// read-modify-write of that same word (see README.md).
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <optional>

#include "pool/job_ring.hpp"

namespace rowmerge::pool {

class JobDeque {
 public:
  // Owner side.  Returns whether the deque was empty before; may throw
  // std::bad_alloc (nothing was pushed then).
  bool push(JobRef job) {
    std::lock_guard lock(mutex_);
    const bool was_empty = ring_.empty();
    ring_.push_back(job);
    length_.store(ring_.size(), std::memory_order_release);
    return was_empty;
  }

  std::optional<JobRef> pop() { return take(&JobRing::pop_back); }

  // Thief side: the oldest job.
  std::optional<JobRef> steal() { return take(&JobRing::pop_front); }

  bool empty() const noexcept { return length_.load(std::memory_order_acquire) == 0; }

 private:
  // A job from one end of the ring, after a lock-free look at the length.
  std::optional<JobRef> take(std::optional<JobRef> (JobRing::*end)() noexcept) {
    if (empty()) return std::nullopt;
    std::lock_guard lock(mutex_);
    auto job = (ring_.*end)();
    length_.store(ring_.size(), std::memory_order_release);
    return job;
  }

  std::mutex mutex_;
  JobRing ring_;
  std::atomic<std::size_t> length_{0};
};

}  // namespace rowmerge::pool
