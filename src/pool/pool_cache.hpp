// Pools shared by calls, one per thread count, only a few of them alive.
//
// A call leases the pool of its thread count for as long as it uses it; the
// lease keeps the pool alive.  The cache keeps the pools of the `keep` most
// recently leased counts.  A pool that falls out of them retires: it is
// destroyed (its workers told to stop and joined, its memory freed) at once
// when no lease holds it, else by whoever gives back its last lease.  Leasing
// a count whose pool is still alive, retired or not, starts no thread.
//
// Locks: `build_mutex_` (one pool built at a time) is taken before
// `state_mutex_` (the table and the lease counts), which is held only for
// bookkeeping, never while a pool is built or destroyed.  So retiring never
// waits for a busy pool while it holds a lock that a call needs, and giving a
// lease back never waits for a build.  A pool is never destroyed by one of its
// own workers: a worker leases its pool only inside work that a call with a
// lease handed in, and that call gives its lease back last.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "pool/registry.hpp"

namespace rowmerge::pool {

class PoolCache;

// A pool of the cache and its bookkeeping.
struct PoolSlot {
  // Starts the workers and waits until every one runs; throws
  // ThreadPoolBuildError.
  PoolSlot(std::uint32_t num_threads, SpawnFn spawn);

  Registry registry;
  // Guarded by the cache's state mutex.
  std::uint32_t leases = 0;
  bool retired = false;
  PoolSlot* next_retired = nullptr;
};

// Holds a pool alive while a call uses it; gives it back when destroyed.
class PoolLease {
 public:
  PoolLease() noexcept = default;
  PoolLease(PoolLease&& other) noexcept
      : cache_(std::exchange(other.cache_, nullptr)), slot_(std::exchange(other.slot_, nullptr)) {}
  PoolLease& operator=(PoolLease&& other) noexcept {
    if (this != &other) {
      reset();
      cache_ = std::exchange(other.cache_, nullptr);
      slot_ = std::exchange(other.slot_, nullptr);
    }
    return *this;
  }
  PoolLease(const PoolLease&) = delete;
  PoolLease& operator=(const PoolLease&) = delete;
  ~PoolLease() { reset(); }

  Registry& operator*() const noexcept { return slot_->registry; }
  Registry* operator->() const noexcept { return &slot_->registry; }
  explicit operator bool() const noexcept { return slot_ != nullptr; }

  // Gives the lease back now (nothing when it holds none).
  void reset() noexcept;

 private:
  friend class PoolCache;
  PoolLease(PoolCache* cache, PoolSlot* slot) noexcept : cache_(cache), slot_(slot) {}

  PoolCache* cache_ = nullptr;
  PoolSlot* slot_ = nullptr;
};

class PoolCache {
 public:
  static constexpr std::size_t kPoolsKept = 2;

  explicit PoolCache(std::size_t keep = kPoolsKept);
  // Destroys every pool; no lease may be outstanding.
  ~PoolCache();
  PoolCache(const PoolCache&) = delete;
  PoolCache& operator=(const PoolCache&) = delete;

  // A primed pool of `num_threads` workers (1 to 255), built when the cache
  // has none.  A failed build throws ThreadPoolBuildError and installs
  // nothing.  Pools that fall out of the most recent ones retire here.
  PoolLease lease(std::uint32_t num_threads, SpawnFn spawn = &default_spawn);

 private:
  friend class PoolLease;

  PoolSlot* find_locked(std::uint32_t num_threads) const noexcept;
  // Counts a lease of `slot` and makes it the most recent pool; a pool that
  // falls out of the kept ones and is idle goes to `dropped`.
  PoolLease take_locked(PoolSlot* slot, std::unique_ptr<PoolSlot>& dropped) noexcept;
  void unlink_retired_locked(PoolSlot* slot) noexcept;
  void give_back(PoolSlot* slot) noexcept;

  std::size_t keep_;
  std::mutex build_mutex_;
  std::mutex state_mutex_;
  std::vector<PoolSlot*> live_;        // most recently leased first; never more than keep_
  PoolSlot* retired_head_ = nullptr;   // retired but still leased
};

inline void PoolLease::reset() noexcept {
  if (slot_ != nullptr) std::exchange(cache_, nullptr)->give_back(std::exchange(slot_, nullptr));
}

}  // namespace rowmerge::pool
