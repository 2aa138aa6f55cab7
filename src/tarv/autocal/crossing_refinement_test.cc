// Crossings placed a few pixels off, as a network places them on a board seen at a grazing
// angle, moved onto the wires of a rendered board with known geometry.
#include <cmath>
#include <cstdio>

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "tarv/autocal/camera_solve.h"
#include "tarv/autocal/crossing_refinement.h"
#include "tarv/autocal/landmark_detection.h"
#include "tarv/autocal/landmark_test_scene.h"
#include "tarv/autocal/number_ring.h"
#include "tarv/autocal/vision_report.h"
#include "scene/scene.h"

namespace tarv {
namespace {

struct Board {
  testing::ScriptedCamera cam;
  CameraEstimate camera;            // solved from exact landmarks: a fraction of a pixel off
  std::vector<cv::Point2d> truth;   // every reference crossing as the renderer placed it
};

// A 1920x1080 camera 20 degrees above the board: the treble and double wires lie 8 to 11 px
// apart across the ring at its near and far sides.
Board lowBoard() {
  scene::CameraSpec cameraSpec = testing::landmarkTestCameraSpec();
  cameraSpec.image_size = {1920, 1080};
  cameraSpec.elevation_deg = 70.0;
  cameraSpec.distance_mm = 700.0;
  testing::ScriptOptions options;
  options.noisePx = 0.1;
  Board b{testing::scriptedCamera(cameraSpec, options), {}, {}};
  const LandmarkSolution s = detectBoardLandmarks(b.cam.model, b.cam.image);
  EXPECT_TRUE(s.ok) << s.reason;
  b.camera = cameraFromSolution(s);
  // Landmark frame (20 at +y) to the scene's (20 at −y).
  for (const cv::Point3d& p : referenceCrossings()) b.truth.push_back(testing::scriptedPixel(b.cam, {p.x, -p.y}));
  return b;
}

// The board's camera moved some 5 px off the ring.
CameraEstimate cameraSeveralPixelsOff(const Board& b) {
  CameraEstimate off = cloneCameraEstimate(b.camera);
  off.tvec.at<double>(0) += 2.0;
  off.tvec.at<double>(1) -= 1.5;
  return off;
}

// The treble and double crossings in the image, each placed 2 to 3 px off in its own
// direction as a network places them on a grazing view; `index` gets each one's crossing.
std::vector<cv::Point2d> detectionsOffTheirJunctions(const Board& b, std::vector<size_t>* index = nullptr) {
  const cv::Size size(b.cam.image.cols, b.cam.image.rows);
  std::vector<cv::Point2d> detected;
  for (size_t i = 0; i < b.truth.size(); ++i) {
    const cv::Point2d& p = b.truth[i];
    const size_t ring = i / kCrossingWires;
    if ((ring != 2 && ring != 4) || p.x < 0 || p.y < 0 || p.x >= size.width || p.y >= size.height) continue;
    const double a = 2.4 * static_cast<double>(i), r = 2.0 + 0.1 * static_cast<double>(i % 11);
    detected.push_back(p + r * cv::Point2d(std::cos(a), std::sin(a)));
    if (index) index->push_back(i);
  }
  return detected;
}

LandmarkSolution asSolution(const CameraEstimate& e) {
  LandmarkSolution s;
  s.ok = true;
  s.width = e.width;
  s.height = e.height;
  s.K = e.K.clone();
  s.dist = e.dist.clone();
  s.rvec = e.rvec.clone();
  s.tvec = e.tvec.clone();
  return s;
}

TEST(CrossingRefinement, CrossingsAFewPixelsOffAreMovedOntoTheWires) {
  const Board b = lowBoard();
  ASSERT_FALSE(b.camera.K.empty());
  // The solved camera has the 20 where the renderer has it: its crossings are the truth's.
  const std::vector<cv::Point2d> projected = projectBoardPoints(b.camera, referenceCrossings());
  double solvedOff = 0.0;
  for (size_t i = 0; i < projected.size(); ++i) solvedOff += cv::norm(projected[i] - b.truth[i]) / projected.size();
  ASSERT_LT(solvedOff, 0.5);
  // The camera a couple of pixels off; the crossings of the treble's and the double's outer
  // wires (107 and 170 mm) 2 to 3 px off each in turning directions. (This render has its
  // bull's ring and inner bed wires at 17, 97 and 160 mm, not where the reference crossings
  // put them.)
  CameraEstimate off = cloneCameraEstimate(b.camera);
  off.tvec.at<double>(0) += 0.7;
  off.tvec.at<double>(1) -= 0.5;
  std::vector<cv::Point2d> detected;
  std::vector<size_t> index;
  const cv::Size size(b.cam.image.cols, b.cam.image.rows);
  for (size_t i = 0; i < b.truth.size(); ++i) {
    const cv::Point2d& p = b.truth[i];
    const size_t ring = i / kCrossingWires;
    if (ring != 2 && ring != 4) continue;
    if (p.x < 0 || p.y < 0 || p.x >= size.width || p.y >= size.height) continue;
    const double a = 2.4 * static_cast<double>(i), r = 2.0 + 0.1 * static_cast<double>(i % 11);
    detected.push_back(p + r * cv::Point2d(std::cos(a), std::sin(a)));
    index.push_back(i);
  }
  ASSERT_GE(detected.size(), 36u);
  const cv::Point2d bull = testing::scriptedPixel(b.cam, {0.0, 0.0});
  const WireSolve w = solveOnWireCrossings(b.cam.image, off, scoreCameraEstimate(off, detected, 0.25), detected, bull);
  ASSERT_TRUE(w.moved);
  std::printf("%d of %zu crossings moved\n", w.refined, detected.size());
  EXPECT_GE(w.refined, 0.8 * static_cast<double>(detected.size()));
  double before = 0.0, after = 0.0;
  int moved = 0;
  for (size_t i = 0; i < detected.size(); ++i) {
    if (w.crossings[i] == detected[i]) continue;
    before += cv::norm(detected[i] - b.truth[index[i]]);
    after += cv::norm(w.crossings[i] - b.truth[index[i]]);
    ++moved;
  }
  ASSERT_GT(moved, 0);
  std::printf("mean distance from the true crossing: %.2f px before, %.2f px after\n", before / moved, after / moved);
  EXPECT_GT(before / moved, 2.0);
  EXPECT_LT(after / moved, 0.5);
  // The camera solved from the moved crossings lies on the board's ring.
  const double ringPx = testing::solutionRingErrorPx(b.cam, asSolution(w.camera));
  std::printf("ring %.2f px off (the start %.2f px)\n", ringPx, testing::solutionRingErrorPx(b.cam, asSolution(off)));
  EXPECT_LT(ringPx, 1.0);
  // That camera reads the board's turn from its printed numbers, whatever its edges say.
  cv::Mat grey;
  cv::cvtColor(b.cam.image, grey, cv::COLOR_BGR2GRAY);
  const NumberRingReading ring = readNumberRing(grey, w.camera);
  EXPECT_TRUE(ring.sure);
  EXPECT_EQ(ring.shift, 0);
}

TEST(CrossingRefinement, DetectionsBeyondAQuarterOfTheSpacingAreExplainedWhereTheWiresConfirmTheCamera) {
  const Board b = lowBoard();
  ASSERT_FALSE(b.camera.K.empty());
  // Treble and double crossings: every third one 0.35 of its spacing along its ring wire (the
  // network's misplacement at a grazing angle), the others on the crossing; two strays.
  const cv::Size size(b.cam.image.cols, b.cam.image.rows);
  std::vector<cv::Point2d> detected;
  int beyond = 0;
  for (size_t i = 0; i < b.truth.size(); ++i) {
    const size_t ring = i / kCrossingWires;
    const cv::Point2d& p = b.truth[i];
    if ((ring != 2 && ring != 4) || p.x < 0 || p.y < 0 || p.x >= size.width || p.y >= size.height) continue;
    if (i % 3 != 0) {
      detected.push_back(p);
      continue;
    }
    double spacing = 1e18;
    for (size_t j = 0; j < b.truth.size(); ++j) {
      if (j != i) spacing = std::min(spacing, cv::norm(b.truth[j] - p));
    }
    const cv::Point2d along = b.truth[(i / kCrossingWires) * kCrossingWires + (i + 1) % kCrossingWires] - p;
    detected.push_back(p + 0.35 * spacing / cv::norm(along) * along);
    ++beyond;
  }
  detected.emplace_back(30.0, 30.0);
  detected.emplace_back(1800.0, 60.0);
  ASSERT_GE(beyond, 10);
  const ExplainedCrossings right = explainCrossingsOnWires(b.cam.image, b.camera, detected, 0.5, 1.0);
  std::printf("right camera: %d matched, %d confirmed of %d beyond\n", right.matched, right.confirmed, beyond);
  EXPECT_EQ(right.matched, static_cast<int>(detected.size()) - beyond - 2);
  EXPECT_GE(right.confirmed, 0.8 * beyond);
  EXPECT_LE(right.confirmed, beyond);
  // A camera two pixels off finds the wires that far from where it puts them.
  CameraEstimate off = cloneCameraEstimate(b.camera);
  off.tvec.at<double>(0) += 0.7;
  off.tvec.at<double>(1) -= 0.5;
  const ExplainedCrossings wrong = explainCrossingsOnWires(b.cam.image, off, detected, 0.5, 1.0);
  std::printf("camera %.2f px off: %d matched, %d confirmed\n", testing::solutionRingErrorPx(b.cam, asSolution(off)),
              wrong.matched, wrong.confirmed);
  EXPECT_LE(wrong.confirmed, 0.2 * beyond);
  EXPECT_LT(wrong.explained(), right.explained() - beyond / 2);
}

TEST(CrossingRefinement, ACameraSeveralPixelsOffStillSnapsTheDetectionsOntoTheirJunctions) {
  const Board b = lowBoard();
  ASSERT_FALSE(b.camera.K.empty());
  // A camera some 5 px off: the wires about it lie beyond the search that moves crossings
  // about the camera, but their directions about each detection are still its own.
  const CameraEstimate off = cameraSeveralPixelsOff(b);
  const double offPx = testing::solutionRingErrorPx(b.cam, asSolution(off));
  ASSERT_GT(offPx, 3.0);
  std::vector<size_t> index;
  const std::vector<cv::Point2d> detected = detectionsOffTheirJunctions(b, &index);
  ASSERT_GE(detected.size(), 36u);
  const RefinedCrossings r = snapCrossingsOnWires(b.cam.image, off, detected, 0.5);
  std::printf("camera %.2f px off: %d of %d matched crossings snapped\n", offPx, r.refined, r.matched);
  EXPECT_GE(r.refined, 0.8 * r.matched);
  EXPECT_GE(r.refined, 12);  // enough to solve a camera from
  // About the camera itself the wires are sought too far from where they lie.
  const RefinedCrossings aboutCamera = refineCrossingsOnWires(b.cam.image, off, detected, 0.35);
  std::printf("moved about the camera itself: %d\n", aboutCamera.refined);
  EXPECT_LT(aboutCamera.refined, r.refined / 2);
  double before = 0.0, after = 0.0;
  int moved = 0;
  for (size_t i = 0; i < detected.size(); ++i) {
    if (r.crossings[i] == detected[i]) continue;
    before += cv::norm(detected[i] - b.truth[index[i]]);
    after += cv::norm(r.crossings[i] - b.truth[index[i]]);
    ++moved;
  }
  ASSERT_GT(moved, 0);
  std::printf("mean distance from the true crossing: %.2f px before, %.2f px after\n", before / moved, after / moved);
  EXPECT_LT(after / moved, 0.5);
  // The camera solved from the snapped crossings lies on the board's ring.
  const cv::Point2d bull = testing::scriptedPixel(b.cam, {0.0, 0.0});
  const CameraEstimate solved = solveCamera(off, r.crossings, bull, 6);
  const double ringPx = testing::solutionRingErrorPx(b.cam, asSolution(solved));
  std::printf("ring %.2f px off after the snap\n", ringPx);
  EXPECT_LT(ringPx, 1.0);
}

TEST(CrossingRefinement, DetectionsBeyondTheirOwnSearchSnapAboutACameraCloseToTheBoard) {
  const Board b = lowBoard();
  ASSERT_FALSE(b.camera.K.empty());
  // Detections 2.8 mm off their junction across the ring, as the network places them on a low
  // board: the wire lies at the edge of the search about the detection, but about where a
  // camera a pixel off puts the junction it is found.
  std::vector<cv::Point2d> detected;
  std::vector<size_t> index;
  const std::vector<cv::Point3d>& ref = referenceCrossings();
  const cv::Size size(b.cam.image.cols, b.cam.image.rows);
  for (size_t i = 0; i < ref.size(); ++i) {
    const size_t ring = i / kCrossingWires;
    if (ring != 2 && ring != 4) continue;
    const cv::Point2d p(ref[i].x, ref[i].y);
    const double r = cv::norm(p), out = (i % 2 == 0 ? 2.8 : -2.8);
    const cv::Point2d board = p * ((r + out) / r);
    const cv::Point2d px = testing::scriptedPixel(b.cam, {board.x, -board.y});
    if (px.x < 0 || px.y < 0 || px.x >= size.width || px.y >= size.height) continue;
    detected.push_back(px);
    index.push_back(i);
  }
  ASSERT_GE(detected.size(), 30u);
  CameraEstimate near = cloneCameraEstimate(b.camera);
  near.tvec.at<double>(0) += 0.3;
  const double nearPx = testing::solutionRingErrorPx(b.cam, asSolution(near));
  ASSERT_GT(nearPx, 0.5);
  const RefinedCrossings r = snapCrossingsOnWires(b.cam.image, near, detected, 0.5);
  std::printf("camera %.2f px off: %d of %d matched crossings snapped\n", nearPx, r.refined, r.matched);
  EXPECT_GE(r.refined, 0.8 * r.matched);
  double after = 0.0;
  int moved = 0;
  for (size_t i = 0; i < detected.size(); ++i) {
    if (r.crossings[i] == detected[i]) continue;
    after += cv::norm(r.crossings[i] - b.truth[index[i]]);
    ++moved;
  }
  ASSERT_GT(moved, 0);
  std::printf("mean distance from the true crossing after the snap: %.2f px\n", after / moved);
  EXPECT_LT(after / moved, 0.5);
  // A camera several pixels off finds the wires about itself no better than the detections do:
  // most stay as the network placed them.
  const CameraEstimate off = cameraSeveralPixelsOff(b);
  const RefinedCrossings far = snapCrossingsOnWires(b.cam.image, off, detected, 0.5);
  std::printf("camera %.2f px off: %d of %d matched crossings snapped\n",
              testing::solutionRingErrorPx(b.cam, asSolution(off)), far.refined, far.matched);
  EXPECT_LT(far.refined, r.refined / 2);
}

TEST(CrossingRefinement, ARoundThatMovesMoreDetectionsOntoTheWiresMayGiveUpAFewMatches) {
  const Board b = lowBoard();
  ASSERT_FALSE(b.camera.K.empty());
  // Detections 2 to 3 px off their junctions about a camera some 5 px off, as on a grazing view.
  const CameraEstimate off = cameraSeveralPixelsOff(b);
  const std::vector<cv::Point2d> detected = detectionsOffTheirJunctions(b);
  const cv::Point2d bull = testing::scriptedPixel(b.cam, {0.0, 0.0});
  // The first round alone, kept whatever it matches: its camera lies on the board's ring.
  const WireSolve first = snapOnWireCrossings(b.cam.image, off, MatchScore{}, detected, bull, 1, false, 0);
  ASSERT_TRUE(first.moved);
  ASSERT_GE(first.refined, 12);
  const double firstPx = testing::solutionRingErrorPx(b.cam, asSolution(first.camera));
  std::printf("first round: %d moved, %d matched, ring %.2f px\n", first.refined, first.score.matches, firstPx);
  EXPECT_LT(firstPx, 1.0);
  // Against a start that matched two more, the round is kept only while more detections move
  // onto the wires than before it.
  const MatchScore twoMore{first.score.matches + 2, 0.5};
  EXPECT_FALSE(snapOnWireCrossings(b.cam.image, off, twoMore, detected, bull, 1, false, 0).moved);
  const WireSolve grown = snapOnWireCrossings(b.cam.image, off, twoMore, detected, bull, 1, true, 0);
  ASSERT_TRUE(grown.moved);
  EXPECT_EQ(grown.refined, first.refined);
  EXPECT_LT(testing::solutionRingErrorPx(b.cam, asSolution(grown.camera)), 1.0);
  EXPECT_FALSE(snapOnWireCrossings(b.cam.image, off, twoMore, detected, bull, 1, true, first.refined).moved);
  // Never more than a few matches given up, however many more detections it moves.
  const MatchScore manyMore{first.score.matches + 4, 0.5};
  EXPECT_FALSE(snapOnWireCrossings(b.cam.image, off, manyMore, detected, bull, 1, true, 0).moved);
  // A round kept leaves the start as it was: the camera is a copy.
  EXPECT_GT(testing::solutionRingErrorPx(b.cam, asSolution(off)), 3.0);
}

TEST(CrossingRefinement, NothingToSnapOntoLeavesTheDetections) {
  const Board b = lowBoard();
  ASSERT_FALSE(b.camera.K.empty());
  std::vector<cv::Point2d> detected;
  for (size_t i = 2 * kCrossingWires; i < 3 * kCrossingWires; ++i) detected.push_back(b.truth[i] + cv::Point2d(1.5, -1.0));
  // No wires in a plain image, and none in an image of another type.
  const cv::Mat plain(b.cam.image.size(), CV_8UC3, cv::Scalar(90, 90, 90));
  const RefinedCrossings none = snapCrossingsOnWires(plain, b.camera, detected, 0.5);
  EXPECT_GT(none.matched, 0);
  EXPECT_EQ(none.refined, 0);
  EXPECT_EQ(none.crossings, detected);
  cv::Mat single;
  cv::extractChannel(b.cam.image, single, 0);
  EXPECT_EQ(snapCrossingsOnWires(single, b.camera, detected, 0.5).refined, 0);
  // Detections along the treble's outer wire 0.55 of the spacing from their junctions: the
  // camera takes them as its crossings (within 0.6), but no junction lies close enough to snap
  // onto.
  std::vector<cv::Point2d> between;
  for (size_t i = 2 * kCrossingWires; i < 3 * kCrossingWires; ++i) {
    const cv::Point2d& p = b.truth[i];
    double spacing = 1e18;
    for (size_t j = 0; j < b.truth.size(); ++j) {
      if (j != i) spacing = std::min(spacing, cv::norm(b.truth[j] - p));
    }
    const cv::Point2d along = b.truth[2 * kCrossingWires + (i + 1) % kCrossingWires] - p;
    between.push_back(p + 0.55 * spacing / cv::norm(along) * along);
  }
  const RefinedCrossings far = snapCrossingsOnWires(b.cam.image, b.camera, between, 0.6);
  EXPECT_GT(far.matched, 10);
  EXPECT_EQ(far.refined, 0);
}

TEST(CrossingRefinement, NoWireNoCrossing) {
  const Board b = lowBoard();
  ASSERT_FALSE(b.camera.K.empty());
  // A plain image has no wire to find; neither has an image of another type or a crossing that
  // does not exist.
  const cv::Mat grey(b.cam.image.size(), CV_8UC3, cv::Scalar(90, 90, 90));
  EXPECT_FALSE(locateWireCrossing(grey, b.camera, 45).has_value());
  cv::Mat single;
  cv::extractChannel(b.cam.image, single, 0);
  EXPECT_FALSE(locateWireCrossing(single, b.camera, 45).has_value());
  EXPECT_FALSE(locateWireCrossing(b.cam.image, b.camera, 100).has_value());
  EXPECT_FALSE(locateWireCrossing(b.cam.image, b.camera, -1).has_value());
  // On the board the same crossing is found where the renderer put it.
  const std::optional<cv::Point2d> found = locateWireCrossing(b.cam.image, b.camera, 45);
  ASSERT_TRUE(found.has_value());
  EXPECT_LT(cv::norm(*found - b.truth[45]), 0.5);
  // Crossings the camera does not match stay as they were.
  const std::vector<cv::Point2d> far = {{5.0, 5.0}, {12.0, 40.0}};
  const RefinedCrossings r = refineCrossingsOnWires(b.cam.image, b.camera, far, 0.35);
  EXPECT_EQ(r.refined, 0);
  EXPECT_EQ(r.crossings, far);
}

}  // namespace
}  // namespace tarv
