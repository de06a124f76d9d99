#pragma once

#include <optional>
#include <string>
#include <vector>

namespace velmo::ai {

// Normalized frame coordinates: 0..1 of width and height, origin top-left, y downwards.
struct Point {
  double x = 0.0;
  double y = 0.0;
};

using Polygon = std::vector<Point>;

struct Rect {
  double x = 0.0;
  double y = 0.0;
  double w = 0.0;
  double h = 0.0;

  bool valid() const;
  Rect normalized() const;
};

struct Detection {
  std::string label;
  double score = 0.0;
  Rect box;
};

double clamp01(double v);
bool point_in_polygon(const Point& p, const Polygon& polygon);
double intersection_area(const Rect& a, const Rect& b);
double iou(const Rect& a, const Rect& b);
double center_distance(const Rect& a, const Rect& b);
Point bottom_center(const Rect& r);
Rect union_rect(const Rect& a, const Rect& b);
std::optional<Rect> clipped_intersection(const Rect& a, const Rect& b);
Rect expand_rect(const Rect& r, double margin, double width, double height);

}  // namespace velmo::ai
