// Hand-made cases with known answers, checked against both the indexed
// engine and the literal oracle (the oracle is only useful if it is right).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/messages.hpp"
#include "literal_merge.hpp"
#include "merge/geometry.hpp"
#include "tables.hpp"

namespace {

using namespace rowmerge;
using merge::PointIndex;
using test::kNaN;
using test::table;

struct Expected {
  std::vector<PointIndex> survivors;
  std::string failure;
};

Expected fails(std::string_view text) { return {{}, std::string(text)}; }

void expect_step(const Matrix& ccr, const Matrix& pir, const Matrix& info, double tol, std::size_t id,
                 const Expected& want) {
  test::QuietAborts quiet;
  const merge::MergeTables tables{ccr, pir, info, tol};
  const merge::MergeIndexes indexes = merge::MergeIndexes::build(tables);
  const test::EngineOutcome engine = test::run_engine(tables, indexes, id);
  EXPECT_EQ(engine.failure, want.failure) << "engine, id " << id;
  EXPECT_EQ(engine.survivors, want.survivors) << "engine, id " << id;
  const literal::LiteralOutcome oracle = literal::literal_merge_step(ccr, pir, info, tol, id);
  EXPECT_EQ(oracle.failure, want.failure) << "oracle, id " << id;
  EXPECT_EQ(std::vector<PointIndex>(oracle.survivors.begin(), oracle.survivors.end()), want.survivors)
      << "oracle, id " << id;
}

TEST(MergeExamples, Diagonal) {
  const Matrix info = table(11, {{1, 0, 0, 0, 1, 0, 0, 10, 10, 5, 5}, {2, 0, 0, 0, 1, 8, 9, 20, 21, 14, 15}});
  const Matrix ccr = table(6, {{0, 1, 1, 2, 1, kNaN}});
  // Row 3 belongs to the linked crop row and is never selected.
  const Matrix pir = table(5, {{1, 1, 5, 5, -1},
                               {1, 1, 9.5, 9.5, -1},
                               {1, 1, 9.3, 9.3, kNaN},
                               {2, 1, 5, 5, -1},
                               {1, 1, 10.05, 10.05, -1},
                               {1, 1, 10.2, 10.2, -1},
                               {1, 1, 9.3, 9.5, -1}});
  expect_step(ccr, pir, info, 0.1, 0, {{0, 2, 5}, ""});

  const merge::Cut cut = merge::cut_between({{{0, 0}, {10, 10}, {5, 5}}}, {{{8, 9}, {20, 21}, {14, 15}}});
  EXPECT_DOUBLE_EQ(cut.cut.x, 9.25);
  EXPECT_DOUBLE_EQ(cut.cut.y, 9.25);
  EXPECT_EQ(cut.near.x, 10.0);
  EXPECT_EQ(cut.near.y, 10.0);
}

TEST(MergeExamples, AxisParallelCutFallsToLastRule) {
  const Matrix info = table(11, {{1, 0, 0, 0, 1, 0, 0, 10, 0, 5, 0}, {2, 0, 0, 0, 1, 9, 1, 20, 1, 15, 1}});
  const Matrix ccr = table(5, {{0, 1, 1, 2, 1}, {0, 1, 1, kNaN, 7}});
  const Matrix pir = table(4, {{1, 1, 9.6, 0}, {1, 1, 3, 0}, {1, 1, 9.95, 0}, {1, 1, 9, 0}, {1, 1, 9, 0.5},
                               {1, 1, kNaN, 0}});
  // Column 5 is due for the second pair and missing.
  expect_step(ccr, pir, info, 0.1, 0, fails(messages::kIndexOutOfBounds));
  const Matrix ccr7 = table(7, {{0, 1, 1, 2, 1, kNaN, 0}});
  expect_step(ccr7, pir, info, 0.1, 0, {{0, 2, 4}, ""});
  // Without link pairs every selected point survives, NaN coordinates too.
  expect_step(ccr, pir, info, 0.1, 1, {{0, 1, 2, 3, 4, 5}, ""});

  const merge::Cut cut = merge::cut_between({{{0, 0}, {10, 0}, {5, 0}}}, {{{9, 1}, {20, 1}, {15, 1}}});
  EXPECT_EQ(cut.cut.y, 0.0);
  EXPECT_DOUBLE_EQ(cut.cut.x, 9.5);
}

TEST(MergeGeometry, FarthestPairTiesKeepTheEarlierPair) {
  // d(0, 2) = d(1, 0) = 10, the largest: the pair stays (0, 2), so N = A1,
  // M = B0, J = (0, -3); the later pair would give N = A0 and C = (0, 2.5).
  const merge::Cut tie = merge::cut_between({{{0, 0}, {0, 2}, {0, 1}}}, {{{0, -8}, {0, 5}, {0, 10}}});
  EXPECT_EQ(tie.near.y, 2.0);
  EXPECT_EQ(tie.cut.y, -3.0);
  // The base's far point is P2, so N = A0; j* = 2, so M = B0 and J = (0, 1).
  const merge::Cut far2 = merge::cut_between({{{0, 0}, {0, 1}, {0, -9}}}, {{{0, 2}, {0, 3}, {0, 4}}});
  EXPECT_EQ(far2.near.y, 0.0);
  EXPECT_EQ(far2.cut.x, 0.0);
  EXPECT_DOUBLE_EQ(far2.cut.y, 1.0);
  // Coinciding base points: u = 0, t = NaN, and the cut is NaN.
  const merge::Cut flat = merge::cut_between({{{1, 1}, {1, 1}, {1, 1}}}, {{{3, 3}, {4, 4}, {5, 5}}});
  EXPECT_TRUE(std::isnan(flat.cut.x) && std::isnan(flat.cut.y));
  const merge::OverlapFilter filter(flat, 0.5);
  EXPECT_TRUE(filter.keeps(0.5, 1.5));
  EXPECT_FALSE(filter.keeps(0.6, 1.5));
  EXPECT_FALSE(filter.keeps(0.5, 1.4));
}

TEST(MergeExamples, KeysAndFirstRecordWins) {
  // The base key 3.7 converts to 3 and finds the first record of key (3, 1);
  // linked keys match exactly, -0.0 equal to 0.0.
  const Matrix info = table(11, {{3.2, 0, 0, 0, 1.9, 0, 0, 10, 0, 5, 0},
                                 {3, 0, 0, 0, 1, 100, 100, 110, 100, 105, 100},
                                 {3.7, 0, 0, 0, -0.0, 9, 1, 20, 1, 15, 1},
                                 {3.0, 0, 0, 0, 0.0, 50, 50, 60, 60, 55, 55}});
  const Matrix pir = table(4, {{3.0, 1, 9, 0}, {3.999, 1.5, 9.95, 0}, {4, 1, 9.95, 0}, {3.2, 1, 3, 0},
                               {3, 1, 60, 0}});
  // Row 1 has four link pairs, the last of which drops point 1; a fifth pair
  // would need column 12.
  const Matrix ccr = table(12, {{0, 3.7, 1, 3.7, 0.0, kNaN, 0, 0, 0, 0, 0, 5},
                                {0, 3.7, 1, 3.7, 0.0, 3.7, 0, 3.7, 0, 3.0, 1.0, 5},
                                {0, 3.7, 1, 3.0, 1.0, 3.7, 0, 3.7, 0, 3.7, kNaN, kNaN}});
  expect_step(ccr, pir, info, 0.1, 0, {{1, 4}, ""});
  expect_step(ccr, pir, info, 0.1, 1, {{4}, ""});
  // The linked key (3.7, 1.0) would find record 0 by conversion; exactly it
  // finds nothing, and neither does a NaN key 2.
  const Matrix missing = table(7, {{0, 3.7, 1, 3.7, 1.0, kNaN, 0}});
  expect_step(missing, pir, info, 0.1, 0, fails(messages::kNoneUnwrap));
  expect_step(ccr, pir, info, 0.1, 2, fails(messages::kNoneUnwrap));
  expect_step(ccr, pir, info, 0.1, 3, fails(messages::kIndexBelowDim));
}

TEST(MergeFailures, EachShapeFailsWhereARowByRowReadingWould) {
  const Matrix one_link = table(6, {{0, 1, 1, 2, 2, kNaN}});
  const Matrix no_link = table(4, {{0, 1, 1, kNaN}});
  const Matrix points4 = table(4, {{5, 5, 0, 0}, {1, 1, 0, 0}});
  const Matrix info11 = table(11, {{1, 0, 0, 0, 1, 0, 0, 1, 1, 2, 2}, {2, 0, 0, 0, 2, 0, 1, 1, 2, 2, 3}});
  const Matrix info7 = table(7, {{1, 0, 0, 0, 1, 0, 0}, {2, 0, 0, 0, 2, 0, 0}});
  const Matrix info7_no_link = table(7, {{1, 0, 0, 0, 1, 0, 0}});
  const Matrix info4 = table(4, {{7, 0, 0, 0}, {1, 0, 0, 0}});
  const Matrix info4_other = table(4, {{7, 0, 0, 0}});
  const Matrix info_empty = table(11, {});
  const Matrix info_no_cols = table(0, {{}});
  const double tol = 0.1;

  // The record exists but its points cannot be read as a 3 x 2 block; a
  // missing linked record is met first; without link pairs 7 columns do.
  expect_step(one_link, points4, info7, tol, 0, fails(messages::kIncompatibleShapes));
  expect_step(one_link, points4, info7_no_link, tol, 0, fails(messages::kNoneUnwrap));
  expect_step(no_link, points4, info7, tol, 0, {{1}, ""});
  // Fewer than 5 columns: out of bounds only once a key 1 matches.
  expect_step(no_link, points4, info4, tol, 0, fails(messages::kIndexOutOfBounds));
  expect_step(no_link, points4, info4_other, tol, 0, fails(messages::kNoneUnwrap));
  expect_step(no_link, points4, info_empty, tol, 0, fails(messages::kNoneUnwrap));
  expect_step(no_link, points4, info_no_cols, tol, 0, fails(messages::kIndexOutOfBounds));

  // Points with one column fail only when some key 1 matches the base's,
  // and before the record lookup.
  const Matrix points1 = table(1, {{5}, {1.5}});
  const Matrix points1_other = table(1, {{5}});
  expect_step(no_link, points1, info_empty, tol, 0, fails(messages::kIndexOutOfBounds));
  expect_step(no_link, points1_other, info_empty, tol, 0, fails(messages::kNoneUnwrap));
  expect_step(no_link, table(0, {{}}), info11, tol, 0, fails(messages::kIndexOutOfBounds));
  expect_step(no_link, table(0, {}), info11, tol, 0, {{}, ""});

  // Points with three columns fail at the filter, and only with points.
  const Matrix points3 = table(3, {{1, 1, 0}});
  expect_step(one_link, points3, info11, tol, 0, fails(messages::kIndexOutOfBounds));
  expect_step(no_link, points3, info11, tol, 0, {{0}, ""});
  expect_step(one_link, table(3, {{2, 2, 0}}), info11, tol, 0, {{}, ""});

  // A table of three columns always fails at the first link pair, after the
  // base record; a key 1 without its key 2 fails likewise.
  const Matrix ccr3 = table(3, {{0, 1, 1}});
  expect_step(ccr3, points4, info11, tol, 0, fails(messages::kIndexOutOfBounds));
  expect_step(ccr3, points4, info_empty, tol, 0, fails(messages::kNoneUnwrap));
  expect_step(table(4, {{0, 1, 1, 2}}), points4, info11, tol, 0, fails(messages::kIndexOutOfBounds));
  expect_step(table(2, {{0, 1}}), points4, info11, tol, 0, fails(messages::kIndexOutOfBounds));
}

TEST(MergeFailures, HugeTablesWithoutColumnsFailLikeAnyOther) {
  if constexpr (sizeof(std::size_t) > 4) {
    test::QuietAborts quiet;
    const Matrix ccr = table(4, {{0, 1, 1, kNaN}});
    const Matrix none = table(11, {});
    const Matrix huge = Matrix::uninitialized(std::size_t{UINT32_MAX} + 1, 0);  // no elements, no memory
    for (const merge::MergeTables& tables : {merge::MergeTables{ccr, huge, none, 0.1},
                                            merge::MergeTables{ccr, none, huge, 0.1}}) {
      const merge::MergeIndexes indexes = merge::MergeIndexes::build(tables);
      EXPECT_EQ(test::run_engine(tables, indexes, 0).failure, messages::kIndexOutOfBounds);
    }
  }
}

}  // namespace
