// Turns a fuzzer's byte string into the three tables of a merge.
//
// The first bytes fix the shapes, the layout of each table (row- or
// column-major, reversed, strided, or one row repeated by a zero step: every
// layout a NumPy array can have, read in place through a view), the
// tolerance and the thread count; then every cell takes one byte.  Most byte values pick an
// entry of a small palette (a handful of keys, so that lookups meet, plus the
// values that stress key conversion and the geometry: NaN, infinities,
// fractions, the saturation point); the rest take the next eight bytes as a
// raw float64.  Missing bytes read as zero, so every input decodes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "merge/matrix.hpp"
#include "random_tables.hpp"

namespace rowmerge::fuzz {

struct FuzzField {
  test::LaidOut connected_crop_rows;
  test::LaidOut points_in_rows;
  test::LaidOut row_information;
  double tolerance = 0.0;
  std::uint32_t num_threads = 1;  // 1 ... 4
};

FuzzField decode_field(const std::uint8_t* data, std::size_t size);

}  // namespace rowmerge::fuzz
