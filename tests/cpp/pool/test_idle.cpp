#include <gtest/gtest.h>

#include <time.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "pool/pool.hpp"

namespace rowmerge::pool {
namespace {

double process_cpu_ms() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// Idle workers must go to sleep rather than spin: after a for-each the
// process burns (almost) no CPU while nothing is asked of the pool.
TEST(Idle, WorkersSleepAfterAForEach) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizer's own background work distorts CPU time";
#endif
  Registry registry(ThreadPoolBuilder{2});
  registry.wait_until_primed();
  std::atomic<std::uint64_t> sum{0};
  for_each_id(registry, 100000, [&](std::uint64_t id) { sum.fetch_add(id, std::memory_order_relaxed); });
  ASSERT_EQ(sum.load(), 99999ull * 100000ull / 2);
  const double before = process_cpu_ms();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const double used = process_cpu_ms() - before;
  EXPECT_LT(used, 20.0) << "ms of CPU while idle";
}

}  // namespace
}  // namespace rowmerge::pool
