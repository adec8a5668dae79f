// The merge of one connected crop row: the base crop row's points without
// those that overlap any of its linked crop rows.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "merge/geometry.hpp"
#include "merge/indexes.hpp"

namespace rowmerge::merge {

inline constexpr std::size_t kMaxLinkPairs = 4;

// What the merge of one connected crop row needs besides its points: the
// base key and the overlap filters of its link pairs, in order.  The cut
// points depend only on the records, so this is known before any point is
// read.
struct StepPlan {
  ConvertedKey base_key;
  std::uint32_t filter_count = 0;
  std::array<OverlapFilter, kMaxLinkPairs> filters{};

  // Whether a point at (x, y) survives every link pair.  Without link pairs
  // every point does, NaN coordinates included.
  bool keeps(double x, double y) const noexcept {
    bool keep = true;
    for (std::uint32_t f = 0; f < filter_count; ++f) keep &= filters[f].keeps(x, y);
    return keep;
  }
};

// Connected crop row `id`'s base key, from columns 1 and 2 (checked).
ConvertedKey read_base_key(const MatrixView& connected, std::size_t id);

// The step's work between selecting its points and filtering them: the base
// record and every link pair, raising their failures in the order in which
// a row-by-row reading of the tables meets them.  `base_has_points` says
// whether the base crop row has any point (a points table of fewer than 4
// columns then fails at the first link pair).
StepPlan plan_links(const MergeTables& tables, const RecordLookup& records, std::size_t id, ConvertedKey base_key,
                    bool base_has_points);

// The plan of connected crop row `id` when the points table has at least 4
// columns, where no failure of a step depends on its points: every failure
// the step can have is raised here, in the step's order.
StepPlan plan_step(const MergeTables& tables, const RecordLookup& records, std::size_t id);

// Clears `survivors`, then fills it with the surviving point row indices of
// connected crop row `id`, ascending; or raises the step's failure
// (rowmerge::Abort via raise_abort) with its fixed text.  Failures come in the
// order in which a row-by-row reading of the tables would meet them.  Touches
// no shared state; `indexes` must have been built from `tables`.
void merge_step(const MergeTables& tables, const MergeIndexes& indexes, std::size_t id,
                std::vector<PointIndex>& survivors);

}  // namespace rowmerge::merge
