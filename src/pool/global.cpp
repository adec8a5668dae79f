#include "pool/global.hpp"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>

#include "common/abort.hpp"
#include "common/messages.hpp"
#include "pool/thread_count.hpp"

namespace rowmerge::pool {
namespace {

// The pools of this process, made at its first call and never freed.
//
// A child made by fork starts without any: its parent's pools are
// abandoned there.  Their workers do not exist in the child, and any of
// their locks may be held by a thread that is gone, so the child never
// touches them; nor can it free them, since freeing a pool means joining its
// workers.  Each process's pools keep a link to the abandoned ones, which so
// stay reachable rather than leaked.
struct ProcessPools {
  PoolCache cache;
  ProcessPools* abandoned;  // the parent's, in a child made by fork
};

std::atomic<ProcessPools*> PROCESS_POOLS{nullptr};
// Written only in a forked child before it has a second thread.
ProcessPools* ABANDONED_POOLS = nullptr;

// In the child, on the forking thread, before fork returns there.
void abandon_parent_pools() noexcept {
  if (ProcessPools* parent = PROCESS_POOLS.exchange(nullptr, std::memory_order_relaxed)) ABANDONED_POOLS = parent;
}

[[maybe_unused]] const int ABANDON_IN_FORKED_CHILD = pthread_atfork(nullptr, nullptr, &abandon_parent_pools);

PoolCache& process_pools() {
  ProcessPools* pools = PROCESS_POOLS.load(std::memory_order_acquire);
  if (pools != nullptr) return pools->cache;
  std::unique_ptr<ProcessPools> made(new ProcessPools{PoolCache(), ABANDONED_POOLS});
  if (PROCESS_POOLS.compare_exchange_strong(pools, made.get(), std::memory_order_acq_rel, std::memory_order_acquire)) {
    return made.release()->cache;
  }
  return pools->cache;  // another thread's was installed first
}

std::atomic<SpawnFn> GLOBAL_SPAWN{&default_spawn};

}  // namespace

void set_global_spawn_for_tests(SpawnFn spawn) noexcept {
  GLOBAL_SPAWN.store(spawn != nullptr ? spawn : &default_spawn, std::memory_order_release);
}

PoolLease registry_for_call(std::uint32_t num_threads) {
  const std::uint32_t count = std::min(process_num_threads(num_threads), THREADS_MAX);
  try {
    return process_pools().lease(count, GLOBAL_SPAWN.load(std::memory_order_acquire));
  } catch (const ThreadPoolBuildError& error) {
    raise_abort(std::string(messages::kErrUnwrapPrefix) + error.rendered());
  }
}

}  // namespace rowmerge::pool
