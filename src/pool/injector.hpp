// The shared entry queue: first in, first out, for work handed to the pool by
// threads outside it.  Like the worker deques it keeps an atomic copy of its
// length so that idle workers can look at it without taking the mutex.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <optional>

#include "pool/job_ring.hpp"

namespace rowmerge::pool {

class Injector {
 public:
  // Returns whether the queue was empty before; may throw std::bad_alloc
  // (nothing was pushed then).
  bool push(JobRef job) {
    std::lock_guard lock(mutex_);
    const bool was_empty = ring_.empty();
    ring_.push_back(job);
    length_.store(ring_.size(), std::memory_order_release);
    return was_empty;
  }

  std::optional<JobRef> pop() {
    if (empty()) return std::nullopt;
    std::lock_guard lock(mutex_);
    auto job = ring_.pop_front();
    length_.store(ring_.size(), std::memory_order_release);
    return job;
  }

  bool empty() const noexcept { return length_.load(std::memory_order_acquire) == 0; }

 private:
  std::mutex mutex_;
  JobRing ring_;
  std::atomic<std::size_t> length_{0};
};

}  // namespace rowmerge::pool
