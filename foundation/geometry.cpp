#include "foundation/geometry.h"

#include <algorithm>
#include <cmath>

namespace velmo::ai {

namespace {

struct Overlap {
  double left;
  double top;
  double right;
  double bottom;
  // Strict: boxes that only touch along an edge share no area.
  bool positive() const { return left < right && top < bottom; }
};

Overlap overlap_of(const Rect& a, const Rect& b) {
  return {std::max(a.x, b.x), std::max(a.y, b.y), std::min(a.x + a.w, b.x + b.w), std::min(a.y + a.h, b.y + b.h)};
}

double area(const Rect& r) { return r.valid() ? r.w * r.h : 0.0; }

constexpr double kBoundaryTolerance = 1e-9;

}  // namespace

bool Rect::valid() const { return w > 0.0 && h > 0.0; }

Rect Rect::normalized() const {
  if (!valid()) return Rect{};
  return Rect{clamp01(x), clamp01(y), clamp01(w), clamp01(h)};
}

double clamp01(double v) {
  if (std::isnan(v)) return v;
  if (v < 0.0) return 0.0;
  return std::min(1.0, v);
}

bool point_in_polygon(const Point& p, const Polygon& polygon) {
  const std::size_t n = polygon.size();
  if (n < 3) return false;
  bool inside = false;
  for (std::size_t i = 0, j = n - 1; i < n; j = i++) {
    const Point& vi = polygon[i];
    const Point& vj = polygon[j];
    const double cross = (p.x - vi.x) * (vj.y - vi.y) - (p.y - vi.y) * (vj.x - vi.x);
    if (std::fabs(cross) <= kBoundaryTolerance && p.x >= std::min(vi.x, vj.x) - kBoundaryTolerance &&
        p.x <= std::max(vi.x, vj.x) + kBoundaryTolerance && p.y >= std::min(vi.y, vj.y) - kBoundaryTolerance &&
        p.y <= std::max(vi.y, vj.y) + kBoundaryTolerance) {
      return true;
    }
    if ((vi.y > p.y) != (vj.y > p.y)) {
      const double x_cross = (p.y - vi.y) * (vj.x - vi.x) / (vj.y - vi.y) + vi.x;
      if (p.x < x_cross) inside = !inside;
    }
  }
  return inside;
}

double intersection_area(const Rect& a, const Rect& b) {
  const Overlap o = overlap_of(a, b);
  if (!o.positive()) return 0.0;
  return (o.right - o.left) * (o.bottom - o.top);
}

double iou(const Rect& a, const Rect& b) {
  const double inter = intersection_area(a, b);
  const double uni = area(a) + area(b) - inter;
  return uni > 0.0 ? inter / uni : 0.0;
}

double center_distance(const Rect& a, const Rect& b) {
  const double dx = (a.x + a.w / 2.0) - (b.x + b.w / 2.0);
  const double dy = (a.y + a.h / 2.0) - (b.y + b.h / 2.0);
  return std::sqrt(dx * dx + dy * dy);
}

Point bottom_center(const Rect& r) { return Point{r.x + r.w / 2.0, r.y + r.h}; }

Rect union_rect(const Rect& a, const Rect& b) {
  if (!a.valid()) return b;
  if (!b.valid()) return a;
  const double left = std::min(a.x, b.x);
  const double top = std::min(a.y, b.y);
  return Rect{left, top, std::max(a.x + a.w, b.x + b.w) - left, std::max(a.y + a.h, b.y + b.h) - top};
}

std::optional<Rect> clipped_intersection(const Rect& a, const Rect& b) {
  const Overlap o = overlap_of(a, b);
  if (!o.positive()) return std::nullopt;
  return Rect{o.left, o.top, o.right - o.left, o.bottom - o.top};
}

Rect expand_rect(const Rect& r, double margin, double width, double height) {
  if (!r.valid()) return Rect{};
  const double mx = margin * r.w;
  const double my = margin * r.h;
  const double left = std::max(0.0, r.x - mx);
  const double top = std::max(0.0, r.y - my);
  const double right = std::min(width, r.x + r.w + mx);
  const double bottom = std::min(height, r.y + r.h + my);
  return Rect{left / width, top / height, (right - left) / width, (bottom - top) / height};
}

}  // namespace velmo::ai
