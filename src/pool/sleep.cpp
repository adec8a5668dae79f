#include "pool/sleep.hpp"

#include <sched.h>

#include <algorithm>

namespace rowmerge::pool {

Sleep::Sleep(std::size_t num_workers)
    : num_workers_(num_workers), states_(std::make_unique<WorkerSleepState[]>(num_workers)) {}

IdleState Sleep::start_looking(std::size_t worker_index) noexcept {
  counters_.fetch_add(SleepCounters::kOneInactive, std::memory_order_seq_cst);
  return IdleState{worker_index, 0, IdleState::kNoJec, std::chrono::steady_clock::now() + kIdleSpin};
}

void Sleep::work_found() {
  const SleepCounters old{counters_.fetch_sub(SleepCounters::kOneInactive, std::memory_order_seq_cst)};
  const std::uint32_t to_wake = std::min<std::uint32_t>(old.sleeping(), 2);
  if (to_wake > 0) wake_any_threads(to_wake);
}

void Sleep::no_work_found(IdleState& idle, CoreLatch& latch, FunctionRef<bool()> has_injected_jobs) {
  if (idle.rounds < kRoundsUntilSleepy) {
    sched_yield();
    ++idle.rounds;
  } else if (idle.rounds == kRoundsUntilSleepy && std::chrono::steady_clock::now() < idle.spin_until) {
    sched_yield();  // searching on for the rest of the idle spin
  } else if (idle.rounds == kRoundsUntilSleepy) {
    idle.jobs_counter = announce_sleepy();
    ++idle.rounds;
    sched_yield();
  } else {
    sleep(idle, latch, has_injected_jobs);
  }
}

std::uint32_t Sleep::announce_sleepy() noexcept {
  SleepCounters c{counters_.load(std::memory_order_seq_cst)};
  for (;;) {
    if (c.jec_is_sleepy()) return c.jobs_counter();
    const std::uint32_t next = c.word + SleepCounters::kOneJec;  // wraps within the top 16 bits
    if (counters_.compare_exchange_weak(c.word, next, std::memory_order_seq_cst, std::memory_order_seq_cst)) {
      return SleepCounters{next}.jobs_counter();
    }
  }
}

SleepCounters Sleep::increment_jec_if_sleepy() noexcept {
  SleepCounters c{counters_.load(std::memory_order_seq_cst)};
  for (;;) {
    if (!c.jec_is_sleepy()) return c;
    const std::uint32_t next = c.word + SleepCounters::kOneJec;
    if (counters_.compare_exchange_weak(c.word, next, std::memory_order_seq_cst, std::memory_order_seq_cst)) {
      return SleepCounters{next};
    }
  }
}

void Sleep::sleep(IdleState& idle, CoreLatch& latch, FunctionRef<bool()> has_injected_jobs) {
  if (!latch.get_sleepy()) return;  // set meanwhile
  WorkerSleepState& state = states_[idle.worker_index];
  std::unique_lock lock(state.mutex);
  if (!latch.fall_asleep()) {
    idle.wake_fully();
    return;
  }
  // Count ourselves asleep, but only if no job was announced since we became
  // sleepy: an announcement changes the JEC, and then we search on instead.
  SleepCounters c{counters_.load(std::memory_order_seq_cst)};
  for (;;) {
    if (c.jobs_counter() != idle.jobs_counter) {
      idle.wake_partly();
      latch.wake_up();
      return;
    }
    if (counters_.compare_exchange_weak(c.word, c.word + SleepCounters::kOneSleeping, std::memory_order_seq_cst,
                                        std::memory_order_seq_cst)) {
      break;
    }
  }
  if (has_injected_jobs()) {
    // Work from outside arrived; do not block on it.
    counters_.fetch_sub(SleepCounters::kOneSleeping, std::memory_order_seq_cst);
  } else {
    state.is_blocked = true;
    state.cv.wait(lock, [&] { return !state.is_blocked; });  // the waker uncounts us
  }
  idle.wake_fully();
  latch.wake_up();
}

void Sleep::new_jobs(bool queue_was_empty) {
  const SleepCounters c = increment_jec_if_sleepy();
  const std::uint32_t sleepers = c.sleeping();
  if (sleepers == 0) return;
  const std::uint32_t awake_but_idle = c.inactive() - sleepers;
  if (!queue_was_empty || awake_but_idle == 0) wake_any_threads(1);
}

void Sleep::notify_worker_latch_is_set(std::size_t target) { wake_specific_thread(target); }

void Sleep::wake_any_threads(std::uint32_t count) {
  for (std::size_t i = 0; i < num_workers_ && count > 0; ++i) {
    if (wake_specific_thread(i)) --count;
  }
}

bool Sleep::wake_specific_thread(std::size_t index) {
  WorkerSleepState& state = states_[index];
  std::lock_guard lock(state.mutex);
  if (!state.is_blocked) return false;
  state.is_blocked = false;
  state.cv.notify_one();
  counters_.fetch_sub(SleepCounters::kOneSleeping, std::memory_order_seq_cst);
  return true;
}

}  // namespace rowmerge::pool
