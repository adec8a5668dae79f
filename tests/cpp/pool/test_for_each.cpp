#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
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

// The pieces a for-each makes when nobody steals: only the two halves of
// the first split are moved.
void simulate(std::uint64_t len, bool moved, Splitter s, std::vector<std::uint64_t>& pieces) {
  if (!s.try_split(len, moved)) {
    pieces.push_back(len);
    return;
  }
  simulate(len / 2, false, s, pieces);
  simulate(len - len / 2, false, s, pieces);
}

std::vector<std::uint64_t> pieces_without_stealing(std::uint32_t threads, std::uint64_t len) {
  std::vector<std::uint64_t> pieces;
  Splitter s(threads);
  if (!s.try_split(len, false)) return {len};
  simulate(len / 2, true, s, pieces);
  simulate(len - len / 2, true, s, pieces);
  return pieces;
}

TEST(SplitBudget, KeepsPiecesNearASmallMultipleOfTheThreadCount) {
  const auto pieces = pieces_without_stealing(4, 100);
  EXPECT_EQ(pieces.size(), 32u);
  for (const auto p : pieces) EXPECT_TRUE(p == 3 || p == 4) << p;

  EXPECT_EQ(pieces_without_stealing(1, 1).size(), 1u);
  EXPECT_EQ(pieces_without_stealing(1, 1000).size(), 8u);  // first split, re-split at 1, then 1 -> 0
  // A moved piece starts over from the thread count, not from its parent.
  Splitter s(8);
  EXPECT_TRUE(s.try_split(10, false));
  EXPECT_EQ(s.budget(), 4u);
  EXPECT_TRUE(s.try_split(10, true));
  EXPECT_EQ(s.budget(), 8u);
  Splitter drained(1);
  EXPECT_TRUE(drained.try_split(10, false));
  EXPECT_FALSE(drained.try_split(10, false));
  EXPECT_TRUE(drained.try_split(10, true));
  EXPECT_FALSE(drained.try_split(1, true)) << "fewer than 2 ids never split";
}

TEST(ForEach, FewerThanTwoIdsRunOnTheCallingThread) {
  Registry registry(ThreadPoolBuilder{2});
  std::vector<std::thread::id> where;
  for_each_id(registry, 0, [&](std::uint64_t) { where.push_back(std::this_thread::get_id()); });
  EXPECT_TRUE(where.empty());
  for_each_id(registry, 1, [&](std::uint64_t id) {
    EXPECT_EQ(id, 0u);
    EXPECT_EQ(WorkerThread::current(), nullptr);
    where.push_back(std::this_thread::get_id());
  });
  EXPECT_EQ(where, std::vector<std::thread::id>{std::this_thread::get_id()});

  std::mutex m;
  std::set<std::thread::id> workers;
  for_each_id(registry, 2, [&](std::uint64_t) {
    std::lock_guard lock(m);
    workers.insert(std::this_thread::get_id());
  });
  EXPECT_EQ(workers.count(std::this_thread::get_id()), 0u) << "two ids go to the pool";
}

TEST(ForEach, OneWorkerRunsEveryIdInAscendingOrder) {
  Registry registry(ThreadPoolBuilder{1});
  for (const std::uint64_t n : {2u, 3u, 100u, 4097u}) {
    std::vector<std::uint64_t> order;
    for_each_id(registry, n, [&](std::uint64_t id) { order.push_back(id); });  // one worker: no lock needed
    ASSERT_EQ(order.size(), n);
    for (std::uint64_t i = 0; i < n; ++i) ASSERT_EQ(order[i], i);
  }
  // Failures do not disturb the order of what runs.
  std::vector<std::uint64_t> order;
  EXPECT_THROW(for_each_id(registry, 64,
                           [&](std::uint64_t id) {
                             order.push_back(id);
                             if (id == 10 || id == 40) throw IdFailure{id};
                           }),
               IdFailure);
  EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
  EXPECT_TRUE(std::count(order.begin(), order.end(), 63u) == 1) << "the last piece still ran";
}

// Runs one for-each whose `failing` ids throw and checks the outcome: the
// lowest failing id's failure comes back, every id ran at most once, every id
// below it ran, and an id was skipped only when the id before it failed or
// was skipped (only the rest of an unsplit piece is dropped).
void check_failures(Registry& registry, std::uint64_t n, const std::set<std::uint64_t>& failing) {
  std::vector<std::atomic<int>> ran(n);
  const std::uint64_t reported = run_with_failures(registry, n, failing, ran);
  const std::uint64_t lowest = failing.empty() ? n : *failing.begin();
  ASSERT_EQ(reported, lowest);
  for (std::uint64_t id = 0; id < n; ++id) {
    const int count = ran[id].load(std::memory_order_relaxed);
    ASSERT_LE(count, 1) << id;
    if (id <= lowest) {
      ASSERT_EQ(count, 1) << id;
    }
    if (count == 0) {
      const bool previous_stopped = failing.count(id - 1) != 0 || ran[id - 1].load(std::memory_order_relaxed) == 0;
      ASSERT_TRUE(previous_stopped) << "id " << id << " skipped though id " << id - 1 << " succeeded";
    }
  }
}

TEST(ForEach, LowestFailingIdWinsAndSplitOffPiecesStillRun) {
  std::mt19937_64 rng(20240611);
  for (const std::uint32_t threads : {1u, 2u, 3u}) {
    Registry registry(ThreadPoolBuilder{threads});
    for (int run = 0; run < 150; ++run) {
      const std::uint64_t n = 2 + rng() % 3000;
      std::set<std::uint64_t> failing;
      const int failures = static_cast<int>(rng() % 5);
      for (int k = 0; k < failures; ++k) failing.insert(rng() % n);
      check_failures(registry, n, failing);
      if (::testing::Test::HasFatalFailure()) return;
    }
    check_failures(registry, 10, {7, 3});
  }
}

TEST(JoinContext, ReportsMovedPiecesAndReturnsBothResults) {
  Registry registry(ThreadPoolBuilder{1});
  std::vector<int> moved(4, -1);
  const auto [x, y] = join_context(
      registry,
      [&](bool m) {
        moved[0] = m;
        // Nested on the single worker: nobody can steal, nothing is moved.
        const auto inner = join_context(
            registry, [&](bool im) { moved[2] = im; return 2; }, [&](bool im) { moved[3] = im; return 3; });
        return inner.first + inner.second;
      },
      [&](bool m) {
        moved[1] = m;
        return std::string("b");
      });
  EXPECT_EQ(x, 5);
  EXPECT_EQ(y, "b");
  EXPECT_EQ(moved, (std::vector<int>{1, 1, 0, 0})) << "work from outside counts as moved";
}

TEST(JoinContext, LeftFailureWinsAfterTheRightPieceFinished) {
  Registry registry(ThreadPoolBuilder{2});
  std::atomic<bool> right_finished{false};
  try {
    join_context(
        registry, [&](bool) { throw IdFailure{1}; },
        [&](bool) {
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
          right_finished = true;
          throw IdFailure{2};
        });
    FAIL() << "no failure came back";
  } catch (const IdFailure& f) {
    EXPECT_EQ(f.id, 1u);
  }
  EXPECT_TRUE(right_finished.load());
  try {
    join_context(
        registry, [&](bool) {}, [&](bool) { throw IdFailure{2}; });
    FAIL() << "no failure came back";
  } catch (const IdFailure& f) {
    EXPECT_EQ(f.id, 2u);
  }
}

}  // namespace
}  // namespace rowmerge::pool
