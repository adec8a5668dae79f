#include "merge/driver.hpp"

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

// The surviving points of every finished merge step, as row indices into
// `points_in_rows`, one contiguous block per step in hand-over order.  The
// rows themselves are copied once, into the output, after the loop.
struct SharedResultList {
  PoisonMutex lock;
  std::vector<merge::PointIndex> rows;
};

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
    double* dst = out.data() + first * width;
    if (points.col_step() == 1) {
      for (std::size_t k = first; k < last; ++k, dst += width) {
        const double* src = points.row_ptr(rows[k]);
        for (std::size_t c = 0; c < width; ++c) dst[c] = src[c];
      }
    } else {
      for (std::size_t k = first; k < last; ++k, dst += width)
        for (std::size_t c = 0; c < width; ++c) dst[c] = points(rows[k], c);
    }
  });
  return out;
}

}  // namespace

void copy_on_pool(double* target, const void* source, std::size_t count, std::uint32_t num_threads) {
  constexpr std::size_t kPiece = std::size_t{1} << 18;  // 2 MiB of doubles
  if (count < 8 * kPiece) {
    std::memcpy(target, source, count * sizeof(double));
    return;
  }
  pool::Registry& pool = pool::registry_for_call(num_threads);
  pool::for_each_id(pool, (count + kPiece - 1) / kPiece, [&](std::uint64_t piece) {
    const std::size_t first = static_cast<std::size_t>(piece) * kPiece;
    std::memcpy(target + first, static_cast<const char*>(source) + first * sizeof(double),
                std::min(kPiece, count - first) * sizeof(double));
  });
}

Matrix multithreaded_merging(const Matrix& connected_crop_rows, const Matrix& points_in_rows,
                             const Matrix& row_information, double tolerance, std::uint32_t num_threads) {
  pool::Registry& pool = pool::registry_for_call(num_threads);

  const merge::MergeTables tables{connected_crop_rows, points_in_rows, row_information, tolerance};
  const merge::MergeIndexes indexes = merge::MergeIndexes::build(tables);

  SharedResultList results;
  const std::uint64_t count = connected_crop_rows.rows();
  progress::ProgressBar bar(count);
  bar.set_style(progress::ProgressStyle::with_template(kBarLayout));

  pool::for_each_id(pool, count, [&](std::uint64_t id) {
    std::vector<merge::PointIndex> survivors;
    merge::merge_step(tables, indexes, static_cast<std::size_t>(id), survivors);
    // The hand-over: one block, one tick, under one hold of the list lock.
    PoisonGuard hold(results.lock);
    results.rows.insert(results.rows.end(), survivors.begin(), survivors.end());
    bar.inc(1);
  });

  bar.finish_with_message("Processing complete");

  const std::vector<merge::PointIndex> rows = std::move(results.rows);
  return assemble_output(pool, points_in_rows, rows);
}

}  // namespace rowmerge
