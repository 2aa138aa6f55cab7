#include "tarv/detector/dart_position.h"

#include <gtest/gtest.h>

namespace tarv {
namespace {

// A camera's shaft record whose board line passes through the point at the given angle.
json view(Point2 through, double angleDeg, double errorMm, Point2 tip, bool abstain = false) {
  const double a = angleDeg * CV_PI / 180.0;
  const double nx = -std::sin(a), ny = std::cos(a);
  json vote = {{"abstention", abstain}, {"axis_valid", true}, {"tip_valid", true},
               {"line", {nx, ny, -(nx * through.x + ny * through.y)}},
               {"error_mm", errorMm}, {"point", {tip.x, tip.y}}};
  return {{"votes", {vote}}, {"observations", json::array()}};
}

TEST(DartPosition, ThreeLinesMeetAtTheTip) {
  const Point2 tip{12.0, -40.0};
  const json result = fuseDartPosition({view(tip, 10, 0.1, tip), view(tip, 70, 0.1, tip), view(tip, 130, 0.1, tip)});
  EXPECT_EQ(result["method"], "THREE_VIEW_LINES");
  const Point2 p = pointFromJson(result["point"]);
  EXPECT_NEAR(p.x, tip.x, 1e-9);
  EXPECT_NEAR(p.y, tip.y, 1e-9);
}

TEST(DartPosition, AnOutlierLineIsLeftOut) {
  const Point2 tip{50.0, 20.0};
  const Point2 off{56.0, 20.0};
  const json result = fuseDartPosition({view(tip, 0, 0.1, tip), view(tip, 60, 0.1, tip), view(off, 120, 0.1, off)});
  EXPECT_EQ(result["method"], "TWO_VIEW_LINES");
  EXPECT_EQ(result["cameras"], json({"CAM_1", "CAM_2"}));
  EXPECT_NEAR(pointFromJson(result["point"]).x, tip.x, 1e-6);
}

TEST(DartPosition, ParallelLinesFallBackToTheBestTip) {
  const Point2 tip{0.0, -100.0};
  const json result = fuseDartPosition({view(tip, 30, 0.3, {0.5, -100.0}), view(tip, 32, 0.1, {0.2, -100.0}),
                                        view(tip, 0, 0.1, tip, true)});
  EXPECT_EQ(result["method"], "SINGLE_VIEW_TIP");
  EXPECT_NEAR(pointFromJson(result["point"]).x, 0.2, 1e-9);
  const json none = fuseDartPosition({view(tip, 0, 0.1, tip, true), view(tip, 0, 0.1, tip, true), json::object()});
  EXPECT_EQ(none["method"], "UNRESOLVED");
}

}  // namespace
}  // namespace tarv
