// The camera guard on rendered boards: a fixed camera is recognised through light changes,
// a moved one is not.
#include "tarv/views/board_features.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "scene/scene.h"
#include "host/host_protocol.h"
#include "tarv/views/image_ops.h"

namespace tarv {
namespace {

using host::homographyOf;

class CameraGuard : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const scene::Renderer renderer(scene::defaultRig());
    shot_ = new scene::SceneImages(renderer.render(scene::Scene{}));
  }
  static void TearDownTestSuite() { delete shot_; }
  static scene::SceneImages* shot_;
};
scene::SceneImages* CameraGuard::shot_ = nullptr;

TEST_F(CameraGuard, FixedThroughLightChangesMovedWhenShifted) {
  for (int i = 0; i < 3; ++i) {
    const cv::Mat grey = toGray(shot_->frames[i]);
    const BoardFeatures features = collectBoardFeatures(grey, homographyOf(shot_->truth.cameras[i].board_to_image));
    EXPECT_GE(features.points.size(), 30u);
    EXPECT_DOUBLE_EQ(features.scale, 4.0);

    EXPECT_TRUE(checkFixedCameraToneMatched(features, grey)["ok"].get<bool>()) << i;
    cv::Mat brighter;
    grey.convertTo(brighter, -1, 1.15, 20);
    EXPECT_TRUE(checkFixedCameraToneMatched(features, brighter)["ok"].get<bool>()) << i;

    cv::Mat shifted;
    const cv::Matx23d move(1, 0, 5, 0, 1, 0);
    cv::warpAffine(grey, shifted, move, grey.size(), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
    const json moved = checkFixedCameraToneMatched(features, shifted);
    EXPECT_FALSE(moved["ok"].get<bool>()) << i;
    EXPECT_NEAR(moved["median_shift_px"].get<double>(), 5.0, 0.5) << i;
  }
}

TEST_F(CameraGuard, FlatImagesHaveNoFeatures) {
  const cv::Mat flat(720, 1280, CV_8UC1, cv::Scalar(80));
  const BoardFeatures features =
      collectBoardFeatures(flat, homographyOf(shot_->truth.cameras[0].board_to_image));
  const json report = checkFixedCameraToneMatched(features, flat);
  EXPECT_FALSE(report["ok"].get<bool>());
  EXPECT_EQ(report["reason"], "INSUFFICIENT_BOARD_FEATURES");
}

TEST(HistogramMatching, MapsLevelsOntoTheReference) {
  cv::Mat reference(100, 100, CV_8UC1);
  cv::randu(reference, 20, 200);
  cv::Mat darker;
  reference.convertTo(darker, -1, 0.5, 10);
  const cv::Mat matched = matchHistogramToReference(reference, darker);
  ASSERT_FALSE(matched.empty());
  cv::Mat difference;
  cv::absdiff(matched, reference, difference);
  EXPECT_LE(cv::mean(difference)[0], 2.0);
  EXPECT_TRUE(matchHistogramToReference(reference, cv::Mat(50, 50, CV_8UC1)).empty());
  cv::Mat table;
  EXPECT_FALSE(buildHistogramMatchingLut(reference(cv::Rect(0, 0, 60, 60)).clone(),
                                         reference(cv::Rect(0, 0, 60, 60)).clone(), cv::Mat(), table));
}

}  // namespace
}  // namespace tarv
