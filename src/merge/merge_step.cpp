#include "merge/merge_step.hpp"

#include <cmath>
#include <string>

#include "common/abort.hpp"
#include "common/messages.hpp"

namespace rowmerge::merge {
namespace {

constexpr std::size_t kRecordColumns = 11;

// P0, P1, P2 from columns 5 to 10 of a record of an 11-column table.
ReferencePoints reference_points(const MatrixView& records, RecordIndex r) noexcept {
  return {Point2{records(r, 5), records(r, 6)}, Point2{records(r, 7), records(r, 8)},
          Point2{records(r, 9), records(r, 10)}};
}

void check_id(const MatrixView& connected, std::size_t id) {
  if (id >= connected.rows()) raise_abort(std::string(messages::kIndexBelowDim));
}

// Keeps, in order, the survivors that every filter keeps.  A point dropped by
// one filter is never shown to the later ones, as if the filters ran one
// after another; one pass reads each point once.
void remove_overlap(const MatrixView& points, const StepPlan& plan, std::vector<PointIndex>& survivors) {
  if (plan.filter_count == 0) return;
  constexpr std::size_t kLookahead = 16;  // rows are scattered over the table
  const std::size_t n = survivors.size();
  std::size_t kept = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (i + kLookahead < n) __builtin_prefetch(points.element(survivors[i + kLookahead], 2));
    const PointIndex r = survivors[i];
    const bool keep = plan.keeps(points(r, 2), points(r, 3));
    survivors[kept] = r;  // kept, or overwritten by the next survivor
    kept += keep;
  }
  survivors.resize(kept);
}

}  // namespace

ConvertedKey read_base_key(const MatrixView& connected, std::size_t id) {
  return {convert_key(connected.at(id, 1)), convert_key(connected.at(id, 2))};
}

StepPlan plan_links(const MergeTables& tables, const RecordLookup& records, std::size_t id, ConvertedKey base_key,
                    bool base_has_points) {
  const MatrixView& connected = tables.connected_crop_rows;
  StepPlan plan;
  plan.base_key = base_key;
  const RecordIndex base = records.base_record(base_key);
  // The filters of all link pairs are gathered first and applied in one pass;
  // the only failure of filtering (points without x and y) would strike at
  // the first pair, so it is raised there.
  for (std::size_t k = 0; k < kMaxLinkPairs; ++k) {
    const double key1 = connected.at(id, 2 * k + 3);
    if (std::isnan(key1)) break;
    const double key2 = connected.at(id, 2 * k + 4);
    const RecordIndex linked = records.linked_record(key1, key2);
    // Reference points are read as a 3 x 2 block of columns 5 onwards, which
    // only an 11-column table has.
    if (tables.row_information.cols() != kRecordColumns) raise_abort(std::string(messages::kIncompatibleShapes));
    const Cut cut = cut_between(reference_points(tables.row_information, base),
                                reference_points(tables.row_information, linked));
    if (base_has_points && tables.points_in_rows.cols() < 4) raise_abort(std::string(messages::kIndexOutOfBounds));
    plan.filters[plan.filter_count++] = OverlapFilter(cut, tables.tolerance);
  }
  return plan;
}

StepPlan plan_step(const MergeTables& tables, const RecordLookup& records, std::size_t id) {
  check_id(tables.connected_crop_rows, id);
  return plan_links(tables, records, id, read_base_key(tables.connected_crop_rows, id), false);
}

void merge_step(const MergeTables& tables, const MergeIndexes& indexes, std::size_t id,
                std::vector<PointIndex>& survivors) {
  survivors.clear();
  check_id(tables.connected_crop_rows, id);
  const ConvertedKey base_key = read_base_key(tables.connected_crop_rows, id);
  indexes.select_points(base_key, survivors);
  const StepPlan plan = plan_links(tables, indexes.records(), id, base_key, !survivors.empty());
  remove_overlap(tables.points_in_rows, plan, survivors);
}

}  // namespace rowmerge::merge
