// Random merge inputs for the differential tests: tables of every shape the
// merge must handle (missing columns and records, keys that only convert
// alike, NaN and infinite coordinates), each held in a random layout and read
// through a view, as the module reads the caller's arrays in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include "merge/matrix.hpp"
#include "tables.hpp"

namespace rowmerge::test {

class Rng {
 public:
  explicit Rng(std::uint64_t seed) : gen_(seed) {}
  // Uniform in [0, n).
  std::size_t below(std::size_t n) { return static_cast<std::size_t>(gen_() % n); }
  bool chance(unsigned percent) { return below(100) < percent; }
  template <class T, std::size_t N>
  T pick(const T (&values)[N]) {
    return values[below(N)];
  }

 private:
  std::mt19937_64 gen_;
};

// The layouts a NumPy array can have.  A repeated row or column is a
// broadcast view (row or column step 0): every row reads as row 0, or every
// column as column 0.
enum class Layout { kRowMajor, kColumnMajor, kReversed, kStrided, kRepeatedRow, kRepeatedColumn };
inline constexpr Layout kLayouts[] = {Layout::kRowMajor, Layout::kColumnMajor, Layout::kReversed,
                                      Layout::kStrided,  Layout::kRepeatedRow, Layout::kRepeatedColumn};

// A table's values held in some layout and read through a view of it.
class LaidOut {
 public:
  LaidOut() = default;
  LaidOut(const MatrixView& values, Layout layout) : layout_(layout) {
    const std::size_t rows = values.rows(), cols = values.cols();
    const auto r = static_cast<std::ptrdiff_t>(rows), c = static_cast<std::ptrdiff_t>(cols);
    switch (layout) {
      case Layout::kRowMajor:
        fill(values, rows * cols, 0, c, 1);
        break;
      case Layout::kColumnMajor:
        fill(values, rows * cols, 0, 1, r);
        break;
      case Layout::kReversed:  // both axes reversed: the last element first
        fill(values, rows * cols, rows * cols == 0 ? 0 : r * c - 1, -c, -1);
        break;
      case Layout::kStrided:  // every other row, every third column of a wider table
        fill(values, rows * cols * 6, 0, 6 * c, 3);
        break;
      case Layout::kRepeatedRow:
        storage_.assign(cols, 0.0);
        for (std::size_t j = 0; j < cols && rows > 0; ++j) storage_[j] = values(0, j);
        view_ = MatrixView(storage_.data(), rows, cols, 0, 1);
        break;
      case Layout::kRepeatedColumn:
        storage_.assign(rows, 0.0);
        for (std::size_t i = 0; i < rows && cols > 0; ++i) storage_[i] = values(i, 0);
        view_ = MatrixView(storage_.data(), rows, cols, 1, 0);
        break;
    }
  }
  LaidOut(LaidOut&&) = default;
  LaidOut& operator=(LaidOut&&) = default;

  const MatrixView& view() const noexcept { return view_; }
  Layout layout() const noexcept { return layout_; }

 private:
  void fill(const MatrixView& values, std::size_t storage, std::ptrdiff_t origin, std::ptrdiff_t row_step,
            std::ptrdiff_t col_step) {
    storage_.assign(storage, -12345.0);
    view_ = MatrixView(storage_.data() + origin, values.rows(), values.cols(), row_step, col_step);
    for (std::size_t i = 0; i < values.rows(); ++i)
      for (std::size_t j = 0; j < values.cols(); ++j) storage_[view_.element(i, j) - storage_.data()] = values(i, j);
  }

