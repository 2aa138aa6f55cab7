// The training boards' forced blur: boards rendered for a blur range keep their camera,
// landmarks and everything else of the seed, and only their sharpness follows the range. The
// rig variety: the same image from the same seed, and the landmarks where the camera sees
// them whatever the board's make and the camera's light.
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

TEST(LandmarkBoards, RigVarietyIsReproducibleAndKeepsTheLandmarks) {
  const uint64_t seed = 515151;
  lb::SampleOptions varied;
  varied.rigVariety = true;
  const lb::BoardSample a = lb::renderBoardSample(seed, varied);
  const lb::BoardSample b = lb::renderBoardSample(seed, varied);
  ASSERT_EQ(a.image.size(), b.image.size());
  EXPECT_EQ(cv::norm(a.image, b.image, cv::NORM_INF), 0.0);
  const lb::BoardSample usual = lb::renderBoardSample(seed);
  EXPECT_EQ(a.cameraSpec.azimuth_deg, usual.cameraSpec.azimuth_deg);
  EXPECT_EQ(a.cameraSpec.elevation_deg, usual.cameraSpec.elevation_deg);

  // Without darts nothing hides a landmark, so both looks of one camera label the same points.
  varied.darts = false;
  lb::SampleOptions plain;
  plain.darts = false;
  const lb::BoardSample other = lb::renderBoardSampleFor(seed, a.cameraSpec, varied);
  const lb::BoardSample clean = lb::renderBoardSampleFor(seed, a.cameraSpec, plain);
  ASSERT_EQ(other.landmarks.size(), clean.landmarks.size());
  ASSERT_GT(other.landmarks.size(), 20u);
  for (size_t i = 0; i < other.landmarks.size(); ++i) {
    EXPECT_EQ(other.landmarks[i].cls, clean.landmarks[i].cls);
    EXPECT_NEAR(other.landmarks[i].centre.x, clean.landmarks[i].centre.x, 1e-9);
    EXPECT_NEAR(other.landmarks[i].centre.y, clean.landmarks[i].centre.y, 1e-9);
  }
  EXPECT_GT(cv::norm(other.image, clean.image, cv::NORM_L1) / other.image.total(), 5.0);
}

}  // namespace
}  // namespace tarv
