// The recovery decision on rendered views: confirmation of an empty board, the reset that
// closes a takeout, resolution changes, and the diagnostics of a long wait.
#include "tarv/recovery/recovery_core.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "scene/scene.h"
#include "host/host_protocol.h"
#include "tarv/recovery/recovery_test_support.h"
#include "tarv/views/board_features.h"
#include "tarv/views/image_ops.h"

namespace tarv {
namespace {

using host::homographyOf;

class RecoveryCore : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const scene::Renderer renderer(scene::defaultRig());
    empty_ = new scene::SceneImages(renderer.render(scene::Scene{}));
    scene::Scene withDart;
    withDart.darts.push_back({{30.0, -60.0}, scene::frontDirection(12.0, 200.0), scene::flightColours()[0], 15.0});
    dart_ = new scene::SceneImages(renderer.render(withDart));
  }
  static void TearDownTestSuite() {
    delete empty_;
    delete dart_;
  }
  static Round armedRound() { return roundArmedOn(*empty_); }
  // The round after the dart of dart_ was entered.
  static Round roundWithDart() {
    Round round = armedRound();
    ImageTriple masks;
    for (int i = 0; i < 3; ++i) {
      masks[i] = nativeDifferenceMask(round.cameras[i].emptyReference, toGray(dart_->frames[i]));
      round.cameras[i].dartReference = toGray(dart_->frames[i]).clone();
      round.cameras[i].backgroundFrame = dart_->frames[i].clone();
      round.cameras[i].referenceChangeMask = masks[i];
    }
    round.knownDartMasks.push_back(masks);
    round.entries.push_back({{"id", 1}, {"board_xy_nominal_mm", {30.0, -60.0}}, {"field", "S20"}});
    return round;
  }
  static std::vector<cv::Mat> copies(const std::vector<cv::Mat>& frames) {
    std::vector<cv::Mat> out;
    for (const cv::Mat& f : frames) out.push_back(f.clone());
    return out;
  }
  static scene::SceneImages* empty_;
  static scene::SceneImages* dart_;
};
scene::SceneImages* RecoveryCore::empty_ = nullptr;
scene::SceneImages* RecoveryCore::dart_ = nullptr;

TEST_F(RecoveryCore, AQuietBoardIsRefreshedOnlyOnTheSecondLook) {
  struct Step {
    double time;
    const char* status;
  };
  Round round = armedRound();
  const std::vector<Step> steps = {{10.0, "BACKGROUND_PENDING"}, {11.0, "BACKGROUND_REFRESH"},
                                   {12.0, "BACKGROUND_PENDING"}, {14.6, "BACKGROUND_PENDING"},
                                   {14.6, "BACKGROUND_PENDING"}, {15.0, "BACKGROUND_REFRESH"}};
  for (const Step& step : steps) {
    const json reply = round.recoverCore(empty_->frames, step.time, false, false);
    EXPECT_EQ(reply["status"], step.status) << step.time;
  }
  EXPECT_EQ(round.roundNumber, 1);
}

