// The field at the rod's foot: a dart whose point one camera sees at the board while another
// sees its tip end far up the rod, on rig geometry and through the engine on rendered darts.
#include "tarv/detector/rod_foot.h"

#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "scene/camera_rig.h"
#include "tarv/board/board_layout.h"
#include "tarv/detector/rig_engine_test_support.h"

namespace tarv {
namespace {

using json = nlohmann::json;

// Where the camera's ray through a pixel meets the board face.
Point2 boardPointOf(const scene::Camera& camera, cv::Point2d pixel) {
  const cv::Vec3d b = camera.boardToImage().inv() * cv::Vec3d(pixel.x, pixel.y, 1.0);
  return {b[0] / b[2], b[1] / b[2]};
}

// A dart at `tip` leaning along `up` (unit, z toward the board as the rig has it), seen by
// each camera whose tip height (mm above the face, along the rod) is given: its line follows
// the rod, shifted `across` mm on the board, and its own tip ends at that height. A camera
// without a height abstains.
struct Seen {
  std::array<json, 3> records;
  std::array<std::optional<CameraPose>, 3> poses;
};
Seen seenBy(const cv::Point3d& tip, const cv::Vec3d& up, const std::array<std::optional<double>, 3>& heights,
            const std::array<double, 3>& across = {0.0, 0.0, 0.0}) {
  Seen seen;
  const std::vector<scene::CameraSpec> specs = scene::defaultRig({1280, 720});
  for (int i = 0; i < 3; ++i) {
    const scene::Camera camera(specs[i]);
    seen.poses[i] = poseOf(camera);
    if (!heights[i]) {
      seen.records[i] = {{"observations", json::array()},
                         {"votes", {{{"abstention", true}, {"tip_valid", false}, {"axis_valid", false}}}}};
      continue;
    }
    const cv::Point3d shift(across[i], 0.0, 0.0);
    const cv::Point3d rodUp(up[0], up[1], up[2]);
    const cv::Point2d a = camera.project(tip + shift);
    const cv::Point2d b = camera.project(tip + shift + rodUp * 100.0);
    const cv::Point2d own = camera.project(tip + shift + rodUp * (*heights[i] / std::abs(up[2])));
    const cv::Point2d direction = (b - a) * (1.0 / cv::norm(b - a));
    const Point2 point = boardPointOf(camera, own);
    seen.records[i] = {{"observations", {{{"origin_px", {a.x, a.y}}, {"direction_xy", {direction.x, direction.y}},
                                          {"axis_valid", true}}}},
                       {"votes", {{{"abstention", false}, {"tip_valid", true}, {"axis_valid", true}, {"axis_index", 0},
                                   {"image_point", {own.x, own.y}}, {"point", pointToJson(point)}}}}};
  }
  return seen;
}

const cv::Vec3d kUp = cv::normalize(cv::Vec3d(0.05, 0.5, -0.87));
// In the single 3, about 9 mm from its radial wire.
const cv::Point3d kTip(10.0, 120.0, 0.0);

TEST(RodFoot, OneCameraAtTheFaceAndOneWithItsPointHiddenDecideTheField) {
  const Seen seen = seenBy(kTip, kUp, {1.0, 25.0, std::nullopt});
  const json found = fieldAtRodFoot(seen.records, seen.poses, {10.0, 120.0}, 2.0);
  ASSERT_TRUE(found.is_object());
  EXPECT_EQ(found["field"], "S3");
  EXPECT_EQ(found["seeing"], json::array({"CAM_1"}));
  EXPECT_EQ(found["hidden"], json::array({"CAM_2"}));
  const Point2 foot = pointFromJson(found["foot"]);
  EXPECT_NEAR(foot.x, 10.0, 0.05);
  EXPECT_NEAR(foot.y, 120.0, 0.05);
  EXPECT_NEAR(found["tip_heights_mm"]["CAM_2"].get<double>(), 25.0, 0.1);
  // Three cameras of one rod, two of them at the face.
  EXPECT_TRUE(fieldAtRodFoot(seenBy(kTip, kUp, {1.0, 25.0, 0.5}).records, seen.poses, {10.0, 120.0}, 2.0).is_object());
}

// Refusals: a point within several of its errors of a wire, a dart whose point no camera sees
// at the face (point and barrel hidden), lines of no one rod, a rod that meets the board away
// from the point, and a camera's tip low on the rod that names another field.
TEST(RodFoot, WhatTheEvidenceDoesNotDecideStaysOpen) {
  const double a = 8.0 * CV_PI / 180.0;  // a degree inside the 3's radial wire
  const cv::Point3d nearWire(120.0 * std::sin(a), 120.0 * std::cos(a), 0.0);
  ASSERT_LT(nearestWireDistance({nearWire.x, nearWire.y}), 2.5);
  const Seen atWire = seenBy(nearWire, kUp, {1.0, 25.0, std::nullopt});
  EXPECT_TRUE(fieldAtRodFoot(atWire.records, atWire.poses, {nearWire.x, nearWire.y}, 0.3).is_null());
  const Seen seen = seenBy(kTip, kUp, {1.0, 25.0, std::nullopt});
  EXPECT_TRUE(fieldAtRodFoot(seen.records, seen.poses, {10.0, 120.0}, 4.0).is_null());
  const Seen hidden = seenBy(kTip, kUp, {40.0, 25.0, std::nullopt});
  EXPECT_TRUE(fieldAtRodFoot(hidden.records, hidden.poses, {10.0, 120.0}, 2.0).is_null());
  const Seen apart = seenBy(kTip, kUp, {1.0, 25.0, 1.0}, {0.0, 0.0, 12.0});
  EXPECT_TRUE(fieldAtRodFoot(apart.records, apart.poses, {10.0, 120.0}, 2.0).is_null());
  EXPECT_TRUE(fieldAtRodFoot(seen.records, seen.poses, {10.0, 128.0}, 2.0).is_null());
  Seen other = seen;
  other.records[1] = seenBy(kTip, kUp, {1.0, 5.0, std::nullopt}).records[1];
  other.records[1]["votes"][0]["point"] = {40.0, 120.0};
  EXPECT_TRUE(fieldAtRodFoot(other.records, other.poses, {10.0, 120.0}, 2.0).is_null());
}

// The third dart of a round: its point hidden from CAM_1 by the dart before it, seen end-on
// by CAM_3, its tip seen at the board by CAM_2 alone; the rod of CAM_1 and CAM_2 meets the
// board in the single 3, 7 mm from a wire. It is entered as the S3 it is, on a later triplet
// that says the same.
class RodFootOnRig : public EngineOnRig {
 protected:
  RodFootOnRig() : EngineOnRig(scene::defaultRig({1280, 720})) {}
};

TEST_F(RodFootOnRig, ADartWhosePointOneCameraSeesIsEnteredFromTheRodsFoot) {
  // tip x, y; direction; flight roll and colour, as the round threw them.
  const double thrown[3][9] = {{-156.3248, 11.1979, 0.278108, 0.018635, -0.960369, 13.362, 40, 40, 215},
                               {31.6563, 121.0378, -0.400931, -0.112220, -0.909209, 47.487, 20, 120, 240},
                               {16.4693, 147.3669, 0.032752, 0.497444, -0.866878, 18.625, 60, 170, 40}};
  std::vector<scene::Dart> darts;
  for (const auto& t : thrown) darts.push_back(dartAlong(t[0], t[1], {t[2], t[3], t[4]}, {t[6], t[7], t[8]}, t[5]));
  std::vector<json> replies;
  scene::Scene s;
  for (const scene::Dart& dart : darts) {
    s.darts.push_back(dart);
    const scene::SceneImages shot = renderer_.render(s);
    for (int i = 0; i < 4; ++i) replies.push_back(call(clock_.detectRequest(shot.frames)));
  }
  ASSERT_EQ(replies.back()["entries"].size(), 3u) << replies.back().dump().substr(0, 400);
  EXPECT_EQ(replies.back()["entries"][2]["selected_field"], "S3");
  std::vector<std::string> paths;
  for (size_t i = 8; i < replies.size(); ++i) {
    const json& decision = replies[i].value("decision", json::object());
    if (decision.is_object() && decision.value("path", json()).is_string()) paths.push_back(decision["path"]);
  }
  EXPECT_EQ(paths, std::vector<std::string>({"ROD_FOOT", "ROD_FOOT"})) << "decided, then confirmed";
}

}  // namespace
}  // namespace tarv
