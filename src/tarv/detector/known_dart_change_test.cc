// The gates' view of the known darts: a board seen straight on at half a pixel per millimetre
// (bull at pixel 400, 400), analysed at half size.
#include "tarv/detector/known_dart_change.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "tarv/views/image_ops.h"

namespace tarv {
namespace {

const cv::Size kSize(800, 800);
const Homography kHalfScale{0.5, 0, 400, 0, 0.5, 400, 0, 0, 1};

cv::Mat zeros(cv::Size size = kSize) { return cv::Mat::zeros(size, CV_8UC1); }

cv::Mat rectMask(cv::Rect rect, cv::Size size = kSize) {
  cv::Mat mask = zeros(size);
  mask(rect).setTo(255);
  return mask;
}

Round roundOf(const std::vector<json>& entries, const std::vector<ImageTriple>& darts) {
  Round round;
  for (Camera& camera : round.cameras) {
    camera.boardToImage = kHalfScale;
    camera.emptyReferenceColour = cv::Mat::zeros(kSize, CV_8UC3);
  }
  round.entries = entries;
  round.knownDartMasks = darts;
  return round;
}

// An analysis at half size whose stored change lost the removed pixels and gained the added.
CameraFrameAnalysis analysisOf(const cv::Mat& stored, const cv::Mat& removed, const cv::Mat& added) {
  CameraFrameAnalysis a;
  a.scale = 0.5;
  a.frame = cv::Mat::zeros(cv::Size(kSize.width / 2, kSize.height / 2), CV_8UC3);
  cv::Mat current = maskAndNot(stored, removed);
  cv::bitwise_or(current, added, current);
  a.masks = compareMasks(stored, current, 0);
  a.minPixels = 20;
  return a;
}

std::array<CameraFrameAnalysis, 3> quietAnalyses() {
  const cv::Size half(kSize.width / 2, kSize.height / 2);
  const CameraFrameAnalysis a = analysisOf(zeros(half), zeros(half), zeros(half));
  return {a, a, a};
}

TEST(KnownDartChange, AQuietBoardWithoutDartsIsQuietAndToleratesNothing) {
  const Round round = roundOf({}, {});
  KnownDartChange known = measureKnownDartChange(round, quietAnalyses());
  EXPECT_TRUE(known.tolerated.empty());
  // Without a dart far outside nothing is built at the camera's size.
  EXPECT_FALSE(known.built);
  EXPECT_EQ(known.removedPixels, (std::array<int, 3>{0, 0, 0}));
  EXPECT_TRUE(knownDartViewsQuiet(round, quietAnalyses(), known));
}

TEST(KnownDartChange, ChangeOnTheBoardIsNotQuiet) {
  const Round round = roundOf({}, {});
  std::array<CameraFrameAnalysis, 3> analyses = quietAnalyses();
  const cv::Size half(kSize.width / 2, kSize.height / 2);
  // 25 analysis pixels are 100 camera pixels, a few millimetres from the bull.
  analyses[1] = analysisOf(zeros(half), zeros(half), rectMask({200, 200, 5, 5}, half));
  KnownDartChange known = measureKnownDartChange(round, analyses);
  EXPECT_FALSE(knownDartViewsQuiet(round, analyses, known));
  ASSERT_TRUE(known.built);
  EXPECT_EQ(known.change[1].size(), kSize);
  EXPECT_EQ(cv::countNonZero(known.change[1]), 100);
}

TEST(KnownDartChange, ASmallMarkAtADartFarOutsideIsToleratedAndNotARemoval) {
  // A dart 230 mm out (pixel 515, 400): a 1,600-pixel mask in every camera, of which 16 analysis
  // pixels (64 camera pixels, 4 %) were removed in camera 2.
  const cv::Mat dart = rectMask({500, 380, 40, 40});
  const Round round = roundOf({{{"id", 1}, {"board_xy_nominal_mm", {230.0, 0.0}}}}, {{dart, dart, dart}});
  const cv::Size half(kSize.width / 2, kSize.height / 2);
  const cv::Mat stored = rectMask({250, 190, 20, 20}, half);
  std::array<CameraFrameAnalysis, 3> analyses;
  for (int i = 0; i < 3; ++i) analyses[i] = analysisOf(stored, zeros(half), zeros(half));
  analyses[1] = analysisOf(stored, rectMask({250, 190, 4, 4}, half), zeros(half));
  ASSERT_EQ(analyses[1].masks.removedPixels(), 16);

  KnownDartChange known = measureKnownDartChange(round, analyses);
  EXPECT_TRUE(known.built);
  ASSERT_EQ(known.tolerated.size(), 1u);
  EXPECT_EQ(known.tolerated[0]["camera"], "CAM_2");
  EXPECT_EQ(known.tolerated[0]["dart"], 1);
  EXPECT_EQ(known.tolerated[0]["tolerated_pixels"], 64);
  EXPECT_EQ(known.removedPixels[1], 0);
  EXPECT_DOUBLE_EQ(known.removedFraction[1], 0.0);
  EXPECT_EQ(cv::countNonZero(known.change[1]), 0);
  EXPECT_TRUE(knownDartViewsQuiet(round, analyses, known));
}

TEST(KnownDartChange, ADartPulledFarOutsideIsNotTolerated) {
  // Half of the far-outside dart went: far more than a mark.
  const cv::Mat dart = rectMask({500, 380, 40, 40});
  const Round round = roundOf({{{"id", 1}, {"board_xy_nominal_mm", {230.0, 0.0}}}}, {{dart, dart, dart}});
  const cv::Size half(kSize.width / 2, kSize.height / 2);
  const cv::Mat stored = rectMask({250, 190, 20, 20}, half);
  std::array<CameraFrameAnalysis, 3> analyses;
  for (int i = 0; i < 3; ++i) analyses[i] = analysisOf(stored, rectMask({250, 190, 20, 10}, half), zeros(half));
  const KnownDartChange known = measureKnownDartChange(round, analyses);
  EXPECT_TRUE(known.tolerated.empty());
  EXPECT_EQ(known.removedPixels, (std::array<int, 3>{200, 200, 200}));
  EXPECT_DOUBLE_EQ(known.removedFraction[0], 0.5);
}

TEST(KnownDartChange, ChangeAtAKnownDartOnTheBoardIsNotQuiet) {
  // A dart at 100 mm right of the bull (pixel 450, 400) whose region lost a few pixels in one
  // camera: below a dart's size, yet the dart moved.
  const cv::Mat dart = rectMask({440, 390, 20, 20});
  const Round round = roundOf({{{"id", 1}, {"board_xy_nominal_mm", {100.0, 0.0}}}}, {{dart, dart, dart}});
  const cv::Size half(kSize.width / 2, kSize.height / 2);
  const cv::Mat stored = rectMask({220, 195, 10, 10}, half);
  std::array<CameraFrameAnalysis, 3> analyses;
  for (int i = 0; i < 3; ++i) analyses[i] = analysisOf(stored, zeros(half), zeros(half));
  KnownDartChange still = measureKnownDartChange(round, analyses);
  EXPECT_TRUE(knownDartViewsQuiet(round, analyses, still));
  analyses[2] = analysisOf(stored, rectMask({220, 195, 3, 3}, half), zeros(half));
  KnownDartChange moved = measureKnownDartChange(round, analyses);
  EXPECT_TRUE(moved.tolerated.empty());
  EXPECT_FALSE(knownDartViewsQuiet(round, analyses, moved));
}

TEST(KnownDartChange, ABoardThatDoesNotProjectIsNotQuiet) {
  const cv::Mat dart = rectMask({440, 390, 20, 20});
  Round round = roundOf({{{"id", 1}, {"board_xy_nominal_mm", {100.0, 0.0}}}}, {{dart, dart, dart}});
  // A degenerate calibration: every board point projects to infinity.
  round.cameras[0].boardToImage = {0.5, 0, 400, 0, 0.5, 400, 0, 0, 0};
  // A few changed pixels away from the dart: the verdict has to look at the dart.
  std::array<CameraFrameAnalysis, 3> analyses = quietAnalyses();
  const cv::Size half(kSize.width / 2, kSize.height / 2);
  analyses[0] = analysisOf(zeros(half), zeros(half), rectMask({20, 20, 2, 2}, half));
  KnownDartChange known = measureKnownDartChange(round, analyses);
  EXPECT_FALSE(knownDartViewsQuiet(round, analyses, known));
}

}  // namespace
}  // namespace tarv
