#include "pool/global.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "common/abort.hpp"
#include "common/messages.hpp"
#include "pool/thread_count.hpp"

namespace rowmerge::pool {
namespace {

// The pools live until the process ends: their workers never stop, so the
// table and every Registry in it are deliberately never freed.
struct GlobalPools {
  std::mutex build_mutex;                                          // one set-up at a time
  std::array<std::atomic<Registry*>, THREADS_MAX + 1> by_count{};  // index: thread count
};

GlobalPools& pools() {
  static GlobalPools* const GLOBAL_POOLS = new GlobalPools();
  return *GLOBAL_POOLS;
}

std::atomic<SpawnFn> GLOBAL_SPAWN{&default_spawn};

}  // namespace

void set_global_spawn_for_tests(SpawnFn spawn) noexcept {
  GLOBAL_SPAWN.store(spawn != nullptr ? spawn : &default_spawn, std::memory_order_release);
}

Registry& registry_for_call(std::uint32_t num_threads) {
  const std::uint32_t count = std::min(get_num_threads(num_threads), THREADS_MAX);
  GlobalPools& table = pools();
  if (Registry* existing = table.by_count[count].load(std::memory_order_acquire)) return *existing;

  std::lock_guard lock(table.build_mutex);
  if (Registry* existing = table.by_count[count].load(std::memory_order_acquire)) return *existing;
  std::unique_ptr<Registry> made;
  try {
    made = std::make_unique<Registry>(ThreadPoolBuilder{count, GLOBAL_SPAWN.load(std::memory_order_acquire)});
  } catch (const ThreadPoolBuildError& error) {
    raise_abort(std::string(messages::kErrUnwrapPrefix) + error.rendered());
  }
  made->wait_until_primed();
  Registry* installed = made.release();
  table.by_count[count].store(installed, std::memory_order_release);
  return *installed;
}

}  // namespace rowmerge::pool
