#include "tarv/autocal/landmark_detection.h"
#include "tarv/autocal/bull_point.h"
#include "tarv/autocal/landmark_output.h"

#include <cmath>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

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

// The camera's image with the number ring painted over in its own black (from just beyond the
// double ring's outer edge): no printed number left to read.
cv::Mat withoutPrintedNumbers(const testing::ScriptedCamera& cam) {
  std::vector<cv::Point> outer, inner;
  for (int i = 0; i < 360; ++i) {
    const double a = i * 3.14159265358979323846 / 180.0;
    const cv::Point2d o = testing::scriptedPixel(cam, {225.0 * std::cos(a), 225.0 * std::sin(a)});
    const cv::Point2d n = testing::scriptedPixel(cam, {174.0 * std::cos(a), 174.0 * std::sin(a)});
    outer.emplace_back(static_cast<int>(std::lround(o.x)), static_cast<int>(std::lround(o.y)));
    inner.emplace_back(static_cast<int>(std::lround(n.x)), static_cast<int>(std::lround(n.y)));
  }
  cv::Mat covered = cam.image.clone();
  cv::Mat ring = cv::Mat::zeros(covered.size(), CV_8U);
  cv::fillPoly(ring, std::vector<std::vector<cv::Point>>{outer}, cv::Scalar(255), cv::LINE_AA);
  cv::fillPoly(ring, std::vector<std::vector<cv::Point>>{inner}, cv::Scalar(0), cv::LINE_AA);
  covered.setTo(cv::Scalar(20, 20, 20), ring);
  return covered;
}

// Without number markers the network names no 20: the printed numbers' widths name it on a
// camera its edges confirm, and where none can be read it is not sure and the grade yellow.
TEST(LandmarkDetection, WithoutNumberMarkersThePrintedNumbersOrNothingNameTheTwenty) {
  ScriptOptions options;
  options.numbers = false;
  auto cam = scriptedCamera(testing::landmarkTestCameraSpec(), options);
  const LandmarkSolution sol = detectBoardLandmarks(cam.model, cam.image);
  ASSERT_TRUE(sol.ok) << sol.reason;
  EXPECT_TRUE(sol.edgesConfirm);
  EXPECT_TRUE(sol.twentySure);
  EXPECT_EQ(sol.grade, 0);
  EXPECT_LT(cv::norm(projectSolutionPoint(sol, {0, 132}) - truthPixel(cam.camera, 0, 132)), 0.5);

  const LandmarkSolution unread = detectBoardLandmarks(cam.model, withoutPrintedNumbers(cam));
  ASSERT_TRUE(unread.ok) << unread.reason;
  EXPECT_FALSE(unread.twentySure);
  EXPECT_EQ(unread.grade, 1);
  EXPECT_LT(unread.rmsPx, 0.5);
}

// A network that reads most numbers wrong: 8 of 20 where they are, the other 12 spread over
// four wrong turns. The right turn leads the next by far more than half, but it holds less
// than half of the votes, so the votes leave the 20 unsure: the printed numbers' widths name
// it, and where they cannot be read the camera waits for the click on the 20.
TEST(LandmarkDetection, NumbersReadMostlyWrongLeaveTheTwentyToThePrintedNumbers) {
  const auto base = scriptedCamera(testing::landmarkTestCameraSpec());
  int crossings = 0, anchors = 0;
  std::vector<float> out = testing::scriptedLandmarkOutput(base.camera, ScriptOptions{}, &crossings, &anchors);
  const int n = anchors;
  int confused = 0;
  for (int j = 0; j < n; ++j) {
    for (int position = 0; position < 20; ++position) {
      float& score = out[static_cast<size_t>((4 + 2 + position) * n + j)];
      if (!(score > 0.2f) || position % 5 < 2) continue;
      const int wrong = (position + 2 * (1 + position % 4)) % 20;
      out[static_cast<size_t>((4 + 2 + wrong) * n + j)] = score;
      score = 0.0f;
      ++confused;
      break;
    }
  }
  ASSERT_GE(confused, 10);
  LandmarkModel model = testing::constantModel({1, 26, n}, out);
  const LandmarkSolution sol = detectBoardLandmarks(model, base.image);
  ASSERT_TRUE(sol.ok) << sol.reason;
  EXPECT_TRUE(sol.twentySure);
  EXPECT_LT(cv::norm(projectSolutionPoint(sol, {0, 132}) - truthPixel(base.camera, 0, 132)), 0.5);

  const LandmarkSolution unread = detectBoardLandmarks(model, withoutPrintedNumbers(base));
  ASSERT_TRUE(unread.ok) << unread.reason;
  EXPECT_FALSE(unread.twentySure);
  EXPECT_EQ(unread.grade, 1);
}

