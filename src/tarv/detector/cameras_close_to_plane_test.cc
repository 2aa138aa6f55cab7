// Cameras close to the board plane: a dart can lie where two cameras look along one board line,
// or run out of the frame of the one camera that sees it. Neither leaves the round waiting.
#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "tarv/core/board_geometry.h"
#include "tarv/detector/rig_engine_test_support.h"

namespace tarv {
namespace {

using json = nlohmann::json;

class CamerasCloseToPlane : public EngineOnRig {
 protected:
  CamerasCloseToPlane() : EngineOnRig(scene::rigCloseToPlane({1280, 720}, 300.0)) {}
};

bool isWaiting(const json& reply) {
  const std::string status = reply.value("status", "");
  return status == "WAIT" || status == "RECOVERY_WAIT" || status == "POSITION_UNRESOLVED" ||
         status == "DECISION_REVIEW_REQUIRED";
}

// The third dart lies 1.8 mm from the 5/12 wire on the line along which both upper cameras
// look; the camera below sees only its point. The nearer camera spans 0.9 mm a pixel along
// that line, the farther 2.7 mm: the nearer one's tip holds.
TEST_F(CamerasCloseToPlane, ADartWhereTwoCamerasLookAlongOneLineIsEntered) {
  const json last = throwInTurn({
      dartAlong(100.003, -102.046, {-0.089501057, -0.018365320, -0.995817391}, {30, 205, 235}),
      dartAlong(81.996, -106.598, {-0.118376696, 0.071370543, -0.990400527}, {150, 40, 130}),
      dartAlong(-69.229, -139.940, {-0.113451085, -0.049561342, -0.992306669}, {60, 170, 40}),
  });
  EXPECT_FALSE(isWaiting(last)) << last.value("status", "") << " " << last.value("reason", "");
  const json& entries = last["entries"];
  ASSERT_EQ(entries.size(), 3u) << last.dump().substr(0, 600);
  const scene::DartTruth& truth = shot_.truth.darts[2];
  ASSERT_EQ(truth.field, "S5");
  EXPECT_EQ(entries[2]["selected_field"], "S5");
  const Point2 p = pointFromJson(entries[2]["board_xy_nominal_mm"]);
  EXPECT_LT(std::hypot(p.x - truth.tip_mm.x, p.y - truth.tip_mm.y), 1.0);
}

// The second dart lands 235 mm out, right in front of one camera, and runs out of the bottom
// of its frame: that camera never sees the point, the others see nothing. The line beyond the
// frame edge stays more than 220 mm from the bull: a miss, entered once.
TEST_F(CamerasCloseToPlane, ADartThatRunsOutOfTheOnlyCameraSeeingItIsAMiss) {
  const json last = throwInTurn({
      dartAlong(205.639, -81.173, {-0.147962617, 0.241274377, -0.959110911}, {150, 40, 130}),
      dartAlong(202.001, -119.756, {-0.002385400, 0.004503400, -0.999987015}, {20, 120, 240}),
  });
  EXPECT_FALSE(isWaiting(last)) << last.value("status", "") << " " << last.value("reason", "");
  const json& entries = last["entries"];
  ASSERT_EQ(entries.size(), 2u) << last.dump().substr(0, 600);
  EXPECT_EQ(entries[1]["selected_field"], "MISS");
  // The point where the dart leaves the frame: short of the tip, on its line, well outside.
  const Point2 p = pointFromJson(entries[1]["board_xy_nominal_mm"]);
  const scene::DartTruth& truth = shot_.truth.darts[1];
  EXPECT_LT(std::hypot(p.x - truth.tip_mm.x, p.y - truth.tip_mm.y), 8.0);
  EXPECT_GT(std::hypot(p.x, p.y), 200.0);
}

// A rig as teams mount it on a ring round the board: 380 mm from the bull, 70 mm in front of
// the face, 680 px focal length at 1280x720, aimed at the bull.
std::vector<scene::CameraSpec> lowRingRig() {
  std::vector<scene::CameraSpec> rig = scene::rigAtElevation({1280, 720}, 75.0);
  for (scene::CameraSpec& camera : rig) {
    camera.distance_mm = 380.0;
    camera.elevation_deg = 90.0 - std::asin(70.0 / 380.0) * 180.0 / CV_PI;
    camera.focal_px = 680.0;
    camera.aim_mm = cv::Point2d(0.0, 0.0);
    camera.roll_deg = scene::uprightRoll(camera);
  }
  return rig;
}

class LowCameraRing : public EngineOnRig {
 protected:
  LowCameraRing() : EngineOnRig(lowRingRig()) {}
};

// A dart near the rim between the camera below the board and the one upper left, leaning
// toward the one below: more than a dart in both, an ordinary dart in the third. It holds
// still, so it is decided, once, with its field; a miss just beyond the double there too.
TEST_F(LowCameraRing, ADartNearTheRimBetweenTwoCamerasIsDecided) {
  const double a = 255.0 * CV_PI / 180.0;
  const cv::Vec3d towardBelow = scene::frontDirection(25.0, 180.0);
  json last = throwInTurn({dartAlong(150.0 * std::sin(a), -150.0 * std::cos(a), towardBelow, {200, 90, 20})});
  EXPECT_FALSE(isWaiting(last)) << last.value("status", "") << " " << last.value("reason", "");
  ASSERT_EQ(last["entries"].size(), 1u) << last.dump().substr(0, 600);
  ASSERT_EQ(shot_.truth.darts[0].field, "S8");
  EXPECT_EQ(last["entries"][0]["selected_field"], "S8");
  const Point2 p = pointFromJson(last["entries"][0]["board_xy_nominal_mm"]);
  EXPECT_LT(std::hypot(p.x - shot_.truth.darts[0].tip_mm.x, p.y - shot_.truth.darts[0].tip_mm.y), 2.0);
}

TEST_F(LowCameraRing, AMissJustBeyondTheDoubleBetweenTwoCamerasIsDecided) {
  const double a = 255.0 * CV_PI / 180.0;
  json last = throwInTurn(
      {dartAlong(173.0 * std::sin(a), -173.0 * std::cos(a), scene::frontDirection(25.0, 180.0), {200, 90, 20})});
  EXPECT_FALSE(isWaiting(last)) << last.value("status", "") << " " << last.value("reason", "");
  ASSERT_EQ(last["entries"].size(), 1u) << last.dump().substr(0, 600);
  EXPECT_EQ(last["entries"][0]["selected_field"], "MISS");
}

}  // namespace
}  // namespace tarv
