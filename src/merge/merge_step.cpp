#include "merge/merge_step.hpp"

#include <array>
#include <cmath>
#include <string>

#include "common/abort.hpp"
#include "common/messages.hpp"
#include "merge/geometry.hpp"

namespace rowmerge::merge {
namespace {

constexpr std::size_t kMaxLinkPairs = 4;
constexpr std::size_t kRecordColumns = 11;

// P0, P1, P2 from columns 5 to 10 of a record of an 11-column table.
ReferencePoints reference_points(const Matrix& records, RecordIndex r) noexcept {
  return {Point2{records(r, 5), records(r, 6)}, Point2{records(r, 7), records(r, 8)},
          Point2{records(r, 9), records(r, 10)}};
}

// Keeps, in order, the survivors that every filter keeps.  A point dropped by
// one filter is never shown to the later ones, as if the filters ran one
// after another; one pass reads each point once.
void remove_overlap(const Matrix& points, const OverlapFilter* filters, std::size_t count,
                    std::vector<PointIndex>& survivors) {
  if (count == 0) return;
  constexpr std::size_t kLookahead = 16;  // rows are scattered over the table
  const std::size_t n = survivors.size();
  std::size_t kept = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (i + kLookahead < n) {
      const auto ahead = static_cast<std::ptrdiff_t>(survivors[i + kLookahead]);
      __builtin_prefetch(points.data() + ahead * points.row_step() + 2 * points.col_step());
    }
    const PointIndex r = survivors[i];
    const double x = points(r, 2);
    const double y = points(r, 3);
    bool keep = true;
    for (std::size_t f = 0; f < count; ++f) keep &= filters[f].keeps(x, y);
    survivors[kept] = r;  // kept, or overwritten by the next survivor
    kept += keep;
  }
  survivors.resize(kept);
}

}  // namespace

void merge_step(const MergeTables& tables, const MergeIndexes& indexes, std::size_t id,
                std::vector<PointIndex>& survivors) {
  survivors.clear();
  const Matrix& connected = tables.connected_crop_rows;
  if (id >= connected.rows()) raise_abort(std::string(messages::kIndexBelowDim));

  const ConvertedKey base_key{convert_key(connected.at(id, 1)), convert_key(connected.at(id, 2))};
  indexes.select_points(base_key, survivors);
  const RecordIndex base = indexes.base_record(base_key);

  // The filters of all link pairs are gathered first and applied in one pass;
  // the only failure of filtering (points without x and y) would strike at
  // the first pair, so it is raised there.
  std::array<OverlapFilter, kMaxLinkPairs> filters;
  std::size_t pairs = 0;
  for (std::size_t k = 0; k < kMaxLinkPairs; ++k) {
    const double key1 = connected.at(id, 2 * k + 3);
    if (std::isnan(key1)) break;
    const double key2 = connected.at(id, 2 * k + 4);
    const RecordIndex linked = indexes.linked_record(key1, key2);
    // Reference points are read as a 3 x 2 block of columns 5 onwards, which
    // only an 11-column table has.
    if (tables.row_information.cols() != kRecordColumns) raise_abort(std::string(messages::kIncompatibleShapes));
    const Cut cut = cut_between(reference_points(tables.row_information, base),
                                reference_points(tables.row_information, linked));
    if (!survivors.empty() && tables.points_in_rows.cols() < 4) raise_abort(std::string(messages::kIndexOutOfBounds));
    filters[pairs++] = OverlapFilter(cut, tables.tolerance);
  }
  remove_overlap(tables.points_in_rows, filters.data(), pairs, survivors);
}

}  // namespace rowmerge::merge
