// A generated field for the merge benchmark: straight crop rows, each found
// as several overlapping segments, every segment linked to its neighbours on
// the same crop row.
#pragma once

#include <cstddef>
#include <cstdint>

#include "merge/matrix.hpp"

namespace rowmerge::bench {

struct FieldShape {
  std::size_t crop_rows = 300;
  std::size_t segments_per_row = 4;
  std::size_t points_per_segment = 834;
  std::uint64_t seed = 7;
  bool shuffle_points = true;  // false: points come segment after segment
};

struct Field {
  Matrix connected_crop_rows;  // one per segment, 11 columns
  Matrix points_in_rows;       // 5 columns (keys, x, y, confidence)
  Matrix row_information;      // one record per segment, 11 columns, shuffled
};

Field generate_field(const FieldShape& shape);

}  // namespace rowmerge::bench
