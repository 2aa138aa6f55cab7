#include "tarv/runtime/motion_state.h"

#include <stdexcept>

#include <cmath>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

namespace tarv {
namespace {

struct Masks {
  cv::Mat board = cv::Mat::zeros(150, 200, CV_8UC1);
  cv::Mat watch = cv::Mat::zeros(150, 200, CV_8UC1);
  Masks() {
    cv::circle(board, {100, 75}, 50, 255, cv::FILLED);
    cv::circle(watch, {100, 75}, 70, 255, cv::FILLED);
  }
};

TEST(MotionMeasure, BoardPixelsAtTheLimitAreNotQuiet) {
  Masks m;
  cv::Mat motion = cv::Mat::zeros(150, 200, CV_8UC1);
  motion(cv::Rect(95, 70, 4, 5)) = 255;  // 20 pixels on the board
  const MotionMeasure at = measureMotion(motion, m.board, m.watch, 400.0);
  EXPECT_EQ(at.board_pixels, 20);
  EXPECT_FALSE(at.quiet);
  EXPECT_FALSE(at.hand);
  motion.at<uint8_t>(70, 95) = 0;
  EXPECT_TRUE(measureMotion(motion, m.board, m.watch, 400.0).quiet);
}

TEST(MotionMeasure, ABlobReachingFromOutsideOntoTheBoardIsAHand) {
  Masks m;
  cv::Mat motion = cv::Mat::zeros(150, 200, CV_8UC1);
  motion(cv::Rect(60, 0, 50, 80)) = 255;  // from the top edge into the board
  const MotionMeasure measure = measureMotion(motion, m.board, m.watch, 40.0);
  EXPECT_TRUE(measure.hand);
  EXPECT_GT(measure.connected_hand_pixels, 0);
  EXPECT_GT(measure.background_pixels, 0);
}

TEST(MotionMeasure, ScaleMustBeFiniteAndPositive) {
  Masks m;
  cv::Mat motion = cv::Mat::zeros(150, 200, CV_8UC1);
  EXPECT_THROW(measureMotion(motion, m.board, m.watch, 0.0), std::runtime_error);
  EXPECT_THROW(measureMotion(motion, m.board, m.watch, std::nan("")), std::runtime_error);
}

TEST(CameraMotionState, StaleFramesAreNotCountedAndAGapRestartsTheCounters) {
  CameraMotionState s;
  MotionMeasure hand;
  hand.hand = true;
  hand.source_board_height_px = 400.0;
  EXPECT_TRUE(updateCameraMotionState(s, 1, 10.0, hand, 6, false, 3));
  EXPECT_FALSE(updateCameraMotionState(s, 1, 10.1, hand, 6, false, 3));
  EXPECT_FALSE(updateCameraMotionState(s, 2, 9.9, hand, 6, false, 3));
  EXPECT_TRUE(updateCameraMotionState(s, 2, 10.03, hand, 6, false, 3));
  EXPECT_EQ(s.handFrames, 2);
  EXPECT_TRUE(updateCameraMotionState(s, 3, 10.7, hand, 6, false, 3));
  EXPECT_EQ(s.handFrames, 1);
}

TEST(CameraMotionState, WithoutAHandRequirementTwoFramesConfirmAHand) {
  CameraMotionState s;
  MotionMeasure hand;
  hand.hand = true;
  updateCameraMotionState(s, 1, 1.0, hand, 1, false, 0);
  EXPECT_FALSE(s.handFramesReached);
  updateCameraMotionState(s, 2, 1.03, hand, 1, false, 0);
  EXPECT_TRUE(s.handFramesReached);
}

TEST(MotionClass, TwoHandsBeatATakeoutAndOneHandDoesNot) {
  MotionState state;
  state.cameras[0].motion.hand = true;
  classifyMotion(state, true);
  EXPECT_EQ(state.className, "takeout");
  state.cameras[1].motion.hand = true;
  classifyMotion(state, true);
  EXPECT_EQ(state.className, "hand");
  resetRoundState(state);
  classifyMotion(state, false);
  EXPECT_EQ(state.className, "stable");
  EXPECT_TRUE(describeMotionState(state, 0)["isWaiting"].get<bool>());
}

}  // namespace
}  // namespace tarv
