// The shared entry queue: first in, first out, for work handed to the pool by
// threads outside it.  It is a job deque used from one end only: pushes go
// on the newest end and workers take the oldest job, so its idle check is the
// same lock-free length read.
#pragma once

#include <optional>

#include "pool/deque.hpp"

namespace rowmerge::pool {

class Injector {
 public:
  // Returns whether the queue was empty before; may throw std::bad_alloc
  // (nothing was pushed then).
  bool push(JobRef job) { return queue_.push(job); }

  // The oldest job.
  std::optional<JobRef> pop() { return queue_.steal(); }

  bool empty() const noexcept { return queue_.empty(); }

 private:
  JobDeque queue_;
};

}  // namespace rowmerge::pool
