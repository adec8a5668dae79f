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
class OverlapFilter {
 public:
  OverlapFilter() noexcept = default;  // a placeholder, to be assigned before use
  OverlapFilter(const Cut& cut, double tolerance) noexcept;
  bool keeps(double x, double y) const noexcept;

 private:
  enum class Rule { kCloseCut, kBelowLeft, kAboveLeft, kAboveRight, kOther };
  Rule rule_ = Rule::kCloseCut;
  // Bounds of the two surviving regions, already moved by the tolerance.
  double cut_x_ = 0.0, cut_y_ = 0.0, near_x_ = 0.0, near_y_ = 0.0;
};

}  // namespace rowmerge::merge
