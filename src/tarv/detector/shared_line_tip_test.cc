#include "tarv/detector/shared_line_tip.h"

#include <cmath>

#include <gtest/gtest.h>

namespace tarv {
namespace {

// Board millimetres to pixels at `pxPerMm`, the bull at (640, 360).
Homography scaled(double pxPerMm) { return {pxPerMm, 0.0, 640.0, 0.0, pxPerMm, 360.0, 0.0, 0.0, 1.0}; }

// A camera's shaft record with one good tip vote on the board line a·x + b·y + c = 0.
json viewWithTip(Point2 tip, const Homography& h, std::array<double, 3> line, double errorMm = 0.3) {
  const Point2 pixel = applyHomography(h, tip);
  return {{"observations", json::array({{{"axis_valid", true}, {"direction_xy", {0.0, 1.0}}}})},
          {"votes", json::array({{{"abstention", false},
                                  {"axis_index", 0},
                                  {"axis_valid", true},
                                  {"tip_valid", true},
                                  {"error_mm", errorMm},
                                  {"pixel_error", 0.5},
                                  {"image_point", {pixel.x, pixel.y}},
                                  {"point", pointToJson(tip)},
                                  {"line", {line[0], line[1], line[2]}}}})}};
}

json noView() { return {{"observations", json::array()}, {"votes", json::array({{{"abstention", true}}})}}; }

TEST(SharedLineTip, OnePixelSpansWhatTheHomographySays) {
  EXPECT_NEAR(boardMmPerPixel(scaled(2.0), {700.0, 400.0}, {0.0, 3.0}), 0.5, 1e-9);
  EXPECT_NEAR(boardMmPerPixel(scaled(0.25), {700.0, 400.0}, {1.0, 0.0}), 4.0, 1e-9);
  EXPECT_TRUE(std::isinf(boardMmPerPixel(scaled(1.0), {700.0, 400.0}, {0.0, 0.0})));
}

// Both lines are y = −140; the camera at 2 px/mm puts the tip 1.8 mm inside the 5, the one at
// 0.4 px/mm 3.6 mm inside the 12: the sharper camera's tip is taken.
TEST(SharedLineTip, TheSharperCameraHoldsTheTip) {
  const std::array<Homography, 3> hs{scaled(2.0), scaled(0.4), scaled(1.0)};
  const std::array<json, 3> views{viewWithTip({-69.3, -140.0}, hs[0], {0.0, 1.0, 140.0}),
                                  viewWithTip({-74.7, -140.0}, hs[1], {0.01, 1.0, 140.7}), noView()};
  const json tip = sharperTipAlongSharedLine(views, json(), hs);
  ASSERT_TRUE(tip.is_object());
  EXPECT_EQ(tip["camera"], "CAM_1");
  EXPECT_NEAR(tip["point"][0].get<double>(), -69.3, 1e-9);
  EXPECT_EQ(tip["field"], "S5");
  EXPECT_NEAR(tip["mm_per_px"]["CAM_1"].get<double>(), 0.5, 1e-3);
  EXPECT_NEAR(tip["mm_per_px"]["CAM_2"].get<double>(), 2.5, 1e-3);
  EXPECT_GE(tip["uncertainty_mm"].get<double>(), 1.0);
}

TEST(SharedLineTip, CrossingLinesAreTheSolversToJudge) {
  const std::array<Homography, 3> hs{scaled(2.0), scaled(0.4), scaled(1.0)};
  // The second line runs at 45 degrees through its tip.
  const std::array<json, 3> views{viewWithTip({-69.3, -140.0}, hs[0], {0.0, 1.0, 140.0}),
                                  viewWithTip({-74.7, -140.0}, hs[1], {0.7071, -0.7071, -46.18}), noView()};
  EXPECT_TRUE(sharperTipAlongSharedLine(views, json(), hs).is_null());
}

TEST(SharedLineTip, CamerasOfLikeSharpnessDecideNothing) {
  const std::array<Homography, 3> hs{scaled(2.0), scaled(1.5), scaled(1.0)};
  const std::array<json, 3> views{viewWithTip({-69.3, -140.0}, hs[0], {0.0, 1.0, 140.0}),
                                  viewWithTip({-74.7, -140.0}, hs[1], {0.0, 1.0, 140.0}), noView()};
  EXPECT_TRUE(sharperTipAlongSharedLine(views, json(), hs).is_null());
}

TEST(SharedLineTip, TipsFarApartOnTheLineAreTwoThings) {
  const std::array<Homography, 3> hs{scaled(2.0), scaled(0.4), scaled(1.0)};
  const std::array<json, 3> views{viewWithTip({-69.3, -140.0}, hs[0], {0.0, 1.0, 140.0}),
                                  viewWithTip({-85.0, -140.0}, hs[1], {0.0, 1.0, 140.0}), noView()};
  EXPECT_TRUE(sharperTipAlongSharedLine(views, json(), hs).is_null());
}

TEST(SharedLineTip, AThirdCameraOffTheLineVetoes) {
  const std::array<Homography, 3> hs{scaled(2.0), scaled(0.4), scaled(1.0)};
  const std::array<json, 3> views{viewWithTip({-69.3, -140.0}, hs[0], {0.0, 1.0, 140.0}),
                                  viewWithTip({-74.7, -140.0}, hs[1], {0.0, 1.0, 140.0}),
                                  viewWithTip({-60.0, -120.0}, hs[2], {1.0, 0.0, 60.0})};
  EXPECT_TRUE(sharperTipAlongSharedLine(views, json(), hs).is_null());
}

// The finer camera's own views disagree by 3 mm along the line: it knows the tip no better
// than the coarser one.
TEST(SharedLineTip, ACameraWhoseViewsDisagreeIsNoSharper) {
  const std::array<Homography, 3> hs{scaled(2.0), scaled(0.4), scaled(1.0)};
  const std::array<json, 3> views{viewWithTip({-69.3, -140.0}, hs[0], {0.0, 1.0, 140.0}),
                                  viewWithTip({-74.7, -140.0}, hs[1], {0.0, 1.0, 140.0}), noView()};
  auto candidate = [](double x) { return json{{"status", "CANDIDATE"}, {"point", {x, -140.0}}}; };
  json measurements = json::array({json::array({candidate(-69.3), candidate(-72.3)}),
                                   json::array({candidate(-74.7), candidate(-74.9)}), json::array()});
  EXPECT_TRUE(sharperTipAlongSharedLine(views, measurements, hs).is_null());
  // Agreeing within half a millimetre, the finer camera holds the tip again.
  measurements[0][1] = candidate(-69.8);
  const json tip = sharperTipAlongSharedLine(views, measurements, hs);
  ASSERT_TRUE(tip.is_object());
  EXPECT_EQ(tip["camera"], "CAM_1");
  EXPECT_NEAR(tip["view_spread_mm"]["CAM_1"].get<double>(), 0.5, 1e-3);
}

TEST(SharedLineTip, APoorLineFitIsNoGoodTip) {
  const std::array<Homography, 3> hs{scaled(2.0), scaled(0.4), scaled(1.0)};
  const std::array<json, 3> views{viewWithTip({-69.3, -140.0}, hs[0], {0.0, 1.0, 140.0}, 2.5),
                                  viewWithTip({-74.7, -140.0}, hs[1], {0.0, 1.0, 140.0}), noView()};
  EXPECT_TRUE(sharperTipAlongSharedLine(views, json(), hs).is_null());
}

}  // namespace
}  // namespace tarv
