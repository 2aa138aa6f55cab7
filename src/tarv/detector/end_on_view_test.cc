#include "tarv/detector/end_on_view.h"

#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "scene/camera_rig.h"
#include "tarv/detector/rig_engine_test_support.h"
#include "tarv/tarv.h"

namespace tarv {
namespace {

// The image line through two board-frame points (z toward the board, as the rig has it).
cv::Vec3d imageLineThrough(const scene::Camera& camera, const cv::Point3d& a, const cv::Point3d& b) {
  const cv::Point2d p = camera.project(a);
  const cv::Point2d q = camera.project(b);
  return cv::Vec3d(p.x, p.y, 1.0).cross(cv::Vec3d(q.x, q.y, 1.0));
}

struct Rig {
  std::vector<scene::Camera> cameras;
  std::array<RodView, 3> views;
};

// A dart at `tip` leaning along `up` (unit, toward the thrower): each camera's line follows
// the rod, but camera `wing` (if any) fits its line to a flight wing: the rod's image moved
// wingMm across the board at the tip.
Rig rigSeeing(const cv::Point3d& tip, const cv::Vec3d& up, int wing = -1, double wingMm = 0.0) {
  Rig rig;
  for (const scene::CameraSpec& camera : scene::defaultRig({1280, 720})) rig.cameras.emplace_back(camera);
  for (int i = 0; i < 3; ++i) {
    const cv::Point3d top = tip + cv::Point3d(up[0], up[1], up[2]) * 100.0;
    const cv::Point3d shift = i == wing ? cv::Point3d(wingMm, 0.0, 0.0) : cv::Point3d(0.0, 0.0, 0.0);
    rig.views[i].pose = poseOf(rig.cameras[i]);
    rig.views[i].imageLine = imageLineThrough(rig.cameras[i], tip + shift, top + shift);
    rig.views[i].tipPx = rig.cameras[i].project(tip + shift);
  }
  return rig;
}

// Image length of the first 150 mm of the rod in a camera.
double rodLengthPx(const scene::Camera& camera, const cv::Point3d& tip, const cv::Vec3d& up) {
  return cv::norm(camera.project(tip + cv::Point3d(up[0], up[1], up[2]) * 150.0) - camera.project(tip));
}

const cv::Point3d kTip(10.0, 120.0, 0.0);
const cv::Vec3d kUp = cv::normalize(cv::Vec3d(0.1, 0.3, -1.0));

TEST(EndOnViews, AWingLineFarLongerThanTheRodIsEndOn) {
  const Rig rig = rigSeeing(kTip, kUp, 2, 15.0);
  const double rod = rodLengthPx(rig.cameras[2], kTip, kUp);
  const std::array<bool, 3> endOn = findEndOnViews(rig.views, {100.0, 100.0, 2.0 * rod});
  EXPECT_FALSE(endOn[0]);
  EXPECT_FALSE(endOn[1]);
  EXPECT_TRUE(endOn[2]);
}

TEST(EndOnViews, ACameraAsLongAsTheRodIsNotEndOn) {
  const Rig rig = rigSeeing(kTip, kUp, 2, 15.0);
  const double rod = rodLengthPx(rig.cameras[2], kTip, kUp);
  EXPECT_FALSE(findEndOnViews(rig.views, {100.0, 100.0, 1.2 * rod})[2]);
}

// Refusal: a camera whose line runs through where the others' rod meets the board sees the
// shaft, even when its support reaches far beyond what the others make of the rod.
TEST(EndOnViews, ACameraWhoseLineFollowsTheShaftIsNeverLeftOut) {
  const Rig rig = rigSeeing(kTip, kUp);
  const double rod = rodLengthPx(rig.cameras[2], kTip, kUp);
  const std::array<bool, 3> endOn = findEndOnViews(rig.views, {100.0, 100.0, 3.0 * rod});
  EXPECT_FALSE(endOn[0] || endOn[1] || endOn[2]);
  // Its line within a few millimetres of the rod's foot: still the shaft.
  const Rig near = rigSeeing(kTip, kUp, 2, 2.0);
  EXPECT_FALSE(findEndOnViews(near.views, {100.0, 100.0, 3.0 * rod})[2]);
}

// Refusal: a rod whose foot neither other camera saw as its tip comes from a wrong line there,
// and condemns nobody.
TEST(EndOnViews, ARodWithoutATipAtItsFootCondemnsNobody) {
  Rig rig = rigSeeing(kTip, kUp, 2, 15.0);
  const double rod = rodLengthPx(rig.cameras[2], kTip, kUp);
  for (int i : {0, 1}) rig.views[i].tipPx = rig.cameras[i].project(kTip + cv::Point3d(0.0, 20.0, 0.0));
  EXPECT_FALSE(findEndOnViews(rig.views, {100.0, 100.0, 3.0 * rod})[2]);
  rig.views[1].tipPx = rig.cameras[1].project(kTip + cv::Point3d(0.0, 3.0, 0.0));
  EXPECT_TRUE(findEndOnViews(rig.views, {100.0, 100.0, 3.0 * rod})[2]);
}

TEST(EndOnViews, WithoutPoseOrLineOrSupportNothingIsJudged) {
  Rig rig = rigSeeing(kTip, kUp, 2, 15.0);
  const double rod = rodLengthPx(rig.cameras[2], kTip, kUp);
  EXPECT_FALSE(findEndOnViews(rig.views, {100.0, 100.0, 0.0})[2]);
  rig.views[0].imageLine.reset();
  EXPECT_FALSE(findEndOnViews(rig.views, {100.0, 100.0, 3.0 * rod})[2]);
}

TEST(EndOnViews, LeavingOutTakesTheLineAndTipOutOfTheRecord) {
  const Rig rig = rigSeeing(kTip, kUp, 2, 15.0);
  const double rod = rodLengthPx(rig.cameras[2], kTip, kUp);
  std::array<json, 3> records;
  std::array<std::optional<CameraPose>, 3> poses;
  for (int i = 0; i < 3; ++i) {
    const cv::Vec3d& l = *rig.views[i].imageLine;
    // A point on the line and its direction, as the shaft search writes them.
    const cv::Point2d direction = cv::Point2d(l[1], -l[0]) * (1.0 / std::hypot(l[0], l[1]));
    const cv::Point2d origin = std::abs(l[1]) > std::abs(l[0]) ? cv::Point2d(640.0, -(l[0] * 640.0 + l[2]) / l[1])
                                                               : cv::Point2d(-(l[1] * 360.0 + l[2]) / l[0], 360.0);
    records[i] = {{"observations", {{{"origin_px", {origin.x, origin.y}},
                                     {"direction_xy", {direction.x, direction.y}},
                                     {"axis_valid", true},
                                     {"support_span_px", i == 2 ? 3.0 * rod : 100.0}}}},
                  {"votes", {{{"abstention", false}, {"tip_valid", true}, {"axis_valid", true}, {"axis_index", 0},
                              {"image_point", {rig.views[i].tipPx->x, rig.views[i].tipPx->y}}}}}};
    poses[i] = rig.views[i].pose;
  }
  const json leftOut = leaveOutEndOnViews(records, poses);
  EXPECT_EQ(leftOut, json::array({"CAM_3"}));
  EXPECT_FALSE(records[2]["votes"][0]["axis_valid"].get<bool>());
  EXPECT_FALSE(records[2]["votes"][0]["tip_valid"].get<bool>());
  EXPECT_FALSE(records[2]["observations"][0]["axis_valid"].get<bool>());
  EXPECT_TRUE(records[0]["votes"][0]["axis_valid"].get<bool>());
  EXPECT_TRUE(records[1]["votes"][0]["tip_valid"].get<bool>());
}

// On the default rig a dart leaning straight at the lower camera shows it only its flight: one
// wing seen edge-on runs some 25 mm past the point. The other two cameras see the shaft.
class EndOnScene : public EngineOnRig {
 protected:
  EndOnScene() : EngineOnRig(scene::defaultRig({1280, 720})) {}

