#include "driver/driver.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "common/poison_mutex.hpp"
#include "merge/indexes.hpp"
#include "merge/merge_step.hpp"
#include "merge/piece_chain.hpp"
#include "merge/survivor_index.hpp"
#include "pool/pool.hpp"
#include "progress/progress_bar.hpp"
#include "progress/style.hpp"

namespace rowmerge {
namespace {

constexpr std::string_view kBarLayout = "{spinner:.green} [{elapsed_precise}] [{bar:40.cyan/blue}] {pos}/{len} ({eta})";

// What the finished merge steps handed over, as point row indices: one
// contiguous block per step, in hand-over order.
struct SharedResultList {
  PoisonMutex lock;
  std::vector<merge::PointIndex> rows;
};

// Copies whole rows of `points`, in the listed order, to consecutive rows at
// `dst`.
void copy_listed_rows(const MatrixView& points, const merge::PointIndex* rows, std::size_t count, double* dst) {
  const std::size_t width = points.cols();
  if (points.col_step() == 1) {
    for (std::size_t k = 0; k < count; ++k, dst += width) std::memcpy(dst, points.element(rows[k], 0), width * 8);
  } else {
    for (std::size_t k = 0; k < count; ++k, dst += width)
      for (std::size_t c = 0; c < width; ++c) dst[c] = points(rows[k], c);
  }
}

// Stacks the listed rows of `points` into a new row-major matrix.  The copy
// is spread over the pool in pieces of a fixed number of rows, so that the
// output's fresh pages are also faulted in on every worker.
Matrix assemble_output(pool::Registry& pool, const MatrixView& points, const std::vector<merge::PointIndex>& rows) {
  const std::size_t width = points.cols();
  Matrix out = Matrix::uninitialized(rows.size(), width);
  if (out.size() == 0) return out;
  constexpr std::size_t kRowsPerPiece = std::size_t{1} << 15;
  const std::size_t pieces = (rows.size() + kRowsPerPiece - 1) / kRowsPerPiece;
  pool::for_each_id(pool, pieces, [&](std::uint64_t piece) {
    const std::size_t first = static_cast<std::size_t>(piece) * kRowsPerPiece;
    const std::size_t last = std::min(rows.size(), first + kRowsPerPiece);
    copy_listed_rows(points, rows.data() + first, last - first, out.data() + first * width);
  });
  return out;
}

// Every connected crop row's plan, worked out on the pool; the lowest
// failing row's failure is raised, as its step would have raised it.
std::vector<merge::StepPlan> plan_steps(pool::Registry& pool, const merge::MergeTables& tables,
                                        const merge::RecordLookup& records) {
  std::vector<merge::StepPlan> plans(tables.connected_crop_rows.rows());
  pool::for_each_id(pool, plans.size(), [&](std::uint64_t id) {
    plans[id] = merge::plan_step(tables, records, static_cast<std::size_t>(id));
  });
  return plans;
}

// Whether the output may be allocated for every point before the survivors
// are counted.  Pages never written cost no memory, but the address space
// stays taken for as long as the result lives, which only a 64-bit machine
// can spare for a large table.
bool may_reserve_for_every_point(const MatrixView& points) noexcept {
  if constexpr (sizeof(void*) >= 8) return true;
  std::size_t elements = 0;
  return !__builtin_mul_overflow(points.rows(), points.cols(), &elements) && elements <= (std::size_t{8} << 20);
}

// Scans every piece, taken in ascending order by one lane per thread, and
// writes each piece's survivors in table order for as long as the table is
// in order (merge/piece_chain.hpp); returns the link of all pieces.
// `written` is called for every piece written.
merge::ChainLink scan_in_order(pool::Registry& pool, merge::SurvivorIndex& survivors, Matrix& out,
                               FunctionRef<void()> written) {
  const std::size_t pieces = survivors.pieces();
  merge::PieceChain chain(pieces);
  std::atomic<std::size_t> next{0};
  const std::size_t lanes = std::min<std::size_t>(pool.num_threads(), pieces);
  pool::for_each_id(pool, lanes, [&](std::uint64_t) {
    for (std::size_t p = 0; (p = next.fetch_add(1, std::memory_order_relaxed)) < pieces;) {
      try {
        survivors.scan(p);
      } catch (...) {
        chain.abandon(p);  // and on with the failure
        throw;
      }
      const std::optional<merge::ChainLink> before = chain.wait_before(p);
      if (!before) {
        chain.abandon(p);  // a piece before failed
        return;
      }
      const merge::ChainLink link = merge::extend(*before, survivors.summary(p));
      chain.link(p, link);
      if (link.in_order) {
        survivors.write_in_order(p, static_cast<std::size_t>(before->kept), out);
        written();
      }
    }
  });
  return *chain.wait_before(pieces);
}

// The merge through the survivor index (merge/survivor_index.hpp), when no
// base crop row is named twice; nothing otherwise.  Tables in order are
// written as they are scanned; any other table in a second pass, placed by
// connected crop row.  The bar advances as the output's pieces are written.
std::optional<Matrix> merge_by_survivors(pool::Registry& pool, const merge::MergeTables& tables,
                                         const std::vector<merge::StepPlan>& plans, progress::ProgressBar& bar) {
  const MatrixView& points = tables.points_in_rows;
  std::optional<merge::SurvivorIndex> survivors = merge::SurvivorIndex::for_plans(points, plans);
  if (!survivors) return std::nullopt;
  const std::size_t pieces = survivors->pieces();
  const std::uint64_t steps = plans.size();
  if (pieces == 0) {
    if (steps != 0) bar.inc(steps);
    return Matrix::uninitialized(0, points.cols());
  }
  std::atomic<std::uint64_t> written{0};
  const auto tick = [&] {
    // The bar's share of this piece; the shares add up to every step.
    const std::uint64_t done = written.fetch_add(1, std::memory_order_relaxed) + 1;
    const std::uint64_t delta = steps * done / pieces - steps * (done - 1) / pieces;
    if (delta != 0) bar.inc(delta);
  };

  Matrix out;
  if (may_reserve_for_every_point(points)) {
    out = Matrix::uninitialized(points.rows(), points.cols());
    const merge::ChainLink all = scan_in_order(pool, *survivors, out, tick);
    if (all.in_order) {
      out.keep_first_rows(static_cast<std::size_t>(all.kept));
      return out;
    }
  } else {
    pool::for_each_id(pool, pieces, [&](std::uint64_t p) { survivors->scan(static_cast<std::size_t>(p)); });
  }
  // The pieces written in table order are the first ones; the second pass
  // writes them again, in their places, but ticks only for the others.
  const std::uint64_t ticked = written.load(std::memory_order_relaxed);
  const std::size_t rows = survivors->place();
  if (out.data() == nullptr) {
    out = Matrix::uninitialized(rows, points.cols());
  } else {
    out.keep_first_rows(rows);
  }
  pool::for_each_id(pool, pieces, [&](std::uint64_t p) {
    survivors->write(static_cast<std::size_t>(p), out);
    if (p >= ticked) tick();
  });
  return out;
}

// The merge step by step: each connected crop row's survivors selected
// through the point index, filtered, and listed under the result list's
// lock, then all copied into the output.
Matrix merge_step_by_step(pool::Registry& pool, const merge::MergeTables& tables, merge::MergeIndexes indexes,
                          progress::ProgressBar& bar) {
  SharedResultList results;
  pool::for_each_id(pool, tables.connected_crop_rows.rows(), [&](std::uint64_t id) {
    std::vector<merge::PointIndex> survivors;
    merge::merge_step(tables, indexes, static_cast<std::size_t>(id), survivors);
    // The hand-over: one block, one tick, under one hold of the list lock.
    PoisonGuard hold(results.lock);
    results.rows.insert(results.rows.end(), survivors.begin(), survivors.end());
    bar.inc(1);
  });
  const std::vector<merge::PointIndex> rows = std::move(results.rows);
  return assemble_output(pool, tables.points_in_rows, rows);
}

}  // namespace

Matrix multithreaded_merging(const MatrixView& connected_crop_rows, const MatrixView& points_in_rows,
                             const MatrixView& row_information, double tolerance, std::uint32_t num_threads) {
  const pool::PoolLease lease = pool::registry_for_call(num_threads);
  pool::Registry& pool = *lease;
  const auto for_each = [&pool](std::size_t count, FunctionRef<void(std::size_t)> work) {
    pool::for_each_id(pool, count, [work](std::uint64_t i) { work(static_cast<std::size_t>(i)); });
  };

  const merge::MergeTables tables{connected_crop_rows, points_in_rows, row_information, tolerance};
  merge::require_32_bit_rows(connected_crop_rows);
  merge::require_32_bit_rows(points_in_rows);
  merge::RecordLookup records(row_information);

  progress::ProgressBar bar(connected_crop_rows.rows());
  bar.set_style(progress::ProgressStyle::with_template(kBarLayout));

  std::optional<Matrix> out;
  if (points_in_rows.cols() >= 4) {
    // Every step reads its base key first: a table too narrow for it fails
    // at its first row, whatever its length.
    if (connected_crop_rows.rows() != 0) (void)merge::read_base_key(connected_crop_rows, 0);
    const std::vector<merge::StepPlan> plans = plan_steps(pool, tables, records);
    out = merge_by_survivors(pool, tables, plans, bar);
  }
  if (!out) {
    out = merge_step_by_step(pool, tables, merge::MergeIndexes(merge::PointGroups(points_in_rows, for_each),
                                                               std::move(records)),
                             bar);
  }
  bar.finish_with_message("Processing complete");
  return std::move(*out);
}

}  // namespace rowmerge
