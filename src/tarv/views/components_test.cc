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
      // One draw at a time, so that every compiler makes the same trials.
      const int fromY = rng.uniform(-5, size.height + 5), fromX = rng.uniform(-5, size.width + 5);
      const int toY = rng.uniform(0, size.height), toX = rng.uniform(0, size.width);
      cv::line(mask, {fromX, fromY}, {toX, toY}, cv::Scalar(255), rng.uniform(1, 4));
    }
    const int radius = rng.uniform(3, 30);
    cv::circle(region, {rng.uniform(0, size.width), rng.uniform(0, size.height)}, radius, cv::Scalar(255), cv::FILLED);
    EXPECT_EQ(cv::countNonZero(componentsTouching(mask, region) != labelledOverTheWholeMask(mask, region)), 0)
        << "trial " << trial;
  }
}

// A dart's point over the region and its barrel, shaft and flight beyond it, cut apart by small
// gaps: the pieces within the gap of a kept one join it, one after another; a piece as close
// to the region but far from every kept piece, and a piece beyond the gap, stay out.
TEST(ComponentsReaching, PiecesThatContinueAKeptOneJoinIt) {
  cv::Mat region = cv::Mat::zeros(60, 200, CV_8UC1);
  cv::rectangle(region, {0, 0}, {49, 59}, cv::Scalar(255), cv::FILLED);
  cv::Mat mask = cv::Mat::zeros(region.size(), CV_8UC1);
  cv::line(mask, {30, 30}, {55, 30}, cv::Scalar(255), 1);     // the point, reaching the region
  cv::line(mask, {59, 30}, {90, 30}, cv::Scalar(255), 1);     // 3 px beyond it
  cv::line(mask, {94, 30}, {120, 30}, cv::Scalar(255), 1);    // 3 px beyond that
  cv::rectangle(mask, {160, 20}, {190, 40}, cv::Scalar(255), cv::FILLED);  // 39 px beyond
  cv::line(mask, {53, 5}, {70, 5}, cv::Scalar(255), 1);       // near the region, not the dart
  const cv::Mat kept = componentsReaching(mask, region, 4);
  EXPECT_EQ(kept.at<uchar>(30, 40), 255);
  EXPECT_EQ(kept.at<uchar>(30, 75), 255);
  EXPECT_EQ(kept.at<uchar>(30, 110), 255);
  EXPECT_EQ(kept.at<uchar>(30, 175), 0);
  EXPECT_EQ(kept.at<uchar>(5, 60), 0);
  // Only changed pixels are kept: the gaps stay empty.
  EXPECT_EQ(kept.at<uchar>(30, 57), 0);
  cv::Mat outside;
  cv::bitwise_and(kept, ~mask, outside);
  EXPECT_EQ(cv::countNonZero(outside), 0);

  // A gap wider than allowed keeps the point alone.
  const cv::Mat tight = componentsReaching(mask, region, 2);
  EXPECT_EQ(tight.at<uchar>(30, 40), 255);
  EXPECT_EQ(tight.at<uchar>(30, 75), 0);
}

TEST(ComponentsReaching, WithoutAGapOrAnythingKeptItIsComponentsTouching) {
  cv::Mat region = cv::Mat::zeros(40, 80, CV_8UC1);
  cv::rectangle(region, {0, 0}, {19, 39}, cv::Scalar(255), cv::FILLED);
  cv::Mat mask = cv::Mat::zeros(region.size(), CV_8UC1);
  cv::line(mask, {10, 20}, {25, 20}, cv::Scalar(255), 2);
  cv::line(mask, {27, 20}, {60, 20}, cv::Scalar(255), 2);
  for (const int gap : {0, -3}) {
    EXPECT_EQ(cv::countNonZero(componentsReaching(mask, region, gap) != componentsTouching(mask, region)), 0) << gap;
  }
  // Nothing reaches the region: nothing is kept, however close the pieces lie together.
  cv::Mat away = cv::Mat::zeros(region.size(), CV_8UC1);
  cv::line(away, {30, 10}, {60, 10}, cv::Scalar(255), 2);
  cv::line(away, {62, 10}, {75, 10}, cv::Scalar(255), 2);
  EXPECT_EQ(cv::countNonZero(componentsReaching(away, region, 6)), 0);
  // Empty masks and a region of another size keep nothing.
  EXPECT_EQ(cv::countNonZero(componentsReaching(cv::Mat::zeros(region.size(), CV_8UC1), region, 6)), 0);
  EXPECT_EQ(cv::countNonZero(componentsReaching(mask, cv::Mat(), 6)), 0);
  EXPECT_EQ(cv::countNonZero(componentsReaching(mask, cv::Mat::zeros(10, 10, CV_8UC1), 6)), 0);
}

}  // namespace
}  // namespace tarv
