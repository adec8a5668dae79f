// The merge of a whole field: every connected crop row merged in parallel on
// the worker pool, with a progress bar on standard error, and the surviving
// point rows stacked into one output matrix.
#pragma once

#include <cstddef>
#include <cstdint>

#include "merge/indexes.hpp"
#include "merge/matrix.hpp"

namespace rowmerge {

// Merges every row of `connected_crop_rows`.  The three tables are only read.
// Returns a row-major matrix with the columns of `points_in_rows`; raises
// rowmerge::Abort with the failing step's text, or std::bad_alloc.
// `num_threads` 0 lets the pool choose its thread count.  `scanned_points`
// may carry the first pass over the keys of `points_in_rows`, made while
// copying it (copy_points_on_pool); what it lacks is done here.
Matrix multithreaded_merging(const Matrix& connected_crop_rows, const Matrix& points_in_rows,
                             const Matrix& row_information, double tolerance, std::uint32_t num_threads,
                             merge::PointKeyScan scanned_points = {});

// Copies `count` doubles from `source` (any alignment) to `target`.  Large copies are spread
// over the pool that a merge with `num_threads` runs on, so that the fresh
// pages of the target are faulted in on every worker; small ones stay on the
// calling thread.  May raise the pool's set-up failure (rowmerge::Abort).
void copy_on_pool(double* target, const void* source, std::size_t count, std::uint32_t num_threads);

// Copies a row-major points table of target's shape from `source` (any
// alignment) into `target`, reading the crop-row keys of every piece right
// after copying it, and returns that first pass of the index.  Spread over
// the pool like copy_on_pool.
merge::PointKeyScan copy_points_on_pool(Matrix& target, const void* source, std::uint32_t num_threads);

}  // namespace rowmerge
