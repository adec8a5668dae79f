#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "pool/pool.hpp"
#include "pool_test_support.hpp"

namespace rowmerge::pool {
namespace {

using testing::baseline_thread_count;
using testing::counting_spawn;
using testing::eventually;
using testing::FAIL_AT;
using testing::live_thread_count;
using testing::SPAWNED;
using testing::sums_correctly;

// Waits until exactly `expected` threads are listed: a joined thread may stay
// listed for a moment, under an emulator especially.
::testing::AssertionResult threads_settle_at(int expected) {
  if (eventually([&] { return live_thread_count() == expected; })) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << live_thread_count() << " threads, expected " << expected;
}

TEST(PoolCache, RecentCountsKeepTheirPoolsAndStartNoThread) {
  FAIL_AT = -1;
  SPAWNED = 0;
  PoolCache cache;
  Registry* three = &*cache.lease(3, &counting_spawn);
  Registry* two = &*cache.lease(2, &counting_spawn);
  EXPECT_EQ(SPAWNED.load(), 5);
  for (int round = 0; round < 3; ++round) {
    EXPECT_EQ(&*cache.lease(3, &counting_spawn), three);
    EXPECT_EQ(&*cache.lease(2, &counting_spawn), two);
  }
  EXPECT_EQ(SPAWNED.load(), 5);
}

TEST(PoolCache, OnlyThePoolsOfTheTwoLatestCountsStayAlive) {
  const int before = baseline_thread_count();
  {
    PoolCache cache;
    for (std::uint32_t n = 1; n <= 40; ++n) ASSERT_TRUE(sums_correctly(*cache.lease(n), 1000)) << n;
    EXPECT_TRUE(threads_settle_at(before + 40 + 39));
    ASSERT_TRUE(sums_correctly(*cache.lease(1), 1000));
    ASSERT_TRUE(sums_correctly(*cache.lease(2), 1000));
    EXPECT_TRUE(threads_settle_at(before + 1 + 2));
  }
  EXPECT_TRUE(threads_settle_at(before)) << "destroying the cache ends every pool";
}

TEST(PoolCache, ABusyPoolRetiresOnlyWhenItsLastLeaseIsGivenBack) {
  const int before = baseline_thread_count();
  PoolCache cache;
  PoolLease busy = cache.lease(4);
  cache.lease(1);
  cache.lease(2);  // 4 has fallen out of the two latest, but is in use
  EXPECT_TRUE(threads_settle_at(before + 4 + 1 + 2));
  EXPECT_TRUE(sums_correctly(*busy, 10000)) << "a retired pool works for its holder";
  PoolLease second = std::move(busy);
  EXPECT_FALSE(busy);
  second.reset();
  EXPECT_TRUE(threads_settle_at(before + 1 + 2));
}

TEST(PoolCache, ARetiredPoolStillInUseServesItsCountAgain) {
  FAIL_AT = -1;
  SPAWNED = 0;
  const int before = baseline_thread_count();
  PoolCache cache;
  const PoolLease busy = cache.lease(4, &counting_spawn);
  cache.lease(1, &counting_spawn);
  cache.lease(2, &counting_spawn);
  {
    const PoolLease again = cache.lease(4, &counting_spawn);
    EXPECT_EQ(&*again, &*busy);
    EXPECT_EQ(SPAWNED.load(), 7) << "no new pool for 4";
  }
  // 4 is among the two latest again; 1 has retired, idle, at once.
  EXPECT_TRUE(threads_settle_at(before + 4 + 2));
}

TEST(PoolCache, AFailedBuildChangesNothing) {
  PoolCache cache;
  SPAWNED = 0;
  FAIL_AT = -1;
  Registry* two = &*cache.lease(2, &counting_spawn);
  Registry* three = &*cache.lease(3, &counting_spawn);
  FAIL_AT = 2;
  EXPECT_THROW(cache.lease(5, &counting_spawn), ThreadPoolBuildError);
  FAIL_AT = -1;
  EXPECT_EQ(&*cache.lease(2, &counting_spawn), two);
  EXPECT_EQ(&*cache.lease(3, &counting_spawn), three);
  EXPECT_EQ(SPAWNED.load(), 2 + 3 + 2) << "the two started for 5, nothing more";
}

#if defined(__SANITIZE_THREAD__)
constexpr int kLeasesPerThread = 150;
#else
constexpr int kLeasesPerThread = 1500;
#endif

TEST(PoolCache, ThreadsLeasingChangingCountsShareAndRetirePoolsSafely) {
  // Four threads lease counts 1 to 4 at random and use the pools: pools
  // retire while other threads still use them, come back while busy, and
  // are destroyed by whichever thread lets go last.
  const int before = baseline_thread_count();
  PoolCache cache;
  std::vector<std::string> outcome(4);
  {
    std::vector<std::jthread> callers;
    for (int t = 0; t < 4; ++t) {
      callers.emplace_back([&, t] {
        std::mt19937 rng(77 + t);
        for (int i = 0; i < kLeasesPerThread; ++i) {
          const std::uint32_t count = 1 + rng() % 4;
          const PoolLease lease = cache.lease(count);
          const char* wrong = lease->num_threads() != count          ? "a pool of another count for "
                              : !sums_correctly(*lease, rng() % 300) ? "a wrong sum on the pool of "
                                                                     : nullptr;
          if (wrong != nullptr) {
            outcome[t] = std::string(wrong).append(std::to_string(count));
            return;
          }
        }
      });
    }
  }
  for (int t = 0; t < 4; ++t) EXPECT_EQ(outcome[t], "") << "caller " << t;
  EXPECT_TRUE(eventually([&] { return live_thread_count() <= before + 4 + 3; }))
      << live_thread_count() << " threads: more than the two latest pools";
}

}  // namespace
}  // namespace rowmerge::pool
