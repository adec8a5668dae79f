// The merge of a whole field: every connected crop row merged in parallel on
// the worker pool, with a progress bar on standard error, and the surviving
// point rows stacked into one output matrix.
#pragma once

#include <cstdint>

#include "merge/matrix.hpp"

namespace rowmerge {

// Merges every row of `connected_crop_rows`.  The three tables are only read,
// in place, by the calling thread and the pool's workers.  Returns a
// row-major matrix with the columns of `points_in_rows`; raises
// rowmerge::Abort with the failing step's text, or std::bad_alloc.
// `num_threads` 0 lets the pool choose its thread count.
Matrix multithreaded_merging(const MatrixView& connected_crop_rows, const MatrixView& points_in_rows,
                             const MatrixView& row_information, double tolerance, std::uint32_t num_threads);

}  // namespace rowmerge
