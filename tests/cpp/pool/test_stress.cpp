#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "pool/pool.hpp"
#include "pool_test_support.hpp"

namespace rowmerge::pool {
namespace {

using testing::IdFailure;
using testing::run_with_failures;

#if defined(__SANITIZE_THREAD__)
constexpr int kCallsPerThread = 400;
#else
constexpr int kCallsPerThread = 3000;
#endif

// One outside thread's share: many for-each calls of random lengths (spread
// evenly over the orders of magnitude up to 100,000 ids), some with failing
// ids.  Returns a description of the first wrong outcome, or "".
std::string hammer(Registry& registry, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> magnitude(0.0, std::log(100001.0));
  std::vector<std::atomic<std::uint8_t>> ran(100000);
  for (int call = 0; call < kCallsPerThread; ++call) {
    const auto n = static_cast<std::uint64_t>(std::exp(magnitude(rng))) - 1;
    std::set<std::uint64_t> failing;
    if (n > 0 && rng() % 3 == 0) {
      const int k = 1 + static_cast<int>(rng() % 3);
      for (int i = 0; i < k; ++i) failing.insert(rng() % n);
    }
    for (std::uint64_t id = 0; id < n; ++id) ran[id].store(0, std::memory_order_relaxed);
    const std::uint64_t reported = run_with_failures(registry, n, failing, ran);
    const std::uint64_t lowest = failing.empty() ? n : *failing.begin();
    if (reported != lowest) return "call " + std::to_string(call) + ": failure of id " + std::to_string(reported);
    for (std::uint64_t id = 0; id < n; ++id) {
      const unsigned count = ran[id].load(std::memory_order_relaxed);
      if (count > 1 || (id <= lowest && count != 1)) {
        return "call " + std::to_string(call) + " of " + std::to_string(n) + " ids: id " + std::to_string(id) +
               " ran " + std::to_string(count) + " times";
      }
    }
  }
  return "";
}

TEST(Stress, ManyCallersManyCallsEveryIdExactlyOnce) {
  // Two outside threads share the process-wide 2-thread pool, two others
  // share a 3-thread pool: queues, stealing, sleeping and injection all
  // under contention.
  const PoolLease two = registry_for_call(2);
  const PoolLease three = registry_for_call(3);
  std::vector<std::string> outcome(4);
  {
    std::vector<std::jthread> callers;
    for (int t = 0; t < 4; ++t) {
      callers.emplace_back([&, t] { outcome[t] = hammer(t % 2 == 0 ? *two : *three, 1000 + t); });
    }
  }
  for (int t = 0; t < 4; ++t) EXPECT_EQ(outcome[t], "") << "caller " << t;
}

}  // namespace
}  // namespace rowmerge::pool
