// The merge of one connected crop row: the base crop row's points without
// those that overlap any of its linked crop rows.
#pragma once

#include <cstddef>
#include <vector>

#include "merge/indexes.hpp"

namespace rowmerge::merge {

// Clears `survivors`, then fills it with the surviving point row indices of
// connected crop row `id`, ascending; or raises the step's failure
// (rowmerge::Abort via raise_abort) with its fixed text.  Failures come in the
// order in which a row-by-row reading of the tables would meet them.  Touches
// no shared state; `indexes` must have been built from `tables`.
void merge_step(const MergeTables& tables, const MergeIndexes& indexes, std::size_t id,
                std::vector<PointIndex>& survivors);

}  // namespace rowmerge::merge
