// The state of one worker, on its own thread, and how it finds work.
#pragma once

#include <cstddef>
#include <optional>

#include "pool/job.hpp"
#include "pool/latch.hpp"
#include "pool/xorshift.hpp"

namespace rowmerge::pool {

class Registry;

class WorkerThread {
 public:
  // Registers itself as the calling thread's worker state; a thread belongs
  // to one pool only.
  WorkerThread(Registry& registry, std::size_t index);
  ~WorkerThread();
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  // The calling thread's worker state, or nullptr outside every pool.
  static WorkerThread* current() noexcept;

  Registry& registry() const noexcept { return registry_; }
  std::size_t index() const noexcept { return index_; }

  // Pushes on the own queue and announces it.  May throw std::bad_alloc
  // before anything is pushed.
  void push(JobRef job);
  // The newest job of the own queue.
  std::optional<JobRef> take_local_job();

  // Runs other work until `latch` is set.
  void wait_until(CoreLatch& latch) {
    if (!latch.probe()) wait_until_cold(latch);
  }
  void wait_until_cold(CoreLatch& latch);

  // The worker's whole life after start-up: work until told to terminate.
  static void main_loop(Registry& registry, std::size_t index);

 private:
  std::optional<JobRef> find_work();
  std::optional<JobRef> steal();

  Registry& registry_;
  std::size_t index_;
  XorShift64Star rng_;
};

}  // namespace rowmerge::pool
