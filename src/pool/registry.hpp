// A pool of worker threads (a Registry) and its configuration.
//
// Constructing a Registry starts its workers; `wait_until_primed` waits until
// each of them runs.  Destroying it tells its workers to stop and joins
// them; no work may be in flight then, and the destroying thread must not be
// one of them.  The pools the merge uses are leased from a PoolCache, which
// destroys a pool once it has retired and is idle (see pool_cache.hpp).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>

#include "pool/build_error.hpp"
#include "pool/deque.hpp"
#include "pool/injector.hpp"
#include "pool/job.hpp"
#include "pool/latch.hpp"
#include "pool/sleep.hpp"
#include "pool/spawn.hpp"
#include "pool/worker_thread.hpp"

namespace rowmerge::pool {

// Starts one joinable worker thread, `entry(arg)`, and stores its handle in
// `thread`.  `index` is the worker's index (tests use it to fail part-way).
using SpawnFn = std::optional<IoError> (*)(std::size_t index, ThreadEntry entry, void* arg, pthread_t& thread);

std::optional<IoError> default_spawn(std::size_t index, ThreadEntry entry, void* arg, pthread_t& thread);

struct ThreadPoolBuilder {
  std::uint32_t num_threads = 0;  // 0: chosen by process_num_threads; capped at 255
  SpawnFn spawn = &default_spawn;
};

struct ThreadInfo {
  LockLatch primed;
  CoreLatch terminate;
  JobDeque deque;
};

class Registry {
 public:
  // Throws ThreadPoolBuildError (kind IOError) when a worker cannot be
  // started; the workers already started have then been stopped.
  explicit Registry(const ThreadPoolBuilder& builder);
  ~Registry();
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  std::uint32_t num_threads() const noexcept { return num_threads_; }
  void wait_until_primed();

  ThreadInfo& thread_info(std::size_t index) noexcept { return infos_[index]; }
  Sleep& sleep() noexcept { return sleep_; }
  Injector& injector() noexcept { return injector_; }

  // Hands a job from outside to the pool.
  void inject(JobRef job);

  // Runs op(worker, injected) on a worker of this pool: directly when the
  // calling thread is one, otherwise as an injected job while the calling
  // thread blocks (it runs nothing else meanwhile).  Rethrows op's failure.
  template <class Op>
  auto in_worker(Op&& op);

 private:
  struct StartArgs {
    Registry* registry;
    std::size_t index;
  };
  static void* worker_entry(void* arg);
  void terminate_and_join(std::size_t started);

  std::uint32_t num_threads_;
  std::unique_ptr<ThreadInfo[]> infos_;
  std::unique_ptr<StartArgs[]> start_args_;
  std::unique_ptr<pthread_t[]> threads_;
  Injector injector_;
  Sleep sleep_;
};

// The calling thread's own latch for waiting on work it injected; reset
// after each wait.
LockLatch& thread_lock_latch();

// How long a thread outside the pool watches for its injected work to come
// back before it blocks: about the time a small for-each takes on awake
// workers, and short against any work worth handing to a pool.
inline constexpr std::chrono::microseconds kOutsideSpin{50};

template <class Op>
auto Registry::in_worker(Op&& op) {
  if (WorkerThread* worker = WorkerThread::current(); worker != nullptr && &worker->registry() == this) {
    return op(*worker, false);
  }
  auto run = [&](bool injected) { return op(*WorkerThread::current(), injected); };
  LockLatch& latch = thread_lock_latch();
  StackJob<LockLatch::Ref, decltype(run)> job(run, LockLatch::Ref{&latch});
  inject(job.as_job_ref());
  latch.spin_wait_and_reset(kOutsideSpin);
  if constexpr (std::is_void_v<decltype(op(std::declval<WorkerThread&>(), true))>) {
    job.into_result();
  } else {
    return job.into_result();
  }
}

}  // namespace rowmerge::pool
