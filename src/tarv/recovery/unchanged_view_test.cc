// The unchanged-view test, the surround refinement and the dart regions of one camera on a
// synthetic 1280 x 720 view whose board (0.5 px/mm) leaves a wide surround.
#include "tarv/recovery/unchanged_view.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "tarv/views/image_ops.h"

namespace tarv {
namespace {

cv::Mat texture(cv::Size size, uint64_t seed) {
  cv::Mat noise(size, CV_8UC1);
  cv::RNG rng(seed);
  rng.fill(noise, cv::RNG::UNIFORM, 0, 256);
  cv::GaussianBlur(noise, noise, cv::Size(0, 0), 2.0);
  cv::normalize(noise, noise, 30, 200, cv::NORM_MINMAX);
  return noise;
}

class UnchangedView : public ::testing::Test {
 protected:
  UnchangedView() {
    reference = texture({1280, 720}, 3);
    // A high-contrast edge in the surround, far from the board at (640, 360).
    reference(cv::Rect(100, 100, 40, 200)).setTo(20);
    reference(cv::Rect(140, 100, 40, 200)).setTo(230);
    for (Camera& camera : round.cameras) {
      camera.boardToImage = {0.5, 0, 640, 0, 0.5, 360, 0, 0, 1};
      camera.emptyReference = reference;
      camera.dartReference = reference;
    }
  }
  bool unchanged(const cv::Mat& frame) {
    return testViewUnchanged(round, {frame, frame, frame}, 0);
  }
  cv::Mat reference;
  Round round;
};

TEST_F(UnchangedView, ExposureAndSurroundShiftsAreForgiven) {
  EXPECT_TRUE(unchanged(reference));
  cv::Mat brighter;
  reference.convertTo(brighter, -1, 1.0, 20);
  EXPECT_TRUE(unchanged(brighter));

  // The edge moved 3 px: change of 3 x 200 pixels, under 1 % of the image, off the board.
  cv::Mat shifted = reference.clone();
  shifted(cv::Rect(137, 100, 3, 200)).setTo(230);
  EXPECT_GE(cv::countNonZero(nativeDifferenceMask(reference, shifted)), 80);
  EXPECT_TRUE(unchanged(shifted));

  // The same kind of shift over a wide part of the surround is more than a wobble.
  cv::Mat wide = reference.clone();
  reference(cv::Rect(903, 0, 377, 720)).copyTo(wide(cv::Rect(900, 0, 377, 720)));
  EXPECT_GT(cv::countNonZero(nativeDifferenceMask(reference, wide)), 1280 * 720 / 100);
  EXPECT_FALSE(unchanged(wide));
}

TEST_F(UnchangedView, RealChangeStays) {
  struct Case {
    const char* name;
    cv::Rect rect;
  };
  for (const Case& c : {Case{"on the board", {620, 340, 12, 12}},
                        Case{"small object in the surround", {1000, 100, 12, 12}},
                        Case{"over 1 % of the image", {900, 400, 120, 100}}}) {
    cv::Mat frame = reference.clone();
    frame(c.rect).setTo(250);
    EXPECT_FALSE(unchanged(frame)) << c.name;
  }
  cv::Mat darker;
  reference.convertTo(darker, -1, 0.5, 0);
  EXPECT_FALSE(unchanged(darker));
}

TEST_F(UnchangedView, ChangeNearADartRegionIsNotRefined) {
  cv::Mat shifted = reference.clone();
  shifted(cv::Rect(137, 100, 3, 200)).setTo(230);
  const cv::Mat change = nativeDifferenceMask(reference, shifted);
  const Homography& h = round.cameras[0].boardToImage;
  EXPECT_EQ(cv::countNonZero(refineSurroundChange(reference, shifted, change, h, {})), 0);
  cv::Mat region = cv::Mat::zeros(reference.size(), CV_8UC1);
  region(cv::Rect(120, 100, 30, 200)).setTo(255);
  const cv::Mat kept = refineSurroundChange(reference, shifted, change, h, {region});
  EXPECT_EQ(cv::countNonZero(kept != change), 0);
}

TEST_F(UnchangedView, DartRegionsFollowTheEntries) {
  cv::Mat dart = cv::Mat::zeros(reference.size(), CV_8UC1);
  dart(cv::Rect(680, 352, 40, 16)).setTo(255);  // reaches the 20 mm disc of (100, 0) mm
  dart(cv::Rect(900, 600, 30, 30)).setTo(255);
  round.knownDartMasks = {{dart, dart, dart}, {dart, dart, dart}};
  const ImageTriple greys{reference, reference, reference};

  round.entries = nullptr;
  for (const cv::Mat& region : collectDartRegions(round, greys, 1)) {
    EXPECT_EQ(cv::countNonZero(region != dart), 0);
  }

  round.entries = json::array({{{"board_xy_nominal_mm", {0.0, 0.0}},
                                {"association_points", {{"CAM_1", {100.0, 0.0}}}}}});
  const auto first = collectDartRegions(round, greys, 0);
  ASSERT_EQ(first.size(), 2u);
  EXPECT_EQ(cv::countNonZero(first[0](cv::Rect(900, 600, 30, 30))), 0);
  EXPECT_GT(cv::countNonZero(first[0]), 80);
  EXPECT_EQ(cv::countNonZero(first[1] != dart), 0);  // no entry for the second dart
  for (int camera : {1, 2}) {
    const auto regions = collectDartRegions(round, greys, camera);
    EXPECT_EQ(regions[0].size(), reference.size());
    EXPECT_EQ(cv::countNonZero(regions[0]), 0) << camera;
  }
}

}  // namespace
}  // namespace tarv
