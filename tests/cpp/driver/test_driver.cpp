// The whole merge of a field: the driver against the literal step, on pools
// of several sizes, with failures placed at random rows.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "driver/driver.hpp"
#include "literal_merge.hpp"
#include "random_tables.hpp"
#include "tables.hpp"

namespace {

using rowmerge::Matrix;
using Row = std::vector<double>;

// A small field: `rows` crop rows along x, each cut into `segments`
// overlapping segments; every segment's connected crop row links its
// neighbours.  Points carry an extra column, and are shuffled over the
// table unless `in_order` asks for them crop row after crop row.
struct Field {
  Matrix connected;
  Matrix points;
  Matrix records;
};

Field make_field(std::uint32_t seed, std::size_t rows, std::size_t segments, std::size_t points_per_segment,
                 bool in_order = false) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> jitter(-0.05, 0.05);
  const std::size_t n_seg = rows * segments;
  Field f;
  f.records = Matrix::uninitialized(n_seg, 11);
  f.points = Matrix::uninitialized(n_seg * points_per_segment, 5);
  f.connected = Matrix::uninitialized(n_seg, 11);
  std::size_t p = 0;
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t s = 0; s < segments; ++s) {
      const std::size_t id = r * segments + s;
      const double k1 = static_cast<double>(r + 1), k2 = static_cast<double>(s + 1);
      const double x0 = 10.0 * static_cast<double>(s) - 1.0, x1 = x0 + 12.0, y = 3.0 * static_cast<double>(r);
      const double ref[6] = {x0, y, x1, y + 0.2, (x0 + x1) / 2, y + 0.1};
      f.records(id, 0) = k1;
      f.records(id, 1) = f.records(id, 2) = f.records(id, 3) = 0.0;
      f.records(id, 4) = k2;
      for (int c = 0; c < 6; ++c) f.records(id, 5 + c) = ref[c];
      for (std::size_t i = 0; i < points_per_segment; ++i, ++p) {
        const double t = static_cast<double>(i) / static_cast<double>(points_per_segment - 1);
        f.points(p, 0) = k1 + 0.25;  // fractional keys convert to the same key
        f.points(p, 1) = k2;
        f.points(p, 2) = x0 + t * (x1 - x0) + jitter(rng);
        f.points(p, 3) = y + 0.2 * t + jitter(rng);
        f.points(p, 4) = static_cast<double>(p);
      }
      f.connected(id, 0) = static_cast<double>(id);
      f.connected(id, 1) = k1;
      f.connected(id, 2) = k2;
      std::size_t c = 3;
      if (s > 0) { f.connected(id, c++) = k1; f.connected(id, c++) = k2 - 1; }
      if (s + 1 < segments) { f.connected(id, c++) = k1; f.connected(id, c++) = k2 + 1; }
      for (; c < 11; ++c) f.connected(id, c) = rowmerge::test::kNaN;
    }
  }
  if (in_order) return f;
  // Shuffle the points so a crop row's points are spread over the table.
  std::vector<std::size_t> order(f.points.rows());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), rng);
  Matrix shuffled = Matrix::uninitialized(f.points.rows(), f.points.cols());
  for (std::size_t i = 0; i < order.size(); ++i)
    for (std::size_t c = 0; c < f.points.cols(); ++c) shuffled(i, c) = f.points(order[i], c);
  f.points = std::move(shuffled);
  return f;
}

Row row_of(const Matrix& m, std::size_t r) {
  Row out(m.cols());
  for (std::size_t c = 0; c < m.cols(); ++c) out[c] = m(r, c);
  return out;
}

std::vector<std::vector<Row>> literal_blocks(const Field& f, double tolerance) {
  std::vector<std::vector<Row>> blocks;
  for (std::size_t id = 0; id < f.connected.rows(); ++id) {
    auto outcome = rowmerge::literal::literal_merge_step(f.connected, f.points, f.records, tolerance, id);
    EXPECT_FALSE(outcome.failed()) << outcome.failure;
    std::vector<Row> block;
    for (auto r : outcome.survivors) block.push_back(row_of(f.points, r));
    blocks.push_back(std::move(block));
  }
  return blocks;
}

