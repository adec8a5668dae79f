#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/abort.hpp"

namespace {

std::vector<std::string> REPORTS;
void capture(std::string_view message, const std::source_location& where) {
  REPORTS.push_back(rowmerge::format_abort_report(message, where));
}

TEST(Abort, ReportsOnceAndCarriesTheMessage) {
  REPORTS.clear();
  rowmerge::set_abort_report_sink(&capture);
  try {
    rowmerge::raise_abort("ndarray: index out of bounds");
    FAIL() << "raise_abort returned";
  } catch (const rowmerge::Abort& e) {
    EXPECT_EQ(e.message(), "ndarray: index out of bounds");
    EXPECT_STREQ(e.what(), "ndarray: index out of bounds");
  }
  rowmerge::set_abort_report_sink(rowmerge::default_abort_report_sink());
  ASSERT_EQ(REPORTS.size(), 1u);
  const std::string& r = REPORTS[0];
  EXPECT_EQ(r.rfind("thread '<unnamed>' failed at ", 0), 0u) << r;
  EXPECT_NE(r.find("test_abort.cpp:"), std::string::npos) << r;
  EXPECT_TRUE(r.ends_with(":\nndarray: index out of bounds\n")) << r;
}

}  // namespace

#include <stdexcept>

#include "common/poison_mutex.hpp"

namespace {

TEST(PoisonMutex, AFailureInsideTheLockPoisonsItForGood) {
  rowmerge::set_abort_report_sink(nullptr);
  rowmerge::PoisonMutex m;
  { rowmerge::PoisonGuard ok(m); }
  EXPECT_FALSE(m.poisoned());
  try {
    rowmerge::PoisonGuard g(m);
    throw std::runtime_error("failed while holding the lock");
  } catch (const std::runtime_error&) {
  }
  EXPECT_TRUE(m.poisoned());
  for (int i = 0; i < 2; ++i) {
    try {
      rowmerge::PoisonGuard g(m);
      FAIL() << "a poisoned lock was handed out";
    } catch (const rowmerge::Abort& e) {
      EXPECT_EQ(e.message(), "called `Result::unwrap()` on an `Err` value: PoisonError { .. }");
    }
  }
  rowmerge::set_abort_report_sink(rowmerge::default_abort_report_sink());
}

}  // namespace
