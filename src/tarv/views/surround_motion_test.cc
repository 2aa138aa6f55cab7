#include "tarv/views/surround_motion.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

namespace tarv {
namespace {

// A board of 100 mm radius seen straight on at 1 px per mm, centred in a 400 x 400 image.
const Homography kView = {1, 0, 200, 0, 1, 200, 0, 0, 1};

cv::Mat frameWith(const cv::Rect& patch) {
  cv::Mat frame(400, 400, CV_8UC3, cv::Scalar(60, 60, 60));
  if (patch.area() > 0) cv::rectangle(frame, patch, cv::Scalar(220, 220, 220), cv::FILLED);
  return frame;
}

TEST(SurroundMotion, OnlyWhatMovesBeyondTheBoardIsRecorded) {
  SurroundMotion motion;
  recordSurroundMotion(motion, frameWith({}), kView, 1.0);
  EXPECT_EQ(cv::countNonZero(motion.images[4]), 0);
  EXPECT_DOUBLE_EQ(motion.time, 1.0);
  // One patch beyond 175 mm (a corner), one on the board.
  cv::Mat both = frameWith({5, 5, 30, 30});
  cv::rectangle(both, cv::Rect(190, 190, 20, 20), cv::Scalar(220, 220, 220), cv::FILLED);
  recordSurroundMotion(motion, both, kView, 1.0 + 1.0 / 30);
  EXPECT_GT(cv::countNonZero(motion.images[4](cv::Rect(0, 0, 40, 40))), 500);
  EXPECT_EQ(cv::countNonZero(motion.images[4](cv::Rect(180, 180, 40, 40))), 0);
  // The motion of the last three steps stays; a fourth quiet step forgets it.
  for (int step = 2; step <= 3; ++step) {
    recordSurroundMotion(motion, both, kView, 1.0 + step / 30.0);
    EXPECT_GT(cv::countNonZero(motion.images[4]), 500) << step;
  }
  recordSurroundMotion(motion, both, kView, 1.0 + 4 / 30.0);
  EXPECT_EQ(cv::countNonZero(motion.images[4]), 0);
}

TEST(SurroundMotion, AGapOrAnOlderFrameStartsAfresh) {
  SurroundMotion motion;
  recordSurroundMotion(motion, frameWith({}), kView, 1.0);
  recordSurroundMotion(motion, frameWith({5, 5, 30, 30}), kView, 1.0 + kSurroundMotionGapS + 0.1);
  EXPECT_EQ(cv::countNonZero(motion.images[4]), 0);
  recordSurroundMotion(motion, frameWith({}), kView, 1.0);
  EXPECT_EQ(cv::countNonZero(motion.images[4]), 0);
  // A frame of another size is a new record too.
  recordSurroundMotion(motion, cv::Mat(200, 200, CV_8UC3, cv::Scalar(0, 0, 0)), kView, 1.05);
  EXPECT_EQ(motion.images[4].size(), cv::Size(200, 200));
}

}  // namespace
}  // namespace tarv
