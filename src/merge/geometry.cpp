#include "merge/geometry.hpp"

#include <cmath>

namespace rowmerge::merge {
namespace {

double distance(Point2 a, Point2 b) noexcept {
  const double dy = a.y - b.y;
  const double dx = a.x - b.x;
  const double dy2 = dy * dy;
  const double dx2 = dx * dx;
  return std::sqrt(dy2 + dx2);
}

// 0.0 + a.x * b.x + a.y * b.y, left to right (the leading 0.0 turns a -0.0
// first product into 0.0).
double dot(Point2 a, Point2 b) noexcept {
  double sum = 0.0;
  const double px = a.x * b.x;
  sum = sum + px;
  const double py = a.y * b.y;
  sum = sum + py;
  return sum;
}

}  // namespace

Cut cut_between(const ReferencePoints& base, const ReferencePoints& linked) noexcept {
  double farthest = 0.0;
  int bi = 0;
  int li = 0;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      const double d = distance(base[i], linked[j]);
      if (d > farthest) {
        farthest = d;
        bi = i;
        li = j;
      }
    }
  }
  const Point2 far = base[bi];
  const Point2 near = bi == 0 ? base[1] : base[0];
  const Point2 linked_near = li == 0 ? linked[1] : linked[0];

  const Point2 junction{(near.x + linked_near.x) * 0.5, (near.y + linked_near.y) * 0.5};
  const Point2 u{far.x - near.x, far.y - near.y};
  const Point2 w{junction.x - near.x, junction.y - near.y};
  const double t = dot(w, u) / dot(u, u);
  const double step_x = t * u.x;
  const double step_y = t * u.y;
  return Cut{{near.x + step_x, near.y + step_y}, near};
}

OverlapFilter::OverlapFilter(const Cut& c, double tolerance) noexcept {
  const double cx = c.cut.x, cy = c.cut.y, nx = c.near.x, ny = c.near.y;
  // (x <= cut_x and y ~ cut_y) or (x >= near_x and y ~ near_y), with the
  // bounds as the rule states them; mirroring an axis turns >= into <=.
  double cut_x, cut_y, near_x, near_y;
  if (distance(c.cut, c.near) < tolerance) {
    return;  // the close cut: the default members
  } else if (cx < nx && cy < ny) {
    cut_x = cx + tolerance, cut_y = cy + tolerance, near_x = nx + tolerance, near_y = ny + tolerance;
  } else if (cx < nx && cy > ny) {
    cut_x = cx + tolerance, cut_y = cy - tolerance, near_x = nx + tolerance, near_y = ny - tolerance;
    sign_[1] = -1.0;
  } else if (cx > nx && cy > ny) {
    cut_x = cx - tolerance, cut_y = cy - tolerance, near_x = nx - tolerance, near_y = ny - tolerance;
    sign_[0] = -1.0, sign_[1] = -1.0;
  } else {
    cut_x = cx - tolerance, cut_y = cy + tolerance, near_x = nx - tolerance, near_y = ny + tolerance;
    sign_[0] = -1.0;
  }
  low_[0] = sign_[0] * cut_x, low_[1] = sign_[1] * cut_y;
  high_[0] = sign_[0] * near_x, high_[1] = sign_[1] * near_y;
}

}  // namespace rowmerge::merge
