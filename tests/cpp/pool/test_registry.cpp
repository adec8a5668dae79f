#include <gtest/gtest.h>

#include <stdlib.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "common/abort.hpp"
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

constexpr const char* kWouldBlockAbort =
    "called `Result::unwrap()` on an `Err` value: ThreadPoolBuildError { kind: IOError(Os { code: 11, kind: "
    "WouldBlock, message: \"Resource temporarily unavailable\" }) }";

TEST(Registry, CapsAt255Workers) {
  Registry registry(ThreadPoolBuilder{1000});
  EXPECT_EQ(registry.num_threads(), 255u);
  registry.wait_until_primed();
}

TEST(Registry, AllWorkersRunConcurrentlyAndStealFromEachOther) {
  // Every id waits until four different threads hold an id: only possible
  // if the four workers took pieces from one another's queues.
  Registry registry(ThreadPoolBuilder{4});
  registry.wait_until_primed();
  std::mutex m;
  std::set<std::thread::id> holders;
  std::atomic<bool> timed_out{false};
  for_each_id(registry, 4, [&](std::uint64_t) {
    {
      std::lock_guard lock(m);
      holders.insert(std::this_thread::get_id());
    }
    if (!eventually([&] {
          std::lock_guard lock(m);
          return holders.size() >= 4;
        })) {
      timed_out = true;
    }
  });
  EXPECT_FALSE(timed_out);
  EXPECT_EQ(holders.size(), 4u);
  EXPECT_EQ(holders.count(std::this_thread::get_id()), 0u);
}

TEST(Registry, FailedStartStopsTheWorkersAlreadyStarted) {
  const int before = baseline_thread_count();
  SPAWNED = 0;
  FAIL_AT = 2;
  try {
    Registry registry(ThreadPoolBuilder{4, &counting_spawn});
    FAIL() << "the third thread's failure was not reported";
  } catch (const ThreadPoolBuildError& e) {
    EXPECT_STREQ(e.what(),
                 "ThreadPoolBuildError { kind: IOError(Os { code: 11, kind: WouldBlock, message: \"Resource "
                 "temporarily unavailable\" }) }");
  }
  EXPECT_EQ(SPAWNED.load(), 2);
  EXPECT_TRUE(eventually([&] { return live_thread_count() <= before; })) << live_thread_count() << " vs " << before;
}

TEST(Registry, DestroyingALocalPoolEndsItsThreads) {
  const int before = baseline_thread_count();
  {
    Registry registry(ThreadPoolBuilder{3});
    registry.wait_until_primed();
    EXPECT_EQ(live_thread_count(), before + 3);
    for_each_id(registry, 1000, [](std::uint64_t) {});
  }
  EXPECT_TRUE(eventually([&] { return live_thread_count() <= before; }));
}

TEST(GlobalPools, OnePoolPerCountReusedByLaterCalls) {
  const PoolLease three = registry_for_call(3);
  EXPECT_EQ(three->num_threads(), 3u);
  EXPECT_EQ(&*registry_for_call(3), &*three);
  const PoolLease two = registry_for_call(2);
  EXPECT_EQ(two->num_threads(), 2u);
  EXPECT_NE(&*two, &*three);
  EXPECT_EQ(&*registry_for_call(2), &*two);
  EXPECT_EQ(registry_for_call(1000)->num_threads(), 255u);
  ASSERT_EQ(setenv("RAYON_NUM_THREADS", "3", 1), 0);
  EXPECT_EQ(&*registry_for_call(0), &*three);  // 0 resolves first, then matches
  ASSERT_EQ(unsetenv("RAYON_NUM_THREADS"), 0);

  // The pool is usable call after call.
  for (int call = 0; call < 3; ++call) {
    std::atomic<std::uint64_t> sum{0};
    for_each_id(*registry_for_call(3), 1000, [&](std::uint64_t id) { sum.fetch_add(id, std::memory_order_relaxed); });
    EXPECT_EQ(sum.load(), 999u * 1000u / 2);
  }
}

TEST(GlobalPools, FailedSetUpInstallsNothingAndTheNextCallRetries) {
  set_abort_report_sink(nullptr);
  FAIL_AT = 1;
  set_global_spawn_for_tests(&counting_spawn);
  try {
    registry_for_call(5);
    FAIL() << "set-up failure not reported";
  } catch (const Abort& e) {
    EXPECT_EQ(e.message(), kWouldBlockAbort);
  }
  FAIL_AT = -1;
  SPAWNED = 0;
  const PoolLease five = registry_for_call(5);
  EXPECT_EQ(five->num_threads(), 5u);
  EXPECT_EQ(SPAWNED.load(), 5);
  set_global_spawn_for_tests(nullptr);
  set_abort_report_sink(default_abort_report_sink());
}

TEST(GlobalPools, ConcurrentFirstCallsShareOnePool) {
  FAIL_AT = -1;
  SPAWNED = 0;
  set_global_spawn_for_tests(&counting_spawn);
  std::vector<Registry*> got(4, nullptr);
  {
    std::vector<std::jthread> callers;
    for (int t = 0; t < 4; ++t) callers.emplace_back([&, t] { got[t] = &*registry_for_call(6); });
  }
  set_global_spawn_for_tests(nullptr);
  for (Registry* r : got) EXPECT_EQ(r, got[0]);
  EXPECT_EQ(got[0]->num_threads(), 6u);
  EXPECT_EQ(SPAWNED.load(), 6);
}

}  // namespace
}  // namespace rowmerge::pool
