#include <gtest/gtest.h>

#include <cerrno>
#include <vector>

#include "pool/build_error.hpp"
#include "pool/spawn.hpp"

namespace rowmerge::pool {
namespace {

TEST(BuildError, RendersTheWayFailureMessagesShowIt) {
  EXPECT_STREQ(ThreadPoolBuildError(IoError::os(EAGAIN)).what(),
               "ThreadPoolBuildError { kind: IOError(Os { code: 11, kind: WouldBlock, message: \"Resource "
               "temporarily unavailable\" }) }");
  EXPECT_EQ(ThreadPoolBuildError(IoError::invalid_stack_size()).rendered(),
            "ThreadPoolBuildError { kind: IOError(Error { kind: InvalidInput, message: \"invalid stack size\" }) }");
  EXPECT_EQ(IoError::os(EPERM).render(), "Os { code: 1, kind: PermissionDenied, message: \"Operation not permitted\" }");
  EXPECT_EQ(error_kind_name(ENOMEM), "OutOfMemory");
  EXPECT_EQ(error_kind_name(EINVAL), "InvalidInput");
  EXPECT_EQ(error_kind_name(9999), "Uncategorized");
}

TEST(StackSize, RaisedToTheMinimumThenRoundedToPagesOnce) {
  std::vector<std::size_t> tried;
  auto refuse_unaligned = [&](std::size_t size) {
    tried.push_back(size);
    return size % 4096 == 0 ? 0 : EINVAL;
  };
  EXPECT_FALSE(apply_stack_size(100, 2048, 4096, refuse_unaligned).has_value());
  EXPECT_EQ(tried, (std::vector<std::size_t>{2048, 4096}));

  tried.clear();
  EXPECT_FALSE(apply_stack_size(2 * 1024 * 1024, 2048, 4096, refuse_unaligned).has_value());
  EXPECT_EQ(tried, (std::vector<std::size_t>{2 * 1024 * 1024}));

  tried.clear();
  auto refuse_all = [&](std::size_t size) {
    tried.push_back(size);
    return EINVAL;
  };
  const auto error = apply_stack_size(5000, 2048, 4096, refuse_all);
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->render(), "Error { kind: InvalidInput, message: \"invalid stack size\" }");
  EXPECT_EQ(tried, (std::vector<std::size_t>{5000, 8192}));

  // Rounding up past the largest size is refused, not wrapped to a tiny stack.
  tried.clear();
  EXPECT_TRUE(apply_stack_size(static_cast<std::size_t>(-1) - 10, 2048, 4096, refuse_all).has_value());
  EXPECT_EQ(tried.size(), 1u);
}

}  // namespace
}  // namespace rowmerge::pool
