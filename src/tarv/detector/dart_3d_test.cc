// The dart as a 3D rod, scored end to end through the exported functions on rendered darts of
// known tip, tilt and height.
#include <cmath>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "host/host_protocol.h"
#include "scene/scene.h"
#include "tarv/detector/dart_3d.h"
#include "tarv/detector/dart_rod.h"
#include "tarv/tarv.h"

namespace tarv {
namespace {

using json = nlohmann::json;

class Dart3d : public ::testing::Test {
 protected:
  void SetUp() override { engine_ = tarv_create(); }
  void TearDown() override { tarv_destroy(engine_); }

  json call(const json& request) { return json::parse(tarv_call(engine_, request.dump().c_str())); }
  json arm() {
    const scene::SceneImages& empty = scene::defaultEmptyBoard();
    return call(host::armRequest(empty.truth, empty.frames));
  }
  std::vector<json> send(const scene::Scene& scene, int times, const json& extra = json::object()) {
    const scene::SceneImages shot = scene::defaultRenderer().render(scene);
    std::vector<json> replies;
    for (int i = 0; i < times; ++i) {
      json request = clock_.detectRequest(shot.frames);
      request.update(extra);
      replies.push_back(call(request));
    }
    return replies;
  }

  void* engine_ = nullptr;
  host::FrameClock clock_;
};

double tiltOf(const cv::Vec3d& direction) {
  return std::acos(std::abs(cv::normalize(direction)[2])) * 180.0 / CV_PI;
}

TEST_F(Dart3d, TheArmReplyCarriesTheArmedRingRadii) {
  const scene::SceneImages& empty = scene::defaultEmptyBoard();
  json request = host::armRequest(empty.truth, empty.frames);
  const std::vector<double> rings = {6.5, 16.0, 98.0, 107.5, 161.0, 170.5};
  request["ring_radii"] = rings;
  json reply = call(request);
  ASSERT_EQ(reply.value("status", ""), "READY");
  EXPECT_EQ(reply["board_rings"], json(rings));
  // Without radii the nominal ones are armed, and said so.
  request.erase("ring_radii");
  reply = call(request);
  EXPECT_EQ(reply["board_rings"], json({7.0, 17.0, 97.0, 107.0, 160.0, 170.0}));
}

// A landed dart's rod stands on the board face where the dart entered it, at the dart's tilt.
TEST_F(Dart3d, ALandedDartsRodHasItsTipOnTheFaceAndItsTilt) {
  struct Case {
    cv::Point2d tip;
    double tilt;
    double azimuth;
  };
  const std::vector<Case> cases = {{{10.0, -103.0}, 10.0, 200.0}, {{-60.0, 40.0}, 25.0, 60.0},
                                   {{45.0, 80.0}, 35.0, 300.0}};
  for (const Case& c : cases) {
    SCOPED_TRACE("tilt " + std::to_string(c.tilt));
    ASSERT_EQ(arm().value("status", ""), "READY");
    scene::Scene scene;
    scene.darts.push_back({c.tip, scene::frontDirection(c.tilt, c.azimuth)});
    json decided;
    for (const json& reply : send(scene, 4)) {
      if (reply.value("status", "") == "DART_CANDIDATE") decided = reply;
    }
    ASSERT_TRUE(decided.is_object());
    const json& rod = decided["dart_3d"]["rod"];
    ASSERT_TRUE(rod.is_object()) << decided["dart_3d"].dump();
    EXPECT_GE(rod["cameras"].get<int>(), 2);
    EXPECT_NEAR(rod["tip_mm"][0].get<double>(), c.tip.x, 3.0);
    EXPECT_NEAR(rod["tip_mm"][1].get<double>(), c.tip.y, 3.0);
    EXPECT_NEAR(rod["tip_mm"][2].get<double>(), 0.0, 4.0);
    EXPECT_NEAR(rod["tilt_deg"].get<double>(), tiltOf(scene.darts[0].direction), 4.0);
    const json& overlay = decided["dart_3d"]["overlay"];
    EXPECT_EQ(overlay["kind"], "rod");
    ASSERT_TRUE(overlay["cameras"].is_object());
    for (const auto& [id, camera] : overlay["cameras"].items()) {
      EXPECT_TRUE(camera["base"].is_array()) << id;
      EXPECT_TRUE(camera["top"].is_array()) << id;
    }
  }
}

// A dart held 30 mm in front of the board, still and with no hand seen, is no landed dart:
// nothing is entered however long it is held.
TEST_F(Dart3d, ADartHeldInFrontOfTheBoardIsNotEntered) {
  const std::vector<std::pair<cv::Point2d, double>> held = {
      {{10.0, -103.0}, 200.0}, {{-60.0, 40.0}, 60.0}, {{70.0, 20.0}, 120.0}};
  for (const auto& [tip, azimuth] : held) {
    ASSERT_EQ(arm().value("status", ""), "READY");
    scene::Scene scene;
    scene::Dart dart{tip, scene::frontDirection(15.0, azimuth)};
    dart.height_mm = 30.0;
    scene.darts.push_back(dart);
    int above = 0;
    for (const json& reply : send(scene, 8)) {
      SCOPED_TRACE(reply.dump().substr(0, 300));
      ASSERT_NE(reply.value("status", ""), "DART_CANDIDATE");
      EXPECT_TRUE(reply["entries"].empty());
      if (reply.value("reason", "") != "DART_3D_TIP_ABOVE_BOARD") continue;
      ++above;
      const json& rod = reply["dart_3d"]["rod"];
      EXPECT_GE(rod["cameras"].get<int>(), 2);
      EXPECT_NEAR(rod["tip_mm"][2].get<double>(), 30.0, 6.0);
      EXPECT_NEAR(rod["tip_mm"][0].get<double>(), tip.x, 4.0);
      EXPECT_NEAR(rod["tip_mm"][1].get<double>(), tip.y, 4.0);
    }
    EXPECT_GE(above, 1);
  }
}

TEST_F(Dart3d, WithTheSwitchOffNoReplyCarriesTheRod) {
  ASSERT_EQ(arm().value("status", ""), "READY");
  scene::Scene scene;
  scene.darts.push_back({{-60.0, 40.0}, scene::frontDirection(20.0, 60.0)});
  bool decided = false;
  for (const json& reply : send(scene, 4, {{"dart_3d", false}})) {
    EXPECT_FALSE(reply.contains("dart_3d"));
    decided = decided || reply.value("status", "") == "DART_CANDIDATE";
  }
  EXPECT_TRUE(decided);
  // The switch is process-wide: back to its value at load.
  (void)send(scene::Scene{}, 1, {{"dart_3d", true}});
}

}  // namespace
}  // namespace tarv

