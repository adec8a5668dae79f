#include "field.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace rowmerge::bench {
namespace {

constexpr double kRowSpacing = 0.75;   // metres between crop rows
constexpr double kSegmentLength = 40;  // metres per segment, before overlap
constexpr double kOverlap = 1.5;       // each segment reaches this far into its neighbours

struct Segment {
  double key1, key2;
  double x0, x1;         // extent along the row
  double y0, slope;      // the crop row's line
  double y(double x) const { return y0 + slope * x; }
};

}  // namespace

Field generate_field(const FieldShape& shape) {
  std::mt19937_64 rng(shape.seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::normal_distribution<double> wobble(0.0, 0.02);

  std::vector<Segment> segments;
  for (std::size_t f = 0; f < shape.crop_rows; ++f) {
    const double y0 = static_cast<double>(f) * kRowSpacing;
    const double slope = (unit(rng) - 0.5) * 0.01;
    for (std::size_t s = 0; s < shape.segments_per_row; ++s) {
      const double start = static_cast<double>(s) * kSegmentLength - (s > 0 ? kOverlap : 0.0);
      const double end = static_cast<double>(s + 1) * kSegmentLength + (s + 1 < shape.segments_per_row ? kOverlap : 0.0);
      segments.push_back({static_cast<double>(f + 1), static_cast<double>(s + 1), start, end, y0, slope});
    }
  }
  const std::size_t n_segments = segments.size();
  const double nan = std::numeric_limits<double>::quiet_NaN();

  Field field;
  field.row_information = Matrix::uninitialized(n_segments, 11);
  std::vector<std::size_t> order(n_segments);
  for (std::size_t i = 0; i < n_segments; ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), rng);
  for (std::size_t r = 0; r < n_segments; ++r) {
    const Segment& g = segments[order[r]];
    const double mid = (g.x0 + g.x1) * 0.5 + wobble(rng);
    const double values[11] = {g.key1, static_cast<double>(r), 0.9, 0.0, g.key2, g.x0, g.y(g.x0),
                               g.x1, g.y(g.x1), mid, g.y(mid)};
    for (std::size_t c = 0; c < 11; ++c) field.row_information(r, c) = values[c];
  }

  field.connected_crop_rows = Matrix::uninitialized(n_segments, 11);
  for (std::size_t i = 0; i < n_segments; ++i) {
    const Segment& g = segments[i];
    double row[11] = {static_cast<double>(i), g.key1, g.key2, nan, nan, nan, nan, nan, nan, nan, nan};
    std::size_t col = 3;
    const std::size_t s = i % shape.segments_per_row;
    if (s > 0) row[col++] = segments[i - 1].key1, row[col++] = segments[i - 1].key2;
    if (s + 1 < shape.segments_per_row) row[col++] = segments[i + 1].key1, row[col++] = segments[i + 1].key2;
    for (std::size_t c = 0; c < 11; ++c) field.connected_crop_rows(i, c) = row[c];
  }

  const std::size_t n_points = n_segments * shape.points_per_segment;
  std::vector<std::size_t> point_order(n_points);
  for (std::size_t i = 0; i < n_points; ++i) point_order[i] = i;
  if (shape.shuffle_points) std::shuffle(point_order.begin(), point_order.end(), rng);
  field.points_in_rows = Matrix::uninitialized(n_points, 5);
  for (std::size_t i = 0; i < n_points; ++i) {
    const Segment& g = segments[point_order[i] / shape.points_per_segment];
    const double x = g.x0 + unit(rng) * (g.x1 - g.x0);
    const double values[5] = {g.key1, g.key2, x, g.y(x) + wobble(rng), unit(rng)};
    for (std::size_t c = 0; c < 5; ++c) field.points_in_rows(i, c) = values[c];
  }
  return field;
}

}  // namespace rowmerge::bench
