// Process-wide items made on first use.
//
// A thread that finds the item not yet made lets go of the interpreter lock
// while it waits for the item's mutex (another thread may be making it),
// then takes the interpreter lock back and, if the item is still missing,
// runs the initialiser itself.  So two Python threads never deadlock on a
// first use, whichever of them holds which lock.  A failed initialiser keeps
// nothing; the next use tries again.  A made item is never destroyed: keep
// only plain pointers and values here, nothing whose destructor would need
// the interpreter after it has gone.
#pragma once

#include <Python.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <type_traits>

namespace rowmerge::py {

// Lets go of the interpreter lock for a scope.
class GilReleased {
 public:
  GilReleased() noexcept : state_(PyEval_SaveThread()) {}
  GilReleased(const GilReleased&) = delete;
  GilReleased& operator=(const GilReleased&) = delete;
  ~GilReleased() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

template <class T>
class OnceCell {
  static_assert(std::is_trivially_destructible_v<T>, "process-wide items are never destroyed");

 public:
  constexpr OnceCell() noexcept = default;

  // The item if it was made, else nullptr.  Never blocks.
  const T* get() const noexcept {
    return ready_.load(std::memory_order_acquire) ? &*value_ : nullptr;
  }

  // The item, made by `init()` (with the interpreter lock held) if missing.
  // Exceptions from `init` pass through and leave the cell empty.
  template <class Init>
  const T& get_or_init(Init&& init) {
    if (ready_.load(std::memory_order_acquire)) return *value_;
    std::unique_lock<std::mutex> lock(mutex_, std::defer_lock);
    {
      GilReleased released;
      lock.lock();
    }
    if (!ready_.load(std::memory_order_relaxed)) {
      value_.emplace(init());
      ready_.store(true, std::memory_order_release);
    }
    return *value_;
  }

 private:
  std::atomic<bool> ready_{false};
  std::mutex mutex_;
  std::optional<T> value_;
};

}  // namespace rowmerge::py
