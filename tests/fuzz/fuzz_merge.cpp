// libFuzzer entry: every connected crop row of a decoded field is merged by
// the indexed engine and by the literal step, which must agree exactly
// (survivors or failure text); then the whole field goes through the parallel
// driver on a small pool (through the survivor index where no base crop row
// is named twice: in one pass for points in order, in two otherwise; step by
// step where one is named twice), which must give the literal
// blocks (in row order on one thread, in some order otherwise) or the lowest
// failing row's text.  Every table is read in place through a view of its
// layout.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/abort.hpp"
#include "field_decoder.hpp"
#include "literal_merge.hpp"
#include "driver/driver.hpp"
#include "merge/indexes.hpp"
#include "merge/merge_step.hpp"

namespace {

using rowmerge::Matrix;
using rowmerge::fuzz::FuzzField;

[[noreturn]] void mismatch(const char* what, std::size_t id, const std::string& expected, const std::string& got) {
  std::fprintf(stderr, "MISMATCH (%s) at connected crop row %zu\n  literal: %s\n  got:     %s\n", what, id,
               expected.c_str(), got.c_str());
  std::abort();
}

std::string describe(const std::vector<std::uint32_t>& rows) {
  std::string s = "[";
  for (const std::uint32_t r : rows) s += std::to_string(r) + " ";
  return s + "]";
}

// A row of `points` as raw bytes: output rows are bit-exact copies.
std::string row_bytes(const rowmerge::MatrixView& m, std::size_t r) {
  std::string bytes(m.cols() * sizeof(double), '\0');
  for (std::size_t c = 0; c < m.cols(); ++c) {
    const double v = m(r, c);
    std::memcpy(bytes.data() + c * sizeof(double), &v, sizeof v);
  }
  return bytes;
}

void check_driver(const FuzzField& f, const std::vector<rowmerge::literal::LiteralOutcome>& steps) {
  const auto failing = std::find_if(steps.begin(), steps.end(), [](const auto& s) { return s.failed(); });
  std::vector<std::string> expected;
  for (const auto& s : steps)
    for (const std::uint32_t r : s.survivors) expected.push_back(row_bytes(f.points_in_rows.view(), r));

  try {
    const Matrix out = rowmerge::multithreaded_merging(f.connected_crop_rows.view(), f.points_in_rows.view(),
                                                       f.row_information.view(), f.tolerance, f.num_threads);
    if (failing != steps.end())
      mismatch("driver succeeded", static_cast<std::size_t>(failing - steps.begin()), failing->failure, "no failure");
    if (out.cols() != f.points_in_rows.view().cols() || out.rows() != expected.size())
      mismatch("driver output shape", 0, std::to_string(expected.size()) + " rows",
               std::to_string(out.rows()) + " x " + std::to_string(out.cols()));
    std::vector<std::string> got;
    for (std::size_t r = 0; r < out.rows(); ++r) got.push_back(row_bytes(out, r));
    if (f.num_threads > 1) {
      std::sort(expected.begin(), expected.end());
      std::sort(got.begin(), got.end());
    }
    if (got != expected) mismatch("driver rows", 0, std::to_string(f.num_threads) + " threads", "other rows");
  } catch (const rowmerge::Abort& a) {
    if (failing == steps.end()) mismatch("driver failed", 0, "success", a.message());
    if (a.message() != failing->failure)
      mismatch("driver failure", static_cast<std::size_t>(failing - steps.begin()), failing->failure, a.message());
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  rowmerge::set_abort_report_sink(nullptr);  // failures are expected by the thousand
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const FuzzField f = rowmerge::fuzz::decode_field(data, size);
  const rowmerge::merge::MergeTables tables{f.connected_crop_rows.view(), f.points_in_rows.view(),
                                            f.row_information.view(), f.tolerance};
  const rowmerge::merge::MergeIndexes indexes = rowmerge::merge::MergeIndexes::build(tables);

  std::vector<rowmerge::literal::LiteralOutcome> steps;
  std::vector<rowmerge::merge::PointIndex> survivors;
  for (std::size_t id = 0; id < tables.connected_crop_rows.rows(); ++id) {
    steps.push_back(rowmerge::literal::literal_merge_step(tables.connected_crop_rows, tables.points_in_rows,
                                                          tables.row_information, f.tolerance, id));
    const auto& expected = steps.back();
    std::string failure;
    try {
      rowmerge::merge::merge_step(tables, indexes, id, survivors);
    } catch (const rowmerge::Abort& a) {
      failure = a.message();
    }
    if (failure != expected.failure) mismatch("failure text", id, expected.failure, failure);
    if (!failure.empty()) continue;
    const std::vector<std::uint32_t> got(survivors.begin(), survivors.end());
    if (got != expected.survivors) mismatch("survivors", id, describe(expected.survivors), describe(got));
  }
  check_driver(f, steps);
  return 0;
}
