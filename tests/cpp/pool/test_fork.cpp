// A child made by fork has only the thread that forked: it must never wait
// on its parent's workers or on a lock one of the parent's threads held.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "pool/pool.hpp"
#include "pool_test_support.hpp"

namespace rowmerge::pool {
namespace {

using testing::eventually;
using testing::status_of_child;
using testing::sums_correctly;

#if defined(__SANITIZE_THREAD__)
#define SKIP_UNDER_TSAN() \
  GTEST_SKIP() << "ThreadSanitizer does not support threads in the child of a multi-threaded fork"
#else
#define SKIP_UNDER_TSAN() (void)0
#endif

TEST(Fork, AChildMakesPoolsOfItsOwnAndTheParentKeepsItsPools) {
  SKIP_UNDER_TSAN();
  const PoolLease two = registry_for_call(2);
  ASSERT_TRUE(sums_correctly(*two, 1000));
  ASSERT_TRUE(sums_correctly(*registry_for_call(3), 1000));
  const int status = status_of_child([] {
    // The same counts as the parent's pools, and one more.
    return sums_correctly(*registry_for_call(2), 1000) && sums_correctly(*registry_for_call(3), 1000) &&
           sums_correctly(*registry_for_call(4), 1000);
  });
  EXPECT_EQ(status, 0) << (status == -1 ? "the child hung" : "the child's sums were wrong");
  EXPECT_TRUE(sums_correctly(*two, 1000));
  EXPECT_TRUE(sums_correctly(*registry_for_call(3), 1000));
}

// A spawn that, in the parent, holds up the start of worker 1 until told to
// go on: the building thread keeps the pools' build lock meanwhile.
std::atomic<pid_t> PARENT{0};
std::atomic<bool> BUILD_STARTED{false};
std::atomic<bool> BUILD_MAY_GO_ON{false};

std::optional<IoError> stalling_spawn(std::size_t index, ThreadEntry entry, void* arg, pthread_t& thread) {
  if (index == 1 && ::getpid() == PARENT.load(std::memory_order_relaxed)) {
    BUILD_STARTED.store(true, std::memory_order_release);
    while (!BUILD_MAY_GO_ON.load(std::memory_order_acquire)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return default_spawn(index, entry, arg, thread);
}

TEST(Fork, AForkWhileAnotherThreadBuildsAPoolDoesNotHangTheChild) {
  SKIP_UNDER_TSAN();
  ASSERT_TRUE(sums_correctly(*registry_for_call(2), 100));
  PARENT = ::getpid();
  set_global_spawn_for_tests(&stalling_spawn);
  std::jthread builder([] { sums_correctly(*registry_for_call(5), 100); });
  ASSERT_TRUE(eventually([] { return BUILD_STARTED.load(std::memory_order_acquire); }));
  const int status = status_of_child([] {
    return sums_correctly(*registry_for_call(5), 1000) && sums_correctly(*registry_for_call(2), 1000);
  });
  BUILD_MAY_GO_ON = true;
  builder.join();
  set_global_spawn_for_tests(nullptr);
  EXPECT_EQ(status, 0) << (status == -1 ? "the child hung" : "the child's sums were wrong");
  EXPECT_TRUE(sums_correctly(*registry_for_call(5), 1000));
}

TEST(Fork, TheAutomaticCountIsWorkedOutOncePerProcessAndAgainInAChild) {
  ASSERT_EQ(setenv("RAYON_NUM_THREADS", "6", 1), 0);
  EXPECT_EQ(process_num_threads(0), 6u);
  ASSERT_EQ(setenv("RAYON_NUM_THREADS", "3", 1), 0);
  EXPECT_EQ(process_num_threads(0), 6u) << "kept from the first request";
  EXPECT_EQ(process_num_threads(2), 2u);
  EXPECT_EQ(status_of_child([] { return process_num_threads(0) == 3; }), 0) << "the child did not work it out again";
  EXPECT_EQ(process_num_threads(0), 6u);
  ASSERT_EQ(unsetenv("RAYON_NUM_THREADS"), 0);
}

}  // namespace
}  // namespace rowmerge::pool
