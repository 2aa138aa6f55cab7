#include "tarv/autocal/ring_edges.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

namespace tarv {
namespace {

// Board millimetres onto pixels: x 1:1 from column 100, y from row 50.
const Homography kShift{1, 0, 100, 0, 1, 50, 0, 0, 1};

EdgeMatches matchAcross(const cv::Mat& grey, cv::Point2d boardPoint) {
  cv::Mat gx, gy;
  cv::Sobel(grey, gx, CV_32F, 1, 0, 3, 0.125, 0.0, cv::BORDER_REFLECT_101);
  cv::Sobel(grey, gy, CV_32F, 0, 1, 3, 0.125, 0.0, cv::BORDER_REFLECT_101);
  std::vector<double> offsets;
  for (int i = -8; i <= 8; ++i) offsets.push_back(0.5 * i);
  EdgeMatches matches;
  matchEdgeAlongNormal(kShift, offsets, gx, gy, grey.size(), boardPoint, {1.0, 0.0}, matches);
  return matches;
}

TEST(RingEdges, AWireIsMatchedOnItsMiddleLine) {
  // A bed (90), a wire three pixels wide (200, columns 100..102) and the dark surround (20):
  // the stronger edge alone lies a pixel and a half off the wire's middle (column 101).
  cv::Mat grey(100, 200, CV_8U, cv::Scalar(90));
  grey.colRange(100, 103).setTo(200);
  grey.colRange(103, 200).setTo(20);
  const EdgeMatches wire = matchAcross(grey, {1.5, 0.0});
  ASSERT_EQ(wire.image.size(), 1u);
  EXPECT_NEAR(wire.image[0].x, 101.0, 0.25);
  EXPECT_FLOAT_EQ(wire.board[0].x, 1.5f);
}

TEST(RingEdges, APlainEdgeIsMatchedWhereItIs) {
  cv::Mat grey(100, 200, CV_8U, cv::Scalar(90));
  grey.colRange(102, 200).setTo(20);  // the edge between columns 101 and 102
  const EdgeMatches edge = matchAcross(grey, {0.0, 0.0});
  ASSERT_EQ(edge.image.size(), 1u);
  EXPECT_NEAR(edge.image[0].x, 101.5, 0.25);
  // No edge within 4 px, or too weak: no match.
  EXPECT_TRUE(matchAcross(grey, {-10.0, 0.0}).image.empty());
  cv::Mat faint(100, 200, CV_8U, cv::Scalar(90));
  faint.colRange(102, 200).setTo(60);
  EXPECT_TRUE(matchAcross(faint, {0.0, 0.0}).image.empty());
}

}  // namespace
}  // namespace tarv
