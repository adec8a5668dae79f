#include <gtest/gtest.h>

#include <cstdint>
#include <new>

#include "merge/matrix.hpp"

namespace {

using rowmerge::Matrix;
using rowmerge::MatrixView;

TEST(Matrix, RowMajorAccessAndCheckedAccess) {
  rowmerge::set_abort_report_sink(nullptr);
  Matrix m = Matrix::uninitialized(2, 3);
  for (std::size_t r = 0; r < 2; ++r)
    for (std::size_t c = 0; c < 3; ++c) m(r, c) = static_cast<double>(10 * r + c);
  EXPECT_EQ(m.data()[4], 11.0);
  const MatrixView v = m;
  EXPECT_TRUE(v.rows_packed());
  EXPECT_EQ(v.at(1, 2), 12.0);
  EXPECT_THROW(v.at(2, 0), rowmerge::Abort);
  EXPECT_THROW(v.at(0, 3), rowmerge::Abort);
  rowmerge::set_abort_report_sink(rowmerge::default_abort_report_sink());
}

// Views address (row, column) through their steps, whatever their sign.
TEST(Matrix, ViewsWithNegativeZeroAndWideSteps) {
  double values[12];
  for (int i = 0; i < 12; ++i) values[i] = i;
  // The last element first, both axes reversed: a 3 x 4 table read backwards.
  const MatrixView reversed(values + 11, 3, 4, -4, -1);
  EXPECT_EQ(reversed(0, 0), 11.0);
  EXPECT_EQ(reversed(2, 1), 2.0);
  EXPECT_FALSE(reversed.rows_packed());
  // One row seen five times (a broadcast axis), every other column.
  const MatrixView broadcast(values + 1, 5, 2, 0, 2);
  EXPECT_EQ(broadcast(4, 1), 3.0);
  EXPECT_EQ(broadcast(0, 1), 3.0);
  // Column-major.
  const MatrixView fortran(values, 4, 3, 1, 4);
  EXPECT_EQ(fortran(3, 2), 11.0);
  EXPECT_EQ(fortran.element(1, 1), values + 5);
}

TEST(Matrix, ImpossibleSizesAreAllocationFailures) {
  EXPECT_THROW(Matrix::uninitialized(SIZE_MAX / 2, 3), std::bad_alloc);
  EXPECT_THROW(Matrix::uninitialized(SIZE_MAX / 8 + 1, 1), std::bad_alloc);
  EXPECT_EQ(rowmerge::checked_element_count(0, SIZE_MAX), 0u);
}

TEST(Matrix, ReleasedBufferIsNeverNull) {
  Matrix empty = Matrix::uninitialized(0, 5);
  rowmerge::MatrixBuffer b = empty.release_buffer();
  EXPECT_NE(b.data, nullptr);
  EXPECT_EQ(b.capacity, 0u);
  Matrix::free_buffer(b.data, b.capacity);  // no-op

  Matrix full = Matrix::uninitialized(3, 2);
  rowmerge::MatrixBuffer f = full.release_buffer();
  EXPECT_EQ(f.length, 6u);
  EXPECT_EQ(f.capacity, 6u);
  EXPECT_EQ(full.rows(), 0u);
  Matrix::free_buffer(f.data, f.capacity);
}

}  // namespace
