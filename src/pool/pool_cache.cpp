#include "pool/pool_cache.hpp"

#include <algorithm>
#include <cassert>

namespace rowmerge::pool {

PoolSlot::PoolSlot(std::uint32_t num_threads, SpawnFn spawn) : registry(ThreadPoolBuilder{num_threads, spawn}) {
  registry.wait_until_primed();
}

PoolCache::PoolCache(std::size_t keep) : keep_(std::max<std::size_t>(keep, 1)) {
  // Room for one more than is kept: take_locked inserts before it trims, and
  // must not allocate while it holds the state lock.
  live_.reserve(keep_ + 1);
}

PoolCache::~PoolCache() {
  assert(retired_head_ == nullptr && "a lease outlived its cache");
  for (PoolSlot* slot : live_) {
    assert(slot->leases == 0 && "a lease outlived its cache");
    delete slot;
  }
}

PoolLease PoolCache::lease(std::uint32_t num_threads, SpawnFn spawn) {
  // Declared first, so destroyed last: a pool that retires here is joined
  // after every lock below has been let go.
  std::unique_ptr<PoolSlot> dropped;
  {
    std::lock_guard state(state_mutex_);
    if (PoolSlot* found = find_locked(num_threads)) return take_locked(found, dropped);
  }
  std::lock_guard build(build_mutex_);
  {
    // Another thread may have built it while this one waited.
    std::lock_guard state(state_mutex_);
    if (PoolSlot* found = find_locked(num_threads)) return take_locked(found, dropped);
  }
  auto made = std::make_unique<PoolSlot>(num_threads, spawn);
  std::lock_guard state(state_mutex_);
  return take_locked(made.release(), dropped);
}

PoolSlot* PoolCache::find_locked(std::uint32_t num_threads) const noexcept {
  for (PoolSlot* slot : live_) {
    if (slot->registry.num_threads() == num_threads) return slot;
  }
  for (PoolSlot* slot = retired_head_; slot != nullptr; slot = slot->next_retired) {
    if (slot->registry.num_threads() == num_threads) return slot;
  }
  return nullptr;
}

PoolLease PoolCache::take_locked(PoolSlot* slot, std::unique_ptr<PoolSlot>& dropped) noexcept {
  ++slot->leases;
  if (slot->retired) unlink_retired_locked(slot);  // in use again: back among the kept
  const auto at = std::find(live_.begin(), live_.end(), slot);
  if (at == live_.end()) {
    live_.insert(live_.begin(), slot);  // within the reserved capacity
  } else {
    std::rotate(live_.begin(), at, at + 1);
  }
  if (live_.size() > keep_) {
    PoolSlot* oldest = live_.back();
    live_.pop_back();
    if (oldest->leases == 0) {
      dropped.reset(oldest);
    } else {
      oldest->retired = true;
      oldest->next_retired = retired_head_;
      retired_head_ = oldest;
    }
  }
  return PoolLease(this, slot);
}

void PoolCache::unlink_retired_locked(PoolSlot* slot) noexcept {
  for (PoolSlot** link = &retired_head_; *link != nullptr; link = &(*link)->next_retired) {
    if (*link == slot) {
      *link = slot->next_retired;
      break;
    }
  }
  slot->retired = false;
  slot->next_retired = nullptr;
}

void PoolCache::give_back(PoolSlot* slot) noexcept {
  std::unique_ptr<PoolSlot> doomed;  // joined once the lock is let go
  std::lock_guard state(state_mutex_);
  if (--slot->leases == 0 && slot->retired) {
    unlink_retired_locked(slot);
    doomed.reset(slot);
  }
}

}  // namespace rowmerge::pool