TEST(LandmarkDetection, AnOutputOfAnotherLayoutIsRefusedBeforeItIsRead) {
  const cv::Mat image(360, 640, CV_8UC3, cv::Scalar::all(60));
  for (const std::vector<int64_t>& shape : {std::vector<int64_t>{26, 4}, std::vector<int64_t>{1, 4, 26},
                                            std::vector<int64_t>{1, 2, 26, 2}, std::vector<int64_t>{2, 26, 2}}) {
    LandmarkModel model = testing::constantModel(shape, std::vector<float>(104, 0.5f));
    try {
      detectBoardLandmarks(model, image);
      ADD_FAILURE() << "accepted an output of " << shape.size() << " dimensions";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "LANDMARK_OUTPUT_INVALID");
    }
  }
}

TEST(LandmarkDetection, TwelveCrossingsAndABullRunTheSolverElevenDoNot) {
  const scene::Camera camera(testing::landmarkTestCameraSpec());
  const cv::Mat image(720, 1280, CV_8UC3, cv::Scalar::all(40));
  for (int crossings : {11, 12}) {
    ScriptOptions options;
    options.maxCrossings = crossings;
    options.numbers = false;
    int found = 0, anchors = 0;
    const std::vector<float> values = testing::scriptedLandmarkOutput(camera, options, &found, &anchors);
    LandmarkModel model = testing::constantModel({1, 26, anchors}, values);
    const LandmarkSolution sol = detectBoardLandmarks(model, image);
    EXPECT_EQ(sol.crossingsDetected, crossings);
    if (crossings == 11) {
      EXPECT_FALSE(sol.ok);
      EXPECT_EQ(sol.reason, "zu wenige Kreuzungen oder kein Bull");
      EXPECT_EQ(sol.grade, 2);
    } else {
      // Twelve crossings on the bull ring alone: the solver runs, but its best camera
      // explains only a crossing or two, and that is no camera.
      EXPECT_FALSE(sol.ok);
      EXPECT_EQ(sol.reason, "keine Loesung");
      EXPECT_EQ(sol.grade, 2);
    }
  }
}

TEST(LandmarkDetection, GradeNeedsTwentyFiveCrossingsAndAnRmsBelowTheLimit) {
  EXPECT_EQ(gradeSolution(30, 2.9, true, 1920, 1080), 0);
  EXPECT_EQ(gradeSolution(30, 2.9, false, 1920, 1080), 1);
  EXPECT_EQ(gradeSolution(24, 0.1, true, 1920, 1080), 2);
  EXPECT_EQ(gradeSolution(30, 4.6, true, 1920, 1080), 2);
  EXPECT_EQ(gradeSolution(30, 2.9, true, 1280, 720), 0);
  EXPECT_EQ(gradeSolution(30, 3.0, true, 1280, 720), 2);
}

TEST(LandmarkDetection, ImagesOfAnyShapeReachTheNetwork) {
  LandmarkModel model = testing::constantModel({1, 26, 1}, std::vector<float>(26, 0.0f));
  for (cv::Size size : {cv::Size(1, 2000), cv::Size(3000, 1), cv::Size(1, 1)}) {
    const LandmarkSolution sol = detectBoardLandmarks(model, cv::Mat(size, CV_8UC3, cv::Scalar::all(7)));
    EXPECT_FALSE(sol.ok);
    EXPECT_EQ(sol.width, size.width);
  }
}

TEST(LandmarkDetection, SuppressionWorksWithinEachClassOnly) {
  // Two crossings and a bull on the same spot, and a weaker crossing box overlapping the
  // first: the bull survives beside the crossing, the weaker crossing does not.
  const int n = 4;
  std::vector<float> v(26 * n, 0.0f);
  const float boxes[n][4] = {{100, 100, 20, 20}, {100, 100, 20, 20}, {101, 100, 20, 20}, {300, 300, 20, 20}};
  const int classes[n] = {1, 0, 1, 1};
  const float scores[n] = {0.9f, 0.8f, 0.7f, 0.6f};
  for (int j = 0; j < n; ++j) {
    for (int r = 0; r < 4; ++r) v[r * n + j] = boxes[j][r];
    v[(4 + classes[j]) * n + j] = scores[j];
  }
  const cv::Mat out(std::vector<int>{1, 26, n}, CV_32F, v.data());
  const LandmarkDetections kept = decodeLandmarkOutput(out, 0.5, 0.2f, 0.7f);
  EXPECT_EQ(kept.classes, (std::vector<int>{1, 0, 1}));
  EXPECT_EQ(kept.centres[0], cv::Point2d(200, 200));
  EXPECT_EQ(kept.centres[2], cv::Point2d(600, 600));
}

TEST(LandmarkDetection, BullFromTheRadialWiresWhenTheNetworkMissesIt) {
  const scene::Camera camera(testing::landmarkTestCameraSpec());
  LandmarkDetections kept;
  for (const cv::Point3d& p : referenceCrossings()) {
    kept.centres.push_back(camera.project(cv::Point2d(p.x, -p.y)));
    kept.classes.push_back(1);
    kept.scores.push_back(0.9f);
  }
  const cv::Point2d bull = findBullPoint(kept);
  EXPECT_LT(cv::norm(bull - camera.project(cv::Point2d(0, 0))), 3.0);
  EXPECT_FALSE(bullFromWireLines(std::vector<cv::Point2d>(kept.centres.begin(), kept.centres.begin() + 19)));
}

}  // namespace
}  // namespace tarv