// True when `out` is the non-empty `blocks` laid end to end in some order,
// each whole and used once.
bool is_permutation_of_blocks(const Matrix& out, const std::vector<std::vector<Row>>& blocks) {
  std::vector<std::size_t> pending;
  for (std::size_t i = 0; i < blocks.size(); ++i)
    if (!blocks[i].empty()) pending.push_back(i);
  std::vector<bool> used(blocks.size(), false);
  auto fits = [&](std::size_t at, const std::vector<Row>& b) {
    if (at + b.size() > out.rows()) return false;
    for (std::size_t k = 0; k < b.size(); ++k)
      if (row_of(out, at + k) != b[k]) return false;
    return true;
  };
  // Depth-first: blocks with equal prefixes may need a second choice.
  auto search = [&](auto&& self, std::size_t at, std::size_t placed) -> bool {
    if (placed == pending.size()) return at == out.rows();
    for (std::size_t i : pending) {
      if (used[i] || !fits(at, blocks[i])) continue;
      used[i] = true;
      if (self(self, at + blocks[i].size(), placed + 1)) return true;
      used[i] = false;
    }
    return false;
  };
  return search(search, 0, 0);
}

// `out` is `blocks` laid end to end in their order.
void expect_blocks_in_order(const Matrix& out, const std::vector<std::vector<Row>>& blocks) {
  std::size_t at = 0;
  for (const auto& b : blocks)
    for (const Row& r : b) {
      ASSERT_LT(at, out.rows());
      EXPECT_EQ(row_of(out, at++), r);
    }
  EXPECT_EQ(at, out.rows());
}

TEST(Driver, OneThreadGivesTheBlocksInRowOrder) {
  const Field f = make_field(1, 4, 5, 40);
  const auto blocks = literal_blocks(f, 0.05);
  const Matrix out = rowmerge::multithreaded_merging(f.connected, f.points, f.records, 0.05, 1);
  ASSERT_EQ(out.cols(), 5u);
  expect_blocks_in_order(out, blocks);
  EXPECT_LT(out.rows(), f.points.rows());  // the overlaps were really dropped
}

TEST(Driver, AnyThreadCountGivesTheSameBlocks) {
  for (std::uint32_t threads : {2u, 3u, 8u, 0u}) {
    const Field f = make_field(threads + 7, 6, 6, 30);
    const auto blocks = literal_blocks(f, 0.02);
    const Matrix out = rowmerge::multithreaded_merging(f.connected, f.points, f.records, 0.02, threads);
    EXPECT_TRUE(is_permutation_of_blocks(out, blocks)) << "threads " << threads;
  }
}

// A base crop row named by two connected rows gives its points twice, so
// the output can outgrow the points table; such fields take the other way
// of collecting the rows.
TEST(Driver, BasesNamedTwiceComeOutTwice) {
  Field f = make_field(5, 3, 4, 25);
  Matrix twice = Matrix::uninitialized(f.connected.rows() + 3, f.connected.cols());
  for (std::size_t r = 0; r < twice.rows(); ++r)
    for (std::size_t c = 0; c < twice.cols(); ++c) twice(r, c) = f.connected(r % f.connected.rows(), c);
  f.connected = std::move(twice);
  const auto blocks = literal_blocks(f, 0.05);
  const Matrix out = rowmerge::multithreaded_merging(f.connected, f.points, f.records, 0.05, 1);
  expect_blocks_in_order(out, blocks);
  const Matrix out2 = rowmerge::multithreaded_merging(f.connected, f.points, f.records, 0.05, 2);
  EXPECT_TRUE(is_permutation_of_blocks(out2, blocks));
}

