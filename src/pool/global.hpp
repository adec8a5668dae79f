// The process-wide pools.
//
// Calls lease the pool of their resolved thread count from one process-wide
// PoolCache: a pool per count, made on first need and primed; the pools of
// the two most recently used counts stay, older ones retire once idle.  A
// set-up that fails installs nothing, so the next call tries again.
//
// A child made by fork never uses its parent's pools (their threads do not
// exist there): its first call makes pools of its own.
#pragma once

#include <cstdint>

#include "pool/pool_cache.hpp"
#include "pool/registry.hpp"

namespace rowmerge::pool {

// Resolves the count for `num_threads` (0: automatic, once per process;
// capped at 255) and leases a primed pool of that count, held until the
// lease is destroyed.  Concurrent first calls are safe: one builds, the
// others wait.  A failed set-up raises rowmerge::Abort with
// "called `Result::unwrap()` on an `Err` value: ThreadPoolBuildError { kind: IOError(...) }".
PoolLease registry_for_call(std::uint32_t num_threads);

// Test seam: how process-wide pools start their threads (nullptr restores
// the default).  Not for use while pools are being built.
void set_global_spawn_for_tests(SpawnFn spawn) noexcept;

}  // namespace rowmerge::pool
