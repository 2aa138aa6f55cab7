// Arming through the exported functions, with references rendered by the scene renderer.
#include <cmath>
#include <cstring>

#include <gtest/gtest.h>

#include "host/host_protocol.h"
#include "scene/scene.h"
#include "tarv/board/board_layout.h"
#include "tarv/core/engine_values.h"
#include "tarv/engine/engine.h"
#include "tarv/tarv.h"

namespace tarv {
namespace {

using json = nlohmann::json;

class Arming : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    renderer_ = &scene::defaultRenderer();
    shot_ = &scene::defaultEmptyBoard();
  }
  void SetUp() override { engine_ = tarv_create(); }
  void TearDown() override { tarv_destroy(engine_); }

  json call(const json& request) { return json::parse(tarv_call(engine_, request.dump().c_str())); }
  Round& round() { return static_cast<Engine*>(engine_)->round; }

  static const scene::Renderer* renderer_;
  static const scene::SceneImages* shot_;
  void* engine_ = nullptr;
};
const scene::Renderer* Arming::renderer_ = nullptr;
const scene::SceneImages* Arming::shot_ = nullptr;

TEST_F(Arming, ArmsWithThreeReferencesAndFindsEachBoardNormal) {
  const json reply = call(host::armRequest(shot_->truth, shot_->frames));
  ASSERT_EQ(reply.value("status", ""), "READY") << reply.dump();
  EXPECT_EQ(reply["armed"], true);
  EXPECT_EQ(reply["state"]["data"]["event"], "Started");
  EXPECT_EQ(reply["executionBackend"], "CPP_WINDOWS_OPENCV_4.6");
  for (int i = 0; i < 3; ++i) {
    const json& geometry = reply["tip_geometry"][std::string("CAM_") + std::to_string(i + 1)];
    ASSERT_TRUE(geometry["active"].get<bool>());
    const double w = geometry["image_normal"][2];
    const cv::Point2d found(geometry["image_normal"][0].get<double>() / w,
                            geometry["image_normal"][1].get<double>() / w);
    const cv::Point2d truth = shot_->truth.cameras[i].image_normal;
    // Estimated from the homography alone: within a small fraction of its distance.
    EXPECT_LT(cv::norm(found - truth), 0.01 * cv::norm(truth - cv::Point2d(640, 360))) << i;
  }
  EXPECT_TRUE(round().armed);
  EXPECT_NE(round().cameras[0].surroundMotion, nullptr);
}

TEST_F(Arming, KeepsPrivateReferencesAfterTheHostReusesItsBuffers) {
  std::vector<cv::Mat> frames;
  for (const cv::Mat& f : shot_->frames) frames.push_back(f.clone());
  ASSERT_EQ(call(host::armRequest(shot_->truth, frames)).value("status", ""), "READY");
  for (cv::Mat& f : frames) f.setTo(cv::Scalar(0, 0, 0));

  const cv::Mat& expected = shot_->frames[1];
  std::vector<uint8_t> copy(expected.total() * 3);
  ASSERT_EQ(tarv_copy(engine_, 1, 0, copy.data(), copy.size()), 0);
  EXPECT_EQ(std::memcmp(copy.data(), expected.data, copy.size()), 0);
  std::vector<uint8_t> mask(expected.total(), 1);
  ASSERT_EQ(tarv_copy(engine_, 1, 2, mask.data(), mask.size()), 0);
  EXPECT_EQ(std::count(mask.begin(), mask.end(), 0), static_cast<long>(mask.size()));
}

