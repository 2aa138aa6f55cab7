#include "tarv/views/camera_analysis.h"

#include <algorithm>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

namespace tarv {
namespace {

// The shares measured over the whole image: each mask's pixels inside the other grown by one.
double wholeShare(const cv::Mat& m, const cv::Mat& other) {
  const int pixels = cv::countNonZero(m);
  if (pixels == 0) return 1.0;
  cv::Mat grown;
  cv::dilate(other, grown, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(3, 3)));
  return static_cast<double>(cv::countNonZero(m & grown)) / pixels;
}

cv::Mat blobs(cv::Size size, cv::RNG& rng, int count) {
  cv::Mat mask = cv::Mat::zeros(size, CV_8UC1);
  for (int i = 0; i < count; ++i) {
    // One draw at a time, so that every compiler makes the same blobs.
    const int y = rng.uniform(-3, size.height + 3), x = rng.uniform(-3, size.width + 3);
    const int angle = rng.uniform(0, 180), height = rng.uniform(1, 5), width = rng.uniform(1, 14);
    cv::ellipse(mask, cv::Point(x, y), cv::Size(width, height), angle, 0, 360, cv::Scalar(255), cv::FILLED);
  }
  return mask;
}

// Masks that move by a pixel, lie far apart, touch the image's edges or hold nothing are
// measured as over the whole image.
TEST(MaskAgreement, MeasuredRoundTheMasksAsOverTheWholeImage) {
  cv::RNG rng(5);
  for (int trial = 0; trial < 80; ++trial) {
    const cv::Size size(40 + 5 * trial, 30 + 3 * trial);
    const cv::Mat a = blobs(size, rng, trial % 4);
    cv::Mat b = a.clone();
    if (trial % 3 == 0) {
      b = blobs(size, rng, 1 + trial % 3);
    } else {
      cv::Mat shifted = cv::Mat::zeros(size, CV_8UC1);
      const int dx = rng.uniform(-2, 3), dy = rng.uniform(-2, 3);
      const cv::Rect from = cv::Rect(std::max(0, -dx), std::max(0, -dy), size.width - std::abs(dx),
                                     size.height - std::abs(dy));
      a(from).copyTo(shifted(from + cv::Point(dx, dy)));
      b = shifted;
    }
    const double ab = wholeShare(a, b), ba = wholeShare(b, a);
    EXPECT_DOUBLE_EQ(maskAgreement(a, b), std::min(ab, ba)) << "trial " << trial;
    EXPECT_DOUBLE_EQ(maskContainment(a, b), std::max(ab, ba)) << "trial " << trial;
  }
}

TEST(MaskAgreement, EmptyAndMismatchedMasks) {
  const cv::Mat none = cv::Mat::zeros(20, 30, CV_8UC1);
  cv::Mat some = none.clone();
  some(cv::Rect(0, 0, 4, 4)).setTo(255);
  EXPECT_EQ(maskAgreement(none, none), 1.0);
  EXPECT_EQ(maskAgreement(some, none), 0.0);
  EXPECT_EQ(maskContainment(some, none), 1.0);
  EXPECT_EQ(maskAgreement(some, cv::Mat()), 0.0);
  EXPECT_EQ(maskAgreement(some, cv::Mat::zeros(21, 30, CV_8UC1)), 0.0);
}

}  // namespace
}  // namespace tarv
