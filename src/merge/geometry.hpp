// Where a base crop row meets a linked crop row, and which base points lie in
// the overlap.
//
// Plain IEEE float64, one operation at a time (the build forbids contracting
// products into fused multiply-adds); the order of every sum is part of the
// result.
#pragma once

#include <array>
#include <cstddef>

namespace rowmerge::merge {

struct Point2 {
  double x = 0.0;
  double y = 0.0;
};

// P0, P1, P2 of one crop-row record.
using ReferencePoints = std::array<Point2, 3>;

// The cut point C on the base crop row's line and the base's near point N.
struct Cut {
  Point2 cut;
  Point2 near;
};

// Farthest pair (base index outer, linked inner, strictly greater wins), near
// points, junction midpoint, and its projection onto the base line.
Cut cut_between(const ReferencePoints& base, const ReferencePoints& linked) noexcept;

// Decides, for one cut and tolerance, which points survive.  The rule is
// chosen once from the cut; a point with a NaN coordinate never survives.
//
// Every rule has the same shape once an axis may be mirrored: a point
// survives when (sx*x <= a and sy*y <= b) or (sx*x >= c and sy*y >= d), with
// sx and sy each +1 or -1.  Negation is exact and keeps every comparison's
// outcome (NaN included), so `keeps` tests that one shape without branching.
// The close-cut rule is the shape with a = b = c = d = +infinity: true for
// every point without a NaN coordinate.
class OverlapFilter {
 public:
  OverlapFilter() noexcept = default;  // keeps every point without a NaN coordinate
  OverlapFilter(const Cut& cut, double tolerance) noexcept;

  bool keeps(double x, double y) const noexcept {
    const double mx = sign_[0] * x;
    const double my = sign_[1] * y;
    return ((mx <= low_[0]) & (my <= low_[1])) | ((mx >= high_[0]) & (my >= high_[1]));
  }

 private:
  template <std::size_t kCount>
  friend bool all_keep(const OverlapFilter* filters, double x, double y) noexcept;

  static constexpr double kInfinity = __builtin_inf();

  // (sx, sy), then the bounds of the two surviving regions, (a, b) and
  // (c, d), moved by the tolerance and mirrored with the axes.
  double sign_[2] = {1.0, 1.0};
  double low_[2] = {kInfinity, kInfinity};
  double high_[2] = {kInfinity, kInfinity};
};

// Whether all of the first kCount filters keep the point (x, y): the same
// answer as asking each one, with the test ordered for the common case.  A
// point of a crop row mostly lies beyond the cut point as seen from the near
// point, far from the overlap, so the first region decides most points after
// two comparisons; every comparison is the IEEE one, false with NaN.
template <std::size_t kCount>
inline bool all_keep(const OverlapFilter* filters, double x, double y) noexcept {
  for (std::size_t f = 0; f < kCount; ++f) {
    const OverlapFilter& filter = filters[f];
    const double mx = filter.sign_[0] * x;
    const double my = filter.sign_[1] * y;
    if (__builtin_expect(mx <= filter.low_[0], 1) && my <= filter.low_[1]) continue;
    if (!(mx >= filter.high_[0] && my >= filter.high_[1])) return false;
  }
  return true;
}

}  // namespace rowmerge::merge
