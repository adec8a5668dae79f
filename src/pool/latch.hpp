// Latches: signals that are set once (a LockLatch can be reset for reuse).
//
// CoreLatch is the state a worker waits on while it keeps looking for other
// work: unset -> sleepy -> sleeping as the waiter gets ready to block, and set
// by the signalling side.  Whoever sets a latch whose waiter is sleeping must
// wake that worker (SpinLatch does).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace rowmerge::pool {

class Sleep;

class CoreLatch {
 public:
  static constexpr std::uint32_t kUnset = 0;
  static constexpr std::uint32_t kSleepy = 1;
  static constexpr std::uint32_t kSleeping = 2;
  static constexpr std::uint32_t kSet = 3;

  bool probe() const noexcept { return state_.load(std::memory_order_acquire) == kSet; }

  // The waiter's steps towards sleep; each fails when the latch moved on.
  bool get_sleepy() noexcept {
    std::uint32_t expected = kUnset;
    return state_.compare_exchange_strong(expected, kSleepy, std::memory_order_seq_cst, std::memory_order_relaxed);
  }
  bool fall_asleep() noexcept {
    std::uint32_t expected = kSleepy;
    return state_.compare_exchange_strong(expected, kSleeping, std::memory_order_seq_cst, std::memory_order_relaxed);
  }
  // Back to unset after sleeping, unless the latch got set meanwhile.
  void wake_up() noexcept {
    std::uint32_t expected = kSleeping;
    state_.compare_exchange_strong(expected, kUnset, std::memory_order_seq_cst, std::memory_order_relaxed);
  }

  // Sets the latch; true when its waiter had gone to sleep and must be woken.
  bool set() noexcept { return state_.exchange(kSet, std::memory_order_acq_rel) == kSleeping; }

 private:
  std::atomic<std::uint32_t> state_{kUnset};
};

// The latch of a job forked on a worker: setting it wakes exactly the worker
// that waits for it, if that worker sleeps.
class SpinLatch {
 public:
  SpinLatch(Sleep& sleep, std::size_t target_worker) noexcept : sleep_(&sleep), target_(target_worker) {}

  CoreLatch& core() noexcept { return core_; }
  bool probe() const noexcept { return core_.probe(); }

  static void set(SpinLatch* latch);

 private:
  CoreLatch core_;
  Sleep* sleep_;
  std::size_t target_;
};

// A flag for threads that are not workers (and for start-up and shutdown
// handshakes).  A waiter may first watch the flag for a short while without
// blocking (`spin_wait_and_reset`): work handed to an awake pool often comes
// back within microseconds, sooner than a blocked thread can be woken.
//
// The state word tells the setter whether anyone blocks: a waiter moves it
// unset -> blocked under the mutex before it sleeps, so a setter that swaps
// unset -> set knows nobody sleeps and touches nothing else, and a setter
// that finds "blocked" sets the flag and notifies under the mutex, which the
// sleeper holds from its compare-and-swap until the condition variable lets
// go of it: no wake-up is lost.  Once a waiter has seen the flag set, the
// setter no longer touches the latch.
class LockLatch {
 public:
  void set();
  void wait();
  void wait_and_reset();
  // Watches the flag for up to `spin` before blocking, yielding the
  // processor between looks so that the threads it waits for can run.
  void spin_wait_and_reset(std::chrono::nanoseconds spin);

  // Adapter for StackJob: a job signals a LockLatch that lives elsewhere.
  struct Ref {
    LockLatch* latch;
    static void set(Ref* ref) { ref->latch->set(); }
  };

 private:
  static constexpr std::uint32_t kUnset = 0;
  static constexpr std::uint32_t kSet = 1;
  static constexpr std::uint32_t kBlocked = 2;

  bool is_set() const noexcept { return state_.load(std::memory_order_acquire) == kSet; }
  void block();

  std::atomic<std::uint32_t> state_{kUnset};
  std::mutex mutex_;
  std::condition_variable cv_;
};

}  // namespace rowmerge::pool
