// Read-only indexes over the input tables of one merge call.
//
// Built once per call, before any merge step runs, and then shared by every
// step without locking.  They answer the step's three questions in time
// proportional to the answer instead of a scan of the whole table:
//   converted key pair -> ascending point rows of that crop row,
//   converted key pair -> first crop-row record (base lookup),
//   exact float64 key pair -> first crop-row record (linked lookup).
//
// Tables with missing columns are indexed as far as a row-by-row scan could
// read them, and each lookup raises exactly the failure such a scan would hit
// (see the lookups below).  Building never reports anything.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "merge/key_interner.hpp"
#include "merge/keys.hpp"
#include "merge/matrix.hpp"

namespace rowmerge::merge {

using PointIndex = std::uint32_t;   // row index into points_in_rows
using RecordIndex = std::uint32_t;  // row index into row_information

// The inputs of one merge call, all read-only and shared by every step.
struct MergeTables {
  const Matrix& connected_crop_rows;
  const Matrix& points_in_rows;
  const Matrix& row_information;
  double tolerance;
};

class MergeIndexes {
 public:
  // Never fails but with std::bad_alloc, which is also what a table of 2^32
  // or more rows gives (row indices are 32 bits wide).
  static MergeIndexes build(const MergeTables& tables);

  // Replaces `out` with the rows of points_in_rows whose columns 0 and 1
  // convert to `key`, ascending.  Raises the index failure when the table has
  // rows but no column 0, or only column 0 and some row's key 1 matches.
  void select_points(ConvertedKey key, std::vector<PointIndex>& out) const;

  // The first record whose columns 0 and 4 convert to `key`.  Raises the
  // missing-value failure when there is none, and the index failure when the
  // table has rows but no column 0, or fewer than 5 columns and some row's
  // column 0 matches.
  RecordIndex base_record(ConvertedKey key) const;

  // The first record whose columns 0 and 4 equal (key1, key2) as float64
  // values, or the missing-value failure.  Only asked after base_record
  // succeeded, which means the table has column 4.
  RecordIndex linked_record(double key1, double key2) const;

 private:
  MergeIndexes() = default;
  void index_points(const Matrix& points);
  void index_records(const Matrix& records);

  std::size_t point_rows_ = 0;
  std::size_t point_cols_ = 0;
  std::size_t record_rows_ = 0;
  std::size_t record_cols_ = 0;

  // Points grouped by key: group g owns point_rows_by_key_[offsets[g] ..
  // offsets[g + 1]).  With a single column only key 1 is known, the key 2 of
  // every group is 0 and no rows are kept.
  KeyInterner<ConvertedKey> point_keys_;
  std::vector<PointIndex> point_offsets_;
  std::vector<PointIndex> point_rows_by_key_;

  // Records by converted key; with fewer than 5 columns only key 1 (key 2 = 0)
  // and no record numbers.
  KeyInterner<ConvertedKey> record_keys_;
  std::vector<RecordIndex> first_record_;

  // Records by exact key; rows whose key holds a NaN can never match and are
  // left out.
  KeyInterner<ExactKey> exact_record_keys_;
  std::vector<RecordIndex> first_exact_record_;
};

}  // namespace rowmerge::merge
