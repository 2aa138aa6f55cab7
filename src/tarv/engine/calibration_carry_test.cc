// Re-arming onto new references: a calibration made on the previous references is carried
// onto the new ones when the camera moved a few pixels at most.
#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "host/host_protocol.h"
#include "scene/scene.h"
#include "tarv/core/board_geometry.h"
#include "tarv/core/engine_values.h"
#include "tarv/engine/engine.h"
#include "tarv/tarv.h"

namespace tarv {
namespace {

using json = nlohmann::json;

std::vector<cv::Mat> shifted(const std::vector<cv::Mat>& frames, double dx, double dy) {
  std::vector<cv::Mat> out;
  for (const cv::Mat& f : frames) {
    cv::Mat moved;
    cv::warpAffine(f, moved, cv::Matx23d(1, 0, dx, 0, 1, dy), f.size(), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
    out.push_back(moved);
  }
  return out;
}

class CalibrationCarry : public ::testing::Test {
 protected:
  void SetUp() override { engine_ = tarv_create(); }
  void TearDown() override { tarv_destroy(engine_); }
  json call(const json& request) { return json::parse(tarv_call(engine_, request.dump().c_str())); }

  void* engine_ = nullptr;
};

TEST_F(CalibrationCarry, AShiftedReferenceTakesTheCalibrationAlong) {
  const scene::SceneImages& empty = scene::defaultEmptyBoard();
  const json first = call(host::armRequest(empty.truth, empty.frames));
  ASSERT_EQ(first.value("status", ""), "READY");
  EXPECT_FALSE(first.contains("calibration_transfer"));

  // The same calibrations on references moved by (2, -1) px.
  const json again = call(host::armRequest(empty.truth, shifted(empty.frames, 2.0, -1.0)));
  ASSERT_EQ(again.value("status", ""), "READY") << again.dump().substr(0, 300);
  const Round& round = static_cast<Engine*>(engine_)->round;
  for (int i = 0; i < 3; ++i) {
    const json& carried = again["calibration_transfer"][cameraIds[i]];
    ASSERT_TRUE(carried.value("accepted", false)) << carried.dump();
    EXPECT_NEAR(carried["shift_px"][0].get<double>(), 2.0, 0.15);
    EXPECT_NEAR(carried["shift_px"][1].get<double>(), -1.0, 0.15);
    // Every board point follows the camera.
    const cv::Matx33d& truth = empty.truth.cameras[i].board_to_image;
    Homography given;
    for (int k = 0; k < 9; ++k) given[k] = truth.val[k];
    for (const Point2 p : {Point2{0.0, 0.0}, Point2{120.0, -80.0}, Point2{-150.0, 40.0}}) {
      const Point2 before = applyHomography(given, p);
      const Point2 after = applyHomography(round.cameras[i].boardToImage, p);
      EXPECT_NEAR(after.x - before.x, 2.0, 0.15);
      EXPECT_NEAR(after.y - before.y, -1.0, 0.15);
    }
  }
}

TEST_F(CalibrationCarry, AReferenceMovedTooFarKeepsTheCalibrationAndSaysWhy) {
  const scene::SceneImages& empty = scene::defaultEmptyBoard();
  ASSERT_EQ(call(host::armRequest(empty.truth, empty.frames)).value("status", ""), "READY");
  const json again = call(host::armRequest(empty.truth, shifted(empty.frames, 6.0, 0.0)));
  ASSERT_EQ(again.value("status", ""), "READY") << again.dump().substr(0, 300);
  const Round& round = static_cast<Engine*>(engine_)->round;
  for (int i = 0; i < 3; ++i) {
    const json& carried = again["calibration_transfer"][cameraIds[i]];
    EXPECT_FALSE(carried.value("accepted", true)) << carried.dump();
    EXPECT_EQ(carried.value("reason", ""), "CALIBRATION_TRANSFER_REJECTED");
    for (int k = 0; k < 9; ++k) {
      EXPECT_NEAR(round.cameras[i].boardToImage[k], empty.truth.cameras[i].board_to_image.val[k],
                  1e-9 * std::max(1.0, std::abs(empty.truth.cameras[i].board_to_image.val[k])));
    }
  }
}

// Other calibrations are the host's new ones: nothing is carried.
TEST_F(CalibrationCarry, NewCalibrationsAreTakenAsSent) {
  const scene::SceneImages& empty = scene::defaultEmptyBoard();
  ASSERT_EQ(call(host::armRequest(empty.truth, empty.frames)).value("status", ""), "READY");
  json request = host::armRequest(empty.truth, empty.frames);
  request["calibrations"][0][0][2] = request["calibrations"][0][0][2].get<double>() + 0.5;
  const json again = call(request);
  ASSERT_EQ(again.value("status", ""), "READY");
  EXPECT_FALSE(again["calibration_transfer"].contains("CAM_1"));
}

// The user confirms the empty board on a view that moved 2 px: the reply names the
// calibrations and board-normal points the engine scores with from now on.
TEST_F(CalibrationCarry, AConfirmedEmptyBoardReportsTheCalibrationsItKept) {
  const scene::SceneImages& empty = scene::defaultEmptyBoard();
  const json armed = call(host::armRequest(empty.truth, empty.frames));
  ASSERT_EQ(armed.value("status", ""), "READY");
  const std::vector<cv::Mat> moved = shifted(empty.frames, 2.0, -1.0);
  const json reply = call({{"command", "confirm_empty"},
                           {"images", host::imageDescriptors(moved)},
                           {"times", {5.0, 5.0, 5.0}},
                           {"empty_confirmed", true}});
  ASSERT_EQ(reply.value("status", ""), "STARTUP_READY") << reply.dump().substr(0, 300);
  EXPECT_FALSE(reply.value("calibration_preserved", true));
  const Round& round = static_cast<Engine*>(engine_)->round;
  for (int i = 0; i < 3; ++i) {
    const std::string id = cameraIds[i];
    ASSERT_TRUE(reply["calibration_transfer"][id].value("accepted", false));
    Homography told;
    for (int k = 0; k < 9; ++k) told[k] = reply["calibrations"][i][k / 3][k % 3].get<double>();
    const Point2 bull = applyHomography(told, {0.0, 0.0});
    const Point2 truth = applyHomography(round.cameras[i].boardToImage, {0.0, 0.0});
    EXPECT_NEAR(bull.x, truth.x, 1e-6);
    EXPECT_NEAR(bull.y, truth.y, 1e-6);
    EXPECT_NEAR(bull.x - empty.truth.cameras[i].board_to_image(0, 2) / empty.truth.cameras[i].board_to_image(2, 2),
                2.0, 0.15);
    // The board-normal point moved with the calibration, as the engine holds it.
    const json& before = armed["tip_geometry"][id]["image_normal"];
    const json& after = reply["tip_geometry"][id]["image_normal"];
    const auto& held = round.cameras[i].imageNormal;
    for (int k = 0; k < 3; ++k) EXPECT_DOUBLE_EQ(after[k].get<double>(), held[k]);
    const double w0 = before[2].get<double>(), w1 = after[2].get<double>();
    EXPECT_NEAR(after[0].get<double>() / w1 - before[0].get<double>() / w0, 2.0, 1.0) << id;
    EXPECT_NEAR(after[1].get<double>() / w1 - before[1].get<double>() / w0, -1.0, 1.0) << id;
  }
}

}  // namespace
}  // namespace tarv
