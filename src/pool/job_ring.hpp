// A growable ring of JobRefs, unsynchronised.  The worker deque and the entry
// queue wrap it under their own mutex.  Storage doubles only when full, so a
// steady state of forks and joins allocates nothing.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>

#include "pool/job.hpp"

namespace rowmerge::pool {

class JobRing {
 public:
  explicit JobRing(std::size_t initial_capacity = 64)
      : slots_(std::make_unique<JobRef[]>(initial_capacity)), capacity_(initial_capacity) {}

  bool empty() const noexcept { return size_ == 0; }
  std::size_t size() const noexcept { return size_; }

  // May throw std::bad_alloc when growing; the ring is unchanged then.
  void push_back(JobRef job) {
    if (size_ == capacity_) grow();
    slots_[(head_ + size_) % capacity_] = job;
    ++size_;
  }

  std::optional<JobRef> pop_back() noexcept {
    if (size_ == 0) return std::nullopt;
    --size_;
    return slots_[(head_ + size_) % capacity_];
  }

  std::optional<JobRef> pop_front() noexcept {
    if (size_ == 0) return std::nullopt;
    const JobRef job = slots_[head_];
    head_ = (head_ + 1) % capacity_;
    --size_;
    return job;
  }

 private:
  void grow() {
    const std::size_t capacity = capacity_ * 2;
    auto slots = std::make_unique<JobRef[]>(capacity);
    for (std::size_t i = 0; i < size_; ++i) slots[i] = slots_[(head_ + i) % capacity_];
    slots_ = std::move(slots);
    capacity_ = capacity;
    head_ = 0;
  }

  std::unique_ptr<JobRef[]> slots_;
  std::size_t capacity_;
  std::size_t head_ = 0;
  std::size_t size_ = 0;
};

}  // namespace rowmerge::pool
