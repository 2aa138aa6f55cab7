#include "tarv/capture/motion_measures.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

namespace tarv {
namespace {

cv::Mat grayWithSquare(int x, int y, int side) {
  cv::Mat image(120, 160, CV_8UC1, cv::Scalar(60));
  if (side > 0) cv::rectangle(image, cv::Rect(x, y, side, side), cv::Scalar(220), cv::FILLED);
  return image;
}

TEST(MotionMeasures, IdenticalFramesDoNotMove) {
  EXPECT_EQ(measureMotionPixels(grayWithSquare(50, 50, 10), grayWithSquare(50, 50, 10)), 0);
}

TEST(MotionMeasures, MovedSquareMeasuresItsChangedArea) {
  // Moved from (40,40) to (80,60): the old and the new place change, 100 pixels each, less
  // what the 5x5 median takes off the corners.
  const int32_t area = measureMotionPixels(grayWithSquare(40, 40, 10), grayWithSquare(80, 60, 10));
  EXPECT_GT(area, 150);
  EXPECT_LE(area, 200);
}

TEST(MotionMeasures, ChangesAtTheBorderAndSizeMismatchIgnored) {
  EXPECT_EQ(measureMotionPixels(grayWithSquare(0, 0, 0), grayWithSquare(0, 50, 7)), 0);
  EXPECT_EQ(measureMotionPixels(grayWithSquare(0, 0, 0), cv::Mat(10, 10, CV_8UC1)), -1);
}

TEST(MotionMeasures, MaskKeepsBlobsFromTheirArea) {
  cv::Mat previous(60, 80, CV_8UC3, cv::Scalar(50, 50, 50));
  cv::Mat current = previous.clone();
  cv::rectangle(current, cv::Rect(10, 20, 3, 3), cv::Scalar(200, 200, 200), cv::FILLED);   // tiny
  cv::rectangle(current, cv::Rect(40, 20, 10, 10), cv::Scalar(200, 200, 200), cv::FILLED);  // large
  const cv::Mat mask = buildMotionMask(previous, current, 14.4);
  EXPECT_EQ(mask.at<uint8_t>(21, 11), 0);
  EXPECT_EQ(mask.at<uint8_t>(25, 45), 255);
  const cv::Mat everything = buildMotionMask(previous, current, 0);
  EXPECT_EQ(everything.at<uint8_t>(21, 11), 255);
}

}  // namespace
}  // namespace tarv
