// The survivors of every connected crop row at once: found in one pass over
// the points, and written straight from the points into the output in a
// second.
//
// It serves when the points table has at least 4 columns and no base crop
// row is named by two connected crop rows.  A point then belongs to at most
// one merge, and whether it survives is known the moment its key and its x
// and y are read, since the cut points depend only on the records (the
// StepPlan of every connected crop row, worked out first).  The table is
// read in pieces of about 2 MiB (at most 32768 rows):
//
//   scan(p)   reads every row of piece p once and notes, in 2 bytes per row,
//             which of the piece's connected crop rows keeps it, or none;
//   place()   lays out the output: one block per connected crop row, in
//             ascending order, each with its survivors in ascending row order;
//   write(p)  copies piece p's survivors into their places.
//
// Where the survivors' connected crop rows never fall from one row of the
// table to the next (points stored crop row after crop row, in the order of
// the connected crop rows, as detectors write them), the output is simply
// the survivors in table order.  A piece's survivors then start where the
// survivors of the pieces before it end, and write_in_order(p, at) copies
// them there while the piece is still in the cache: summary(p) tells,
// after scan(p), what the pieces' order needs (merge/piece_chain.hpp).
//
// Pieces are scanned, and then written, in any order and possibly at the
// same time; place() runs alone in between.  Memory: 2 bytes per point, and
// 8 for each connected crop row a piece meets.
//
// The points could in principle change between the two passes (another
// thread, outside the interpreter lock, writing the caller's array): write()
// places rows by the notes of scan(), never by reading a key again, and each
// block receives exactly the rows it was counted for.  A change can make the
// result wrong, never a write outside the output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "merge/key_interner.hpp"
#include "merge/matrix.hpp"
#include "merge/merge_step.hpp"

namespace rowmerge::merge {

class SurvivorIndex {
 public:
  // The index for `points` (at least 4 columns) and `plans` (plans[id] for
  // connected crop row id, fewer than 2^32 of them), or nothing when two
  // plans share a base key.  Both must outlive the index.
  static std::optional<SurvivorIndex> for_plans(const MatrixView& points, const std::vector<StepPlan>& plans);

  std::size_t pieces() const noexcept { return pieces_.size(); }
  void scan(std::size_t piece);
  // The number of output rows; after every piece was scanned.
  std::size_t place();
  // After place(): piece's survivors into `out`, a row-major matrix of
  // place() rows and the points' columns.
  void write(std::size_t piece, Matrix& out);

  // What scan(piece) found, for the decision to write in table order.
  struct Summary {
    PointIndex kept = 0;           // survivors in the piece
    std::uint32_t first_row = 0;   // the first survivor's connected crop row (when kept != 0)
    std::uint32_t last_row = 0;    // the last survivor's connected crop row (when kept != 0)
    bool ascending = true;         // no survivor's connected crop row below the one before it
  };
  const Summary& summary(std::size_t piece) const noexcept { return pieces_[piece].summary; }
  // After scan(piece): the piece's survivors, in table order, to rows `at`
  // onwards of `out` (a row-major matrix of the points' columns and at
  // least at + summary(piece).kept rows).
  void write_in_order(std::size_t piece, std::size_t at, Matrix& out) const noexcept;

 private:
  using Mark = std::uint16_t;  // a piece's own number of a connected crop row
  static constexpr Mark kDropped = UINT16_MAX;
  static constexpr std::size_t kMaxPieceRows = std::size_t{1} << 15;  // marks stay below kDropped

  struct Piece {
    PointIndex first = 0;
    PointIndex last = 0;
    std::vector<std::uint32_t> rows;  // by mark: the connected crop row
    std::vector<PointIndex> counts;   // by mark: its survivors here; after place(), the next slot
    Summary summary;
  };

  SurvivorIndex(const MatrixView& points, const std::vector<StepPlan>& plans) noexcept
      : points_(points), plans_(&plans) {}

  MatrixView points_;
  const std::vector<StepPlan>* plans_;
  KeyInterner<ConvertedKey> base_keys_;  // entry e is connected crop row e's base key
  std::vector<Piece> pieces_;
  std::unique_ptr<Mark[]> marks_;  // one per point
};

}  // namespace rowmerge::merge
