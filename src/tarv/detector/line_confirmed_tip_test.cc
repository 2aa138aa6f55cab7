#include "tarv/detector/line_confirmed_tip.h"

#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "tarv/detector/rig_engine_test_support.h"
#include "tarv/tarv.h"

namespace tarv {
namespace {

// Board millimetres to pixels at `pxPerMm`, the bull at (640, 360).
Homography scaled(double pxPerMm) { return {pxPerMm, 0.0, 640.0, 0.0, pxPerMm, 360.0, 0.0, 0.0, 1.0}; }

// A camera's shaft record with one tip vote on the board line a·x + b·y + c = 0, whose image
// axis runs along `direction`.
json viewWithTip(Point2 tip, std::array<double, 3> line, cv::Point2d direction, double errorMm = 0.3) {
  return {{"observations", json::array({{{"axis_valid", true}, {"direction_xy", {direction.x, direction.y}}}})},
          {"votes", json::array({{{"abstention", false},
                                  {"axis_index", 0},
                                  {"axis_valid", true},
                                  {"tip_valid", true},
                                  {"error_mm", errorMm},
                                  {"pixel_error", 0.5},
                                  {"point", pointToJson(tip)},
                                  {"line", {line[0], line[1], line[2]}}}})}};
}

json noView() { return {{"observations", json::array()}, {"votes", json::array({{{"abstention", true}}})}}; }

// CAM_1 looks along x = −46 (its axis runs down its image) but walked 16 mm too far along it;
// CAM_2 looks along y = 146 and its tip lies 0.4 mm off CAM_1's line.
std::array<json, 3> tipOnAnotherLine(Point2 far, Point2 near) {
  return {viewWithTip(far, {1.0, 0.0, 46.0}, {0.0, 1.0}), viewWithTip(near, {0.0, 1.0, -146.0}, {1.0, 0.0}),
          noView()};
}

TEST(LineConfirmedTip, ATipOnAnotherCamerasLineIsConfirmed) {
  const std::array<Homography, 3> hs{scaled(1.0), scaled(1.0), scaled(1.0)};
  const json tip = tipConfirmedByAnotherLine(tipOnAnotherLine({-46.0, 130.0}, {-46.4, 146.0}), hs);
  ASSERT_TRUE(tip.is_object());
  EXPECT_EQ(tip["camera"], "CAM_2");
  EXPECT_EQ(tip["line_camera"], "CAM_1");
  // Where the two lines cross.
  EXPECT_NEAR(tip["point"][0].get<double>(), -46.0, 1e-9);
  EXPECT_NEAR(tip["point"][1].get<double>(), 146.0, 1e-9);
  EXPECT_EQ(tip["field"], "S19");
  EXPECT_NEAR(tip["far_tip_mm"].get<double>(), 16.005, 1e-3);
  // One pixel spans a millimetre across CAM_1's line: it reaches two.
  EXPECT_NEAR(tip["reach_mm"].get<double>(), 2.0, 1e-6);
  EXPECT_GE(tip["uncertainty_mm"].get<double>(), 1.0);
}

TEST(LineConfirmedTip, ATipBesideTheLineIsNotOnIt) {
  const std::array<Homography, 3> hs{scaled(1.0), scaled(1.0), scaled(1.0)};
  EXPECT_TRUE(tipConfirmedByAnotherLine(tipOnAnotherLine({-46.0, 130.0}, {-48.5, 146.0}), hs).is_null());
  // At 4 px/mm a pixel spans a quarter millimetre: the reach is the 1 mm floor.
  const std::array<Homography, 3> fine{scaled(4.0), scaled(4.0), scaled(4.0)};
  EXPECT_TRUE(tipConfirmedByAnotherLine(tipOnAnotherLine({-46.0, 130.0}, {-47.3, 146.0}), fine).is_null());
  EXPECT_TRUE(tipConfirmedByAnotherLine(tipOnAnotherLine({-46.0, 130.0}, {-46.8, 146.0}), fine).is_object());
}

// Tips close together are the solver's own pair to judge.
TEST(LineConfirmedTip, TipsThatAgreeAreLeftToTheSolver) {
  const std::array<Homography, 3> hs{scaled(1.0), scaled(1.0), scaled(1.0)};
  EXPECT_TRUE(tipConfirmedByAnotherLine(tipOnAnotherLine({-46.0, 144.0}, {-46.4, 146.0}), hs).is_null());
}

TEST(LineConfirmedTip, NearlyParallelLinesConfirmNothing) {
  const std::array<Homography, 3> hs{scaled(1.0), scaled(1.0), scaled(1.0)};
  // The second line runs 3 degrees off the first.
  const double t = std::tan(3.0 * std::acos(-1.0) / 180.0);
  const std::array<json, 3> views{viewWithTip({-46.0, 130.0}, {1.0, 0.0, 46.0}, {0.0, 1.0}),
                                  viewWithTip({-46.0, 146.0}, {1.0, -t, 46.0 + 146.0 * t}, {0.0, 1.0}), noView()};
  EXPECT_TRUE(tipConfirmedByAnotherLine(views, hs).is_null());
}

TEST(LineConfirmedTip, AThirdCameraThatSawTheDartElsewhereVetoes) {
  const std::array<Homography, 3> hs{scaled(1.0), scaled(1.0), scaled(1.0)};
  std::array<json, 3> views = tipOnAnotherLine({-46.0, 130.0}, {-46.4, 146.0});
  views[2] = viewWithTip({-20.0, 100.0}, {1.0, 1.0, -80.0}, {1.0, -1.0});
  EXPECT_TRUE(tipConfirmedByAnotherLine(views, hs).is_null());
  // Its line through the point agrees, wherever its own tip went.
  views[2] = viewWithTip({-36.0, 136.0}, {1.0, 1.0, -100.0}, {1.0, -1.0});
  EXPECT_TRUE(tipConfirmedByAnotherLine(views, hs).is_object());
}

TEST(LineConfirmedTip, APoorLineFitIsNoGoodTip) {
  const std::array<Homography, 3> hs{scaled(1.0), scaled(1.0), scaled(1.0)};
  std::array<json, 3> views = tipOnAnotherLine({-46.0, 130.0}, {-46.4, 146.0});
  views[1]["votes"][0]["error_mm"] = 2.5;
  EXPECT_TRUE(tipConfirmedByAnotherLine(views, hs).is_null());
}

// On the default rig the third dart lands at the outer edge of the 19 on the rim facing the
// cameras: the upper camera's tip lies on the left camera's line, the left camera's own tip
// 18 mm short of it, and the right camera sees no point. The dart is entered, not waited on.
class LineConfirmedTipScene : public EngineOnRig {
 protected:
  LineConfirmedTipScene() : EngineOnRig(scene::defaultRig({1280, 720})) {}
};

TEST_F(LineConfirmedTipScene, ADartWhoseTipOneLineConfirmsIsEntered) {
  const json last = throwInTurn({
      dartAlong(-49.226290, 143.081545, {0.250183880, 0.066442627, -0.965915837}, {150, 40, 130}, 16.0358),
      dartAlong(127.675193, -76.547312, {0.008560948, -0.020052543, -0.999762275}, {205, 95, 20}, 50.0765),
      dartAlong(-45.951985, 145.456669, {0.078056088, 0.041078244, -0.996102317}, {205, 95, 20}, 85.036)});
  const std::string status = last.value("status", "");
  EXPECT_NE(status, "WAIT");
  EXPECT_NE(status, "POSITION_UNRESOLVED");
  const json& entries = last["entries"];
  ASSERT_EQ(entries.size(), 3u) << last.dump().substr(0, 600);
  const scene::DartTruth& truth = shot_.truth.darts[2];
  ASSERT_EQ(truth.field, "S19");
  EXPECT_EQ(entries[2]["selected_field"], "S19");
  const Point2 p = pointFromJson(entries[2]["board_xy_nominal_mm"]);
  EXPECT_LT(std::hypot(p.x - truth.tip_mm.x, p.y - truth.tip_mm.y), 1.5);
}

}  // namespace
}  // namespace tarv
