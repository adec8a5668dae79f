// The indexed engine against the literal oracle on many random tables, each
// read through a view of a random layout: the same survivors and the same
// failure text for every connected crop row, step by step and, through the
// two passes of the survivor index, for the whole field at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "common/messages.hpp"
#include "literal_merge.hpp"
#include "merge/survivor_index.hpp"
#include "random_tables.hpp"
#include "tables.hpp"

namespace {

using namespace rowmerge;
using test::RandomCase;
using test::Rng;

struct Tally {
  std::map<std::string, std::size_t> outcomes;  // failure text, or "" for success
  std::size_t steps = 0;
  std::size_t survivors = 0;
  std::size_t two_pass_fields = 0;
};

std::vector<literal::LiteralOutcome> oracle_steps(const RandomCase& c) {
  std::vector<literal::LiteralOutcome> steps;
  for (std::size_t id = 0; id < c.ccr.view().rows(); ++id)
    steps.push_back(literal::literal_merge_step(c.ccr.view(), c.pir.view(), c.info.view(), c.tolerance, id));
  return steps;
}

void compare_steps(const RandomCase& c, const std::vector<literal::LiteralOutcome>& oracle, Tally& tally,
                   std::uint64_t seed, std::size_t index) {
  const merge::MergeTables tables{c.ccr.view(), c.pir.view(), c.info.view(), c.tolerance};
  const merge::MergeIndexes indexes = merge::MergeIndexes::build(tables);
  // One id past the end, too: the step must refuse it like the oracle.
  for (std::size_t id = 0; id <= c.ccr.view().rows(); ++id) {
    const test::EngineOutcome engine = test::run_engine(tables, indexes, id);
    const literal::LiteralOutcome expected =
        id < oracle.size() ? oracle[id]
                           : literal::literal_merge_step(c.ccr.view(), c.pir.view(), c.info.view(), c.tolerance, id);
    ASSERT_EQ(engine.failure, expected.failure) << "seed " << seed << " case " << index << " id " << id;
    ASSERT_EQ(engine.survivors, std::vector<merge::PointIndex>(expected.survivors.begin(), expected.survivors.end()))
        << "seed " << seed << " case " << index << " id " << id;
    if (id == oracle.size()) continue;
    ++tally.outcomes[expected.failure];
    ++tally.steps;
    tally.survivors += expected.survivors.size();
  }
}

// The whole field through plans and the survivor index, pieces taken in
// reverse: the lowest failing row's text, or every block in row order.
void compare_two_passes(const RandomCase& c, const std::vector<literal::LiteralOutcome>& oracle, Tally& tally,
                        std::uint64_t seed, std::size_t index) {
  const merge::MergeTables tables{c.ccr.view(), c.pir.view(), c.info.view(), c.tolerance};
  if (tables.points_in_rows.cols() < 4) return;
  const auto failing = std::find_if(oracle.begin(), oracle.end(), [](const auto& s) { return s.failed(); });
  const merge::RecordLookup records(tables.row_information);
  std::vector<merge::StepPlan> plans(oracle.size());
  std::string failure;
  for (std::size_t id = 0; id < plans.size() && failure.empty(); ++id) {
    try {
      plans[id] = merge::plan_step(tables, records, id);
    } catch (const Abort& a) {
      failure = a.message();
    }
  }
  ASSERT_EQ(failure, failing == oracle.end() ? "" : failing->failure) << "seed " << seed << " case " << index;
  if (!failure.empty()) return;
  std::optional<merge::SurvivorIndex> survivors = merge::SurvivorIndex::for_plans(tables.points_in_rows, plans);
  if (!survivors) return;  // a base crop row named twice
  ++tally.two_pass_fields;
  for (std::size_t p = survivors->pieces(); p > 0; --p) survivors->scan(p - 1);
  Matrix out = Matrix::uninitialized(survivors->place(), tables.points_in_rows.cols());
  for (std::size_t p = survivors->pieces(); p > 0; --p) survivors->write(p - 1, out);

  std::size_t at = 0;
  for (const auto& step : oracle) {
    for (const std::uint32_t r : step.survivors) {
      ASSERT_LT(at, out.rows()) << "seed " << seed << " case " << index;
      for (std::size_t col = 0; col < out.cols(); ++col) {
        const double want = tables.points_in_rows(r, col), got = out(at, col);
        ASSERT_EQ(std::memcmp(&want, &got, sizeof got), 0) << "seed " << seed << " case " << index << " row " << at;
      }
      ++at;
    }
  }
  EXPECT_EQ(at, out.rows()) << "seed " << seed << " case " << index;
}

void compare_case(const RandomCase& c, Tally& tally, std::uint64_t seed, std::size_t index) {
  const std::vector<literal::LiteralOutcome> oracle = oracle_steps(c);
  ASSERT_NO_FATAL_FAILURE(compare_steps(c, oracle, tally, seed, index));
  ASSERT_NO_FATAL_FAILURE(compare_two_passes(c, oracle, tally, seed, index));
}

TEST(MergeDifferential, SmallRandomTables) {
  test::QuietAborts quiet;
  Tally tally;
  for (const std::uint64_t seed : {1u, 2u, 3u, 4u}) {
    Rng rng(seed);
    for (std::size_t i = 0; i < 3000; ++i) {
      ASSERT_NO_FATAL_FAILURE(compare_case(test::random_case(rng, 1, i % 3 == 0), tally, seed, i));
    }
  }
  // The generator must keep reaching every outcome, or the comparison proves
  // little.
  EXPECT_GT(tally.outcomes[""], tally.steps / 3);
  EXPECT_GT(tally.survivors, tally.outcomes[""]);
  EXPECT_GT(tally.two_pass_fields, 2000u) << tally.two_pass_fields;
  for (std::string_view text : {messages::kIndexOutOfBounds, messages::kNoneUnwrap, messages::kIncompatibleShapes}) {
    EXPECT_GT(tally.outcomes[std::string(text)], 200u) << text;
  }
}

// Larger tables make the hash tables grow and the groups interleave.
TEST(MergeDifferential, LargerRandomTables) {
  test::QuietAborts quiet;
  Tally tally;
  for (const std::uint64_t seed : {11u, 12u, 13u}) {
    Rng rng(seed);
    for (std::size_t i = 0; i < 20; ++i) {
      ASSERT_NO_FATAL_FAILURE(compare_case(test::random_case(rng, 40, i % 2 == 0), tally, seed, i));
    }
  }
  EXPECT_GT(tally.survivors, tally.outcomes[""]);
  EXPECT_GT(tally.two_pass_fields, 5u) << tally.two_pass_fields;
}

}  // namespace