TEST(Driver, EmptyResultsKeepThePointsColumns) {
  const Field f = make_field(3, 2, 2, 10);
  const Matrix none = Matrix::uninitialized(0, 11);
  const Matrix out = rowmerge::multithreaded_merging(none, f.points, f.records, 0.1, 2);
  EXPECT_EQ(out.rows(), 0u);
  EXPECT_EQ(out.cols(), 5u);

  // Every point NaN: every step runs and keeps nothing.
  Matrix nan_points = Matrix::uninitialized(f.points.rows(), 7);
  for (std::size_t r = 0; r < nan_points.rows(); ++r)
    for (std::size_t c = 0; c < 7; ++c) nan_points(r, c) = c < 2 ? f.points(r, c) : rowmerge::test::kNaN;
  const Matrix out2 = rowmerge::multithreaded_merging(f.connected, nan_points, f.records, 0.1, 2);
  EXPECT_EQ(out2.rows(), 0u);
  EXPECT_EQ(out2.cols(), 7u);
}

// Breaks the rows `bad` by pointing their base key at a crop row that has no
// record; the call must fail with the lowest one's message.
TEST(Driver, TheLowestFailingRowWinsOnEveryPoolSize) {
  rowmerge::test::QuietAborts quiet;
  std::mt19937 rng(11);
  for (int round = 0; round < 40; ++round) {
    Field f = make_field(static_cast<std::uint32_t>(round), 5, 8, 12);
    const std::size_t n = f.connected.rows();
    std::uniform_int_distribution<std::size_t> pick(0, n - 1);
    const std::size_t low = pick(rng), other = pick(rng);
    // The lowest failing row fails one way, the higher one another way.
    const std::size_t first = std::min(low, other), second = std::max(low, other);
    f.connected(first, 1) = 999.0;                      // no record: Option::unwrap
    if (second != first) f.connected(second, 3) = 0.5;  // linked key without record, same text
    if (second != first) f.connected(second, 4) = rowmerge::test::kNaN;
    const std::uint32_t threads = 1 + static_cast<std::uint32_t>(round % 8);
    try {
      (void)rowmerge::multithreaded_merging(f.connected, f.points, f.records, 0.05, threads);
      FAIL() << "no failure, round " << round;
    } catch (const rowmerge::Abort& e) {
      EXPECT_EQ(e.message(), "called `Option::unwrap()` on a `None` value");
    }
    // A failure of another kind on a higher row never wins: a 5-column table
    // where only the higher row has a link pair, so it runs out of columns.
    Matrix narrow = Matrix::uninitialized(f.connected.rows(), 5);
    for (std::size_t r = 0; r < narrow.rows(); ++r) {
      for (std::size_t c = 0; c < 3; ++c) narrow(r, c) = f.connected(r, c);
      narrow(r, 3) = rowmerge::test::kNaN;
      narrow(r, 4) = rowmerge::test::kNaN;
    }
    narrow(second, 3) = f.records(0, 0);
    narrow(second, 4) = f.records(0, 4);
    auto expect_failure = [&](const Matrix& connected, const char* text) {
      try {
        (void)rowmerge::multithreaded_merging(connected, f.points, f.records, 0.05, threads);
        ADD_FAILURE() << "no failure, round " << round;
      } catch (const rowmerge::Abort& e) {
        EXPECT_EQ(e.message(), text) << "round " << round << " rows " << first << ", " << second;
      }
    };
    expect_failure(narrow, "called `Option::unwrap()` on a `None` value");
    narrow(first, 1) = f.records(first, 0);  // record `first` belongs to row `first`
    // Only the higher row is broken now.
    if (first != second) expect_failure(narrow, "ndarray: index out of bounds");
  }
}

TEST(Driver, RepeatedCallsWithChangingThreadCounts) {
  const Field f = make_field(5, 3, 4, 20);
  const auto blocks = literal_blocks(f, 0.05);
  for (int i = 0; i < 30; ++i) {
    const std::uint32_t threads = static_cast<std::uint32_t>(i % 5);
    const Matrix out = rowmerge::multithreaded_merging(f.connected, f.points, f.records, 0.05, threads);
    EXPECT_TRUE(is_permutation_of_blocks(out, blocks)) << "call " << i;
  }
}

