// Process-wide items made on first use.
//
// A thread that finds the item not yet made lets go of the interpreter lock
// for a moment, then, holding it again, either makes the item itself or, if
// another thread is making it (and has let go of the lock meanwhile, as
// Python code does), waits for that thread without the lock, looking again
// every millisecond.  So two Python threads never deadlock on a first use,
// whichever of them holds which lock.  A failed initialiser keeps nothing;
// the next use tries again.  A made item is never destroyed: keep only plain
// pointers and values here, nothing whose destructor would need the
// interpreter after it has gone.
//
// No mutex is held while the item is made: a child made by fork while a
// thread of its parent was making it (the forking thread holds the
// interpreter lock, the maker had let go of it) would inherit that mutex held
// by a thread it does not have.  The cell records which process is making
// the item instead, and a child takes over an item its parent was making.
#pragma once

#include <Python.h>

#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <thread>
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
    { GilReleased released; }
    // From here on the interpreter lock orders every change of the cell.
    for (;;) {
      if (ready_.load(std::memory_order_acquire)) return *value_;
      if (maker_.load(std::memory_order_relaxed) != ::getpid()) break;  // nobody in this process makes it
      GilReleased released;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    maker_.store(::getpid(), std::memory_order_relaxed);
    struct Done {
      std::atomic<pid_t>& maker;
      ~Done() { maker.store(0, std::memory_order_relaxed); }
    } done{maker_};
    value_.emplace(init());
    ready_.store(true, std::memory_order_release);
    return *value_;
  }

 private:
  std::atomic<bool> ready_{false};
  std::atomic<pid_t> maker_{0};  // the process one of whose threads is making the item; 0: none
  std::optional<T> value_;
};

}  // namespace rowmerge::py