TEST_F(Arming, RefusesBadConfigurations) {
  json request = host::armRequest(shot_->truth, shot_->frames);
  json twoFrames = request;
  twoFrames["images"].erase(2);
  twoFrames["calibrations"].erase(2);
  // Two images go to the two-camera engine, so the three-camera refusal is seen with four.
  json four = request;
  four["images"].push_back(four["images"][0]);
  EXPECT_EQ(call(four)["error"], "THREE_CAMERAS_REQUIRED");

  for (const json& radius : {json(169.9), json(301.0), json("wide")}) {
    json bad = request;
    bad["board_radius_mm"] = radius;
    EXPECT_EQ(call(bad)["error"], "INVALID_BOARD_RADIUS") << radius;
  }

  const cv::Mat flat(720, 1280, CV_8UC3, cv::Scalar(90, 90, 90));
  std::vector<cv::Mat> frames = shot_->frames;
  frames[2] = flat;
  EXPECT_EQ(call(host::armRequest(shot_->truth, frames))["error"],
            "CAMERA_REFERENCE_FEATURES_INSUFFICIENT: CAM_3");
  EXPECT_FALSE(round().armed);
}

TEST_F(Arming, RingRadiiThatAreNoListOfNumbersAreRefused) {
  json custom = host::armRequest(shot_->truth, shot_->frames);
  custom["ring_radii"] = {6.5, 16.5, 97.5, 107.5, 160.5, 170.5};
  ASSERT_EQ(call(custom).value("status", ""), "READY");
  const json malformed[] = {json("7,17,97,107,160,170"), json::array(),
                            json::array({"7", "17", "97", "107", "160", "170"}),
                            json::array({json::array({7, 17, 97, 107, 160, 170})}), json::object()};
  for (const json& value : malformed) {
    json request = host::armRequest(shot_->truth, shot_->frames);
    request["ring_radii"] = value;
    EXPECT_EQ(call(request).value("error", ""), "INVALID_RING_RADII") << value.dump();
    EXPECT_EQ(ringRadii()[0], 6.5) << value.dump();
  }
}

TEST_F(Arming, AFailedArmLeavesTheProcessWideValuesAlone) {
  json custom = host::armRequest(shot_->truth, shot_->frames);
  custom["ring_radii"] = {6.5, 16.5, 97.5, 107.5, 160.5, 170.5};
  custom["miss_radius_mm"] = 300.0;
  ASSERT_EQ(call(custom).value("status", ""), "READY");

  std::vector<cv::Mat> frames = shot_->frames;
  frames[1] = cv::Mat(720, 1280, CV_8UC3, cv::Scalar(90, 90, 90));
  json failing = host::armRequest(shot_->truth, frames);  // default radii asked for
  ASSERT_EQ(call(failing)["error"], "CAMERA_REFERENCE_FEATURES_INSUFFICIENT: CAM_2");
  failing["ring_radii"] = {1.0, 1.0, 1.0, 1.0, 1.0, 1.0};
  ASSERT_EQ(call(failing)["error"], "INVALID_RING_RADII");
  EXPECT_EQ(ringRadii()[0], 6.5);
  EXPECT_EQ(missRadiusMm(), 300.0);

  ASSERT_EQ(call(host::armRequest(shot_->truth, shot_->frames)).value("status", ""), "READY");
  EXPECT_EQ(ringRadii(), BoardLayout::kDefaultRingRadii);
  EXPECT_EQ(missRadiusMm(), 240.0);
}

TEST_F(Arming, ReArmingStartsAFreshRound) {
  ASSERT_EQ(call(host::armRequest(shot_->truth, shot_->frames)).value("status", ""), "READY");
  round().lastCaptureTimes = {1e30, 1e30, 1e30};
  round().decisionWindowStart = 5.0;
  round().entries.push_back({{"id", 1}});
  round().roundNumber = 4;
  round().frameHistory.push_back(cv::Mat(2, 2, CV_8UC1));
  round().cameras[0].surroundMotion->time = 9.0;

  ASSERT_EQ(call(host::armRequest(shot_->truth, shot_->frames)).value("status", ""), "READY");
  EXPECT_EQ(round().lastCaptureTimes[0], -1.0);
  EXPECT_EQ(round().decisionWindowStart, -1.0);
  EXPECT_TRUE(round().entries.empty());
  EXPECT_EQ(round().roundNumber, 1);
  EXPECT_TRUE(round().frameHistory.empty());
  EXPECT_EQ(round().cameras[0].surroundMotion->time, -1.0);
}

}  // namespace
}  // namespace tarv
