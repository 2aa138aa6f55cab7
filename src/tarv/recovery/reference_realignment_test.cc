// Start-up realignment of a camera's references on rendered boards: a slight rigid shift is
// taken over, anything larger or not a translation leaves the camera untouched.
#include "tarv/recovery/reference_realignment.h"

#include <cmath>
#include <string>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "scene/scene.h"
#include "host/host_protocol.h"
#include "tarv/views/board_features.h"
#include "tarv/views/image_ops.h"

namespace tarv {
namespace {

using host::homographyOf;

cv::Matx33d shiftBy(double dx, double dy) { return {1, 0, dx, 0, 1, dy, 0, 0, 1}; }

class ReferenceRealignment : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const scene::Renderer renderer(scene::defaultRig());
    shot_ = new scene::SceneImages(renderer.render(scene::Scene{}));
  }
  static void TearDownTestSuite() { delete shot_; }

  static Camera armedCamera(int i) {
    Camera camera;
    camera.emptyReferenceColour = shot_->frames[i].clone();
    camera.backgroundFrame = shot_->frames[i].clone();
    camera.emptyReference = toGray(camera.emptyReferenceColour);
    camera.dartReference = toGray(camera.backgroundFrame);
    camera.referenceChangeMask = cv::Mat(camera.emptyReference.size(), CV_8UC1, cv::Scalar(255));
    camera.boardToImage = homographyOf(truthH(i));
    camera.imageNormal = {600.0, -800.0, 1.0};
    camera.features = collectBoardFeatures(camera.emptyReference, camera.boardToImage);
    return camera;
  }
  static const cv::Matx33d& truthH(int i) { return shot_->truth.cameras[i].board_to_image; }
  static cv::Mat moved(int i, const cv::Matx33d& move) {
    cv::Mat out;
    cv::warpPerspective(shot_->frames[i], out, move, shot_->frames[i].size(), cv::INTER_LINEAR,
                        cv::BORDER_REPLICATE);
    return out;
  }
  static scene::SceneImages* shot_;
};
scene::SceneImages* ReferenceRealignment::shot_ = nullptr;

TEST_F(ReferenceRealignment, SlightShiftIsTakenOver) {
  Camera camera = armedCamera(0);
  const Camera before = camera;
  const cv::Matx33d move = shiftBy(3.0, 0.0);
  json report;
  ASSERT_TRUE(realignReferenceImages(camera, moved(0, move), report)) << report.dump();
  EXPECT_EQ(report["accepted"], true);
  EXPECT_FALSE(report.contains("tone_matched"));
  EXPECT_GE(report["correlation"].get<double>(), 0.995);
  EXPECT_NEAR(report["max_board_shift_px"].get<double>(), 3.0, 0.3);

  const Homography expected = homographyOf(move * truthH(0));
  for (const Point2& p : circlePoints(160.0, 12)) {
    const Point2 a = applyHomography(camera.boardToImage, p);
    const Point2 b = applyHomography(expected, p);
    EXPECT_LT(std::hypot(a.x - b.x, a.y - b.y), 0.5) << p.x << "," << p.y;
  }
  EXPECT_NEAR(camera.imageNormal[0], 603.0, 0.5);
  EXPECT_EQ(camera.backgroundFrame.data, camera.emptyReferenceColour.data);
  EXPECT_EQ(camera.dartReference.data, camera.emptyReference.data);
  EXPECT_EQ(cv::countNonZero(camera.referenceChangeMask), 0);
  EXPECT_FALSE(camera.features.points.empty());
  // The camera it was copied from keeps its own pixels.
  EXPECT_EQ(cv::norm(before.emptyReferenceColour, shot_->frames[0], cv::NORM_INF), 0.0);
}

TEST_F(ReferenceRealignment, LargerOrNonRigidMovesLeaveTheCameraAlone) {
  struct Case {
    const char* name;
    cv::Mat frame;
  };
  const Case cases[] = {
      {"shift of 5 px", moved(1, shiftBy(5.0, 0.0))},
      {"rotation of 1.5 deg", moved(1, [] {
         const cv::Matx23d r = cv::getRotationMatrix2D({640.0, 360.0}, 1.5, 1.0);
         return cv::Matx33d(r(0, 0), r(0, 1), r(0, 2), r(1, 0), r(1, 1), r(1, 2), 0, 0, 1);
       }())},
      {"other resolution", cv::Mat(360, 640, CV_8UC3, cv::Scalar(50, 60, 70))},
  };
  for (const Case& c : cases) {
    Camera camera = armedCamera(1);
    const Camera before = camera;
    json report;
    EXPECT_FALSE(realignReferenceImages(camera, c.frame, report)) << c.name << report.dump();
    EXPECT_EQ(report["accepted"], false) << c.name;
    EXPECT_EQ(camera.boardToImage, before.boardToImage) << c.name;
    EXPECT_EQ(camera.emptyReference.data, before.emptyReference.data) << c.name;
    EXPECT_EQ(camera.backgroundFrame.data, before.backgroundFrame.data) << c.name;
  }
  Camera camera = armedCamera(1);
  json report;
  realignReferenceImages(camera, cv::Mat(360, 640, CV_8UC3, cv::Scalar(50, 60, 70)), report);
  EXPECT_EQ(report, json({{"accepted", false}}));
}

TEST_F(ReferenceRealignment, StrongLightChangeIsTriedToneMatched) {
  Camera camera = armedCamera(2);
  cv::Mat lut(1, 256, CV_8UC1);
  for (int i = 0; i < 256; ++i) lut.at<uchar>(i) = cv::saturate_cast<uchar>(255.0 * std::pow(i / 255.0, 2.2));
  cv::Mat dark;
  cv::LUT(moved(2, shiftBy(2.0, 1.0)), lut, dark);
  json report;
  realignReferenceImages(camera, dark, report);
  EXPECT_EQ(report.value("tone_matched", false), true) << report.dump();
}

}  // namespace
}  // namespace tarv