  std::vector<double> storage_;
  MatrixView view_;
  Layout layout_ = Layout::kRowMajor;
};

// Keys that convert in every interesting way: fractions, negatives, -0.0,
// NaN, infinities and values beyond 32 bits.
inline constexpr double kWildKeys[] = {1, 2, 3, 1.5, 2.9, 3.2, 0, -0.0, -1, 0.5, kNaN, kInf, -kInf,
                                       4294967295.0, 4294967296.0, 1e12, 4294967294.5};
inline constexpr double kTameKeys[] = {1, 2, 3, 1.5, 2.25};
// Small grid values make equal distances and points on the bounds common.
inline constexpr double kCoords[] = {0, 1, 2, 3, 4, 0.5, 1.5, -1, 2.25, 0.1, 9.5};
inline constexpr double kTolerances[] = {0, 0.1, 0.25, 0.5, 1, 2, -0.5, kNaN, kInf};

struct RandomCase {
  LaidOut ccr, pir, info;
  double tolerance = 0.0;
  bool tame = false;  // well-formed shapes, mostly
};

namespace detail {

inline double coord(Rng& rng) {
  if (rng.chance(4)) return kNaN;
  if (rng.chance(1)) return rng.chance(50) ? kInf : -kInf;
  return rng.pick(kCoords);
}

inline double key(Rng& rng, bool tame) { return tame && rng.chance(85) ? rng.pick(kTameKeys) : rng.pick(kWildKeys); }

inline Layout layout(Rng& rng) {
  // Mostly plain layouts; a repeated row names one base crop row many times.
  if (rng.chance(40)) return Layout::kRowMajor;
  return kLayouts[rng.below(rng.chance(90) ? 4 : 5)];
}

}  // namespace detail

// `scale` multiplies the row counts.  With `distinct_bases`, every
// connected crop row of a tame case names its own base crop row and links
// only crop rows that have records, as in most real fields; the points stay
// as wild as ever.
inline RandomCase random_case(Rng& rng, std::size_t scale, bool distinct_bases = false) {
  using detail::coord;
  using detail::key;
  const bool tame = rng.chance(75);
  const bool well_formed = tame && distinct_bases;
  auto cols = [&](std::size_t usual_low, std::size_t usual_high) {
    return tame ? usual_low + rng.below(usual_high - usual_low + 1) : rng.below(13);
  };
  const std::size_t ccr_cols = well_formed ? 11 : cols(5, 12);
  const std::size_t pir_cols = cols(4, 6);
  const std::size_t info_cols = well_formed || (tame && rng.chance(90)) ? 11 : rng.below(13);
  const std::size_t ccr_rows = 1 + rng.below(4 * scale);
  const std::size_t pir_rows = rng.below(14 * scale);
  const std::size_t info_rows = rng.below(7 * scale) + (distinct_bases ? ccr_rows : 0);

  Matrix ccr = Matrix::uninitialized(ccr_rows, ccr_cols);
  Matrix pir = Matrix::uninitialized(pir_rows, pir_cols);
  Matrix info = Matrix::uninitialized(info_rows, info_cols);

  // Records: keys in columns 0 and 4, reference points in 5 to 10.  For
  // distinct bases, the first records carry keys (100 + r, 1) of their own.
  std::vector<std::pair<double, double>> record_keys;
  for (std::size_t r = 0; r < info_rows; ++r) {
    for (std::size_t col = 0; col < info_cols; ++col) info(r, col) = col >= 5 ? coord(rng) : key(rng, tame);
    if (distinct_bases && r < ccr_rows && info_cols >= 5) {
      info(r, 0) = 100.0 + static_cast<double>(r);
      info(r, 4) = 1.0;
    }
    if (info_cols >= 5) record_keys.emplace_back(info(r, 0), info(r, 4));
  }
  auto some_key = [&](bool has_record = false) -> std::pair<double, double> {
    if (!record_keys.empty() && (has_record || rng.chance(tame ? 94 : 70)))
      return record_keys[rng.below(record_keys.size())];
    return {key(rng, tame), key(rng, tame)};
  };

  for (std::size_t r = 0; r < pir_rows; ++r) {
    const auto [k1, k2] = some_key();
    for (std::size_t col = 0; col < pir_cols; ++col) pir(r, col) = col == 0 ? k1 : col == 1 ? k2 : coord(rng);
  }

  for (std::size_t r = 0; r < ccr_rows; ++r) {
    for (std::size_t col = 0; col < ccr_cols; ++col) ccr(r, col) = key(rng, false);
    auto [b1, b2] = some_key();
    if (well_formed) b1 = 100.0 + static_cast<double>(r), b2 = 1.0;
    if (ccr_cols > 1) ccr(r, 1) = b1;
    if (ccr_cols > 2) ccr(r, 2) = b2;
    const std::size_t pairs = rng.below(5);
    for (std::size_t k = 0; k < 4; ++k) {
      const std::size_t col = 2 * k + 3;
      if (col >= ccr_cols) break;
      if (k == pairs) {
        ccr(r, col) = kNaN;
        break;
      }
      const auto [l1, l2] = some_key(well_formed);
      ccr(r, col) = l1;
      if (col + 1 < ccr_cols) ccr(r, col + 1) = l2;
    }
  }
  return RandomCase{LaidOut(ccr, detail::layout(rng)), LaidOut(pir, detail::layout(rng)),
                    LaidOut(info, detail::layout(rng)), rng.pick(kTolerances), tame};
}

}  // namespace rowmerge::test
