#include "module/input_table.hpp"

#include <cstdint>
#include <cstring>

#include "numpy_access/numpy_abi.hpp"

namespace rowmerge::module {
namespace {

using numpy::npy_intp;
constexpr npy_intp kItem = sizeof(double);

bool float64_aligned(const char* data, npy_intp row_stride, npy_intp col_stride) noexcept {
  return reinterpret_cast<std::uintptr_t>(data) % alignof(double) == 0 && row_stride % kItem == 0 &&
         col_stride % kItem == 0;
}

}  // namespace

InputTable::InputTable(PyObject* object) {
  const numpy::ArrayObject* array = numpy::as_array(object);
  const auto rows = static_cast<std::size_t>(array->dimensions[0]);
  const auto cols = static_cast<std::size_t>(array->dimensions[1]);
  const npy_intp row_stride = array->strides[0];
  const npy_intp col_stride = array->strides[1];
  const char* data = array->data;
  (void)checked_element_count(rows, cols);  // std::bad_alloc when the size cannot be addressed

  if (rows == 0 || cols == 0 || float64_aligned(data, row_stride, col_stride)) {
    // No element of an empty array is ever read, whatever its pointer.
    view_ = MatrixView(reinterpret_cast<const double*>(data), rows, cols, row_stride / kItem, col_stride / kItem);
    return;
  }
  copy_ = Matrix::uninitialized(rows, cols);
  for (std::size_t r = 0; r < rows; ++r) {
    const char* row = data + static_cast<npy_intp>(r) * row_stride;
    for (std::size_t c = 0; c < cols; ++c) {
      std::memcpy(&copy_(r, c), row + static_cast<npy_intp>(c) * col_stride, sizeof(double));
    }
  }
  view_ = copy_;
}

}  // namespace rowmerge::module
