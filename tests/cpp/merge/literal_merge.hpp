// A deliberately plain merge step: every table is scanned row by row for
// every question, every access is checked, point rows are copied whole.  It
// is slow on purpose and serves as the reference that the indexed engine is
// compared with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "merge/matrix.hpp"

namespace rowmerge::literal {

struct LiteralOutcome {
  std::vector<std::uint32_t> survivors;  // ascending rows of points_in_rows; empty on failure
  std::string failure;                   // the failure text; empty when the step succeeded
  bool failed() const noexcept { return !failure.empty(); }
};

// Merges connected crop row `id`.  Never throws but std::bad_alloc.
LiteralOutcome literal_merge_step(const MatrixView& connected_crop_rows, const MatrixView& points_in_rows,
                                  const MatrixView& row_information, double tolerance, std::size_t id);

}  // namespace rowmerge::literal