namespace tarv {
namespace {

// Per camera the image line and tip pixel of a 3D segment from the tip along the direction
// (scene board frame: z into the board), seen by the default rig.
std::array<RodView, 3> viewsOf(const cv::Point3d& tip, const cv::Vec3d& direction) {
  std::array<RodView, 3> views;
  const std::vector<scene::CameraSpec> rig = scene::defaultRig();
  for (int i = 0; i < 3; ++i) {
    const scene::Camera camera(rig[i]);
    Homography h;
    for (int k = 0; k < 9; ++k) h[k] = camera.boardToImage().val[k];
    views[i].pose = cameraPoseFromHomography(h, {}, camera.imageSize());
    const cv::Point2d a = camera.project(tip);
    const cv::Point2d b = camera.project(tip + cv::Point3d(direction * 80.0));
    views[i].imageLine = cv::Vec3d(a.x, a.y, 1.0).cross(cv::Vec3d(b.x, b.y, 1.0));
    views[i].tipPx = a;
  }
  return views;
}

TEST(DartRod, TwoOrThreePlanesMeetInTheDartsLine) {
  const cv::Vec3d direction = scene::frontDirection(25.0, 130.0);
  const std::array<RodView, 3> views = viewsOf({30.0, -50.0, 0.0}, direction);
  for (const std::array<bool, 3>& use : {std::array<bool, 3>{true, true, true}, std::array<bool, 3>{true, false, true}}) {
    const std::optional<DartRod> rod = fitDartRod(views, use);
    ASSERT_TRUE(rod.has_value());
    EXPECT_EQ(rod->cameras, use[1] ? 3 : 2);
    EXPECT_NEAR(rod->tiltDeg, 25.0, 0.2);
    EXPECT_NEAR(rod->tipHeightMm, 0.0, 0.5);
    EXPECT_NEAR(rod->base[0], 30.0, 0.3);
    EXPECT_NEAR(rod->base[1], -50.0, 0.3);
    EXPECT_LT(rod->residualMm, 0.5);
    const json document = dart3dDocument(*rod, views, "rod", "");
    EXPECT_NEAR(document["rod"]["tip_mm"][2].get<double>(), 0.0, 0.5);
    EXPECT_EQ(document["overlay"]["cameras"].size(), 3u);
    EXPECT_NEAR(document["overlay"]["cameras"]["CAM_2"]["tip_height_mm"].get<double>(), 0.0, 0.5);
  }
  // One plane is no rod.
  EXPECT_FALSE(fitDartRod(views, {true, false, false}).has_value());
}

TEST(DartRod, ATipInTheAirStandsAboveTheFace) {
  const std::array<RodView, 3> views = viewsOf({-20.0, 60.0, -30.0}, scene::frontDirection(10.0, 250.0));
  const std::optional<DartRod> rod = fitDartRod(views, {true, true, true});
  ASSERT_TRUE(rod.has_value());
  EXPECT_NEAR(rod->tipHeightMm, 30.0, 0.5);
  EXPECT_NEAR(rod->tip[0], -20.0, 0.5);
  EXPECT_NEAR(rod->tip[1], 60.0, 0.5);
  EXPECT_GT(rod->tipHeightMm, kTipAboveBoardMm);
}

// One camera's tip carries the throw: a point inside that camera's change that no other
// camera's change or own tip reaches goes to review.
TEST(DartRod, ASingleViewTipOffTheOtherCamerasChangeGoesToReview) {
  Round round;
  const std::vector<scene::CameraSpec> rig = scene::defaultRig();
  const cv::Point3d tip(40.0, 20.0, 0.0);
  const std::array<RodView, 3> views = viewsOf(tip, scene::frontDirection(15.0, 30.0));
  std::array<json, 3> records;
  std::array<cv::Mat, 3> masks;
  for (int i = 0; i < 3; ++i) {
    const scene::Camera camera(rig[i]);
    for (int k = 0; k < 9; ++k) round.cameras[i].boardToImage[k] = camera.boardToImage().val[k];
    round.cameras[i].emptyReference = cv::Mat::zeros(camera.imageSize(), CV_8UC1);
    const cv::Vec3d& l = *views[i].imageLine;
    const cv::Point2d p = *views[i].tipPx;
    // A point on the line and its direction, as a shaft record has them.
    const cv::Point2d d = cv::Point2d(l[1], -l[0]) / std::hypot(l[0], l[1]);
    // The other cameras' own tips lie well along their lines, away from the point.
    const cv::Point2d own = i == 0 ? p : p + 60.0 * d;
    records[i] = {{"observations", {{{"axis_valid", true}, {"origin_px", {p.x, p.y}}, {"direction_xy", {d.x, d.y}}}}},
                  {"votes", {{{"abstention", false}, {"axis_valid", true}, {"tip_valid", true}, {"axis_index", 0},
                              {"point", {tip.x, tip.y}}, {"image_point", {own.x, own.y}}}}}};
    masks[i] = cv::Mat::zeros(camera.imageSize(), CV_8UC1);
  }
  cv::circle(masks[0], *views[0].tipPx, 6, cv::Scalar(255), cv::FILLED);
  TipLocation single;
  single.method = "BEST_CAM";
  single.point = Point2{tip.x, tip.y};
  single.solver = {{"camera", "CAM_1"}};
  const json crosscheck = {{"agreeing_cameras", {"CAM_1", "CAM_2", "CAM_3"}}};
  Dart3dJudgement judged = judgeDart3d(round, cameraPosesOf(round), records, masks, crosscheck, single);
  EXPECT_EQ(judged.reason, "SINGLE_VIEW_TIP_INSIDE_CHANGE");
  EXPECT_EQ(judged.document["overlay"]["kind"], "single_view");
  EXPECT_EQ(judged.document["overlay"]["camera"], "CAM_1");
  EXPECT_EQ(judged.document["rod"]["cameras"], 2);
  // Another camera's change at the point: an ordinary single-view tip.
  cv::circle(masks[2], *views[2].tipPx, 6, cv::Scalar(255), cv::FILLED);
  judged = judgeDart3d(round, cameraPosesOf(round), records, masks, crosscheck, single);
  EXPECT_EQ(judged.reason, "");
  masks[2].setTo(0);
  // Another camera's own tip 12 px from where its calibration puts the point (that camera a
  // few pixels off): it sees the dart's point there too.
  const cv::Point2d off = *views[1].tipPx + cv::Point2d(8.0, 9.0);
  records[1]["votes"][0]["image_point"] = {off.x, off.y};
  judged = judgeDart3d(round, cameraPosesOf(round), records, masks, crosscheck, single);
  EXPECT_EQ(judged.reason, "");
  // Lines of two or three cameras: a rod, no single-view rule.
  TipLocation lines = single;
  lines.method = "THREE_VIEW_LINES";
  judged = judgeDart3d(round, cameraPosesOf(round), records, masks, crosscheck, lines);
  EXPECT_EQ(judged.reason, "");
  EXPECT_EQ(judged.document["overlay"]["kind"], "rod");
  EXPECT_EQ(judged.document["rod"]["cameras"], 3);
}

}  // namespace
}  // namespace tarv
