#include "driver/driver.hpp"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

#include "common/poison_mutex.hpp"
#include "merge/indexes.hpp"
#include "merge/merge_step.hpp"
#include "pool/pool.hpp"
#include "progress/progress_bar.hpp"
#include "progress/style.hpp"

namespace rowmerge {
namespace {

constexpr std::string_view kBarLayout = "{spinner:.green} [{elapsed_precise}] [{bar:40.cyan/blue}] {pos}/{len} ({eta})";

// What the finished merge steps handed over, one contiguous block per step
// in hand-over order.  The rows are written straight into the output when
// its size can be bounded before the loop (`placed` counts them); otherwise
// they are listed by index and copied after the loop.
struct SharedResultList {
  PoisonMutex lock;
  std::size_t placed = 0;
  std::vector<merge::PointIndex> rows;
};

// Copies whole rows of `points`, in the listed order, to consecutive rows at
// `dst`.
void copy_rows(const Matrix& points, const merge::PointIndex* rows, std::size_t count, double* dst) {
  const std::size_t width = points.cols();
  if (points.col_step() == 1) {
    for (std::size_t k = 0; k < count; ++k, dst += width) {
      const double* src = points.row_ptr(rows[k]);
      for (std::size_t c = 0; c < width; ++c) dst[c] = src[c];
    }
  } else {
    for (std::size_t k = 0; k < count; ++k, dst += width)
      for (std::size_t c = 0; c < width; ++c) dst[c] = points(rows[k], c);
  }
}

// Stacks the listed rows of `points` into a new row-major matrix.  The copy
// is spread over the pool in pieces of a fixed number of rows, so that the
// output's fresh pages are also faulted in on every worker.
Matrix assemble_output(pool::Registry& pool, const Matrix& points, const std::vector<merge::PointIndex>& rows) {
  const std::size_t width = points.cols();
  Matrix out = Matrix::uninitialized(rows.size(), width);
  if (out.size() == 0) return out;
  constexpr std::size_t kRowsPerPiece = std::size_t{1} << 15;
  const std::size_t pieces = (rows.size() + kRowsPerPiece - 1) / kRowsPerPiece;
  pool::for_each_id(pool, pieces, [&](std::uint64_t piece) {
    const std::size_t first = static_cast<std::size_t>(piece) * kRowsPerPiece;
    const std::size_t last = std::min(rows.size(), first + kRowsPerPiece);
    copy_rows(points, rows.data() + first, last - first, out.data() + first * width);
  });
  return out;
}

// The most rows the merge can give: every point of every connected row's
// base crop row.  A connected row too narrow to name its base fails its step
// and gives none.
std::uint64_t most_output_rows(const Matrix& connected, const merge::MergeIndexes& indexes) {
  if (connected.cols() < 3) return 0;
  std::uint64_t total = 0;
  for (std::size_t id = 0; id < connected.rows(); ++id)
    total += indexes.group_size({merge::convert_key(connected(id, 1)), merge::convert_key(connected(id, 2))});
  return total;
}

constexpr std::size_t kCopyPiece = std::size_t{1} << 18;  // 2 MiB of doubles
// Copies below this stay on the calling thread.
constexpr std::size_t kPooledCopy = 8 * kCopyPiece;

}  // namespace

void copy_on_pool(double* target, const void* source, std::size_t count, std::uint32_t num_threads) {
  if (count < kPooledCopy) {
    std::memcpy(target, source, count * sizeof(double));
    return;
  }
  const pool::PoolLease lease = pool::registry_for_call(num_threads);
  pool::for_each_id(*lease, (count + kCopyPiece - 1) / kCopyPiece, [&](std::uint64_t piece) {
    const std::size_t first = static_cast<std::size_t>(piece) * kCopyPiece;
    std::memcpy(target + first, static_cast<const char*>(source) + first * sizeof(double),
                std::min(kCopyPiece, count - first) * sizeof(double));
  });
}

merge::PointKeyScan copy_points_on_pool(Matrix& target, const void* source, std::uint32_t num_threads) {
  merge::PointKeyScan scan(target);
  if (scan.pieces() == 0) {
    copy_on_pool(target.data(), source, target.size(), num_threads);
    return scan;
  }
  const std::size_t width = target.cols();
  auto copy_and_scan = [&](std::size_t piece) {
    const std::size_t first = scan.first_row(piece) * width;
    const std::size_t count = scan.end_row(piece) * width - first;
    std::memcpy(target.data() + first, static_cast<const char*>(source) + first * sizeof(double),
                count * sizeof(double));
    scan.scan(target, piece);
  };
  if (target.size() < kPooledCopy) {
    for (std::size_t p = 0; p < scan.pieces(); ++p) copy_and_scan(p);
  } else {
    pool::for_each_id(*pool::registry_for_call(num_threads), scan.pieces(),
                      [&](std::uint64_t piece) { copy_and_scan(static_cast<std::size_t>(piece)); });
  }
  return scan;
}

Matrix multithreaded_merging(const Matrix& connected_crop_rows, const Matrix& points_in_rows,
                             const Matrix& row_information, double tolerance, std::uint32_t num_threads,
                             merge::PointKeyScan scanned_points) {
  const pool::PoolLease lease = pool::registry_for_call(num_threads);
  pool::Registry& pool = *lease;

  const merge::MergeTables tables{connected_crop_rows, points_in_rows, row_information, tolerance};
  const merge::MergeIndexes indexes = merge::MergeIndexes::build(
      tables,
      [&pool](std::size_t count, FunctionRef<void(std::size_t)> work) {
        pool::for_each_id(pool, count, [work](std::uint64_t i) { work(static_cast<std::size_t>(i)); });
      },
      std::move(scanned_points));

  // When no point can come out twice (no base crop row is named by two
  // connected rows), the output needs at most as many rows as the input, and
  // each step copies its survivors into it while they are still in cache.
  // The pages of rows never written are never touched.
  const std::uint64_t bound = most_output_rows(connected_crop_rows, indexes);
  const bool direct = bound <= points_in_rows.rows();
  const std::size_t width = points_in_rows.cols();
  Matrix out = direct ? Matrix::uninitialized(static_cast<std::size_t>(bound), width) : Matrix();

  SharedResultList results;
  const std::uint64_t count = connected_crop_rows.rows();
  progress::ProgressBar bar(count);
  bar.set_style(progress::ProgressStyle::with_template(kBarLayout));

  pool::for_each_id(pool, count, [&](std::uint64_t id) {
    std::vector<merge::PointIndex> survivors;
    merge::merge_step(tables, indexes, static_cast<std::size_t>(id), survivors);
    // The hand-over: one block, one tick, under one hold of the list lock.
    std::size_t at = 0;
    {
      PoisonGuard hold(results.lock);
      if (direct) {
        at = results.placed;
        results.placed += survivors.size();
      } else {
        results.rows.insert(results.rows.end(), survivors.begin(), survivors.end());
      }
      bar.inc(1);
    }
    // The block's place is fixed; filling it needs no lock.
    if (direct) copy_rows(points_in_rows, survivors.data(), survivors.size(), out.data() + at * width);
  });

  bar.finish_with_message("Processing complete");

  if (direct) {
    out.keep_first_rows(results.placed);
    return out;
  }
  const std::vector<merge::PointIndex> rows = std::move(results.rows);
  return assemble_output(pool, points_in_rows, rows);
}

}  // namespace rowmerge
