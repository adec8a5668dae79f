#include "merge/indexes.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <new>
#include <string>

#include "common/abort.hpp"
#include "common/messages.hpp"

namespace rowmerge::merge {
namespace {

[[noreturn]] void out_of_bounds(std::source_location where = std::source_location::current()) {
  raise_abort(std::string(messages::kIndexOutOfBounds), where);
}

[[noreturn]] void missing_value(std::source_location where = std::source_location::current()) {
  raise_abort(std::string(messages::kNoneUnwrap), where);
}

// The first pass of grouping the points: the key pair of every row, read
// piece by piece (about 2 MiB of the table each).  A piece numbers the groups
// it meets on its own and records its rows as runs of one group; pieces may
// be scanned in any order and at the same time, each touching only its own
// part.
class PointKeyScan {
 public:
  struct Run {
    PointIndex group;  // the piece's own number
    PointIndex rows;
  };
  struct Piece {
    PointIndex first = 0;
    PointIndex last = 0;
    std::vector<ConvertedKey> keys;  // the groups in order of first sight
    std::vector<PointIndex> counts;  // rows per group; later the next slot
    std::vector<Run> runs;
  };

  explicit PointKeyScan(const MatrixView& points) {
    const std::size_t rows = points.rows();
    constexpr std::size_t kPieceBytes = std::size_t{2} << 20;
    const std::size_t per_piece = std::max<std::size_t>(1, kPieceBytes / (points.cols() * sizeof(double)));
    pieces.resize((rows + per_piece - 1) / per_piece);
    for (std::size_t p = 0; p < pieces.size(); ++p) {
      pieces[p].first = static_cast<PointIndex>(p * per_piece);
      pieces[p].last = static_cast<PointIndex>(std::min(rows, (p + 1) * per_piece));
    }
  }

  // Reads the keys of the piece's rows.
  void scan(const MatrixView& points, std::size_t piece) {
    Piece& part = pieces[piece];
    KeyInterner<ConvertedKey> local;
    bool fresh = false;
    // Points of one crop row tend to come in runs, so the previous row's key
    // is tried before the hash table: first as the stored values (the same
    // bits convert alike), then converted.
    std::uint64_t last_bits1 = 0, last_bits2 = 0;
    ConvertedKey last_key{};
    PointIndex last_group = KeyInterner<ConvertedKey>::kAbsent;
    for (PointIndex r = part.first; r < part.last; ++r) {
      const double v1 = points(r, 0), v2 = points(r, 1);
      const auto bits1 = std::bit_cast<std::uint64_t>(v1), bits2 = std::bit_cast<std::uint64_t>(v2);
      if (last_group != KeyInterner<ConvertedKey>::kAbsent && bits1 == last_bits1 && bits2 == last_bits2) {
        ++part.runs.back().rows;
        continue;
      }
      last_bits1 = bits1, last_bits2 = bits2;
      const ConvertedKey key{convert_key(v1), convert_key(v2)};
      if (last_group != KeyInterner<ConvertedKey>::kAbsent && key == last_key) {
        ++part.runs.back().rows;
        continue;
      }
      last_key = key;
      last_group = local.intern(key, fresh);
      if (fresh) part.counts.push_back(0);
      part.runs.push_back({last_group, 1});
    }
    for (const Run& run : part.runs) part.counts[run.group] += run.rows;
    part.keys = local.take_keys();
  }

