// Two-dimensional arrays of float64 values, addressed by (row, column).
//
// A Matrix owns one buffer; a MatrixView reads one that lives elsewhere (the
// caller's arrays, read in place).  Both say through their element steps
// where (row, column) lives, so every reader goes through (row, column) and
// does not care about the layout.  New matrices are row-major.
//
// Sizes are checked: a rows x columns x 8 that does not fit the address space
// throws std::bad_alloc (which the module reports as MemoryError), never a
// short buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

#include "common/abort.hpp"
#include "common/buffer.hpp"
#include "common/messages.hpp"

namespace rowmerge {

// rows * cols elements of 8 bytes, or std::bad_alloc when that overflows.
inline std::size_t checked_element_count(std::size_t rows, std::size_t cols) {
  std::size_t elements = 0;
  std::size_t bytes = 0;
  if (__builtin_mul_overflow(rows, cols, &elements) || __builtin_mul_overflow(elements, sizeof(double), &bytes) ||
      bytes > static_cast<std::size_t>(PTRDIFF_MAX)) {
    throw std::bad_array_new_length();
  }
  return elements;
}

// A raw buffer handed over to another owner (the module's result container).
struct MatrixBuffer {
  double* data = nullptr;      // never null for a buffer taken from a Matrix
  std::size_t length = 0;      // elements in use
  std::size_t capacity = 0;    // elements allocated; 0 means nothing to free
};

class Matrix;

// A read-only window on rows x cols float64 values that someone else owns:
// where element (0, 0) is and how many elements one row and one column step
// on.  Steps may be negative (a reversed axis), zero (a broadcast axis) or
// anything else; element offsets are worked out in std::ptrdiff_t, which
// holds every offset of an array that exists.  A view never writes.
class MatrixView {
 public:
  MatrixView() noexcept = default;
  MatrixView(const double* origin, std::size_t rows, std::size_t cols, std::ptrdiff_t row_step,
             std::ptrdiff_t col_step) noexcept
      : origin_(origin), rows_(rows), cols_(cols), row_step_(row_step), col_step_(col_step) {}
  // Every reader takes views; a Matrix is read through one.
  MatrixView(const Matrix& m) noexcept;  // NOLINT(google-explicit-constructor)

  std::size_t rows() const noexcept { return rows_; }
  std::size_t cols() const noexcept { return cols_; }
  std::ptrdiff_t row_step() const noexcept { return row_step_; }
  std::ptrdiff_t col_step() const noexcept { return col_step_; }

  // Unchecked access; the caller knows the indices are in range.
  double operator()(std::size_t r, std::size_t c) const noexcept { return *element(r, c); }
  const double* element(std::size_t r, std::size_t c) const noexcept {
    return origin_ + static_cast<std::ptrdiff_t>(r) * row_step_ + static_cast<std::ptrdiff_t>(c) * col_step_;
  }

  // Checked access: an index outside the matrix aborts with the fixed text.
  double at(std::size_t r, std::size_t c,
            std::source_location where = std::source_location::current()) const {
    if (r >= rows_ || c >= cols_) raise_abort(std::string(messages::kIndexOutOfBounds), where);
    return (*this)(r, c);
  }

  // Whether rows r .. r + n - 1 lie one after another as n * cols values,
  // which one block copy can move.
  bool rows_packed() const noexcept {
    return col_step_ == 1 && row_step_ == static_cast<std::ptrdiff_t>(cols_);
  }

 private:
  const double* origin_ = nullptr;
  std::size_t rows_ = 0;
  std::size_t cols_ = 0;
  std::ptrdiff_t row_step_ = 0;
  std::ptrdiff_t col_step_ = 1;
};

class Matrix {
 public:
  Matrix() noexcept = default;

  // rows x cols, row-major, contents unspecified.
  static Matrix uninitialized(std::size_t rows, std::size_t cols) {
    const std::size_t n = checked_element_count(rows, cols);
    Matrix m;
    m.rows_ = rows;
    m.cols_ = cols;
    m.row_step_ = static_cast<std::ptrdiff_t>(cols);
    m.col_step_ = 1;
    m.capacity_ = n;
    m.data_ = allocate(n);
    return m;
  }