TEST_F(RecoveryCore, ATakeoutResetAdvancesTheRoundWithReferencesOfItsOwn) {
  Round round = roundWithDart();
  round.takeout = true;
  round.recovery = true;
  std::vector<cv::Mat> host = copies(empty_->frames);
  const json first = round.recoverCore(host, 20.0, false, false);
  ASSERT_EQ(first["status"], "EMPTY_PENDING") << first.dump().substr(0, 600);
  EXPECT_EQ(first["reason"], "RECOVERY_CONFIRM_FRESH_EMPTY_BOARD");
  const json reset = round.recoverCore(host, 20.5, false, false);
  ASSERT_EQ(reset["status"], "EMPTY_RESET") << reset.dump().substr(0, 600);
  EXPECT_EQ(reset["reason"], "AUTOMATIC_TAKEOUT");
  EXPECT_TRUE(reset["round_advanced"].get<bool>());
  EXPECT_EQ(round.roundNumber, 2);
  EXPECT_TRUE(round.entries.empty());
  EXPECT_TRUE(round.knownDartMasks.empty());
  EXPECT_FALSE(round.takeout);
  for (int c = 0; c < 3; ++c) {
    const Camera& cam = round.cameras[c];
    // The host may reuse its buffers after the call.
    EXPECT_NE(cam.backgroundFrame.data, host[c].data);
    EXPECT_EQ(cv::norm(cam.backgroundFrame, host[c], cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::norm(cam.dartReference, toGray(host[c]), cv::NORM_INF), 0.0);
  }
  host[0].setTo(cv::Scalar(0, 0, 0));
  EXPECT_GT(cv::norm(round.cameras[0].backgroundFrame, cv::NORM_INF), 0.0);
}

TEST_F(RecoveryCore, AResolutionChangeIsRejectedEvenOnAnEmptyBoard) {
  Round round = armedRound();
  std::vector<cv::Mat> frames = empty_->frames;
  cv::resize(frames[2], frames[2], cv::Size(640, 360));
  const json reply = round.recoverCore(frames, 10.0, false, false);
  EXPECT_EQ(reply, (json{{"status", "CALIBRATION_REJECTED"}, {"reason", "CAMERA_RESOLUTION_CHANGED"}}));
}

TEST_F(RecoveryCore, ADartStillOnTheBoardWaitsWithDiagnosticsAtZeroFiveAndFifteenSeconds) {
  Round round = roundWithDart();
  round.takeout = true;
  round.allowResume = false;  // a takeout does not go back to the old board
  struct Step {
    double time;
    int number;  // 0: no diagnostic
  };
  const std::vector<Step> steps = {{30.0, 1}, {31.0, 0}, {35.0, 2}, {40.0, 0}, {45.0, 3}, {60.0, 0}};
  for (const Step& step : steps) {
    const json reply = round.recoverCore(dart_->frames, step.time, false, false);
    ASSERT_EQ(reply["status"], "RECOVERY_WAIT") << reply.dump().substr(0, 600);
    EXPECT_EQ(reply["reason"], "WAIT_FOR_EMPTY_BOARD");
    EXPECT_TRUE(reply["occupancy_check"]["remaining_dart_evidence"].get<bool>());
    EXPECT_EQ(reply["occupancy_check"]["known_darts"], 1);
    if (step.number == 0) {
      EXPECT_FALSE(reply.contains("recovery_diagnostic")) << step.time;
    } else {
      ASSERT_TRUE(reply.contains("recovery_diagnostic")) << step.time;
      EXPECT_EQ(reply["recovery_diagnostic"]["number"], step.number);
      EXPECT_TRUE(reply["recovery_diagnostic"]["cameras"]["CAM_3"].contains("brightness_offset"));
    }
  }
  EXPECT_EQ(round.roundNumber, 1);
  EXPECT_FALSE(round.cameras[0].residualMask.empty());
}

TEST_F(RecoveryCore, TheUnchangedPreviousBoardResumesOnTheSecondLook) {
  Round round = roundWithDart();
  round.recovery = true;
  const json first = round.recoverCore(dart_->frames, 40.0, false, false);
  EXPECT_EQ(first["status"], "RECOVERY_PENDING") << first.dump().substr(0, 400);
  EXPECT_EQ(first["reason"], "CONFIRM_PREVIOUS_BOARD");
  const json second = round.recoverCore(dart_->frames, 40.3, false, false);
  EXPECT_EQ(second["status"], "RECOVERY_RESUMED");
  EXPECT_EQ(round.entries.size(), 1u);
}

TEST(BrightnessOffset, MedianOffsetAndSpread) {
  const cv::Mat reference(360, 640, CV_8UC1, cv::Scalar(100));
  const cv::Mat brighter(360, 640, CV_8UC1, cv::Scalar(108));
  const json measured = measureBrightnessOffset(reference, brighter);
  EXPECT_DOUBLE_EQ(measured["brightness_offset"].get<double>(), 8.0);
  EXPECT_DOUBLE_EQ(measured["brightness_residual_median"].get<double>(), 0.0);
}

}  // namespace
}  // namespace tarv
