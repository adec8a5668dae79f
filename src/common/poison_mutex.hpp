// A mutex that remembers a failure.
//
// If a thread leaves a `PoisonGuard` scope because an exception is unwinding
// through it, the mutex is marked poisoned for good.  Every later `lock`
// aborts with the fixed PoisonError text: the data it protects may be half
// updated, so nobody gets to see it.
#pragma once

#include <atomic>
#include <exception>
#include <mutex>
#include <source_location>
#include <string>

#include "common/abort.hpp"
#include "common/messages.hpp"

namespace rowmerge {

class PoisonMutex {
 public:
  bool poisoned() const noexcept { return poisoned_.load(std::memory_order_acquire); }

 private:
  friend class PoisonGuard;
  std::mutex mutex_;
  // Written only under `mutex_`; read outside it by `poisoned()` for tests.
  std::atomic<bool> poisoned_{false};
};

class PoisonGuard {
 public:
  explicit PoisonGuard(PoisonMutex& m, std::source_location where = std::source_location::current())
      : mutex_(m), lock_(m.mutex_), unwinding_at_entry_(std::uncaught_exceptions()) {
    if (m.poisoned_.load(std::memory_order_relaxed)) {
      lock_.unlock();
      raise_abort(std::string(messages::kPoisoned), where);
    }
  }
  PoisonGuard(const PoisonGuard&) = delete;
  PoisonGuard& operator=(const PoisonGuard&) = delete;
  ~PoisonGuard() {
    if (std::uncaught_exceptions() > unwinding_at_entry_) mutex_.poisoned_.store(true, std::memory_order_release);
  }

 private:
  PoisonMutex& mutex_;
  std::unique_lock<std::mutex> lock_;
  int unwinding_at_entry_;
};

}  // namespace rowmerge
