#include "module/array_copy.hpp"

#include <cstring>

#include "driver/driver.hpp"
#include "numpy_access/numpy_abi.hpp"

namespace rowmerge::module {
namespace {

using numpy::npy_intp;

// Whether an axis of `extent` elements steps by `expected` bytes; the step
// of an axis with fewer than two elements never matters.
bool steps_by(npy_intp extent, npy_intp stride, std::size_t expected) {
  return extent < 2 || (stride > 0 && static_cast<std::size_t>(stride) == expected);
}

}  // namespace

Matrix copy_to_matrix(PyObject* object, std::uint32_t num_threads, merge::PointKeyScan* keys) {
  const numpy::ArrayObject* array = numpy::as_array(object);
  const auto rows = static_cast<std::size_t>(array->dimensions[0]);
  const auto cols = static_cast<std::size_t>(array->dimensions[1]);
  const npy_intp row_stride = array->strides[0];
  const npy_intp col_stride = array->strides[1];
  const std::size_t count = checked_element_count(rows, cols);  // std::bad_alloc on overflow
  const char* data = array->data;
  constexpr std::size_t kItem = sizeof(double);

  if (count == 0) return Matrix::uninitialized(rows, cols);

  if (steps_by(array->dimensions[0], row_stride, cols * kItem) && steps_by(array->dimensions[1], col_stride, kItem)) {
    Matrix copy = Matrix::uninitialized(rows, cols);
    if (keys != nullptr) {
      *keys = copy_points_on_pool(copy, data, num_threads);
    } else {
      copy_on_pool(copy.data(), data, count, num_threads);
    }
    return copy;
  }
  if (steps_by(array->dimensions[0], row_stride, kItem) && steps_by(array->dimensions[1], col_stride, rows * kItem)) {
    Matrix copy = Matrix::uninitialized_with_steps(rows, cols, 1, static_cast<std::ptrdiff_t>(rows));
    copy_on_pool(copy.data(), data, count, num_threads);
    return copy;
  }

  Matrix copy = Matrix::uninitialized(rows, cols);
  for (std::size_t r = 0; r < rows; ++r) {
    const char* row = data + static_cast<npy_intp>(r) * row_stride;
    for (std::size_t c = 0; c < cols; ++c) {
      std::memcpy(&copy(r, c), row + static_cast<npy_intp>(c) * col_stride, kItem);
    }
  }
  return copy;
}

}  // namespace rowmerge::module
