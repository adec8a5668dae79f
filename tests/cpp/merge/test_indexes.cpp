// The point index against a plain grouping, on tables of several pieces,
// however the first pass was split, ordered or started beforehand.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <utility>
#include <vector>

#include "merge/geometry.hpp"
#include "merge/indexes.hpp"
#include "tables.hpp"

namespace {

using namespace rowmerge;
using merge::ConvertedKey;
using merge::PointIndex;

// Keys drawn from a small set, in runs of random length, so that groups come
// back again and again and runs cross the piece boundaries.  Some keys are
// stored as values that only convert to a key (fractions, NaN, negatives).
// 2.5 and 2 differ as values and convert alike.
Matrix runs_of_keys(std::size_t rows, std::uint32_t seed) {
  std::mt19937_64 rng(seed);
  const double key1s[] = {1, 2, 2.5, 3, test::kNaN, -4, 0.5, 7e12};
  Matrix m = Matrix::uninitialized(rows, 2);
  std::size_t r = 0;
  while (r < rows) {
    const double k1 = key1s[rng() % 8];
    const double k2 = static_cast<double>(rng() % 5);
    for (std::size_t n = 1 + rng() % 3000; n > 0 && r < rows; --n, ++r) {
      // Within a run the stored value may change and still convert alike.
      m(r, 0) = k1 >= 1 && k1 < 100 ? k1 + static_cast<double>(n % 3) * 0.2 : k1;
      m(r, 1) = k2;
    }
  }
  return m;
}

std::map<std::pair<std::uint32_t, std::uint32_t>, std::vector<PointIndex>> plain_groups(const MatrixView& points) {
  std::map<std::pair<std::uint32_t, std::uint32_t>, std::vector<PointIndex>> groups;
  for (std::size_t r = 0; r < points.rows(); ++r)
    groups[{merge::convert_key(points(r, 0)), merge::convert_key(points(r, 1))}].push_back(static_cast<PointIndex>(r));
  return groups;
}

void expect_plain_groups(const MatrixView& points, const merge::PointGroups& idx, const char* how) {
  std::vector<PointIndex> got;
  std::size_t seen = 0;
  for (const auto& [key, rows] : plain_groups(points)) {
    idx.select_points({key.first, key.second}, got);
    ASSERT_EQ(got, rows) << how << ": key " << key.first << "/" << key.second;
    EXPECT_EQ(idx.group_size({key.first, key.second}), rows.size()) << how;
    seen += rows.size();
  }
  EXPECT_EQ(seen, points.rows());
  idx.select_points({99, 99}, got);
  EXPECT_TRUE(got.empty()) << how;
  EXPECT_EQ(idx.group_size({99, 99}), 0u) << how;
}

// Runs the work backwards, as a pool might.
void backwards(std::size_t count, rowmerge::FunctionRef<void(std::size_t)> work) {
  for (std::size_t i = count; i > 0; --i) work(i - 1);
}

TEST(PointIndex, EveryWayOfScanningGivesThePlainGroups) {
  const Matrix points = runs_of_keys(400'000, 5);  // 6.4 MB: four pieces of 2 MiB
  expect_plain_groups(points, merge::PointGroups(points), "in turn");
  expect_plain_groups(points, merge::PointGroups(points, backwards), "backwards");
  // The same table read upside down, through a view with a negative row
  // step: groups are ascending in the view's own rows.
  const MatrixView reversed(points.data() + (points.rows() - 1) * 2, points.rows(), 2, -2, 1);
  expect_plain_groups(reversed, merge::PointGroups(reversed, backwards), "reversed view");
}

// Each rule of the overlap filter, written out as the rule table states it,
// against the filter on coordinates that include the awkward values.
bool rule_keeps(const merge::Cut& c, double tau, double x, double y) {
  const double cx = c.cut.x, cy = c.cut.y, nx = c.near.x, ny = c.near.y;
  if (std::sqrt((cx - nx) * (cx - nx) + (cy - ny) * (cy - ny)) < tau) return !std::isnan(x) && !std::isnan(y);
  if (cx < nx && cy < ny) return (x <= cx + tau && y <= cy + tau) || (x >= nx + tau && y >= ny + tau);
  if (cx < nx && cy > ny) return (x <= cx + tau && y >= cy - tau) || (x >= nx + tau && y <= ny - tau);
  if (cx > nx && cy > ny) return (x >= cx - tau && y >= cy - tau) || (x <= nx - tau && y <= ny - tau);
  return (x >= cx - tau && y <= cy + tau) || (x <= nx - tau && y >= ny + tau);
}

TEST(MergeGeometry, TheFilterFollowsEveryRule) {
  const double values[] = {-test::kInf, -2, -1, -0.0, 0, 0.5, 1, 1.25, 2, 3, test::kInf, test::kNaN};
  const merge::Cut cuts[] = {
      {{1, 1}, {1.05, 1}},      // within tolerance of the near point
      {{0, 0}, {2, 2}},         // below left
      {{0, 2}, {2, 0}},         // above left
      {{2, 2}, {0, 0}},         // above right
      {{2, 0}, {0, 2}},         // below right
      {{1, 0}, {1, 2}},         // same x
      {{test::kNaN, 0}, {1, 1}},  // no cut point
  };
  for (const double tau : {0.25, 0.0, -1.0, test::kNaN, test::kInf}) {
    for (const merge::Cut& cut : cuts) {
      const merge::OverlapFilter filter(cut, tau);
      for (const double x : values)
        for (const double y : values)
          ASSERT_EQ(filter.keeps(x, y), rule_keeps(cut, tau, x, y))
              << "cut (" << cut.cut.x << ", " << cut.cut.y << ") near (" << cut.near.x << ", " << cut.near.y
              << ") tau " << tau << " point (" << x << ", " << y << ")";
    }
  }
}

}  // namespace
