// The process-wide pools.
//
// A call whose resolved thread count matches an existing pool runs on it; a
// call with another count gets a pool of that count, made on first need,
// primed, and kept for the life of the process (at most one pool per count).
// A set-up that fails installs nothing, so the next call tries again.
#pragma once

#include <cstdint>

#include "pool/registry.hpp"

namespace rowmerge::pool {

// Resolves the count for `num_threads` (0: automatic; capped at 255) and
// returns a primed pool of that count.  Concurrent first calls are safe: one
// builds, the others wait.  A failed set-up raises rowmerge::Abort with
// "called `Result::unwrap()` on an `Err` value: ThreadPoolBuildError { kind: IOError(...) }".
Registry& registry_for_call(std::uint32_t num_threads);

// Test seam: how process-wide pools start their threads (nullptr restores
// the default).  Not for use while pools are being built.
void set_global_spawn_for_tests(SpawnFn spawn) noexcept;

}  // namespace rowmerge::pool
