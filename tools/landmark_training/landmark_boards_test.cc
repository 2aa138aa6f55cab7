// The training boards' forced blur: boards rendered for a blur range keep their camera,
// landmarks and everything else of the seed, and only their sharpness follows the range.
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "landmark_training/landmark_boards.h"

namespace tarv {
namespace {

namespace lb = landmark_boards;

double sharpness(const cv::Mat& image) {
  cv::Mat grey, lap;
  cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
  cv::Laplacian(grey, lap, CV_64F);
  cv::Scalar mean, dev;
  cv::meanStdDev(lap, mean, dev);
  return dev[0] * dev[0];
}

lb::SampleOptions blurred(double lo, double hi) {
  lb::SampleOptions o;
  o.min_blur_sigma = lo;
  o.max_blur_sigma = hi;
  return o;
}

TEST(LandmarkBoards, ForcedBlurOnlyChangesTheSharpness) {
  const uint64_t seed = 424242;
  const lb::BoardSample sharp = lb::renderBoardSample(seed, blurred(0.0, 0.01));
  const lb::BoardSample soft = lb::renderBoardSample(seed, blurred(2.5, 3.0));
  ASSERT_EQ(sharp.image.size(), soft.image.size());
  EXPECT_EQ(sharp.cameraSpec.azimuth_deg, soft.cameraSpec.azimuth_deg);
  ASSERT_EQ(sharp.landmarks.size(), soft.landmarks.size());
  for (size_t i = 0; i < sharp.landmarks.size(); ++i) {
    EXPECT_EQ(sharp.landmarks[i].cls, soft.landmarks[i].cls);
    EXPECT_NEAR(sharp.landmarks[i].centre.x, soft.landmarks[i].centre.x, 1e-9);
    EXPECT_NEAR(sharp.landmarks[i].centre.y, soft.landmarks[i].centre.y, 1e-9);
  }
  EXPECT_LT(sharpness(soft.image), 0.5 * sharpness(sharp.image));
}

}  // namespace
}  // namespace tarv
