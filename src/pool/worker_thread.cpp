#include "pool/worker_thread.hpp"

#include "pool/registry.hpp"
#include "pool/unexpected_failure.hpp"

namespace rowmerge::pool {
namespace {

thread_local WorkerThread* WORKER_THREAD_STATE = nullptr;

}  // namespace

WorkerThread::WorkerThread(Registry& registry, std::size_t index) : registry_(registry), index_(index) {
  WORKER_THREAD_STATE = this;
}

WorkerThread::~WorkerThread() { WORKER_THREAD_STATE = nullptr; }

WorkerThread* WorkerThread::current() noexcept { return WORKER_THREAD_STATE; }

void WorkerThread::push(JobRef job) {
  const bool was_empty = registry_.thread_info(index_).deque.push(job);
  registry_.sleep().new_jobs(was_empty);
}

std::optional<JobRef> WorkerThread::take_local_job() { return registry_.thread_info(index_).deque.pop(); }

std::optional<JobRef> WorkerThread::steal() {
  // The oldest job of another worker, trying them in index order from a
  // pseudo-random start.  Queue operations block briefly rather than fail,
  // so a pass that found nothing means every queue was empty.
  const std::size_t n = registry_.num_threads();
  if (n <= 1) return std::nullopt;
  const std::size_t start = rng_.next_below(n);
  for (std::size_t k = 0; k < n; ++k) {
    const std::size_t victim = (start + k) % n;
    if (victim == index_) continue;
    if (auto job = registry_.thread_info(victim).deque.steal()) return job;
  }
  return std::nullopt;
}

std::optional<JobRef> WorkerThread::find_work() {
  if (auto job = take_local_job()) return job;
  if (auto job = steal()) return job;
  return registry_.injector().pop();
}

void WorkerThread::wait_until_cold(CoreLatch& latch) {
  // Jobs catch their own failures; anything escaping here is the pool's own.
  UnexpectedFailureGuard guard;
  Sleep& sleep = registry_.sleep();
  const auto has_injected = [this] { return !registry_.injector().empty(); };
  while (!latch.probe()) {
    // Local work first, before counting ourselves idle.
    if (const auto job = take_local_job()) {
      job->execute();
      continue;
    }
    IdleState idle = sleep.start_looking(index_);
    bool found = false;
    while (!latch.probe()) {
      if (const auto job = find_work()) {
        sleep.work_found();
        job->execute();
        found = true;
        break;
      }
      sleep.no_work_found(idle, latch, has_injected);
    }
    if (!found) {
      sleep.work_found();
      break;
    }
  }
  guard.disarm();
}

void WorkerThread::main_loop(Registry& registry, std::size_t index) {
  UnexpectedFailureGuard guard;
  ThreadInfo& info = registry.thread_info(index);
  {
    WorkerThread self(registry, index);
    info.primed.set();
    self.wait_until(info.terminate);
  }
  // Nothing below touches the registry: its owner frees it once it has
  // joined this thread.
  guard.disarm();
}

}  // namespace rowmerge::pool