  std::vector<Piece> pieces;
};

}  // namespace

void for_each_in_turn(std::size_t count, FunctionRef<void(std::size_t)> work) {
  for (std::size_t i = 0; i < count; ++i) work(i);
}

// A table without columns holds nothing, is never indexed, and must still
// fail its steps the ordinary way, so only tables with columns are refused.
void require_32_bit_rows(const MatrixView& table) {
  // Compared as 64-bit numbers: on a 32-bit machine no size_t reaches 2^32,
  // and clang warns of a comparison that is always false.
  if (table.cols() != 0 && static_cast<std::uint64_t>(table.rows()) >= static_cast<std::uint64_t>(UINT32_MAX) + 1) {
    throw std::bad_alloc();
  }
}

PointGroups::PointGroups(const MatrixView& points, ForEachIndex for_each)
    : rows_(points.rows()), cols_(points.cols()) {
  require_32_bit_rows(points);
  const auto n = static_cast<PointIndex>(rows_);
  if (n == 0 || cols_ == 0) return;

  bool inserted = false;
  if (cols_ == 1) {
    for (PointIndex r = 0; r < n; ++r) keys_.intern({convert_key(points(r, 0)), 0}, inserted);
    keys_.shrink();
    return;
  }

  // A counting sort by group.  Each piece's groups are numbered table-wide
  // in piece order, which numbers every group where the table first shows
  // it; each piece then gets, for each of its groups, the slot where its
  // first row goes (pieces in order, so that rows stay ascending within a
  // group), and places its runs.  The runs, not a second reading of the
  // keys, decide where each row goes: the slots fit the rows exactly.
  PointKeyScan scan(points);
  for_each(scan.pieces.size(), [&](std::size_t p) { scan.scan(points, p); });

  std::vector<std::vector<PointIndex>> global(scan.pieces.size());
  std::vector<PointIndex> next_slot;
  for (std::size_t p = 0; p < scan.pieces.size(); ++p) {
    PointKeyScan::Piece& part = scan.pieces[p];
    global[p].resize(part.keys.size());
    for (std::size_t l = 0; l < part.keys.size(); ++l) {
      const PointIndex g = keys_.intern(part.keys[l], inserted);
      if (inserted) next_slot.push_back(0);
      next_slot[g] += part.counts[l];
      global[p][l] = g;
    }
    std::vector<ConvertedKey>().swap(part.keys);
  }
  keys_.shrink();

  // offsets_[g] = start of group g; next_slot becomes the same and is then
  // advanced piece by piece.
  const std::size_t groups = next_slot.size();
  offsets_.resize(groups + 1);
  PointIndex start = 0;
  for (std::size_t g = 0; g < groups; ++g) {
    offsets_[g] = start;
    start += next_slot[g];
    next_slot[g] = offsets_[g];
  }
  offsets_[groups] = start;
  for (std::size_t p = 0; p < scan.pieces.size(); ++p) {
    PointKeyScan::Piece& part = scan.pieces[p];
    for (std::size_t l = 0; l < part.counts.size(); ++l) {
      const PointIndex g = global[p][l];
      const PointIndex rows = part.counts[l];
      part.counts[l] = next_slot[g];
      next_slot[g] += rows;
    }
    std::vector<PointIndex>().swap(global[p]);
  }
  std::vector<PointIndex>().swap(next_slot);

  // Left uninitialised, so that each piece's part is first touched by the
  // thread that fills it.
  rows_by_key_.reset(new PointIndex[n]);
  for_each(scan.pieces.size(), [&](std::size_t p) {
    PointKeyScan::Piece& part = scan.pieces[p];
    PointIndex r = part.first;
    for (const PointKeyScan::Run& run : part.runs) {
      PointIndex* slot = rows_by_key_.get() + part.counts[run.group];
      part.counts[run.group] += run.rows;
      for (PointIndex k = 0; k < run.rows; ++k) slot[k] = r++;
    }
  });
}

std::size_t PointGroups::group_size(ConvertedKey key) const noexcept {
  if (offsets_.empty()) return 0;
  const std::uint32_t g = keys_.find(key);
  return g == KeyInterner<ConvertedKey>::kAbsent ? 0 : offsets_[g + 1] - offsets_[g];
}

void PointGroups::select_points(ConvertedKey key, std::vector<PointIndex>& out) const {
  out.clear();
  if (rows_ == 0) return;
  if (cols_ == 0) out_of_bounds();  // row 0, column 0
  if (cols_ == 1) {
    // Column 1 is read for the first row whose key 1 matches.
    if (keys_.find({key.key1, 0}) != KeyInterner<ConvertedKey>::kAbsent) out_of_bounds();
    return;
  }
  const std::uint32_t g = keys_.find(key);
  if (g == KeyInterner<ConvertedKey>::kAbsent) return;
  out.assign(rows_by_key_.get() + offsets_[g], rows_by_key_.get() + offsets_[g + 1]);
}

RecordLookup::RecordLookup(const MatrixView& records) : rows_(records.rows()), cols_(records.cols()) {
  require_32_bit_rows(records);
  const auto n = static_cast<RecordIndex>(rows_);
  if (n == 0 || cols_ == 0) return;

  bool inserted = false;
  if (cols_ < 5) {
    for (RecordIndex r = 0; r < n; ++r) keys_.intern({convert_key(records(r, 0)), 0}, inserted);
    keys_.shrink();
    return;
  }
  for (RecordIndex r = 0; r < n; ++r) {
    keys_.intern({convert_key(records(r, 0)), convert_key(records(r, 4))}, inserted);
    if (inserted) first_record_.push_back(r);
  }
  for (RecordIndex r = 0; r < n; ++r) {
    const double key1 = records(r, 0);
    const double key2 = records(r, 4);
    if (std::isnan(key1) || std::isnan(key2)) continue;
    exact_keys_.intern({exact_bits(key1), exact_bits(key2)}, inserted);
    if (inserted) first_exact_record_.push_back(r);
  }
  keys_.shrink();
  exact_keys_.shrink();
  first_record_.shrink_to_fit();
  first_exact_record_.shrink_to_fit();
}

RecordIndex RecordLookup::base_record(ConvertedKey key) const {
  if (rows_ == 0) missing_value();
  if (cols_ == 0) out_of_bounds();
  if (cols_ < 5) {
    // Column 4 is read for the first row whose key 1 matches; without such
    // a row the scan ends empty-handed.
    if (keys_.find({key.key1, 0}) != KeyInterner<ConvertedKey>::kAbsent) out_of_bounds();
    missing_value();
  }
  const std::uint32_t g = keys_.find(key);
  if (g == KeyInterner<ConvertedKey>::kAbsent) missing_value();
  return first_record_[g];
}

RecordIndex RecordLookup::linked_record(double key1, double key2) const {
  if (std::isnan(key1) || std::isnan(key2)) missing_value();
  const std::uint32_t g = exact_keys_.find({exact_bits(key1), exact_bits(key2)});
  if (g == KeyInterner<ExactKey>::kAbsent) missing_value();
  return first_exact_record_[g];
}

}  // namespace rowmerge::merge
