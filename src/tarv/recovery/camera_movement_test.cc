// Movement of a camera measured on rendered boards: small nudges are measured to a fraction
// of a pixel and accepted, a camera that did not move or moved implausibly far is refused.
#include "tarv/recovery/camera_movement.h"

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

// A camera armed on the frame: every reference is that frame.
Camera armedCamera(const cv::Mat& frame, const cv::Matx33d& boardToImage) {
  Camera camera;
  camera.emptyReferenceColour = frame.clone();
  camera.backgroundFrame = camera.emptyReferenceColour;
  camera.emptyReference = toGray(frame);
  camera.dartReference = camera.emptyReference;
  camera.referenceChangeMask = cv::Mat::zeros(frame.size(), CV_8UC1);
  camera.boardToImage = homographyOf(boardToImage);
  camera.features = collectBoardFeatures(camera.emptyReference, camera.boardToImage);
  return camera;
}

// The image a camera sees after moving so that every pixel went through the transform.
cv::Mat movedView(const cv::Mat& frame, const cv::Matx33d& move) {
  cv::Mat out;
  cv::warpPerspective(frame, out, move, frame.size(), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
  return out;
}

cv::Matx33d shiftBy(double dx, double dy) { return {1, 0, dx, 0, 1, dy, 0, 0, 1}; }

cv::Matx33d rotationAbout(cv::Point2d centre, double degrees) {
  const cv::Matx23d r = cv::getRotationMatrix2D(centre, degrees, 1.0);
  return {r(0, 0), r(0, 1), r(0, 2), r(1, 0), r(1, 1), r(1, 2), 0, 0, 1};
}

cv::Matx33d scaleAbout(cv::Point2d centre, double factor) {
  return shiftBy(centre.x, centre.y) * cv::Matx33d::diag({factor, factor, 1.0}) *
         shiftBy(-centre.x, -centre.y);
}

// Board points projected with the realigned calibration land where the moved view shows them.
void expectRealignedCalibrationFollows(const Homography& transform, const cv::Matx33d& move,
                                       const cv::Matx33d& boardToImage, const std::string& name) {
  const Homography realigned = homographyOf(cv::Matx33d(transform.data()) * boardToImage);
  const Homography truth = homographyOf(move * boardToImage);
  for (const Point2& p : circlePoints(150.0, 12)) {
    const Point2 measured = applyHomography(realigned, p);
    const Point2 seen = applyHomography(truth, p);
    EXPECT_LT(std::hypot(measured.x - seen.x, measured.y - seen.y), 0.5)
        << name << " at " << p.x << "," << p.y;
  }
}

class CameraMovement : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const scene::Renderer renderer(scene::defaultRig());
    shot_ = new scene::SceneImages(renderer.render(scene::Scene{}));
  }
  static void TearDownTestSuite() { delete shot_; }

  static const cv::Mat& frame(int i) { return shot_->frames[i]; }
  static const cv::Matx33d& truthH(int i) { return shot_->truth.cameras[i].board_to_image; }
  static cv::Point2d bull(int i) {
    const Point2 p = applyHomography(homographyOf(truthH(i)), {0.0, 0.0});
    return {p.x, p.y};
  }
  static scene::SceneImages* shot_;
};
scene::SceneImages* CameraMovement::shot_ = nullptr;

TEST_F(CameraMovement, SmallMovesAreMeasuredAndAccepted) {
  struct Case {
    const char* name;
    int camera;
    cv::Matx33d move;
  };
  const Case cases[] = {
      {"shift 3 px", 0, shiftBy(3.0, 0.0)},
      {"shift 3 px diagonally", 1, shiftBy(-2.1, 2.1)},
      {"rotation 0.5 deg about the bull", 2, rotationAbout(bull(2), 0.5)},
      {"rotation -0.5 deg about the bull", 0, rotationAbout(bull(0), -0.5)},
      {"knocked 60 px sideways", 1, shiftBy(60.0, 0.0)},
  };
  for (const Case& c : cases) {
    const Camera camera = armedCamera(frame(c.camera), truthH(c.camera));
    Homography transform{};
    json report;
    const bool accepted =
        measureRealignment(camera, movedView(frame(c.camera), c.move), transform, report, 1.5, 1.5);
    ASSERT_TRUE(accepted) << c.name << " " << report.dump();
    EXPECT_EQ(report["accepted"], true) << c.name;
    EXPECT_FALSE(report.contains("tone_matched")) << c.name;
    EXPECT_FALSE(report.contains("reason")) << c.name;
    EXPECT_EQ(report["transform"][0][2].get<double>(), transform[2]) << c.name;

    expectRealignedCalibrationFollows(transform, c.move, truthH(c.camera), c.name);
  }
}

