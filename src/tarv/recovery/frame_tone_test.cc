// The per-frame tone match on rendered boards: a light change between the empty board and a
// dart leaves only the dart; a hand or an unchanged light is left alone.
#include "tarv/recovery/frame_tone.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "scene/scene.h"
#include "tarv/core/board_geometry.h"
#include "tarv/recovery/change_masks.h"
#include "tarv/recovery/recovery_test_support.h"
#include "tarv/views/image_ops.h"

namespace tarv {
namespace {

scene::Dart dartAt(double x, double y) {
  scene::Dart dart;
  dart.tip_mm = {x, y};
  dart.direction = scene::frontDirection(12.0, 200.0);
  return dart;
}

cv::Mat relit(const cv::Mat& frame, double gain) {
  cv::Mat out;
  frame.convertTo(out, -1, gain);
  return out;
}

// The frame as a camera of strong capture noise gives it: every capture scattered anew.
cv::Mat withCaptureNoise(const cv::Mat& frame, double sigma, uint64_t seed) {
  cv::RNG rng(seed);
  cv::Mat noise(frame.size(), CV_16SC3), out;
  rng.fill(noise, cv::RNG::NORMAL, 0.0, sigma);
  cv::Mat wide;
  frame.convertTo(wide, CV_16SC3);
  wide += noise;
  wide.convertTo(out, CV_8UC3);
  return out;
}

// Changed pixels of the frame against the camera's working background inside the board.
int changedPixels(const Round& round, int camera, const cv::Mat& frame) {
  const Camera& c = round.cameras[camera];
  cv::Mat changed = nativeDifferenceMask(toGray(c.backgroundFrame), toGray(frame));
  cv::bitwise_and(changed, getBoardRegionMask(frame.size(), c.boardToImage, 175.0), changed);
  return cv::countNonZero(changed);
}

class FrameTone : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    empty_ = new scene::SceneImages(scene::defaultRenderer().render(scene::Scene{}));
    scene::Scene board;
    board.darts.push_back(dartAt(30.0, -60.0));
    withDart_ = new scene::SceneImages(scene::defaultRenderer().render(board));
  }
  static void TearDownTestSuite() {
    delete empty_;
    delete withDart_;
  }
  static scene::SceneImages* empty_;
  static scene::SceneImages* withDart_;
};
scene::SceneImages* FrameTone::empty_ = nullptr;
scene::SceneImages* FrameTone::withDart_ = nullptr;

TEST_F(FrameTone, UnchangedLightIsNotLookedAt) {
  Round round = roundArmedOn(*empty_);
  const FrameToneMatch match = toneMatchFrameToBackground(round, 0, withDart_->frames[0]);
  EXPECT_FALSE(match.matched);
  EXPECT_TRUE(match.record.is_null());
  EXPECT_EQ(match.frame.data, withDart_->frames[0].data);
  EXPECT_TRUE(round.inputLut[0].empty());
}

TEST_F(FrameTone, ALightChangeThatCameWithADartLeavesOnlyTheDart) {
  for (const double gain : {0.8, 0.85, 0.9}) {
    Round round = roundArmedOn(*empty_);
    const int dartOnly = changedPixels(round, 0, withDart_->frames[0]);
    const cv::Mat frame = relit(withDart_->frames[0], gain);
    round.incomingFrames = {frame, withDart_->frames[1], withDart_->frames[2]};
    ASSERT_GT(changedPixels(round, 0, frame), 4 * dartOnly) << gain;
    const FrameToneMatch match = toneMatchFrameToBackground(round, 0, frame);
    ASSERT_TRUE(match.matched) << gain << " " << match.record.dump();
    const int left = changedPixels(round, 0, match.frame);
    // The dart stays, and little else: a clipped highlight may lose a level or two.
    EXPECT_GT(left, dartOnly / 2) << gain;
    EXPECT_LT(left, dartOnly + dartOnly / 2 + 200) << gain;
    // The table is kept, so the next frame of the same light arrives matched.
    EXPECT_FALSE(round.inputLut[0].empty()) << gain;
    EXPECT_GT(lightShiftFromBackground(round, 0, intakeFrames(round, round.incomingFrames)[0]), -4.0) << gain;
  }
}

