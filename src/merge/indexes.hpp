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
  const Matrix& connected_crop_rows;
  const Matrix& points_in_rows;
  const Matrix& row_information;
  double tolerance;
};

// Runs work(0) .. work(count - 1), in any order and possibly on several
// threads at once, and returns when all have run.
using ForEachIndex = FunctionRef<void(std::size_t count, FunctionRef<void(std::size_t)> work)>;

// The sequential ForEachIndex.
void for_each_in_turn(std::size_t count, FunctionRef<void(std::size_t)> work);

// The first pass of indexing the points: the key pair of every row, read
// piece by piece (about 2 MiB of the table each).  A piece numbers the groups
// it meets on its own and records its rows as runs of one group.  Pieces may
// be scanned in any order and at the same time, each touching only its own
// part, which lets a piece be scanned right after it was copied, while it is
// still in cache.  MergeIndexes::build merges the pieces.
class PointKeyScan {
 public:
  PointKeyScan() noexcept = default;  // lays out nothing

  // Lays out the pieces of a table shaped like `points`, none scanned yet.
  // Only tables with at least two columns are grouped by scanning; others
  // get no pieces.  std::bad_alloc for 2^32 or more rows.
  explicit PointKeyScan(const Matrix& points);

  std::size_t pieces() const noexcept { return pieces_.size(); }
  std::size_t first_row(std::size_t piece) const noexcept { return pieces_[piece].first; }
  std::size_t end_row(std::size_t piece) const noexcept { return pieces_[piece].last; }

  // Reads the keys of the piece's rows of `points` (shaped as laid out).
  void scan(const Matrix& points, std::size_t piece);

  // Whether the pieces were laid out for a table of this shape.
  bool laid_out_for(const Matrix& points) const noexcept {
    return !pieces_.empty() && rows_ == points.rows() && cols_ == points.cols();
  }

 private:
  friend class MergeIndexes;
  struct Run {
    PointIndex group;  // the piece's own number
    PointIndex rows;
  };
  struct Piece {
    PointIndex first = 0;
    PointIndex last = 0;
    bool scanned = false;
    std::vector<ConvertedKey> keys;  // the groups in order of first sight
    std::vector<PointIndex> counts;  // rows per group; later the next slot
    std::vector<Run> runs;
  };
  std::size_t rows_ = 0;
  std::size_t cols_ = 0;
  std::vector<Piece> pieces_;
};

class MergeIndexes {
 public:
  // Never fails but with std::bad_alloc, which is also what a table of 2^32
  // or more rows gives (row indices are 32 bits wide).  `scanned` may hold
  // the first pass over the points, whole or in part; the rest is done here.
  // The parallel work goes through `for_each`.  The result depends on
  // neither.
  static MergeIndexes build(const MergeTables& tables, ForEachIndex for_each = for_each_in_turn,
                            PointKeyScan scanned = {});

  // Rows of the point group of `key` (0 when there is none).
  std::size_t group_size(ConvertedKey key) const noexcept;

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
  void index_points(const Matrix& points, ForEachIndex for_each, PointKeyScan scan);
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
  std::unique_ptr<PointIndex[]> point_rows_by_key_;

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
