#include "merge/survivor_index.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

namespace rowmerge::merge {
namespace {

// Copies rows first .. first + n - 1 of `points`, whole, to consecutive rows
// at `dst`.
void copy_rows(const MatrixView& points, std::size_t first, std::size_t n, double* dst) noexcept {
  const std::size_t width = points.cols();
  if (points.rows_packed()) {
    std::memcpy(dst, points.element(first, 0), n * width * sizeof(double));
  } else if (points.col_step() == 1) {
    for (std::size_t r = first; r < first + n; ++r, dst += width)
      std::memcpy(dst, points.element(r, 0), width * sizeof(double));
  } else {
    for (std::size_t r = first; r < first + n; ++r, dst += width)
      for (std::size_t c = 0; c < width; ++c) dst[c] = points(r, c);
  }
}

}  // namespace

std::optional<SurvivorIndex> SurvivorIndex::for_plans(const MatrixView& points, const std::vector<StepPlan>& plans) {
  if (plans.size() > UINT32_MAX) throw std::bad_alloc();
  SurvivorIndex index(points, plans);
  bool fresh = false;
  for (const StepPlan& plan : plans) {
    index.base_keys_.intern(plan.base_key, fresh);  // entry number = connected crop row
    if (!fresh) return std::nullopt;
  }
  if (plans.empty() || points.rows() == 0) return index;  // nothing can survive

  require_32_bit_rows(points);
  const std::size_t rows = points.rows();
  const std::size_t per_piece =
      std::clamp<std::size_t>((std::size_t{2} << 20) / (points.cols() * sizeof(double)), 1, kMaxPieceRows);
  index.pieces_.resize((rows + per_piece - 1) / per_piece);
  for (std::size_t p = 0; p < index.pieces_.size(); ++p) {
    index.pieces_[p].first = static_cast<PointIndex>(p * per_piece);
    index.pieces_[p].last = static_cast<PointIndex>(std::min(rows, (p + 1) * per_piece));
  }
  // Left uninitialised, so that each piece's part is first touched by the
  // thread that scans it.
  index.marks_.reset(new Mark[rows]);
  return index;
}

namespace {

std::uint64_t bits_of(double value) noexcept { return std::bit_cast<std::uint64_t>(value); }

// Marks the row at `row` and the rows after it, at most `limit` (at least 1)
// of them, for as long as their stored keys keep the bits (bits1, bits2),
// each with `mark` when the first `kFilters` filters keep it and with
// `dropped` otherwise; returns how many rows it marked and adds the kept ones
// to `kept`.  The hot loop of a scan: points of one crop row come in runs.
// The first row is marked without looking at its keys again: the caller
// looked them up, and had they changed since, a run of no rows would leave
// the scan where it was.
template <std::uint32_t kFilters>
std::size_t mark_run(const double* row, std::ptrdiff_t row_step, std::ptrdiff_t col_step, std::size_t limit,
                     std::uint64_t bits1, std::uint64_t bits2, const OverlapFilter* filters, std::uint16_t mark,
                     std::uint16_t dropped, std::uint16_t* marks, PointIndex& kept) noexcept {
  const std::ptrdiff_t x_at = 2 * col_step, y_at = 3 * col_step;
  std::size_t i = 0;
  PointIndex count = 0;
  for (; i < limit; ++i, row += row_step) {
    if (i != 0 && (bits_of(row[0]) != bits1 || bits_of(row[col_step]) != bits2)) break;
    bool keep = true;
    if constexpr (kFilters > 0) keep = all_keep<kFilters>(filters, row[x_at], row[y_at]);
    marks[i] = keep ? mark : dropped;
    count += keep;
  }
  kept += count;
  return i;
}

using MarkRun = std::size_t (*)(const double*, std::ptrdiff_t, std::ptrdiff_t, std::size_t, std::uint64_t,
                                std::uint64_t, const OverlapFilter*, std::uint16_t, std::uint16_t, std::uint16_t*,
                                PointIndex&) noexcept;
constexpr MarkRun kMarkRun[kMaxLinkPairs + 1] = {&mark_run<0>, &mark_run<1>, &mark_run<2>, &mark_run<3>,
                                                 &mark_run<4>};

}  // namespace

void SurvivorIndex::scan(std::size_t piece) {
  Piece& part = pieces_[piece];
  const std::vector<StepPlan>& plans = *plans_;
  const std::ptrdiff_t row_step = points_.row_step(), col_step = points_.col_step();
  KeyInterner<std::uint32_t> local;  // connected crop row -> mark
  bool fresh = false;
  // Run by run: each run of rows with the same stored key bits is marked by
  // one call; only a run's first row is converted and looked up.
  ConvertedKey last_key{};
  Mark mark = kDropped;
  const StepPlan* plan = nullptr;
  PointIndex unused = 0;
  for (std::size_t r = part.first; r < part.last;) {
    const double* row = points_.element(r, 0);
    const std::uint64_t bits1 = bits_of(row[0]), bits2 = bits_of(row[col_step]);
    const ConvertedKey key{convert_key(row[0]), convert_key(row[col_step])};
    if (r == part.first || key != last_key) {
      last_key = key;
      const std::uint32_t id = base_keys_.find(key);
      if (id == KeyInterner<ConvertedKey>::kAbsent) {
        mark = kDropped;  // no connected crop row has this base
      } else {
        mark = static_cast<Mark>(local.intern(id, fresh));
        if (fresh) {
          part.rows.push_back(id);
          part.counts.push_back(0);
        }
        plan = &plans[id];
      }
    }
    Mark* const marks = marks_.get() + r;
    const std::size_t limit = part.last - r;
    if (mark == kDropped) {
      r += mark_run<0>(row, row_step, col_step, limit, bits1, bits2, nullptr, kDropped, kDropped, marks, unused);
    } else {
      const PointIndex before = part.counts[mark];
      r += kMarkRun[plan->filter_count](row, row_step, col_step, limit, bits1, bits2, plan->filters.data(), mark,
                                        kDropped, marks, part.counts[mark]);
      if (part.counts[mark] != before) {
        Summary& s = part.summary;
        const std::uint32_t id = part.rows[mark];
        if (s.kept == 0) {
          s.first_row = id;
        } else if (id < s.last_row) {
          s.ascending = false;
        }
        s.last_row = id;
        s.kept += part.counts[mark] - before;
      }
    }
  }
}

std::size_t SurvivorIndex::place() {
  // Survivors per connected crop row, then where each block starts, then
  // where each piece's share of a block starts (pieces in order, so that
  // rows stay ascending within a block).
  std::vector<PointIndex> next(plans_->size(), 0);
  for (const Piece& part : pieces_)
    for (std::size_t m = 0; m < part.rows.size(); ++m) next[part.rows[m]] += part.counts[m];
  PointIndex start = 0;
  for (PointIndex& slot : next) {
    const PointIndex rows = slot;
    slot = start;
    start += rows;
  }
  for (Piece& part : pieces_) {
    for (std::size_t m = 0; m < part.rows.size(); ++m) {
      const PointIndex rows = part.counts[m];
      part.counts[m] = next[part.rows[m]];
      next[part.rows[m]] += rows;
    }
  }
  return start;
}

void SurvivorIndex::write(std::size_t piece, Matrix& out) {
  Piece& part = pieces_[piece];
  const Mark* const marks = marks_.get();
  const std::size_t width = points_.cols();
  for (PointIndex r = part.first; r < part.last;) {
    const Mark mark = marks[r];
    if (mark == kDropped) {
      ++r;
      continue;
    }
    // A run of survivors of one block: consecutive rows in and out.
    PointIndex n = 1;
    while (r + n < part.last && marks[r + n] == mark) ++n;
    copy_rows(points_, r, n, out.data() + static_cast<std::size_t>(part.counts[mark]) * width);
    part.counts[mark] += n;
    r += n;
  }
}

void SurvivorIndex::write_in_order(std::size_t piece, std::size_t at, Matrix& out) const noexcept {
  const Piece& part = pieces_[piece];
  const Mark* const marks = marks_.get();
  const std::size_t width = points_.cols();
  double* dst = out.data() + at * width;
  for (PointIndex r = part.first; r < part.last;) {
    if (marks[r] == kDropped) {
      ++r;
      continue;
    }
    // A run of survivors, of one connected crop row or several: consecutive
    // rows in and out.
    PointIndex n = 1;
    while (r + n < part.last && marks[r + n] != kDropped) ++n;
    copy_rows(points_, r, n, dst);
    dst += static_cast<std::size_t>(n) * width;
    r += n;
  }
}

}  // namespace rowmerge::merge