// Sensor noise strewn over the board is no colour the table failed to match; a channel crushed
// to black over the dark beds is.
TEST_F(FrameTone, ANoisyCamerasDarkerLightIsMatchedAndACrushedChannelIsNot) {
  scene::SceneImages noisyEmpty = *empty_;
  for (cv::Mat& frame : noisyEmpty.frames) frame = withCaptureNoise(frame, 12.0, 7);
  Round round = roundArmedOn(noisyEmpty);
  const cv::Mat frame = withCaptureNoise(relit(withDart_->frames[0], 0.85), 12.0, 8);
  round.incomingFrames = {frame, withDart_->frames[1], withDart_->frames[2]};
  const FrameToneMatch match = toneMatchFrameToBackground(round, 0, frame);
  EXPECT_TRUE(match.matched) << match.record.dump();

  Round clean = roundArmedOn(*empty_);
  std::vector<cv::Mat> channels;
  cv::split(relit(withDart_->frames[0], 0.85), channels);
  channels[2].setTo(0, channels[2] < 90);
  cv::Mat crushed;
  cv::merge(channels, crushed);
  clean.incomingFrames = {crushed, withDart_->frames[1], withDart_->frames[2]};
  const FrameToneMatch refused = toneMatchFrameToBackground(clean, 0, crushed);
  EXPECT_FALSE(refused.matched) << refused.record.dump();
  EXPECT_TRUE(clean.inputLut[0].empty());
}

TEST_F(FrameTone, ABrighterFrameHasItsReferencesReLitInstead) {
  for (const double gain : {1.15, 1.25}) {
    Round round = roundArmedOn(*empty_);
    const int dartOnly = changedPixels(round, 0, withDart_->frames[0]);
    const cv::Mat frame = relit(withDart_->frames[0], gain);
    const FrameToneMatch match = toneMatchFrameToBackground(round, 0, frame);
    ASSERT_TRUE(match.brighter) << gain;
    EXPECT_FALSE(match.matched) << gain;
    EXPECT_EQ(match.frame.data, frame.data) << "a clipped frame is measured as it is";
    const json relitRecord = relightToBrighterFrame(round, 0, frame, 2.0);
    ASSERT_FALSE(relitRecord.is_null()) << gain;
    EXPECT_DOUBLE_EQ(round.lastRebaseTime, 2.0);
    const int left = changedPixels(round, 0, frame);
    EXPECT_GT(left, dartOnly / 2) << gain;
    EXPECT_LT(left, dartOnly + dartOnly / 2 + 200) << gain;
  }
  Round round = roundArmedOn(*empty_);
  EXPECT_TRUE(relightToBrighterFrame(round, 5, withDart_->frames[0], 2.0).is_null());
}

TEST_F(FrameTone, AHandIsNotTakenForLight) {
  Round round = roundArmedOn(*empty_);
  scene::Scene handScene;
  handScene.hand = scene::Hand{};
  handScene.hand->centre_mm = {0.0, 0.0};
  const cv::Mat frame = scene::defaultRenderer().render(handScene).frames[1];
  round.incomingFrames = {empty_->frames[0], frame, empty_->frames[2]};
  const int before = changedPixels(round, 1, frame);
  const FrameToneMatch match = toneMatchFrameToBackground(round, 1, frame);
  // Whatever the match decided, the hand is still there in full.
  EXPECT_GE(changedPixels(round, 1, match.frame), before * 9 / 10);
}

TEST_F(FrameTone, FramesOfAnotherSizeOrAWrongCameraComeBackUntouched) {
  Round round = roundArmedOn(*empty_);
  cv::Mat small;
  cv::resize(withDart_->frames[0], small, {320, 180});
  EXPECT_FALSE(toneMatchFrameToBackground(round, 0, small).matched);
  EXPECT_EQ(lightShiftFromBackground(round, 3, withDart_->frames[0]), 0.0);
  EXPECT_EQ(lightShiftFromBackground(round, -1, withDart_->frames[0]), 0.0);
}

// The background's side of the light test is kept between calls; a new background (a dart
// taken, the light followed) is measured anew.
TEST_F(FrameTone, LightShiftFollowsANewBackground) {
  Round round = roundArmedOn(*empty_);
  const cv::Mat& frame = empty_->frames[0];
  EXPECT_NEAR(lightShiftFromBackground(round, 0, frame), 0.0, 0.5);
  EXPECT_NEAR(lightShiftFromBackground(round, 0, frame), 0.0, 0.5);
  const cv::Mat darker = relit(frame, 0.8);
  round.cameras[0].backgroundFrame = darker;
  const double shift = lightShiftFromBackground(round, 0, frame);
  EXPECT_GT(shift, 10.0);
  // The same frame against the same background, twice: the same answer.
  EXPECT_EQ(lightShiftFromBackground(round, 0, frame), shift);
  round.cameras[0].backgroundFrame = relit(frame, 1.25);
  EXPECT_LT(lightShiftFromBackground(round, 0, frame), -10.0);
  // A copy of the round keeps the measure of the background it shares.
  Round copy = round;
  EXPECT_EQ(lightShiftFromBackground(copy, 0, frame), lightShiftFromBackground(round, 0, frame));
}

}  // namespace
}  // namespace tarv
