#include "foundation/geometry.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace velmo::ai {
namespace {

void expect_rect_near(const Rect& actual, const Rect& expected, double tol = 1e-12) {
  EXPECT_NEAR(actual.x, expected.x, tol);
  EXPECT_NEAR(actual.y, expected.y, tol);
  EXPECT_NEAR(actual.w, expected.w, tol);
  EXPECT_NEAR(actual.h, expected.h, tol);
}

const Polygon kSquare{{0, 0}, {1, 0}, {1, 1}, {0, 1}};
const Polygon kSquareCcw{{0, 0}, {0, 1}, {1, 1}, {1, 0}};
const Polygon kBowTie{{0, 0}, {1, 1}, {1, 0}, {0, 1}};

struct PolygonCase {
  std::string name;
  Polygon polygon;
  Point p;
  bool inside;
};

TEST(PointInPolygon, Table) {
  const std::vector<PolygonCase> cases = {
      {"square centre", kSquare, {0.5, 0.5}, true},
      {"square outside right", kSquare, {1.5, 0.5}, false},
      {"square on vertical edge", kSquare, {1.0, 0.5}, true},
      {"square on horizontal edge", kSquare, {0.5, 0.0}, true},
      {"square on vertex", kSquare, {1.0, 1.0}, true},
      {"square on origin vertex", kSquare, {0.0, 0.0}, true},
      {"square just outside edge", kSquare, {1.000001, 0.5}, false},
      {"square within tolerance of edge", kSquare, {1.0 + 5e-10, 0.5}, true},
      {"square far beyond edge line", kSquare, {0.5, 2.0}, false},
      {"square on edge extension", kSquare, {2.0, 0.0}, false},
      {"ccw centre", kSquareCcw, {0.5, 0.5}, true},
      {"ccw outside right", kSquareCcw, {1.5, 0.5}, false},
      {"ccw on vertical edge", kSquareCcw, {1.0, 0.5}, true},
      {"ccw on horizontal edge", kSquareCcw, {0.5, 0.0}, true},
      {"ccw on vertex", kSquareCcw, {1.0, 1.0}, true},
      {"ccw just outside edge", kSquareCcw, {1.000001, 0.5}, false},
      {"bow-tie left lobe", kBowTie, {0.2, 0.5}, true},
      {"bow-tie right lobe", kBowTie, {0.8, 0.5}, true},
      {"bow-tie between lobes", kBowTie, {0.5, 0.2}, false},
      {"two vertices, point on segment", Polygon{{0, 0}, {1, 1}}, {0.5, 0.5}, false},
      {"one vertex, point on it", Polygon{{0.5, 0.5}}, {0.5, 0.5}, false},
      {"empty polygon", Polygon{}, {0.5, 0.5}, false},
      {"triangle inside", Polygon{{0, 0}, {1, 0}, {0, 1}}, {0.2, 0.2}, true},
      {"triangle on hypotenuse", Polygon{{0, 0}, {1, 0}, {0, 1}}, {0.5, 0.5}, true},
      {"triangle beyond hypotenuse", Polygon{{0, 0}, {1, 0}, {0, 1}}, {0.6, 0.6}, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(point_in_polygon(c.p, c.polygon), c.inside) << c.name;
  }
}

TEST(PointInPolygon, NanPointIsOutside) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_FALSE(point_in_polygon({nan, 0.5}, kSquare));
  EXPECT_FALSE(point_in_polygon({0.5, nan}, kSquare));
}

struct OverlapCase {
  std::string name;
  Rect a;
  Rect b;
  double area;
  double iou;
  std::optional<Rect> clipped;
};

TEST(RectOverlap, Table) {
  const std::vector<OverlapCase> cases = {
      {"partial overlap",
       {0, 0, 0.5, 0.5},
       {0.25, 0.25, 0.5, 0.5},
       0.0625,
       0.0625 / 0.4375,
       Rect{0.25, 0.25, 0.25, 0.25}},
      {"identical", {0.1, 0.2, 0.3, 0.4}, {0.1, 0.2, 0.3, 0.4}, 0.12, 1.0, Rect{0.1, 0.2, 0.3, 0.4}},
      {"shared edge", {0, 0, 0.5, 0.5}, {0.5, 0, 0.5, 0.5}, 0.0, 0.0, std::nullopt},
      {"shared corner", {0, 0, 0.5, 0.5}, {0.5, 0.5, 0.5, 0.5}, 0.0, 0.0, std::nullopt},
      {"disjoint", {0, 0, 0.1, 0.1}, {0.5, 0.5, 0.1, 0.1}, 0.0, 0.0, std::nullopt},
      {"zero width against valid", {0.2, 0.2, 0.0, 0.5}, {0, 0, 1, 1}, 0.0, 0.0, std::nullopt},
      {"two zero-size", {0.2, 0.2, 0, 0}, {0.2, 0.2, 0, 0}, 0.0, 0.0, std::nullopt},
      {"negative size inside valid", {0.5, 0.5, -0.2, -0.2}, {0, 0, 1, 1}, 0.0, 0.0, std::nullopt},
      {"contained", {0, 0, 1, 1}, {0.25, 0.25, 0.5, 0.5}, 0.25, 0.25, Rect{0.25, 0.25, 0.5, 0.5}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_NEAR(intersection_area(c.a, c.b), c.area, 1e-12);
    EXPECT_NEAR(iou(c.a, c.b), c.iou, 1e-12);
    EXPECT_NEAR(iou(c.b, c.a), c.iou, 1e-12);
    const auto clipped = clipped_intersection(c.a, c.b);
    ASSERT_EQ(clipped.has_value(), c.clipped.has_value());
    if (clipped) expect_rect_near(*clipped, *c.clipped);
  }
}

TEST(Rect, ValidRequiresStrictlyPositiveSize) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_TRUE((Rect{0, 0, 0.1, 0.1}).valid());
  EXPECT_FALSE((Rect{0, 0, 0, 0.1}).valid());
  EXPECT_FALSE((Rect{0, 0, 0.1, -0.1}).valid());
  EXPECT_FALSE((Rect{0, 0, nan, 0.1}).valid());
  EXPECT_FALSE((Rect{0, 0, 0.1, nan}).valid());
}

TEST(Rect, NormalizedClampsEachFieldOnItsOwn) {
  expect_rect_near(Rect{-0.1, 0.5, 1.2, 0.3}.normalized(), Rect{0, 0.5, 1, 0.3});
  // The size is not shrunk to fit the frame.
  expect_rect_near(Rect{0.8, 0.8, 0.5, 0.5}.normalized(), Rect{0.8, 0.8, 0.5, 0.5});
  expect_rect_near(Rect{0.3, 0.3, 0, 0.5}.normalized(), Rect{});
  expect_rect_near(Rect{0.3, 0.3, 0.5, -1}.normalized(), Rect{});
}

TEST(Rect, UnionRect) {
  expect_rect_near(union_rect({0, 0, 0.1, 0.1}, {0.5, 0.5, 0.1, 0.1}), Rect{0, 0, 0.6, 0.6});
  // Both invalid: the second comes back unchanged, not a zero rect.
  expect_rect_near(union_rect({0.1, 0.1, 0, 0}, {0.7, 0.8, -0.1, 0}), Rect{0.7, 0.8, -0.1, 0});
  expect_rect_near(union_rect({0.1, 0.1, 0, 0}, {0.2, 0.2, 0.1, 0.1}), Rect{0.2, 0.2, 0.1, 0.1});
  expect_rect_near(union_rect({0.2, 0.2, 0.1, 0.1}, {0.1, 0.1, 0, 0}), Rect{0.2, 0.2, 0.1, 0.1});
}

struct ExpandCase {
  std::string name;
  Rect r;
  double margin;
  double width;
  double height;
  Rect expected;
};

TEST(ExpandRect, Table) {
  const std::vector<ExpandCase> cases = {
      {"centre box", {0.5, 0.5, 0.2, 0.2}, 0.2, 1, 1, {0.46, 0.46, 0.28, 0.28}},
      {"clipped top-left", {0, 0, 0.5, 0.5}, 0.2, 1, 1, {0, 0, 0.6, 0.6}},
      {"clipped bottom-right", {0.5, 0.5, 0.5, 0.5}, 0.2, 1, 1, {0.4, 0.4, 0.6, 0.6}},
      {"pixels, no margin", {100, 50, 40, 20}, 0.0, 320, 180, {0.3125, 50.0 / 180, 0.125, 20.0 / 180}},
      {"zero width", {0.5, 0.5, 0, 0.2}, 0.2, 1, 1, {}},
      {"negative height", {0.5, 0.5, 0.2, -0.2}, 0.2, 1, 1, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    expect_rect_near(expand_rect(c.r, c.margin, c.width, c.height), c.expected);
  }
}

TEST(Geometry, AnchorsAndDistances) {
  const Point bc = bottom_center({0.2, 0.3, 0.1, 0.4});
  EXPECT_NEAR(bc.x, 0.25, 1e-12);
  EXPECT_NEAR(bc.y, 0.7, 1e-12);
  EXPECT_NEAR(center_distance({0, 0, 0.2, 0.2}, {0.3, 0.4, 0.2, 0.2}), 0.5, 1e-12);
  EXPECT_DOUBLE_EQ(center_distance({0.1, 0.1, 0.2, 0.2}, {0.1, 0.1, 0.2, 0.2}), 0.0);
}

TEST(Geometry, Clamp01) {
  EXPECT_EQ(clamp01(-0.5), 0.0);
  EXPECT_EQ(clamp01(0.5), 0.5);
  EXPECT_EQ(clamp01(2.0), 1.0);
  EXPECT_EQ(clamp01(0.0), 0.0);
  EXPECT_EQ(clamp01(1.0), 1.0);
  EXPECT_EQ(clamp01(-std::numeric_limits<double>::infinity()), 0.0);
  EXPECT_EQ(clamp01(std::numeric_limits<double>::infinity()), 1.0);
  EXPECT_TRUE(std::isnan(clamp01(std::numeric_limits<double>::quiet_NaN())));
}

}  // namespace
}  // namespace velmo::ai
