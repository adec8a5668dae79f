// Small tables for the merge tests.
#pragma once

#include <cmath>
#include <initializer_list>
#include <limits>
#include <string>
#include <vector>

#include "common/abort.hpp"
#include "merge/indexes.hpp"
#include "merge/matrix.hpp"
#include "merge/merge_step.hpp"

namespace rowmerge::test {

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
inline constexpr double kInf = std::numeric_limits<double>::infinity();

// A rows x cols row-major matrix from rows of values; `cols` is given so that
// 0-row and 0-column tables can be made too.
inline Matrix table(std::size_t cols, std::initializer_list<std::initializer_list<double>> rows) {
  Matrix m = Matrix::uninitialized(rows.size(), cols);
  std::size_t r = 0;
  for (const auto& row : rows) {
    std::size_t c = 0;
    for (double v : row) m(r, c++) = v;
    ++r;
  }
  return m;
}

// What the indexed engine makes of connected crop row `id`: the same shape of
// answer as the literal oracle's.
struct EngineOutcome {
  std::vector<merge::PointIndex> survivors;
  std::string failure;
};

inline EngineOutcome run_engine(const merge::MergeTables& tables, const merge::MergeIndexes& indexes,
                                std::size_t id) {
  EngineOutcome out;
  try {
    merge::merge_step(tables, indexes, id, out.survivors);
  } catch (const Abort& a) {
    out.survivors.clear();
    out.failure = a.message();
  }
  return out;
}

// Silences abort reports for the lifetime of a test.
struct QuietAborts {
  QuietAborts() { set_abort_report_sink(nullptr); }
  ~QuietAborts() { set_abort_report_sink(default_abort_report_sink()); }
  QuietAborts(const QuietAborts&) = delete;
  QuietAborts& operator=(const QuietAborts&) = delete;
};

}  // namespace rowmerge::test
