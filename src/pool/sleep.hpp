// How idle workers go to sleep and are woken.  See README.md for the protocol
// and why no job is ever left in a queue while every worker sleeps.
//
// One atomic 32-bit word counts, in bits 0-7, the sleeping workers, in bits
// 8-15 the inactive ones (idle, awake or asleep), and in bits 16-31 holds the
// jobs event counter (JEC): odd while "active", even while "sleepy".  Each
// worker also has a blocked flag with a mutex and condition variable.  The
// two 8-bit fields are why a pool has at most 255 workers.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "common/function_ref.hpp"
#include "pool/latch.hpp"

namespace rowmerge::pool {

inline constexpr std::uint32_t THREADS_MAX = 255;

// Fruitless searches before a worker announces itself sleepy; the search
// after that one puts it to sleep.
inline constexpr std::uint32_t kRoundsUntilSleepy = 32;

// The least time a worker that ran out of work goes on searching before it
// announces itself sleepy, however fast its searches are: a caller's next
// small call, or the next job of this one, then finds it awake and needs no
// wake-up.  Short enough that workers sleep a moment after a call.
inline constexpr std::chrono::microseconds kIdleSpin{100};

// The counter word, unpacked.
struct SleepCounters {
  static constexpr std::uint32_t kOneSleeping = 1;
  static constexpr std::uint32_t kOneInactive = 1u << 8;
  static constexpr std::uint32_t kOneJec = 1u << 16;

  std::uint32_t word = 0;

  std::uint32_t sleeping() const noexcept { return word & 0xffu; }
  std::uint32_t inactive() const noexcept { return (word >> 8) & 0xffu; }
  std::uint32_t jobs_counter() const noexcept { return word >> 16; }
  bool jec_is_sleepy() const noexcept { return (jobs_counter() & 1u) == 0; }
};

// What one worker knows about its own idling.
struct IdleState {
  static constexpr std::uint32_t kNoJec = 0xffffffffu;  // never a 16-bit counter value

  std::size_t worker_index = 0;
  std::uint32_t rounds = 0;
  std::uint32_t jobs_counter = kNoJec;
  std::chrono::steady_clock::time_point spin_until{};  // see kIdleSpin

  void wake_fully() noexcept { rounds = 0, jobs_counter = kNoJec; }
  void wake_partly() noexcept { rounds = kRoundsUntilSleepy, jobs_counter = kNoJec; }
};

class Sleep {
 public:
  explicit Sleep(std::size_t num_workers);

  IdleState start_looking(std::size_t worker_index) noexcept;
  // Work was found while inactive: counts the worker active again and wakes up
  // to two sleepers to help.
  void work_found();
  // One fruitless search: yield, become sleepy, or sleep, by the round count.
  // Never blocks once `latch` is set.
  void no_work_found(IdleState& idle, CoreLatch& latch, FunctionRef<bool()> has_injected_jobs);

  // A job was pushed on a worker queue or the entry queue.
  void new_jobs(bool queue_was_empty);
  // `target` waits on a latch that was just set while it slept.
  void notify_worker_latch_is_set(std::size_t target);

 private:
  struct alignas(64) WorkerSleepState {
    std::mutex mutex;
    bool is_blocked = false;
    std::condition_variable cv;
  };

  void sleep(IdleState& idle, CoreLatch& latch, FunctionRef<bool()> has_injected_jobs);
  std::uint32_t announce_sleepy() noexcept;
  SleepCounters increment_jec_if_sleepy() noexcept;
  void wake_any_threads(std::uint32_t count);
  bool wake_specific_thread(std::size_t index);

  std::size_t num_workers_;
  std::unique_ptr<WorkerSleepState[]> states_;
  std::atomic<std::uint32_t> counters_{0};
};

}  // namespace rowmerge::pool
