#include "tarv/autocal/camera_estimate.h"

#include <cmath>

#include <gtest/gtest.h>
#include <opencv2/calib3d.hpp>

#include "tarv/autocal/camera_solve.h"
#include "tarv/autocal/pose_hypotheses.h"

namespace tarv {
namespace {

// A camera 600 mm in front of the board, tilted, looking at the bull.
CameraEstimate frontCamera() {
  CameraEstimate e = cameraFromPinholePose(1280, 720, lookAtPose(1280, 720, 900.0, {200.0, -350.0, 450.0}, {640, 360}));
  return e;
}

TEST(ReferenceCrossings, RadiusMajorFromTheBullRingOut) {
  const auto& c = referenceCrossings();
  ASSERT_EQ(c.size(), 100u);
  EXPECT_NEAR(c[0].x, 2.487, 1e-3);
  EXPECT_NEAR(c[0].y, 15.704, 1e-3);
  EXPECT_NEAR(c[99].x, -26.594, 1e-3);
  EXPECT_NEAR(c[99].y, 167.907, 1e-3);
}

TEST(CameraEstimate, TurningByTwentySectorsIsNoTurnAndOneSectorIsEighteenDegrees) {
  CameraEstimate e = frontCamera();
  CameraEstimate full = cloneCameraEstimate(e);
  rotateBySectors(full, 20);
  const std::vector<cv::Point3d> probe{{100, 0, 0}, {0, -50, 0}};
  const auto a = projectBoardPoints(e, probe), b = projectBoardPoints(full, probe);
  EXPECT_LT(cv::norm(a[0] - b[0]) + cv::norm(a[1] - b[1]), 1e-9);
  CameraEstimate one = cloneCameraEstimate(e);
  rotateBySectors(one, 1);
  const double t = 18.0 * 3.14159265358979323846 / 180.0;
  // The direction at 0 degrees in the turned frame is the old one at -18 degrees.
  const auto turned = projectBoardPoints(one, {{100, 0, 0}});
  const auto old = projectBoardPoints(e, {{100 * std::cos(-t), 100 * std::sin(-t), 0}});
  EXPECT_LT(cv::norm(turned[0] - old[0]), 1e-9);
  // The clone is deep.
  EXPECT_NE(one.rvec.data, e.rvec.data);
}

TEST(CameraEstimate, BackProjectionRefusesPixelsAboveTheBoardsHorizon) {
  // A camera 100 mm in front of the board looking nearly along it towards +y.
  CameraEstimate e = makeCameraEstimate(1280, 720, 800.0);
  const cv::Vec3d zc = cv::normalize(cv::Vec3d(0.0, 1.0, -0.2)), xc(1.0, 0.0, 0.0), yc = zc.cross(xc);
  const cv::Matx33d R(xc[0], xc[1], xc[2], yc[0], yc[1], yc[2], zc[0], zc[1], zc[2]);
  cv::Rodrigues(cv::Mat(R), e.rvec);
  e.tvec = cv::Mat(-(R * cv::Vec3d(0.0, -300.0, 100.0)));
  ASSERT_GT(cameraCentre(e)[2], 0.0);
  const auto board = backProjectToBoard(e, {{640.0, 700.0}, {640.0, 10.0}});
  EXPECT_TRUE(std::isfinite(board[0].x));
  const auto again = projectBoardPoints(e, {{board[0].x, board[0].y, 0.0}});
  EXPECT_LT(cv::norm(again[0] - cv::Point2d(640.0, 700.0)), 1e-3);
  // The image top looks above the horizon: that ray meets the plane behind the camera.
  EXPECT_TRUE(std::isnan(board[1].x));
  EXPECT_TRUE(std::isnan(board[1].y));
}

TEST(CrossingMatching, TheNearerOfTwoDetectionsKeepsACrossing) {
  const std::vector<cv::Point2d> projected{{0, 0}, {100, 0}};
  const CrossingMatches m = matchCrossings(projected, {{5, 0}, {2, 0}, {60, 0}, {99, 1}}, 0.3);
  EXPECT_EQ(m.reference, (std::vector<int>{0, 1}));
  EXPECT_EQ(m.detection, (std::vector<int>{1, 3}));
}

TEST(CrossingMatching, PinholeCountTakesTheFirstAndRefusesCrossingsAtTheCamera) {
  const CameraEstimate e = frontCamera();
  PinholePose pose;
  cv::Rodrigues(e.rvec, pose.R);
  pose.t = cv::Vec3d(e.tvec.at<double>(0), e.tvec.at<double>(1), e.tvec.at<double>(2));
  pose.f = 900.0;
  pose.cx = 639.5;
  pose.cy = 359.5;
  const auto p = projectBoardPoints(e, referenceCrossings());
  EXPECT_EQ(countPinholeMatches(pose, {p[40], p[41], p[40] + cv::Point2d(0.5, 0)}, 0.35), 2);
  EXPECT_EQ(scoreCameraEstimate(e, {p[40], p[41]}, 0.25).matches, 2);
  const MatchScore none = scoreCameraEstimate(e, {}, 0.25);
  EXPECT_EQ(none.matches, 0);
  EXPECT_EQ(none.rmsPx, 1e9);
  PinholePose close = pose;
  close.t = pose.t * (1.0 / cv::norm(pose.t));  // 1 mm from the bull
  EXPECT_EQ(countPinholeMatches(close, {p[40]}, 0.35), 0);
}

TEST(CameraSolve, ADegenerateStartDoesNotStopTheOthers) {
  const CameraEstimate truth = frontCamera();
  std::vector<cv::Point2d> crossings = projectBoardPoints(truth, referenceCrossings());
  CameraEstimate broken = cloneCameraEstimate(truth);
  broken.K = cv::Mat();  // the matrix library refuses to project with it
  CameraEstimate start = cloneCameraEstimate(truth);
  cv::Mat r = start.rvec.clone();
  r.at<double>(0) += 0.02;
  start.rvec = r;
  CameraSelection selection;
  selectBestCamera(crossings, projectBoardPoints(truth, {{0, 0, 0}})[0], selection, {broken, start});
  ASSERT_TRUE(selection.found);
  EXPECT_EQ(selection.best.matches, 100);
  EXPECT_LT(selection.best.rmsPx, 1e-3);
}

TEST(CameraSolve, TheStartsSolvedTogetherGiveTheCameraOfOneStartAfterTheOther) {
  const CameraEstimate truth = frontCamera();
  std::vector<cv::Point2d> crossings = projectBoardPoints(truth, referenceCrossings());
  // A pixel of jitter and a few crossings lost, so that the starts end on different cameras.
  for (size_t i = 0; i < crossings.size(); ++i) crossings[i] += cv::Point2d(std::sin(7.0 * i), std::cos(5.0 * i));
  crossings.resize(80);
  const cv::Point2d bull = projectBoardPoints(truth, {{0, 0, 0}})[0];
  std::vector<CameraEstimate> starts = ellipseHypotheses(1280, 720, crossings, 6);
  for (const CameraEstimate& e : bullGridHypotheses(1280, 720, crossings, bull, 8)) starts.push_back(cloneCameraEstimate(e));
  ASSERT_GE(starts.size(), 8u);
  size_t best = starts.size();
  MatchScore bestScore{-1, 1e9};
  std::vector<CameraEstimate> solved;
  for (size_t i = 0; i < starts.size(); ++i) {
    solved.push_back(solveCamera(starts[i], crossings, bull, 6));
    if (!(cameraCentre(solved[i])[2] > 0.0)) continue;
    const MatchScore s = scoreCameraEstimate(solved[i], crossings, 0.25);
    if (s.matches > bestScore.matches || (s.matches == bestScore.matches && s.rmsPx < bestScore.rmsPx)) {
      best = i;
      bestScore = s;
    }
  }
  ASSERT_LT(best, starts.size());
  for (int run = 0; run < 3; ++run) {
    CameraSelection selection;
    selectBestCamera(crossings, bull, selection, starts);
    ASSERT_TRUE(selection.found);
    EXPECT_EQ(selection.best.matches, bestScore.matches);
    EXPECT_EQ(selection.best.rmsPx, bestScore.rmsPx);
    for (const auto& [a, b] : {std::pair{selection.camera.rvec, solved[best].rvec}, std::pair{selection.camera.tvec, solved[best].tvec},
                               std::pair{selection.camera.K, solved[best].K}, std::pair{selection.camera.dist, solved[best].dist}}) {
      EXPECT_EQ(cv::norm(a, b, cv::NORM_INF), 0.0);
    }
  }
}

TEST(PoseHypotheses, NeedABullAndThreeNumbers) {
  LandmarkDetections two;
  two.centres = {{600, 100}, {700, 120}};
  two.classes = {2, 3};
  two.scores = {0.9f, 0.9f};
  EXPECT_TRUE(homographyHypotheses(1280, 720, two, {640, 360}).empty());
  LandmarkDetections three = two;
  three.centres.push_back({800, 200});
  three.classes.push_back(4);
  three.scores.push_back(0.9f);
  EXPECT_TRUE(homographyHypotheses(1280, 720, three, {-1, -1}).empty());
  EXPECT_TRUE(ellipseHypotheses(1280, 720, std::vector<cv::Point2d>(19, {1, 1}), 6).empty());
  // A camera straight above the bull still has a frame.
  const PinholePose above = lookAtPose(1280, 720, 800.0, {0.0, 0.0, 500.0}, {639.5, 359.5});
  EXPECT_NEAR(cv::determinant(above.R), 1.0, 1e-9);
  EXPECT_NEAR(above.t[2], 500.0, 1e-9);
}

}  // namespace
}  // namespace tarv
