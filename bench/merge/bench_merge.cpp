// Indexed merge engine against the literal merge step on a generated field,
// single-threaded.  Prints both times and their ratio.
//
//   bench_merge [--ordered] [oracle_stride]
//
// Points are shuffled over the table by default, the hard case for the
// engine; --ordered lists them segment after segment, as detectors emit them.
// The indexed engine (index build + every step) is timed five times and the
// median is reported.  The literal step runs once, on every id by default, or
// on every oracle_stride-th id, in which case its time is scaled up by the
// number of ids it skipped (and the output says so).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "field.hpp"
#include "literal_merge.hpp"
#include "merge/indexes.hpp"
#include "merge/merge_step.hpp"

namespace {

using namespace rowmerge;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Every step's survivors, collected one after another the way the driver
// hands them over; step id's survivors are all[offsets[id] .. offsets[id + 1]).
struct Collected {
  std::vector<merge::PointIndex> all;
  std::vector<std::size_t> offsets{0};
};

Collected run_engine(const merge::MergeTables& tables) {
  const merge::MergeIndexes indexes = merge::MergeIndexes::build(tables);
  Collected out;
  std::vector<merge::PointIndex> survivors;
  for (std::size_t id = 0; id < tables.connected_crop_rows.rows(); ++id) {
    merge::merge_step(tables, indexes, id, survivors);
    out.all.insert(out.all.end(), survivors.begin(), survivors.end());
    out.offsets.push_back(out.all.size());
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  bench::FieldShape shape;
  std::size_t stride = 1;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--ordered") == 0) {
      shape.shuffle_points = false;
    } else {
      stride = static_cast<std::size_t>(std::max(1L, std::strtol(argv[i], nullptr, 10)));
    }
  }
  const bench::Field field = bench::generate_field(shape);
  const double tolerance = 0.05;
  const merge::MergeTables tables{field.connected_crop_rows, field.points_in_rows, field.row_information, tolerance};
  const std::size_t ids = tables.connected_crop_rows.rows();
  std::printf("field: %zu connected crop rows, %zu points (%s), %zu records\n", ids, tables.points_in_rows.rows(),
              shape.shuffle_points ? "shuffled" : "in segment order", tables.row_information.rows());

  std::vector<double> engine_times;
  Collected results;
  for (int run = 0; run < 5; ++run) {
    const Clock::time_point start = Clock::now();
    results = run_engine(tables);
    engine_times.push_back(seconds_since(start));
  }
  std::sort(engine_times.begin(), engine_times.end());
  const double engine = engine_times[engine_times.size() / 2];
  const std::size_t kept = results.all.size();

  std::size_t oracle_ids = 0;
  std::size_t mismatches = 0;
  const Clock::time_point start = Clock::now();
  for (std::size_t id = 0; id < ids; id += stride) {
    const literal::LiteralOutcome out = literal::literal_merge_step(
        field.connected_crop_rows, field.points_in_rows, field.row_information, tolerance, id);
    ++oracle_ids;
    const auto first = results.all.begin() + static_cast<std::ptrdiff_t>(results.offsets[id]);
    const auto last = results.all.begin() + static_cast<std::ptrdiff_t>(results.offsets[id + 1]);
    if (out.failed() || !std::equal(out.survivors.begin(), out.survivors.end(), first, last))
      ++mismatches;
  }
  const double oracle_measured = seconds_since(start);
  const double oracle = oracle_measured * static_cast<double>(ids) / static_cast<double>(oracle_ids);

  std::printf("survivors: %zu of %zu points\n", kept, tables.points_in_rows.rows());
  std::printf("indexed engine (build + all steps), median of 5: %.4f s\n", engine);
  if (oracle_ids == ids) {
    std::printf("literal step, all %zu ids, one run:          %.3f s\n", ids, oracle);
  } else {
    std::printf("literal step, %zu of %zu ids in %.3f s, extrapolated to all: %.3f s\n", oracle_ids, ids,
                oracle_measured, oracle);
  }
  std::printf("speed-up: %.0fx\n", oracle / engine);
  if (mismatches != 0) {
    std::printf("MISMATCH: %zu ids differ between the engine and the literal step\n", mismatches);
    return 1;
  }
  return 0;
}
