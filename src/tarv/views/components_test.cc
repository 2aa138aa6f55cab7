#include "tarv/views/components.h"

#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

namespace tarv {
namespace {

// The components touching the region, found by labelling the whole mask.
cv::Mat labelledOverTheWholeMask(const cv::Mat& mask, const cv::Mat& region) {
  cv::Mat labels;
  const int count = cv::connectedComponents(mask, labels, 8, CV_32S);
  std::vector<uchar> touching(count, 0);
  for (int y = 0; y < mask.rows; ++y) {
    for (int x = 0; x < mask.cols; ++x) {
      const int l = labels.at<int>(y, x);
      if (l > 0 && region.at<uchar>(y, x)) touching[l] = 1;
    }
  }
  cv::Mat out = cv::Mat::zeros(mask.size(), CV_8UC1);
  for (int y = 0; y < mask.rows; ++y) {
    for (int x = 0; x < mask.cols; ++x) {
      const int l = labels.at<int>(y, x);
      if (l > 0 && touching[l]) out.at<uchar>(y, x) = 255;
    }
  }
  return out;
}

TEST(ComponentsTouching, KeepsWholeComponentsThatReachTheRegion) {
  cv::Mat mask = cv::Mat::zeros(80, 100, CV_8UC1);
  cv::line(mask, {10, 10}, {60, 40}, cv::Scalar(255), 2);  // reaches the region
  cv::rectangle(mask, {80, 60}, {95, 75}, cv::Scalar(255), cv::FILLED);  // stays outside it
  cv::Mat region = cv::Mat::zeros(mask.size(), CV_8UC1);
  cv::circle(region, {60, 40}, 5, cv::Scalar(255), cv::FILLED);
  const cv::Mat kept = componentsTouching(mask, region);
  EXPECT_EQ(kept.at<uchar>(10, 10), 255);
  EXPECT_EQ(kept.at<uchar>(70, 90), 0);
  EXPECT_EQ(cv::countNonZero(kept), cv::countNonZero(mask) - 16 * 16);
  EXPECT_EQ(cv::countNonZero(componentsTouching(cv::Mat::zeros(mask.size(), CV_8UC1), region)), 0);
  EXPECT_EQ(cv::countNonZero(componentsTouching(mask, cv::Mat())), 0);
}

// Labelling only the box round the set pixels must keep what labelling the whole mask keeps,
// with pieces on the image's edges and corners too.
TEST(ComponentsTouching, SameAsLabellingTheWholeMask) {
  cv::RNG rng(11);
  for (int trial = 0; trial < 30; ++trial) {
    const cv::Size size(40 + 9 * trial, 30 + 6 * trial);
    cv::Mat mask = cv::Mat::zeros(size, CV_8UC1);
    cv::Mat region = cv::Mat::zeros(size, CV_8UC1);
    for (int piece = 0; piece < 1 + trial % 6; ++piece) {
      const cv::Point from(rng.uniform(-5, size.width + 5), rng.uniform(-5, size.height + 5));
      const cv::Point to(rng.uniform(0, size.width), rng.uniform(0, size.height));
      cv::line(mask, from, to, cv::Scalar(255), rng.uniform(1, 4));
    }
    cv::circle(region, {rng.uniform(0, size.width), rng.uniform(0, size.height)}, rng.uniform(3, 30),
               cv::Scalar(255), cv::FILLED);
    EXPECT_EQ(cv::countNonZero(componentsTouching(mask, region) != labelledOverTheWholeMask(mask, region)), 0)
        << "trial " << trial;
  }
}

}  // namespace
}  // namespace tarv