  // Unit direction from a board point toward the rig camera `camera`, turned a little aside.
  cv::Vec3d towardCamera(int camera, cv::Point2d tip, cv::Vec3d aside) const {
    const cv::Point3d c = renderer_.cameras()[camera].centre();
    return cv::normalize(cv::normalize(cv::Vec3d(c.x - tip.x, c.y - tip.y, c.z)) + aside);
  }
};

TEST_F(EndOnScene, TheFlightCameraKeepsNoTipAndTheDartIsEntered) {
  const cv::Point2d tip(16.5, 147.4);
  const json last = throwInTurn({dartAlong(tip.x, tip.y, towardCamera(2, tip, {0.03, 0.0, 0.0}), {40, 170, 40})});
  const std::string status = last.value("status", "");
  EXPECT_NE(status, "WAIT");
  EXPECT_NE(status, "POSITION_UNRESOLVED");
  const json& entries = last["entries"];
  ASSERT_EQ(entries.size(), 1u) << last.dump().substr(0, 600);
  const scene::DartTruth& truth = shot_.truth.darts[0];
  ASSERT_EQ(truth.field, "S3");
  EXPECT_EQ(entries[0]["selected_field"], "S3");
  const Point2 p = pointFromJson(entries[0]["board_xy_nominal_mm"]);
  EXPECT_LT(std::hypot(p.x - truth.tip_mm.x, p.y - truth.tip_mm.y), 1.5);
  // The wing's far end is no tip of the lower camera's: the dart is tied to the other two.
  const json& association = entries[0]["association_points"];
  EXPECT_TRUE(association.contains("CAM_1"));
  EXPECT_TRUE(association.contains("CAM_2"));
  EXPECT_FALSE(association.contains("CAM_3")) << association.dump();
}

}  // namespace
}  // namespace tarv
