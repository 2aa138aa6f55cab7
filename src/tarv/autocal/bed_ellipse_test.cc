#include "tarv/autocal/bed_ellipse.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

namespace tarv {
namespace {

const cv::Scalar kRed(40, 35, 190);
const cv::Scalar kGreen(60, 140, 30);

cv::Mat wall() { return cv::Mat(480, 640, CV_8UC3, cv::Scalar(40, 45, 50)); }

// A double ring: red and green quarter arcs between the two ellipses (a disc for inner 0).
void drawRing(cv::Mat& image, cv::Point2f centre, cv::Size2f outer, float angle, float inner = 0.94f) {
  for (int q = 0; q < 4; ++q) {
    cv::ellipse(image, centre, cv::Size(cvRound(outer.width / 2), cvRound(outer.height / 2)), angle, q * 90, q * 90 + 90,
                q % 2 == 0 ? kRed : kGreen, cv::FILLED);
  }
  if (inner <= 0.0f) return;
  cv::ellipse(image, centre, cv::Size(cvRound(outer.width / 2 * inner), cvRound(outer.height / 2 * inner)), angle, 0, 360,
              cv::Scalar(40, 45, 50), cv::FILLED);
}

TEST(BedEllipse, TheOuterEdgeOfTheLargerRingIsFitted) {
  cv::Mat image = wall();
  drawRing(image, {300, 240}, {360, 260}, 20.0f);
  cv::circle(image, {600, 40}, 12, kRed, cv::FILLED);  // a second, smaller coloured region
  cv::circle(image, {40, 440}, 5, kGreen, cv::FILLED);  // a speck under 150 pixels
  const cv::Mat mask = colouredBedMask(image, false);
  EXPECT_EQ(mask.at<uchar>(440, 40), 0);
  EXPECT_EQ(mask.at<uchar>(40, 600), 255);
  const cv::RotatedRect e = fitOuterEllipse(mask);
  EXPECT_NEAR(e.center.x, 300.0, 1.0);
  EXPECT_NEAR(e.center.y, 240.0, 1.0);
  EXPECT_NEAR(std::max(e.size.width, e.size.height), 360.0, 3.0);
  EXPECT_NEAR(std::min(e.size.width, e.size.height), 260.0, 3.0);
}

TEST(BedEllipse, NoBedsTooSmallOrTooLong) {
  const auto code = [](const cv::Mat& image) {
    try {
      fitOuterEllipse(colouredBedMask(image, false));
    } catch (const CalibrationError& e) {
      return std::string(e.what());
    }
    return std::string();
  };
  EXPECT_EQ(code(wall()), "NO_COLOURED_BEDS");
  cv::Mat small = wall();
  drawRing(small, {300, 240}, {76, 76}, 0.0f, 0.0f);
  EXPECT_EQ(code(small), "IMPLAUSIBLE_ELLIPSE");
  cv::Mat thin = wall();
  drawRing(thin, {320, 240}, {600, 120}, 0.0f);
  EXPECT_EQ(code(thin), "IMPLAUSIBLE_ELLIPSE");
  cv::Mat fits = wall();
  drawRing(fits, {320, 240}, {500, 130}, 0.0f);  // under four times longer than wide
  EXPECT_EQ(code(fits), "");
}

TEST(BedEllipse, WashedOutBedsNeedTheIlluminatedSet) {
  cv::Mat image = wall();
  for (int q = 0; q < 4; ++q) {
    cv::ellipse(image, {320, 240}, cv::Size(200, 150), 0, q * 90, q * 90 + 90,
                q % 2 == 0 ? cv::Scalar(60, 140, 250) : cv::Scalar(190, 230, 170), cv::FILLED);
  }
  const cv::Mat normal = colouredBedMask(image, false);
  const cv::Mat lit = colouredBedMask(image, true);
  // Orange-shifted red and pale green: beds to the illuminated set, not to the normal one.
  EXPECT_GT(cv::countNonZero(lit), 0.9 * CV_PI * 200 * 150);
  EXPECT_EQ(cv::countNonZero(normal), 0);
}

}  // namespace
}  // namespace tarv
