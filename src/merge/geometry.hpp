// Where a base crop row meets a linked crop row, and which base points lie in
// the overlap.
//
// Plain IEEE float64, one operation at a time (the build forbids contracting
// products into fused multiply-adds); the order of every sum is part of the
// result.
#pragma once

#include <array>

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
    const double mx = sign_x_ * x;
    const double my = sign_y_ * y;
    return ((mx <= a_) & (my <= b_)) | ((mx >= c_) & (my >= d_));
  }

 private:
  double sign_x_ = 1.0, sign_y_ = 1.0;
  // The bounds of the two surviving regions, moved by the tolerance and
  // mirrored with the axes.
  double a_ = kInfinity, b_ = kInfinity, c_ = kInfinity, d_ = kInfinity;

  static constexpr double kInfinity = __builtin_inf();
};

}  // namespace rowmerge::merge
