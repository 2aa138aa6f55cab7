// The start-up thin-object test on a synthetic 640 x 480 view (scale 0.5 against 1280 px)
// with the board at 1 px/mm round the image centre.
#include "tarv/recovery/thin_shaft_check.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "tarv/recovery/recovery_test_support.h"

namespace tarv {
namespace {

class ThinShaft : public ::testing::Test {
 protected:
  ThinShaft() {
    camera.emptyReference = patchTexture({640, 480}, 5);
    camera.boardToImage = {1, 0, 320, 0, 1, 240, 0, 0, 1};
  }
  cv::Mat withBar(cv::Rect bar) const {
    cv::Mat frame = camera.emptyReference.clone();
    frame(bar).setTo(5);
    return frame;
  }
  UprightShaftResult run(const cv::Mat& frame, double radius = 240.0) {
    report = {{"untouched", true}};
    return testThinUprightShaft(camera, frame, report, radius);
  }
  Camera camera;
  json report;
};

TEST_F(ThinShaft, NothingChangedOrOnlyTheLight) {
  cv::Mat noise(camera.emptyReference.size(), CV_16SC1);
  cv::randu(noise, -12, 13);
  cv::Mat noisy;
  cv::add(camera.emptyReference, noise, noisy, cv::noArray(), CV_8U);
  EXPECT_EQ(run(noisy), UprightShaftResult::kClear);
  EXPECT_EQ(report, (json{{"untouched", true}}));

  // A change of light the exposure fit cannot take back is a light change, never an object.
  cv::Mat brighter;
  camera.emptyReference.convertTo(brighter, -1, 1.0, 40);
  EXPECT_EQ(run(brighter), UprightShaftResult::kLightChange);
  EXPECT_EQ(report, (json{{"untouched", true}}));
  EXPECT_EQ(run(withBar({200, 150, 3, 150}) + 40), UprightShaftResult::kLightChange);
}

TEST_F(ThinShaft, SteepBarIsAShaft) {
  EXPECT_EQ(run(withBar({200, 150, 3, 150})), UprightShaftResult::kObject);
  EXPECT_EQ(report["reason"], "THIN_UPRIGHT_SHAFT");
  EXPECT_TRUE(report.contains("registered_edges"));
  EXPECT_TRUE(report.contains("registered_pixels"));
}

TEST_F(ThinShaft, FlatBarIsOnlyFoundAsAThinCluster) {
  ASSERT_EQ(run(withBar({200, 150, 150, 3})), UprightShaftResult::kObject);
  EXPECT_FALSE(report.contains("reason"));
  const json bounds = report["bounds"];
  ASSERT_EQ(bounds.size(), 4u);
  EXPECT_NEAR(bounds[0].get<int>(), 196, 6);
  EXPECT_GE(report["length"].get<double>(), 140.0);
  EXPECT_LE(report["width"].get<double>(), 6.0);
  EXPECT_GE(report["novel_edges"].get<int>(), 24);
  EXPECT_TRUE(report["exposure"]["applied"].get<bool>());
  EXPECT_LT(report["current_mean"].get<double>(), report["reference_mean"].get<double>());
}

TEST_F(ThinShaft, IgnoredOutsideTheRadiusAndAtTheBorder) {
  EXPECT_EQ(run(withBar({200, 150, 3, 150}), 50.0), UprightShaftResult::kClear);
  EXPECT_EQ(run(withBar({1, 150, 3, 150}), 400.0), UprightShaftResult::kClear);
  EXPECT_EQ(report, (json{{"untouched", true}}));
}

TEST_F(ThinShaft, ShortMarkIsNoShaft) {
  EXPECT_EQ(run(withBar({200, 150, 3, 6})), UprightShaftResult::kClear);
}

TEST_F(ThinShaft, ResolutionChange) {
  EXPECT_THROW(run(cv::Mat(240, 320, CV_8UC1, cv::Scalar(100))), std::runtime_error);
}

}  // namespace
}  // namespace tarv
