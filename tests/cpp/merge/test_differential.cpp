// The indexed engine against the literal oracle on many random tables: same
// survivors, same failure text, for every connected crop row.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "common/messages.hpp"
#include "literal_merge.hpp"
#include "tables.hpp"

namespace {

using namespace rowmerge;
using test::kInf;
using test::kNaN;

class Rng {
 public:
  explicit Rng(std::uint64_t seed) : gen_(seed) {}
  // Uniform in [0, n).
  std::size_t below(std::size_t n) { return static_cast<std::size_t>(gen_() % n); }
  bool chance(unsigned percent) { return below(100) < percent; }
  template <class T, std::size_t N>
  T pick(const T (&values)[N]) {
    return values[below(N)];
  }

 private:
  std::mt19937_64 gen_;
};

// Keys that convert in every interesting way: fractions, negatives, -0.0,
// NaN, infinities and values beyond 32 bits.
constexpr double kWildKeys[] = {1, 2, 3, 1.5, 2.9, 3.2, 0, -0.0, -1, 0.5, kNaN, kInf, -kInf,
                                4294967295.0, 4294967296.0, 1e12, 4294967294.5};
constexpr double kTameKeys[] = {1, 2, 3, 1.5, 2.25};
// Small grid values make equal distances and points on the bounds common.
constexpr double kCoords[] = {0, 1, 2, 3, 4, 0.5, 1.5, -1, 2.25, 0.1, 9.5};
constexpr double kTolerances[] = {0, 0.1, 0.25, 0.5, 1, 2, -0.5, kNaN, kInf};

Matrix random_layout(Rng& rng, std::size_t rows, std::size_t cols) {
  if (rng.chance(50)) return Matrix::uninitialized(rows, cols);
  return Matrix::uninitialized_with_steps(rows, cols, 1, static_cast<std::ptrdiff_t>(rows));
}

double coord(Rng& rng) {
  if (rng.chance(4)) return kNaN;
  if (rng.chance(1)) return rng.chance(50) ? kInf : -kInf;
  return rng.pick(kCoords);
}

double key(Rng& rng, bool tame) { return tame && rng.chance(85) ? rng.pick(kTameKeys) : rng.pick(kWildKeys); }

struct Case {
  Matrix ccr, pir, info;
  double tolerance = 0.0;
};

Case random_case(Rng& rng, std::size_t scale) {
  const bool tame = rng.chance(75);
  auto cols = [&](std::size_t usual_low, std::size_t usual_high) {
    return tame ? usual_low + rng.below(usual_high - usual_low + 1) : rng.below(13);
  };
  const std::size_t ccr_cols = cols(5, 12);
  const std::size_t pir_cols = cols(4, 6);
  const std::size_t info_cols = tame && rng.chance(90) ? 11 : rng.below(13);
  const std::size_t ccr_rows = 1 + rng.below(4 * scale);
  const std::size_t pir_rows = rng.below(14 * scale);
  const std::size_t info_rows = rng.below(7 * scale);

  Case c{random_layout(rng, ccr_rows, ccr_cols), random_layout(rng, pir_rows, pir_cols),
         random_layout(rng, info_rows, info_cols), rng.pick(kTolerances)};

  // Records: keys in columns 0 and 4, reference points in 5 to 10.
  std::vector<std::pair<double, double>> record_keys;
  for (std::size_t r = 0; r < info_rows; ++r) {
    for (std::size_t col = 0; col < info_cols; ++col) c.info(r, col) = col >= 5 ? coord(rng) : key(rng, tame);
    if (info_cols >= 5) record_keys.emplace_back(c.info(r, 0), c.info(r, 4));
  }
  auto some_key = [&]() -> std::pair<double, double> {
    if (!record_keys.empty() && rng.chance(tame ? 94 : 70)) return record_keys[rng.below(record_keys.size())];
    return {key(rng, tame), key(rng, tame)};
  };

  for (std::size_t r = 0; r < pir_rows; ++r) {
    const auto [k1, k2] = some_key();
    for (std::size_t col = 0; col < pir_cols; ++col) c.pir(r, col) = col == 0 ? k1 : col == 1 ? k2 : coord(rng);
  }

  for (std::size_t r = 0; r < ccr_rows; ++r) {
    for (std::size_t col = 0; col < ccr_cols; ++col) c.ccr(r, col) = key(rng, false);
    const auto [b1, b2] = some_key();
    if (ccr_cols > 1) c.ccr(r, 1) = b1;
    if (ccr_cols > 2) c.ccr(r, 2) = b2;
    const std::size_t pairs = rng.below(5);
    for (std::size_t k = 0; k < 4; ++k) {
      const std::size_t col = 2 * k + 3;
      if (col >= ccr_cols) break;
      if (k == pairs) {
        c.ccr(r, col) = kNaN;
        break;
      }
      const auto [l1, l2] = some_key();
      c.ccr(r, col) = l1;
      if (col + 1 < ccr_cols) c.ccr(r, col + 1) = l2;
    }
  }
  return c;
}

struct Tally {
  std::map<std::string, std::size_t> outcomes;  // failure text, or "" for success
  std::size_t steps = 0;
  std::size_t survivors = 0;
};

void compare_case(const Case& c, Tally& tally, std::uint64_t seed, std::size_t index) {
  const merge::MergeTables tables{c.ccr, c.pir, c.info, c.tolerance};
  const merge::MergeIndexes indexes = merge::MergeIndexes::build(tables);
  // One id past the end, too: the step must refuse it like the oracle.
  for (std::size_t id = 0; id <= c.ccr.rows(); ++id) {
    const test::EngineOutcome engine = test::run_engine(tables, indexes, id);
    const literal::LiteralOutcome oracle = literal::literal_merge_step(c.ccr, c.pir, c.info, c.tolerance, id);
    ASSERT_EQ(engine.failure, oracle.failure) << "seed " << seed << " case " << index << " id " << id;
    ASSERT_EQ(engine.survivors, std::vector<merge::PointIndex>(oracle.survivors.begin(), oracle.survivors.end()))
        << "seed " << seed << " case " << index << " id " << id;
    if (id == c.ccr.rows()) continue;
    ++tally.outcomes[oracle.failure];
    ++tally.steps;
    tally.survivors += oracle.survivors.size();
  }
}

TEST(MergeDifferential, SmallRandomTables) {
  test::QuietAborts quiet;
  Tally tally;
  for (const std::uint64_t seed : {1u, 2u, 3u, 4u}) {
    Rng rng(seed);
    for (std::size_t i = 0; i < 3000; ++i) {
      ASSERT_NO_FATAL_FAILURE(compare_case(random_case(rng, 1), tally, seed, i));
    }
  }
  // The generator must keep reaching every outcome, or the comparison proves
  // little.
  EXPECT_GT(tally.outcomes[""], tally.steps / 3);
  EXPECT_GT(tally.survivors, tally.outcomes[""]);
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
      ASSERT_NO_FATAL_FAILURE(compare_case(random_case(rng, 40), tally, seed, i));
    }
  }
  EXPECT_GT(tally.survivors, tally.outcomes[""]);
}

}  // namespace
