#include "tarv/autocal/landmark_detection.h"

#include <cmath>

#include <gtest/gtest.h>

#include "tarv/autocal/camera_solve.h"
#include "tarv/autocal/landmark_test_scene.h"
#include "tarv/autocal/vision_report.h"

namespace tarv {
namespace {

using testing::ScriptOptions;
using testing::scriptedCamera;

// The engine-frame pixel of a landmark-frame board point as the scene's camera sees it.
cv::Point2d truthPixel(const scene::Camera& camera, double x, double y) { return camera.project(cv::Point2d(x, -y)); }

TEST(LandmarkDetection, ScriptedDetectionsOnARenderedCameraSolveIt) {
  auto cam = scriptedCamera(testing::landmarkTestCameraSpec());
  const LandmarkSolution sol = detectBoardLandmarks(cam.model, cam.image);
  ASSERT_TRUE(sol.ok) << sol.reason;
  EXPECT_EQ(sol.width, 1280);
  EXPECT_EQ(sol.height, 720);
  EXPECT_EQ(sol.crossingsDetected, cam.crossingsInImage);
  EXPECT_EQ(sol.crossingsMatched, cam.crossingsInImage);
  EXPECT_LT(sol.rmsPx, 0.5);
  const double f = cam.camera.K()(0, 0);
  EXPECT_NEAR(sol.K.at<double>(0, 0), f, 0.02 * f);
  EXPECT_TRUE(sol.twentySure);
  EXPECT_GE(sol.colourScore, 0.9);
  EXPECT_EQ(sol.grade, 0);
  EXPECT_TRUE(sol.reason.empty());
  for (cv::Point2d p : {cv::Point2d(0, 132), cv::Point2d(-150, -40), cv::Point2d(0, 0)}) {
    EXPECT_LT(cv::norm(projectSolutionPoint(sol, p) - truthPixel(cam.camera, p.x, p.y)), 0.5) << p;
  }
  const cv::Point2d back = backProjectSolutionPoint(sol, truthPixel(cam.camera, 0, 132));
  EXPECT_NEAR(back.x, 0.0, 0.3);
  EXPECT_NEAR(back.y, 132.0, 0.3);
  std::printf("scripted solve: %d/%d crossings, rms %.3f px, f %.1f (true %.1f), k1 %.4f, %.0f ms\n",
              sol.crossingsMatched, cam.crossingsInImage, sol.rmsPx, sol.K.at<double>(0, 0), f,
              sol.dist.at<double>(0), sol.totalMs);
}

TEST(LandmarkDetection, WithoutNumberMarkersTheTwentyIsNotSureAndTheGradeIsYellow) {
  ScriptOptions options;
  options.numbers = false;
  auto cam = scriptedCamera(testing::landmarkTestCameraSpec(), options);
  const LandmarkSolution sol = detectBoardLandmarks(cam.model, cam.image);
  ASSERT_TRUE(sol.ok) << sol.reason;
  EXPECT_FALSE(sol.twentySure);
  EXPECT_EQ(sol.grade, 1);
  EXPECT_LT(sol.rmsPx, 0.5);
}

}  // namespace
}  // namespace tarv