  // rows x cols whose buffer of rows * cols elements is laid out with the given
  // element steps (column-major, say).  The caller guarantees the steps
  // address exactly that buffer.
  static Matrix uninitialized_with_steps(std::size_t rows, std::size_t cols, std::ptrdiff_t row_step,
                                         std::ptrdiff_t col_step) {
    Matrix m = uninitialized(rows, cols);
    m.row_step_ = row_step;
    m.col_step_ = col_step;
    return m;
  }

  Matrix(Matrix&& other) noexcept { swap(other); }
  Matrix& operator=(Matrix&& other) noexcept {
    Matrix(std::move(other)).swap(*this);
    return *this;
  }
  Matrix(const Matrix&) = delete;
  Matrix& operator=(const Matrix&) = delete;
  ~Matrix() { free_buffer(data_, capacity_); }

  std::size_t rows() const noexcept { return rows_; }
  std::size_t cols() const noexcept { return cols_; }
  std::size_t size() const noexcept { return rows_ * cols_; }
  std::ptrdiff_t row_step() const noexcept { return row_step_; }
  std::ptrdiff_t col_step() const noexcept { return col_step_; }

  // Unchecked access; the caller knows the indices are in range.
  double operator()(std::size_t r, std::size_t c) const noexcept {
    return data_[static_cast<std::ptrdiff_t>(r) * row_step_ + static_cast<std::ptrdiff_t>(c) * col_step_];
  }
  double& operator()(std::size_t r, std::size_t c) noexcept {
    return data_[static_cast<std::ptrdiff_t>(r) * row_step_ + static_cast<std::ptrdiff_t>(c) * col_step_];
  }

  double* data() noexcept { return data_; }
  const double* data() const noexcept { return data_; }

  // Row-major matrices only: drops every row from `rows` on.  The buffer keeps
  // its size, so a matrix can be allocated for the most rows it may need and
  // cut to the rows it got; pages never written are never backed by memory.
  void keep_first_rows(std::size_t rows) noexcept {
    if (rows < rows_) rows_ = rows;
  }

  // Gives the buffer away; the Matrix is left 0 x 0.  An empty matrix hands
  // out a non-null, aligned pointer with capacity 0 (nothing to free).
  MatrixBuffer release_buffer() noexcept {
    MatrixBuffer b{data_ ? data_ : empty_storage(), size(), capacity_};
    data_ = nullptr;
    capacity_ = 0;
    rows_ = cols_ = 0;
    return b;
  }

  // Frees a buffer of `capacity` elements that a Matrix allocated.
  static void free_buffer(double* data, std::size_t capacity) noexcept {
    if (capacity != 0) free_doubles(data);
  }

 private:
  friend class MatrixView;
  static double* allocate(std::size_t n) { return allocate_doubles(n); }  // std::bad_alloc on failure
  static double* empty_storage() noexcept {
    alignas(double) static double EMPTY_SLOT = 0.0;
    return &EMPTY_SLOT;
  }
  void swap(Matrix& o) noexcept {
    std::swap(data_, o.data_);
    std::swap(rows_, o.rows_);
    std::swap(cols_, o.cols_);
    std::swap(row_step_, o.row_step_);
    std::swap(col_step_, o.col_step_);
    std::swap(capacity_, o.capacity_);
  }

  double* data_ = nullptr;
  std::size_t rows_ = 0;
  std::size_t cols_ = 0;
  std::ptrdiff_t row_step_ = 0;
  std::ptrdiff_t col_step_ = 1;
  std::size_t capacity_ = 0;
};

inline MatrixView::MatrixView(const Matrix& m) noexcept
    : MatrixView(m.data_, m.rows_, m.cols_, m.row_step_, m.col_step_) {}

}  // namespace rowmerge