TEST_F(CameraMovement, RefusalsCarryTheirReason) {
  struct Case {
    const char* name;
    cv::Mat current;
    std::string reason;
  };
  const cv::Mat& f = frame(0);
  const Case cases[] = {
      {"unmoved", f.clone(), "NO_MOVEMENT"},
      {"sub-limit nudge", movedView(f, shiftBy(0.7, 0.0)), "NO_MOVEMENT"},
      {"zoomed by a fifth", movedView(f, scaleAbout(bull(0), 1.2)), "IMPLAUSIBLE_MOVEMENT"},
      {"turned 20 deg", movedView(f, rotationAbout(bull(0), 20.0)), "FEATURES_LOST"},
      {"shifted by 400 px", movedView(f, shiftBy(400.0, 0.0)), "IMPLAUSIBLE_MOVEMENT"},
      {"other resolution", cv::Mat(360, 640, CV_8UC3, cv::Scalar(90, 90, 90)), "SIZE"},
      {"no frame", cv::Mat(), "SIZE"},
  };
  const Camera camera = armedCamera(f, truthH(0));
  for (const Case& c : cases) {
    Homography transform{};
    transform[0] = 42.0;
    json report;
    EXPECT_FALSE(measureRealignment(camera, c.current, transform, report, 1.5, 1.5)) << c.name;
    EXPECT_EQ(report["accepted"], false) << c.name;
    EXPECT_EQ(report.value("reason", ""), c.reason) << c.name << " " << report.dump();
    EXPECT_EQ(transform[0], 42.0) << c.name << ": the transform is written only on acceptance";
  }
}

TEST_F(CameraMovement, StrongLightChangeIsRetriedToneMatched) {
  const cv::Mat& f = frame(1);
  const Camera camera = armedCamera(f, truthH(1));
  cv::Mat moved = movedView(f, shiftBy(3.0, 1.0));
  cv::Mat lut(1, 256, CV_8UC1);
  for (int i = 0; i < 256; ++i) lut.at<uchar>(i) = cv::saturate_cast<uchar>(255.0 * std::pow(i / 255.0, 2.2));
  cv::Mat dark;
  cv::LUT(moved, lut, dark);
  Homography transform{};
  json report;
  ASSERT_TRUE(measureRealignment(camera, dark, transform, report, 1.5, 1.5)) << report.dump();
  EXPECT_EQ(report["tone_matched"], true);
  expectRealignedCalibrationFollows(transform, shiftBy(3.0, 1.0), truthH(1), "darkened");
}

TEST_F(CameraMovement, DriftLimitsAcceptWhatTheRealignmentLimitsCallUnmoved) {
  const Camera camera = armedCamera(frame(2), truthH(2));
  const cv::Mat nudged = movedView(frame(2), shiftBy(0.7, 0.0));
  Homography transform{};
  json report;
  EXPECT_FALSE(measureRealignment(camera, nudged, transform, report, 1.5, 1.5));
  EXPECT_EQ(report["reason"], "NO_MOVEMENT");
  ASSERT_TRUE(measureRealignment(camera, nudged, transform, report, 0.6, 0.8)) << report.dump();
  expectRealignedCalibrationFollows(transform, shiftBy(0.7, 0.0), truthH(2), "drift");
}

TEST(ToneDifference, MedianAbsoluteDifferenceOfTheSampledPixels) {
  cv::Mat reference(200, 200, CV_8UC1);
  cv::randu(reference, 30, 200);
  const cv::Mat all;
  cv::Mat fewSamples = cv::Mat::zeros(reference.size(), CV_8UC1);
  fewSamples(cv::Rect(0, 0, 80, 80)).setTo(255);  // 400 sampled pixels
  struct Case {
    const char* name;
    int offset;
    cv::Mat mask;
    bool expected;
  };
  const Case cases[] = {
      {"identical", 0, all, false},
      {"4 levels brighter", 4, all, false},
      {"5 levels brighter", 5, all, true},
      {"5 levels darker", -5, all, true},
      {"too few samples in the mask", 10, fewSamples, false},
  };
  for (const Case& c : cases) {
    cv::Mat current;
    reference.convertTo(current, -1, 1.0, c.offset);
    EXPECT_EQ(hasToneDifference(reference, current, c.mask), c.expected) << c.name;
  }
}

}  // namespace
}  // namespace tarv
