#include "pool/registry.hpp"

#include <algorithm>

#include "pool/thread_count.hpp"
#include "pool/unexpected_failure.hpp"

namespace rowmerge::pool {

std::optional<IoError> default_spawn(std::size_t, ThreadEntry entry, void* arg, pthread_t& thread) {
  return spawn_thread(entry, arg, thread);
}

LockLatch& thread_lock_latch() {
  thread_local LockLatch LOCK_LATCH;
  return LOCK_LATCH;
}

Registry::Registry(const ThreadPoolBuilder& builder)
    : num_threads_(std::min(process_num_threads(builder.num_threads), THREADS_MAX)),
      infos_(std::make_unique<ThreadInfo[]>(num_threads_)),
      start_args_(std::make_unique<StartArgs[]>(num_threads_)),
      threads_(std::make_unique<pthread_t[]>(num_threads_)),
      sleep_(num_threads_) {
  for (std::size_t i = 0; i < num_threads_; ++i) {
    start_args_[i] = StartArgs{this, i};
    if (const auto error = builder.spawn(i, &Registry::worker_entry, &start_args_[i], threads_[i])) {
      terminate_and_join(i);
      throw ThreadPoolBuildError(*error);
    }
  }
}

Registry::~Registry() { terminate_and_join(num_threads_); }

void* Registry::worker_entry(void* arg) {
  const StartArgs& start = *static_cast<StartArgs*>(arg);
  WorkerThread::main_loop(*start.registry, start.index);
  return nullptr;
}

void Registry::terminate_and_join(std::size_t started) {
  for (std::size_t i = 0; i < started; ++i) {
    if (infos_[i].terminate.set()) sleep_.notify_worker_latch_is_set(i);
  }
  // Once joined, a worker has left main_loop and its thread is gone, stack
  // and all: nothing of it touches this Registry any more.
  for (std::size_t i = 0; i < started; ++i) {
    if (pthread_join(threads_[i], nullptr) != 0) abort_on_unexpected_failure();
  }
}

void Registry::wait_until_primed() {
  for (std::size_t i = 0; i < num_threads_; ++i) infos_[i].primed.wait();
}

void Registry::inject(JobRef job) {
  const bool was_empty = injector_.push(job);
  sleep_.new_jobs(was_empty);
}

}  // namespace rowmerge::pool
