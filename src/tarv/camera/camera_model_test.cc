#include "tarv/camera/camera_model.h"

#include <cmath>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "scene/scene.h"
#include "tarv/camera/calibration_test_fixture.h"

namespace tarv {
namespace {

using testing::errorOf;
using testing::truthReport;

const scene::Camera& camera() { return testing::landmarkCamera().camera; }

TEST(CameraModel, PlaneHomographyOfTheTruePoseIsTheScenesBoardToImage) {
  const Homography h = planeHomographyFromPose(parseCameraModel(truthReport(camera())));
  const cv::Matx33d& truth = camera().boardToImage();
  for (int i = 0; i < 9; ++i) EXPECT_NEAR(h[i], truth.val[i], 1e-9 * (1.0 + std::abs(truth.val[i]))) << i;
  // The 20 lies at negative y in the engine frame: (0, -132) lands in the 20's treble-double
  // gap, where the scene says it is.
  const Point2 p = applyHomography(h, {0.0, -132.0});
  const cv::Point2d ideal = camera().undistortPixel(camera().project(cv::Point2d(0.0, -132.0)));
  EXPECT_NEAR(p.x, ideal.x, 1e-6);
  EXPECT_NEAR(p.y, ideal.y, 1e-6);
}

TEST(CameraModel, DistortionRoundTripFollowsTheScenesLens) {
  const CameraModel m = parseCameraModel(truthReport(camera()));
  for (cv::Point2d board : {cv::Point2d(0, 0), cv::Point2d(160, 40), cv::Point2d(-120, -150)}) {
    const cv::Point2d seen = camera().project(board);
    const cv::Point2d ideal = camera().undistortPixel(seen);
    EXPECT_LT(cv::norm(distortPixel(m, ideal) - seen), 1e-6) << board;
    EXPECT_LT(cv::norm(undistortPixel(m, seen) - ideal), 1e-4) << board;
  }
}

TEST(CameraModel, ParseRefusesBrokenModels) {
  json m = truthReport(camera());
  json notOk = m;
  notOk["ok"] = false;
  EXPECT_EQ(errorOf([&] { parseCameraModel(notOk); }), "CAMERA_MODEL_NOT_VALID");
  EXPECT_EQ(errorOf([&] { parseCameraModel(json::array()); }), "CAMERA_MODEL_NOT_VALID");
  json shortK = m;
  shortK["K"].erase(8);
  EXPECT_EQ(errorOf([&] { parseCameraModel(shortK); }), "CAMERA_MODEL_NOT_VALID");
  json nanK = m;
  nanK["K"][0] = std::nan("");
  EXPECT_EQ(errorOf([&] { parseCameraModel(nanK); }), "CAMERA_MODEL_NOT_VALID");
  json negativeFocal = m;
  negativeFocal["K"][4] = -800.0;
  EXPECT_EQ(errorOf([&] { parseCameraModel(negativeFocal); }), "INVALID_CAMERA_INTRINSICS");
  json zeroWidth = m;
  zeroWidth["breite"] = 0;
  EXPECT_EQ(errorOf([&] { parseCameraModel(zeroWidth); }), "INVALID_CAMERA_INTRINSICS");
  json noPose = m;
  noPose.erase("rvec");
  EXPECT_THROW(parseCameraModel(noPose), json::out_of_range);
}

TEST(CameraModel, BoardBehindTheCameraHasNoPlaneHomography) {
  json behind = truthReport(camera());
  behind["tvec"][2] = -behind["tvec"][2].get<double>();
  EXPECT_EQ(errorOf([&] { planeHomographyFromPose(parseCameraModel(behind)); }), "INVALID_PLANE_HOMOGRAPHY");
}

TEST(LensMaps, RectifiedFrameIsThePinholeCameraImage) {
  scene::CameraSpec pinhole = testing::landmarkTestCameraSpec();
  pinhole.k1 = 0.0;
  pinhole.focal_px = camera().K()(0, 0);
  const cv::Mat ideal = scene::Renderer({pinhole}).render(scene::Scene{}).frames[0];
  const cv::Mat& seen = testing::landmarkCamera().image;
  LensMaps maps;
  buildLensMaps(maps, truthReport(camera()), 1280, 720);
  ASSERT_FALSE(maps.empty());
  const cv::Rect inner(80, 60, 1120, 600);
  cv::Mat diff;
  cv::absdiff(seen(inner), ideal(inner), diff);
  const double before = cv::mean(diff)[1];
  const cv::Mat rectified = undistortFrame(maps, seen, false);
  cv::absdiff(rectified(inner), ideal(inner), diff);
  const double after = cv::mean(diff)[1];
  EXPECT_LT(after, 4.0);
  EXPECT_LT(after, 0.5 * before);

  cv::Mat halfSeen, halfIdeal;
  cv::resize(seen, halfSeen, {640, 360}, 0, 0, cv::INTER_AREA);
  cv::resize(ideal, halfIdeal, {640, 360}, 0, 0, cv::INTER_AREA);
  cv::absdiff(undistortFrame(maps, halfSeen, true)(cv::Rect(40, 30, 560, 300)), halfIdeal(cv::Rect(40, 30, 560, 300)), diff);
  EXPECT_LT(cv::mean(diff)[1], 4.0);
}

TEST(LensMaps, SizesMustAgreeAndEmptyMapsCopy) {
  LensMaps maps;
  EXPECT_EQ(errorOf([&] { buildLensMaps(maps, truthReport(camera()), 1920, 1080); }), "LENS_SIZE_MISMATCH");
  EXPECT_TRUE(maps.empty());
  const cv::Mat frame(20, 30, CV_8UC3, cv::Scalar(1, 2, 3));
  const cv::Mat copy = undistortFrame(maps, frame, false);
  EXPECT_NE(copy.data, frame.data);
  EXPECT_EQ(cv::norm(copy, frame, cv::NORM_INF), 0.0);
  buildLensMaps(maps, truthReport(camera()), 1280, 720);
  EXPECT_EQ(errorOf([&] { undistortFrame(maps, frame, false); }), "LENS_SIZE_MISMATCH");
}

}  // namespace
}  // namespace tarv
