// The board fit on boards that look like photographs of a real, used board, the ring
// judgement that accepts and ranks fits, and the marker road's unconfirmed initial homography.
#include <cmath>
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "host/calibration_check.h"
#include "scene/scene.h"
#include "tarv/autocal/board_fit.h"
#include "tarv/autocal/fit_test_support.h"

namespace tarv {
namespace {

namespace sc = tarv::scene;
using namespace fit_test;
constexpr double kPi = 3.14159265358979323846;

// A board that has hung on a wall: worn and slightly bent wires, numbers close to the double
// ring, darts standing in both rings, glare and JPEG blocks, 800x800 at a steep angle.
struct RealBoard {
  sc::CameraSpec cameraSpec;
  sc::Imaging imaging;
  sc::BoardLook look;
  std::vector<sc::Dart> darts;
};

RealBoard realBoard(double elevation, double azimuth, uint64_t seed) {
  RealBoard b;
  b.cameraSpec = view({800, 800}, elevation, azimuth);
  b.cameraSpec.k1 = -0.03;
  b.imaging.noise_sigma = 2.0;
  b.imaging.noise_seed = seed;
  b.imaging.blur_sigma = 0.6;
  b.imaging.jpeg_quality = 40;
  b.look.number_radius_mm = 180.0;
  b.look.wire_wear = 0.5;
  b.look.wire_wobble_mm = 0.4;
  b.look.wear_seed = seed;
  for (int i = 0; i < 4; ++i) {
    sc::Dart dart;
    const double a = (40.0 + 83.0 * i + 11.0 * seed) * kPi / 180.0, r = i % 2 == 0 ? 168.0 : 105.0;
    dart.tip_mm = {r * std::cos(a), r * std::sin(a)};
    dart.direction = sc::frontDirection(15.0, 90.0 * i);
    b.darts.push_back(dart);
  }
  const sc::Camera plain(b.cameraSpec);
  b.imaging.glare = sc::Glare{plain.project(cv::Point2d(60.0, -90.0)), 60.0, 200.0};
  return b;
}

Shot renderReal(const RealBoard& b) {
  const sc::BoardTexture texture = sc::renderBoardTexture(0.5, sc::kBoardRadius + 10.0, b.look);
  const sc::Renderer renderer({b.cameraSpec}, texture, 2);
  sc::Scene scene;
  scene.imaging = b.imaging;
  scene.darts = b.darts;
  return {renderer.cameras()[0], renderer.render(scene).frames[0]};
}

TEST(RealBoards, WornBoardsWithDartsInTheRingsAreFittedWithinAPixel) {
  int accepted = 0, n = 0;
  for (const double elevation : {30.0, 45.0, 60.0}) {
    for (const double azimuth : {70.0, 250.0}) {
      const Shot shot = renderReal(realBoard(elevation, azimuth, static_cast<uint64_t>(++n)));
      const json result = fitBoardGeometry(shot.frame, {{"click_px", pointJson(host::twentyClick(shot.camera))}});
      const auto h = host::fittedHomography(result);
      ASSERT_TRUE(h.has_value()) << result.dump();
      const host::RingError e = host::ringError(*h, shot.camera);
      std::printf("real board at %.0f/%.0f: %s, ring mean %.2f max %.2f px\n", elevation, azimuth,
                  result.value("accepted", false) ? "accepted" : result.value("rejection", "").c_str(), e.meanPx,
                  e.visibleMaxPx);
      if (!result.value("accepted", false)) continue;
      ++accepted;
      EXPECT_LE(e.meanPx, 1.0) << elevation << " " << azimuth;
      EXPECT_LE(e.visibleMaxPx, 2.5) << elevation << " " << azimuth;
    }
  }
  EXPECT_GE(accepted, 5) << "of 6";
}

json ringReport(json inView, json supporting, json contradicting) {
  return {{"rms_px", 0.8},
          {"inlier_fraction", 0.8},
          {"octants", 8},
          {"ring_octants", {{inView, supporting, contradicting}, {8, 8, 0}}}};
}

TEST(RealBoards, TheRingJudgementCountsOctantsByMajority) {
  EXPECT_TRUE(followsTheRings(ringReport(8, 8, 0)));
  EXPECT_TRUE(followsTheRings(ringReport(8, 4, 0)));   // darts and glare cover half the ring
  EXPECT_FALSE(followsTheRings(ringReport(8, 3, 0)));  // most of the ring unconfirmed
  EXPECT_FALSE(followsTheRings(ringReport(8, 7, 1)));  // a stretch of it lies off the edges
  EXPECT_FALSE(followsTheRings(ringReport(3, 0, 0)));
  EXPECT_TRUE(followsTheRings(ringReport(0, 0, 0)));   // a ring outside the image says nothing
  EXPECT_TRUE(followsTheRings(json{{"rms_px", 0.8}}));  // a report without the counts
}

TEST(RealBoards, ACandidateTheRingsContradictDoesNotWinOnItsLandmarks) {
  BoardFitCandidate right, wrong;
  right.refinementReport = ringReport(8, 8, 0);
  right.landmarkCount = 40;
  right.landmarkMedianMm = 2.0;
  wrong.refinementReport = ringReport(8, 6, 2);
  wrong.landmarkCount = 40;
  wrong.landmarkMedianMm = 0.5;  // wrong landmarks that happen to agree with the wrong fit
  EXPECT_TRUE(compareFitCandidates(right, wrong));
  EXPECT_FALSE(compareFitCandidates(wrong, right));
}

// An initial homography that nothing in the image confirms is no calibration.
TEST(RealBoards, AMarkerHomographyFarOffTheBoardIsNotAccepted) {
  const Shot shot = renderBoard(view({960, 720}, 30.0, 120.0));
  for (const double offset : {1000.0, 5000.0}) {
    const cv::Matx33d off = cv::Matx33d(1, 0, offset, 0, 1, 0, 0, 0, 1) * shot.camera.boardToImage();
    const json result = fitBoardGeometry(shot.frame, {{"initial", matrixJson(off)}});
    EXPECT_FALSE(result.value("accepted", true)) << offset << ": " << result.dump();
    EXPECT_FALSE(result.value("refined", true)) << offset;
    EXPECT_EQ(result.value("rejection", ""), "TOO_FEW_EDGE_MATCHES") << offset;
    EXPECT_EQ(result["report"].value("refinement_error", ""), "TOO_FEW_EDGE_MATCHES") << offset;
  }
  // 40 px off: the refinement would have to move the ring that far, and the initial is not
  // what the image shows.
  const cv::Matx33d near = cv::Matx33d(1, 0, 40.0, 0, 1, 0, 0, 0, 1) * shot.camera.boardToImage();
  const json result = fitBoardGeometry(shot.frame, {{"initial", matrixJson(near)}});
  if (!result.value("refined", false)) {
    EXPECT_FALSE(result.value("accepted", true)) << result.dump();
    EXPECT_EQ(result.value("rejection", "").rfind("RING_SHIFT_", 0), 0u) << result.dump();
  } else if (result.value("accepted", false)) {
    EXPECT_LE(host::ringError(*host::fittedHomography(result), shot.camera).visibleMaxPx, 2.5) << result.dump();
  }
}

}  // namespace
}  // namespace tarv
