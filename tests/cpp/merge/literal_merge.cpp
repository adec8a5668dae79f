#include "literal_merge.hpp"

#include <cmath>
#include <optional>

namespace rowmerge::literal {
namespace {

// The texts are spelled out here rather than taken from the engine's headers,
// so that a wrong text there shows up as a difference.
struct Failure {
  std::string text;
};
const char* const kOutOfBounds = "ndarray: index out of bounds";
const char* const kNone = "called `Option::unwrap()` on a `None` value";
const char* const kShape = "called `Result::unwrap()` on an `Err` value: ShapeError/IncompatibleShape: incompatible shapes";
const char* const kBelowDim = "assertion failed: index < dim";

double get(const MatrixView& m, std::size_t r, std::size_t c) {
  if (r >= m.rows() || c >= m.cols()) throw Failure{kOutOfBounds};
  return m(r, c);
}

std::uint32_t to_key(double v) {
  if (std::isnan(v)) return 0;
  if (v < 1.0) return 0;
  if (v >= 4294967295.0) return 4294967295u;
  return static_cast<std::uint32_t>(std::trunc(v));
}

struct PointRow {
  std::uint32_t row;
  std::vector<double> values;
  double value(std::size_t c) const {
    if (c >= values.size()) throw Failure{kOutOfBounds};
    return values[c];
  }
};

struct P2 {
  double x, y;
};

// Columns 5 onwards of record r as three points; only six values make them.
void block_3x2(const MatrixView& info, std::size_t r, P2 out[3]) {
  std::vector<double> values;
  for (std::size_t c = 5; c < info.cols(); ++c) values.push_back(get(info, r, c));
  if (values.size() != 6) throw Failure{kShape};
  for (int i = 0; i < 3; ++i) out[i] = P2{values[2 * i], values[2 * i + 1]};
}

std::vector<PointRow> step(const MatrixView& ccr, const MatrixView& pir, const MatrixView& info, double tol, std::size_t id) {
  if (id >= ccr.rows()) throw Failure{kBelowDim};
  const std::uint32_t key1 = to_key(get(ccr, id, 1));
  const std::uint32_t key2 = to_key(get(ccr, id, 2));

  std::vector<PointRow> list;
  for (std::size_t r = 0; r < pir.rows(); ++r) {
    if (to_key(get(pir, r, 0)) != key1) continue;
    if (to_key(get(pir, r, 1)) != key2) continue;
    PointRow p{static_cast<std::uint32_t>(r), {}};
    for (std::size_t c = 0; c < pir.cols(); ++c) p.values.push_back(pir(r, c));
    list.push_back(p);
  }

  std::optional<std::size_t> base;
  for (std::size_t r = 0; r < info.rows(); ++r) {
    if (to_key(get(info, r, 0)) == key1 && to_key(get(info, r, 4)) == key2) {
      base = r;
      break;
    }
  }
  if (!base) throw Failure{kNone};

  for (std::size_t k = 0; k < 4; ++k) {
    const double a = get(ccr, id, 2 * k + 3);
    if (std::isnan(a)) break;
    const double b = get(ccr, id, 2 * k + 4);
    std::optional<std::size_t> linked;
    for (std::size_t r = 0; r < info.rows(); ++r) {
      if (get(info, r, 0) == a && get(info, r, 4) == b) {
        linked = r;
        break;
      }
    }
    if (!linked) throw Failure{kNone};

    P2 A[3], B[3];
    block_3x2(info, *base, A);
    block_3x2(info, *linked, B);

    double best = 0.0;
    int bi = 0, bj = 0;
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) {
        double d = std::sqrt((A[i].y - B[j].y) * (A[i].y - B[j].y) + (A[i].x - B[j].x) * (A[i].x - B[j].x));
        if (d > best) {
          best = d;
          bi = i;
          bj = j;
        }
      }
    }
    P2 F = A[bi];
    P2 N = (bi == 0) ? A[1] : A[0];
    P2 M = (bj == 0) ? B[1] : B[0];
    P2 J{(N.x + M.x) * 0.5, (N.y + M.y) * 0.5};
    P2 u{F.x - N.x, F.y - N.y};
    P2 w{J.x - N.x, J.y - N.y};
    double t = (0.0 + w.x * u.x + w.y * u.y) / (0.0 + u.x * u.x + u.y * u.y);
    P2 C{N.x + t * u.x, N.y + t * u.y};

    const double cx = C.x, cy = C.y, nx = N.x, ny = N.y;
    std::vector<PointRow> kept;
    for (const PointRow& p : list) {
      const double x = p.value(2);
      const double y = p.value(3);
      const double d = std::sqrt((cx - nx) * (cx - nx) + (cy - ny) * (cy - ny));
      bool keep;
      if (d < tol) {
        keep = !std::isnan(x) && !std::isnan(y);
      } else if (cx < nx && cy < ny) {
        keep = (x <= cx + tol && y <= cy + tol) || (x >= nx + tol && y >= ny + tol);
      } else if (cx < nx && cy > ny) {
        keep = (x <= cx + tol && y >= cy - tol) || (x >= nx + tol && y <= ny - tol);
      } else if (cx > nx && cy > ny) {
        keep = (x >= cx - tol && y >= cy - tol) || (x <= nx - tol && y <= ny - tol);
      } else {
        keep = (x >= cx - tol && y <= cy + tol) || (x <= nx - tol && y >= ny + tol);
      }
      if (keep) kept.push_back(p);
    }
    list = kept;
  }
  return list;
}

}  // namespace

LiteralOutcome literal_merge_step(const MatrixView& connected_crop_rows, const MatrixView& points_in_rows,
                                  const MatrixView& row_information, double tolerance, std::size_t id) {
  LiteralOutcome out;
  try {
    for (const PointRow& p : step(connected_crop_rows, points_in_rows, row_information, tolerance, id))
      out.survivors.push_back(p.row);
  } catch (const Failure& f) {
    out.failure = f.text;
  }
  return out;
}

}  // namespace rowmerge::literal
