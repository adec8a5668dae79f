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
#include <memory>
#include <utility>
#include <vector>

#include "common/function_ref.hpp"
#include "merge/key_interner.hpp"
#include "merge/keys.hpp"
#include "merge/matrix.hpp"

namespace rowmerge::merge {

using PointIndex = std::uint32_t;   // row index into points_in_rows
using RecordIndex = std::uint32_t;  // row index into row_information

// The inputs of one merge call, all read-only and shared by every step.
struct MergeTables {
  MatrixView connected_crop_rows;
  MatrixView points_in_rows;
  MatrixView row_information;
  double tolerance;
};

// Runs work(0) .. work(count - 1), in any order and possibly on several
// threads at once, and returns when all have run.
using ForEachIndex = FunctionRef<void(std::size_t count, FunctionRef<void(std::size_t)> work)>;

// The sequential ForEachIndex.
void for_each_in_turn(std::size_t count, FunctionRef<void(std::size_t)> work);

// Row indices are 32 bits wide: a points or records table of 2^32 rows or
// more (and at least one column) gives std::bad_alloc.  Such a table is at
// least 32 GiB, beyond any 32-bit machine.
void require_32_bit_rows(const MatrixView& table);

// The crop-row records by key, for the lookups of a merge step.
class RecordLookup {
 public:
  // Never fails but with std::bad_alloc (2^32 or more rows included).
  explicit RecordLookup(const MatrixView& records);

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
  std::size_t rows_ = 0;
  std::size_t cols_ = 0;

  // Records by converted key; with fewer than 5 columns only key 1 (key 2 = 0)
  // and no record numbers.
  KeyInterner<ConvertedKey> keys_;
  std::vector<RecordIndex> first_record_;

  // Records by exact key; rows whose key holds a NaN can never match and are
  // left out.
  KeyInterner<ExactKey> exact_keys_;
  std::vector<RecordIndex> first_exact_record_;
};

// The points grouped by converted key, for selecting a base crop row's
// points.  The keys are read once, in pieces of about 2 MiB of the table
// that may be scanned at the same time (through `for_each`); every row is
// placed by what that one reading found.
class PointGroups {
 public:
  // Never fails but with std::bad_alloc (2^32 or more rows included).  The
  // result does not depend on how `for_each` orders or spreads the work.
  explicit PointGroups(const MatrixView& points, ForEachIndex for_each = for_each_in_turn);

  // Rows of the group of `key` (0 when there is none).
  std::size_t group_size(ConvertedKey key) const noexcept;

  // Replaces `out` with the rows of points_in_rows whose columns 0 and 1
  // convert to `key`, ascending.  Raises the index failure when the table has
  // rows but no column 0, or only column 0 and some row's key 1 matches.
  void select_points(ConvertedKey key, std::vector<PointIndex>& out) const;

 private:
  std::size_t rows_ = 0;
  std::size_t cols_ = 0;

  // Group g owns rows_by_key_[offsets_[g] .. offsets_[g + 1]).  With a
  // single column only key 1 is known, the key 2 of every group is 0 and no
  // rows are kept.
  KeyInterner<ConvertedKey> keys_;
  std::vector<PointIndex> offsets_;
  std::unique_ptr<PointIndex[]> rows_by_key_;
};

// Both indexes of one call.
class MergeIndexes {
 public:
  // Never fails but with std::bad_alloc.  The parallel work goes through
  // `for_each`.
  static MergeIndexes build(const MergeTables& tables, ForEachIndex for_each = for_each_in_turn) {
    return MergeIndexes(PointGroups(tables.points_in_rows, for_each), RecordLookup(tables.row_information));
  }
  MergeIndexes(PointGroups points, RecordLookup records) noexcept
      : points_(std::move(points)), records_(std::move(records)) {}

  const PointGroups& points() const noexcept { return points_; }
  const RecordLookup& records() const noexcept { return records_; }

  std::size_t group_size(ConvertedKey key) const noexcept { return points_.group_size(key); }
  void select_points(ConvertedKey key, std::vector<PointIndex>& out) const { points_.select_points(key, out); }
  RecordIndex base_record(ConvertedKey key) const { return records_.base_record(key); }
  RecordIndex linked_record(double key1, double key2) const { return records_.linked_record(key1, key2); }

 private:
  PointGroups points_;
  RecordLookup records_;
};

}  // namespace rowmerge::merge
