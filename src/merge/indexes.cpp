#include "merge/indexes.hpp"

#include <cmath>
#include <new>
#include <string>

#include "common/abort.hpp"
#include "common/messages.hpp"

namespace rowmerge::merge {
namespace {

// Row indices are uint32 and UINT32_MAX is never a valid one.  A table with
// 2^32 rows and at least one column is at least 32 GiB, beyond any 32-bit
// machine; one without columns holds nothing, is never indexed, and must
// still fail its steps the ordinary way.
void require_32_bit_rows(const Matrix& m) {
  if (m.cols() != 0 && m.rows() >= static_cast<std::uint64_t>(UINT32_MAX) + 1) throw std::bad_alloc();
}

[[noreturn]] void out_of_bounds(std::source_location where = std::source_location::current()) {
  raise_abort(std::string(messages::kIndexOutOfBounds), where);
}

[[noreturn]] void missing_value(std::source_location where = std::source_location::current()) {
  raise_abort(std::string(messages::kNoneUnwrap), where);
}

}  // namespace

MergeIndexes MergeIndexes::build(const MergeTables& tables) {
  require_32_bit_rows(tables.points_in_rows);
  require_32_bit_rows(tables.row_information);
  MergeIndexes idx;
  idx.index_points(tables.points_in_rows);
  idx.index_records(tables.row_information);
  return idx;
}

void MergeIndexes::index_points(const Matrix& points) {
  point_rows_ = points.rows();
  point_cols_ = points.cols();
  const auto n = static_cast<PointIndex>(point_rows_);
  if (n == 0 || point_cols_ == 0) return;

  bool inserted = false;
  if (point_cols_ == 1) {
    for (PointIndex r = 0; r < n; ++r) point_keys_.intern({convert_key(points(r, 0)), 0}, inserted);
    point_keys_.shrink();
    return;
  }

  // Counting sort by group.  Points of one crop row tend to come in runs, so
  // the previous row's group is tried before the hash table.  The group of
  // every row is kept (4 bytes a point) until the rows are placed, which
  // spares a second pass over the keys; it is freed before any step runs.
  std::vector<PointIndex> group_of(n);
  std::vector<PointIndex> counts;
  ConvertedKey last_key{};
  PointIndex last_group = KeyInterner<ConvertedKey>::kAbsent;
  for (PointIndex r = 0; r < n; ++r) {
    const ConvertedKey key{convert_key(points(r, 0)), convert_key(points(r, 1))};
    if (last_group == KeyInterner<ConvertedKey>::kAbsent || !(key == last_key)) {
      last_key = key;
      last_group = point_keys_.intern(key, inserted);
      if (inserted) counts.push_back(0);
    }
    ++counts[last_group];
    group_of[r] = last_group;
  }
  point_keys_.shrink();

  // point_offsets_[g] = start of group g, then advanced while placing rows so
  // that it ends as the start of group g + 1; a final shift restores it.
  const std::size_t groups = counts.size();
  point_offsets_.resize(groups + 1);
  PointIndex start = 0;
  for (std::size_t g = 0; g < groups; ++g) {
    point_offsets_[g] = start;
    start += counts[g];
  }
  point_offsets_[groups] = start;
  std::vector<PointIndex>().swap(counts);

  point_rows_by_key_.resize(n);
  for (PointIndex r = 0; r < n; ++r) point_rows_by_key_[point_offsets_[group_of[r]]++] = r;
  for (std::size_t g = groups; g > 0; --g) point_offsets_[g] = point_offsets_[g - 1];
  point_offsets_[0] = 0;
}

void MergeIndexes::index_records(const Matrix& records) {
  record_rows_ = records.rows();
  record_cols_ = records.cols();
  const auto n = static_cast<RecordIndex>(record_rows_);
  if (n == 0 || record_cols_ == 0) return;

  bool inserted = false;
  if (record_cols_ < 5) {
    for (RecordIndex r = 0; r < n; ++r) record_keys_.intern({convert_key(records(r, 0)), 0}, inserted);
    record_keys_.shrink();
    return;
  }
  for (RecordIndex r = 0; r < n; ++r) {
    record_keys_.intern({convert_key(records(r, 0)), convert_key(records(r, 4))}, inserted);
    if (inserted) first_record_.push_back(r);
  }
  for (RecordIndex r = 0; r < n; ++r) {
    const double key1 = records(r, 0);
    const double key2 = records(r, 4);
    if (std::isnan(key1) || std::isnan(key2)) continue;
    exact_record_keys_.intern({exact_bits(key1), exact_bits(key2)}, inserted);
    if (inserted) first_exact_record_.push_back(r);
  }
  record_keys_.shrink();
  exact_record_keys_.shrink();
  first_record_.shrink_to_fit();
  first_exact_record_.shrink_to_fit();
}

void MergeIndexes::select_points(ConvertedKey key, std::vector<PointIndex>& out) const {
  out.clear();
  if (point_rows_ == 0) return;
  if (point_cols_ == 0) out_of_bounds();  // row 0, column 0
  if (point_cols_ == 1) {
    // Column 1 is read for the first row whose key 1 matches.
    if (point_keys_.find({key.key1, 0}) != KeyInterner<ConvertedKey>::kAbsent) out_of_bounds();
    return;
  }
  const std::uint32_t g = point_keys_.find(key);
  if (g == KeyInterner<ConvertedKey>::kAbsent) return;
  out.assign(point_rows_by_key_.begin() + point_offsets_[g], point_rows_by_key_.begin() + point_offsets_[g + 1]);
}

RecordIndex MergeIndexes::base_record(ConvertedKey key) const {
  if (record_rows_ == 0) missing_value();
  if (record_cols_ == 0) out_of_bounds();
  if (record_cols_ < 5) {
    // Column 4 is read for the first row whose key 1 matches; without such
    // a row the scan ends empty-handed.
    if (record_keys_.find({key.key1, 0}) != KeyInterner<ConvertedKey>::kAbsent) out_of_bounds();
    missing_value();
  }
  const std::uint32_t g = record_keys_.find(key);
  if (g == KeyInterner<ConvertedKey>::kAbsent) missing_value();
  return first_record_[g];
}

RecordIndex MergeIndexes::linked_record(double key1, double key2) const {
  if (std::isnan(key1) || std::isnan(key2)) missing_value();
  const std::uint32_t g = exact_record_keys_.find({exact_bits(key1), exact_bits(key2)});
  if (g == KeyInterner<ExactKey>::kAbsent) missing_value();
  return first_exact_record_[g];
}

}  // namespace rowmerge::merge