// Many merges from several outside threads at once, half of them failing;
// run under ThreadSanitizer too.
TEST(Driver, ConcurrentCallsWithFailuresStayConsistent) {
  rowmerge::test::QuietAborts quiet;
  const Field f = make_field(9, 4, 6, 15);
  const auto blocks = literal_blocks(f, 0.05);
  Matrix broken = Matrix::uninitialized(f.connected.rows(), 11);
  for (std::size_t r = 0; r < broken.rows(); ++r)
    for (std::size_t c = 0; c < 11; ++c) broken(r, c) = f.connected(r, c);
  broken(broken.rows() - 1, 2) = 777.0;
  std::vector<std::thread> callers;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i) {
        const std::uint32_t threads = 2 + static_cast<std::uint32_t>((t + i) % 7);
        if (i % 2 == 0) {
          const Matrix out = rowmerge::multithreaded_merging(f.connected, f.points, f.records, 0.05, threads);
          if (!is_permutation_of_blocks(out, blocks)) wrong.fetch_add(1, std::memory_order_relaxed);
        } else {
          try {
            (void)rowmerge::multithreaded_merging(broken, f.points, f.records, 0.05, threads);
            wrong.fetch_add(1, std::memory_order_relaxed);
          } catch (const rowmerge::Abort& e) {
            if (e.message() != "called `Option::unwrap()` on a `None` value") wrong.fetch_add(1, std::memory_order_relaxed);
          }
        }
      }
    });
  }
  for (auto& c : callers) c.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace

namespace {

using rowmerge::test::LaidOut;
using rowmerge::test::Layout;

// Rows of `out` as raw bytes, in order: output rows are bit-exact copies.
std::vector<std::string> row_bytes(const Matrix& out) {
  std::vector<std::string> rows;
  for (std::size_t r = 0; r < out.rows(); ++r) {
    std::string bytes(out.cols() * sizeof(double), '\0');
    for (std::size_t c = 0; c < out.cols(); ++c) {
      const double v = out(r, c);
      std::memcpy(bytes.data() + c * sizeof(double), &v, sizeof v);
    }
    rows.push_back(std::move(bytes));
  }
  return rows;
}

// Random fields of every shape, each table in a random layout (a base crop
// row named many times through a repeated row included), on pools of 1 to 3
// threads: the lowest failing row's text, or the literal rows (in row order
// on one thread, as a multiset otherwise).
TEST(Driver, RandomFieldsInEveryLayoutGiveTheLiteralRows) {
  rowmerge::test::QuietAborts quiet;
  rowmerge::test::Rng rng(23);
  std::size_t merged = 0;
  for (std::size_t i = 0; i < 600; ++i) {
    const rowmerge::test::RandomCase c = rowmerge::test::random_case(rng, 1 + i % 7, i % 3 != 0);
    const auto& ccr = c.ccr.view();
    const auto& pir = c.pir.view();
    const auto& info = c.info.view();
    std::string failure;
    std::vector<std::string> expected;
    for (std::size_t id = 0; id < ccr.rows() && failure.empty(); ++id) {
      const auto step = rowmerge::literal::literal_merge_step(ccr, pir, info, c.tolerance, id);
      failure = step.failure;
      for (const auto r : step.survivors) {
        Matrix row = Matrix::uninitialized(1, pir.cols());
        for (std::size_t col = 0; col < pir.cols(); ++col) row(0, col) = pir(r, col);
        expected.push_back(row_bytes(row)[0]);
      }
    }
    const std::uint32_t threads = 1 + static_cast<std::uint32_t>(i % 3);
    try {
      const Matrix out = rowmerge::multithreaded_merging(ccr, pir, info, c.tolerance, threads);
      ASSERT_EQ(failure, "") << "case " << i;
      ASSERT_EQ(out.cols(), pir.cols()) << "case " << i;
      std::vector<std::string> got = row_bytes(out);
      if (threads > 1) {
        std::sort(got.begin(), got.end());
        std::sort(expected.begin(), expected.end());
      }
      ASSERT_EQ(got, expected) << "case " << i << ", " << threads << " threads";
      ++merged;
    } catch (const rowmerge::Abort& a) {
      ASSERT_EQ(a.message(), failure) << "case " << i;
    }
  }
  EXPECT_GT(merged, 150u);
}

// A field large enough for many pieces of the points, on 2 threads, with the
// points in each layout: the rows of the row-major merge.
TEST(Driver, LargePointTablesInEveryLayoutGiveTheSameRows) {
  const Field f = make_field(17, 30, 5, 1200);  // 180,000 points of 5 columns
  const auto blocks = literal_blocks(f, 0.05);
  for (const Layout layout : rowmerge::test::kLayouts) {
    if (layout == Layout::kRepeatedRow || layout == Layout::kRepeatedColumn) continue;  // a different table
    const LaidOut points(f.points, layout);
    const Matrix out = rowmerge::multithreaded_merging(f.connected, points.view(), f.records, 0.05, 2);
    EXPECT_TRUE(is_permutation_of_blocks(out, blocks)) << static_cast<int>(layout);
  }
  // Every point the same: the repeated row, named by every connected row of
  // its crop row's key.
  const LaidOut same(f.points, Layout::kRepeatedRow);
  const Matrix out = rowmerge::multithreaded_merging(f.connected, same.view(), f.records, 0.05, 2);
  std::size_t expected = 0;
  for (std::size_t id = 0; id < f.connected.rows(); ++id)
    expected += rowmerge::literal::literal_merge_step(f.connected, same.view(), f.records, 0.05, id).survivors.size();
  EXPECT_EQ(out.rows(), expected);
}

// Points stored crop row after crop row, as the connected crop rows list
// them, are written as they are scanned; a table that leaves that order
// late, after many pieces were written so, is written again in its places.
// Either way the output is the blocks in connected row order, on any pool.
TEST(Driver, TablesInOrderAndTablesThatLeaveItLateGiveTheBlocksInOrder) {
  Field f = make_field(5, 12, 25, 1000, true);  // 300,000 points of 5 columns
  const auto in_order = literal_blocks(f, 0.05);
  // The table's first point moved to its end: the first block still comes
  // first in the output, that point now last in it.
  Field late = make_field(5, 12, 25, 1000, true);
  const std::size_t n = late.points.rows();
  for (std::size_t c = 0; c < late.points.cols(); ++c) {
    for (std::size_t r = 0; r + 1 < n; ++r) std::swap(late.points(r, c), late.points(r + 1, c));
  }
  const auto moved = literal_blocks(late, 0.05);
  ASSERT_EQ(moved.front().back(), in_order.front().front());
  // Crop rows of exactly one piece each (32768 rows of 5 columns), the first
  // two stored the other way round: every piece is in order within itself,
  // and the order falls between the first two.
  Field swapped = make_field(6, 1, 8, 32768, true);
  for (std::size_t r = 0; r < 32768; ++r)
    for (std::size_t c = 0; c < swapped.points.cols(); ++c)
      std::swap(swapped.points(r, c), swapped.points(r + 32768, c));
  const auto swapped_blocks = literal_blocks(swapped, 0.05);
  // No links: every point survives, whole pieces at a time.
  Field unlinked = make_field(5, 12, 25, 1000, true);
  for (std::size_t r = 0; r < unlinked.connected.rows(); ++r)
    for (std::size_t c = 3; c < 11; ++c) unlinked.connected(r, c) = rowmerge::test::kNaN;
  const auto all_points = literal_blocks(unlinked, 0.05);
  for (const std::uint32_t threads : {1u, 2u, 3u}) {
    for (const Layout layout : {Layout::kRowMajor, Layout::kColumnMajor, Layout::kReversed}) {
      const LaidOut points(f.points, layout), late_points(late.points, layout);
      expect_blocks_in_order(rowmerge::multithreaded_merging(f.connected, points.view(), f.records, 0.05, threads),
                             in_order);
      expect_blocks_in_order(
          rowmerge::multithreaded_merging(late.connected, late_points.view(), late.records, 0.05, threads), moved);
      expect_blocks_in_order(
          rowmerge::multithreaded_merging(unlinked.connected, points.view(), unlinked.records, 0.05, threads),
          all_points);
      const LaidOut swapped_points(swapped.points, layout);
      expect_blocks_in_order(
          rowmerge::multithreaded_merging(swapped.connected, swapped_points.view(), swapped.records, 0.05, threads),
          swapped_blocks);
    }
  }
}

}  // namespace
