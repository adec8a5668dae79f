// Latches: signals that are set once (a LockLatch can be reset for reuse).
//
// CoreLatch is the state a worker waits on while it keeps looking for other
// work: unset -> sleepy -> sleeping as the waiter gets ready to block, and set
// by the signalling side.  Whoever sets a latch whose waiter is sleeping must
// wake that worker (SpinLatch does).
#pragma once

#include <atomic>
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

// A blocking flag for threads that are not workers (and for start-up and
// shutdown handshakes).  Notification happens under the mutex, so once a
// waiter has seen the flag, the setter no longer needs the latch.
class LockLatch {
 public:
  void set();
  void wait();
  void wait_and_reset();

  // Adapter for StackJob: a job signals a LockLatch that lives elsewhere.
  struct Ref {
    LockLatch* latch;
    static void set(Ref* ref) { ref->latch->set(); }
  };

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool is_set_ = false;
};

}  // namespace rowmerge::pool
