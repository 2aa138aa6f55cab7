#include "tarv/views/sensor_grain.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "scene/camera_rig.h"
#include "scene/scene.h"
#include "tarv/views/shaft_axis.h"

namespace tarv {
namespace {

cv::Mat captured(const cv::Mat& frame, double sigma, uint64_t seed) {
  scene::Imaging imaging;
  imaging.noise_sigma = sigma;
  imaging.noise_seed = seed;
  return scene::applyImaging(frame, imaging, 0);
}

// Two captures of the still board differ by their noise alone: white noise of spread s in
// each channel of each capture measures about 1.8 s (the median of the largest of three
// channels' differences of spread 1.4 s). The board's own edges are in both and add nothing.
TEST(SensorGrain, TwoCapturesOfAStillBoardMeasureTheirNoise) {
  const cv::Mat board = scene::defaultEmptyBoard().frames[0];
  for (double sigma : {2.0, 6.0, 12.0}) {
    const double grain = differenceGrain(captured(board, sigma, 1), captured(board, sigma, 2), cv::Mat());
    EXPECT_GT(grain, 1.5 * sigma) << sigma;
    EXPECT_LT(grain, 2.1 * sigma) << sigma;
  }
  EXPECT_EQ(differenceGrain(board, board, cv::Mat()), 0.0);
}

// A light step over the whole frame and a dart landing change the difference over broad
// areas or a small share of the board: the grain stays that of the captures.
TEST(SensorGrain, ALightStepOrADartIsNotGrain) {
  const scene::Renderer& renderer = scene::defaultRenderer();
  const cv::Mat board = scene::defaultEmptyBoard().frames[1];
  cv::Mat brighter;
  board.convertTo(brighter, -1, 1.15, 0.0);
  EXPECT_LT(differenceGrain(brighter, board, cv::Mat()), 0.5);
  scene::Scene withDart;
  scene::Dart dart;
  dart.tip_mm = {20.0, -60.0};
  dart.direction = scene::frontDirection(15.0, 200.0);
  withDart.darts.push_back(dart);
  const cv::Mat landed = renderer.render(withDart).frames[1];
  const double still = differenceGrain(captured(board, 4.0, 3), captured(board, 4.0, 4), cv::Mat());
  const double withLanded = differenceGrain(captured(landed, 4.0, 3), captured(board, 4.0, 4), cv::Mat());
  EXPECT_NEAR(withLanded, still, 0.1 * still);
}

// Only a camera whose grain asks for more than the fixed level gets more; the region limits
// what is measured.
TEST(SensorGrain, TheLevelNeverFallsBelowTheFixedOne) {
  EXPECT_EQ(grainChangeLevel(0.0, kDartChangeLevel), kDartChangeLevel);
  EXPECT_EQ(grainChangeLevel(3.0, kDartChangeLevel), kDartChangeLevel);
  EXPECT_GT(grainChangeLevel(7.0, kDartChangeLevel), 1.5 * kDartChangeLevel);
  cv::Mat quiet(40, 40, CV_8UC3, cv::Scalar(100, 100, 100));
  cv::Mat noisy = captured(quiet, 10.0, 5);
  noisy(cv::Rect(0, 0, 40, 10)).setTo(cv::Scalar(100, 100, 100));
  cv::Mat region = cv::Mat::zeros(40, 40, CV_8UC1);
  region(cv::Rect(0, 0, 40, 8)).setTo(255);
  EXPECT_EQ(differenceGrain(noisy, quiet, region), 0.0);
  EXPECT_GT(differenceGrain(noisy, quiet, cv::Mat()), 5.0);
}

// The real rig's webcams (armed frame and the frame with the dart, at the analysis's half
// size; the committed frames were re-encoded at JPEG quality 80, which smooths away about
// half of the first camera's scatter): the first camera's captures scatter half as far
// again as the others', whose grain asks for no more than the fixed level.
TEST(SensorGrain, TheNoisyWebcamOfARealRigStandsOut) {
  const std::string dir = TARV_REAL_FRAMES;
  std::vector<double> grains;
  for (const char* camera : {"0", "2", "4"}) {
    cv::Mat before = cv::imread(dir + "/1609431588_8e2aa1a7_before_" + camera + ".jpg");
    cv::Mat after = cv::imread(dir + "/1609431588_8e2aa1a7_after_" + camera + ".jpg");
    ASSERT_FALSE(before.empty());
    ASSERT_FALSE(after.empty());
    cv::resize(before, before, cv::Size(), 0.5, 0.5, cv::INTER_AREA);
    cv::resize(after, after, cv::Size(), 0.5, 0.5, cv::INTER_AREA);
    grains.push_back(differenceGrain(after, before, cv::Mat()));
  }
  EXPECT_GT(grains[0], 1.4 * grains[1]);
  EXPECT_GT(grains[0], 1.4 * grains[2]);
  EXPECT_EQ(grainChangeLevel(grains[1], kDartChangeLevel), kDartChangeLevel);
  EXPECT_EQ(grainChangeLevel(grains[2], kDartChangeLevel), kDartChangeLevel);
}

}  // namespace
}  // namespace tarv
