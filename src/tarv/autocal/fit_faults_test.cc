// The fit's safeguards: mirrored homographies, failures of one candidate, the landmark
// ellipse, the pixel keys across the calibrate downscale and a refinement that stops early.
#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "host/calibration_check.h"
#include "scene/scene.h"
#include "tarv/autocal/board_fit.h"
#include "tarv/autocal/ring_edges.h"
#include "tarv/autocal/wire_lines.h"
#include "tarv/autocal/fit_test_support.h"
#include "tarv/tarv.h"

namespace tarv {
namespace {

namespace sc = tarv::scene;
using namespace fit_test;
constexpr double kPi = 3.14159265358979323846;

const Shot& board720() {
  static const Shot shot = renderBoard(view({960, 720}, 35.0, 130.0));
  return shot;
}

cv::Point2d mapped(const cv::Matx33d& h, cv::Point2d p) {
  const cv::Vec3d q = h * cv::Vec3d(p.x, p.y, 1.0);
  return {q[0] / q[2], q[1] / q[2]};
}

cv::Point2d jsonPoint(const json& p) { return {p.at(0).get<double>(), p.at(1).get<double>()}; }

json ringLandmarks(const sc::Camera& camera) {
  json points = json::array();
  for (int i = 0; i < 20; ++i) {
    const double a = (-81.0 + 18.0 * i) * kPi / 180.0;
    points.push_back(pointJson(camera.project(cv::Point2d(170.0 * std::cos(a), 170.0 * std::sin(a)))));
  }
  return points;
}

json clickOn20(const sc::Camera& camera) { return pointJson(host::twentyClick(camera)); }

bool hasErrorStartingWith(const json& result, const std::string& prefix) {
  for (const json& e : result["report"].value("initial_errors", json::array())) {
    if (e.get<std::string>().rfind(prefix, 0) == 0) return true;
  }
  return false;
}

// Rings and wires look the same mirrored about the 20-3 axis, so a mirrored marker homography
// refines into a perfect fit that scores the 1 as a 5.
TEST(FitFaults, AMirroredMarkerHomographyIsRefused) {
  const Shot& shot = board720();
  const cv::Matx33d mirrored = shot.camera.boardToImage() * cv::Matx33d(-1, 0, 0, 0, 1, 0, 0, 0, 1);
  EXPECT_EQ(fitBoardGeometry(shot.frame, {{"initial", matrixJson(mirrored)}}),
            json({{"accepted", false}, {"error", "MIRRORED_HOMOGRAPHY"}}));
  // The same homography unmirrored, a little off, is refined onto the board.
  const cv::Matx33d off = cv::Matx33d(1, 0, 2.5, 0, 1, -2.0, 0, 0, 1) * shot.camera.boardToImage();
  const json result = fitBoardGeometry(shot.frame, {{"initial", matrixJson(off)}});
  EXPECT_TRUE(result["accepted"].get<bool>());
  EXPECT_TRUE(result["refined"].get<bool>());
  EXPECT_EQ(result["orientation_source"], "ML_MARKER_CLASSES");
  EXPECT_LE(host::ringError(*host::fittedHomography(result), shot.camera).maxPx, 2.5);
}

TEST(FitFaults, OnlyAnUnmirroredWirePairingIsChosen) {
  const Homography upright{2, 0, 400, 0, 2, 300, 0, 0, 1};
  const Homography mirrored{-2, 0, 400, 0, 2, 300, 0, 0, 1};
  // The mirrored pairing fits better, yet a board seen from the front is never mirrored.
  const WireAssignment chosen = chooseWireAssignment({{0.1, 105, mirrored}, {0.8, 3, upright}, {0.9, 4, upright}});
  EXPECT_EQ(chosen.index, 3);
  try {
    chooseWireAssignment({{0.1, 105, mirrored}, {0.2, 106, mirrored}});
    FAIL() << "a mirrored pairing was chosen";
  } catch (const CalibrationError& e) {
    EXPECT_STREQ(e.what(), "MIRRORED_HOMOGRAPHY");
  }
}

// A landmark on the board's horizon cannot be mapped onto the board ("Projection at
// infinity"). That is a failure of the candidate that met it, listed under its fit like the
// others, not an exception that throws the whole fit and its error list away.
TEST(FitFaults, AProjectionFailureIsACandidateFailure) {
  const Shot& shot = board720();
  json landmarks = json::array();
  const json first = fitBoardGeometry(shot.frame, {{"click_px", clickOn20(shot.camera)}});
  ASSERT_TRUE(first["accepted"].get<bool>());
  // The horizon of the fitted board: image points whose board coordinates have w = 0.
  const cv::Matx33d inverse = host::fittedHomography(first)->inv();
  const double x = 480.0, y = -(inverse(2, 0) * x + inverse(2, 2)) / inverse(2, 1);
  landmarks.push_back({x, y});
  const json result = fitBoardGeometry(shot.frame, {{"landmarks", landmarks}, {"click_px", clickOn20(shot.camera)}});
  EXPECT_FALSE(result["accepted"].get<bool>());
  const std::string error = result.value("error", "");
  EXPECT_NE(error.find("RING_ELLIPSE: Projection at infinity"), std::string::npos) << result.dump();
  EXPECT_NE(error.find("ILLUMINATED_BEDS: "), std::string::npos) << result.dump();
}

// The landmark ellipse sets the wire search's vote threshold; a tiny one would let every
// edge vote. It is checked like the colour ellipses and fails on its own.
TEST(FitFaults, TheLandmarkEllipseIsCheckedAndCaught) {
  const Shot& shot = board720();
  json cluster = json::array();
  for (int i = 0; i < 6; ++i) {
    const double a = 2.0 * kPi * i / 6.0;
    cluster.push_back({480.0 + 12.0 * std::cos(a), 360.0 + 7.0 * std::sin(a)});
  }
  const json small = fitBoardGeometry(shot.frame, {{"landmarks", cluster}, {"click_px", clickOn20(shot.camera)}});
  EXPECT_TRUE(hasErrorStartingWith(small, "ML_LANDMARK_ELLIPSE: IMPLAUSIBLE_ELLIPSE")) << small["report"].dump();
  EXPECT_FALSE(small["report"]["initial_candidates"].contains("ML_LANDMARK_ELLIPSE_120"));

  json line = json::array();
  for (int i = 0; i < 6; ++i) line.push_back({100.0 + 50.0 * i, 200.0 + 20.0 * i});
  const json collinear = fitBoardGeometry(shot.frame, {{"landmarks", line}, {"click_px", clickOn20(shot.camera)}});
  EXPECT_TRUE(hasErrorStartingWith(collinear, "ML_LANDMARK_ELLIPSE: ")) << collinear["report"].dump();
  EXPECT_TRUE(collinear.contains("board_to_image"));

  // Landmarks on the ring give candidates of their own and a small median.
  const json good = fitBoardGeometry(shot.frame, {{"landmarks", ringLandmarks(shot.camera)},
                                                  {"click_px", clickOn20(shot.camera)}});
  EXPECT_TRUE(good["accepted"].get<bool>());
  EXPECT_TRUE(good["report"]["initial_candidates"].contains("ML_LANDMARK_ELLIPSE_120"));
  EXPECT_LT(good["report"]["landmarks"]["median_mm"].get<double>(), 1.0);
}

// A host speaks in pixels of its full image; the fit works on the image reduced to 720 rows.
TEST(FitFaults, PixelKeysAreMappedBothWaysAcrossTheDownscale) {
  const Shot shot = renderBoard(view({1920, 1080}, 30.0, 300.0));
  void* engine = tarv_create();
  const auto call = [engine](const json& request) { return json::parse(tarv_call(engine, request.dump().c_str())); };
  json request = host::calibrateRequest(shot.frame);
  request["click_px"] = clickOn20(shot.camera);
  request["landmarks"] = ringLandmarks(shot.camera);
  const json colour = call(request);
  EXPECT_DOUBLE_EQ(colour["working_scale"].get<double>(), 720.0 / 1080.0);
  ASSERT_TRUE(colour["accepted"].get<bool>()) << colour.dump();
  EXPECT_LT(colour["report"]["landmarks"]["median_mm"].get<double>(), 1.0);
  EXPECT_LE(host::ringError(*host::fittedHomography(colour), shot.camera).maxPx, 2.5);
  const cv::Matx33d truth = shot.camera.boardToImage();
  const cv::Point2d bull = mapped(truth, {0.0, 0.0});
  EXPECT_LT(cv::norm(jsonPoint(colour["bull_px"]) - bull), 1.0);
  EXPECT_LT(cv::norm(jsonPoint(colour["initial"]["bull_px"]) - bull), 2.0);
  const double first = -81.0 * kPi / 180.0;
  EXPECT_LT(cv::norm(jsonPoint(colour["points_px"][0]) -
                     mapped(truth, {170.0 * std::cos(first), 170.0 * std::sin(first)})), 2.5);
  // The outer ellipse is the double ring's outline in the full image.
  std::vector<cv::Point2f> ring;
  for (int i = 0; i < 72; ++i) {
    const double a = 5.0 * i * kPi / 180.0;
    ring.emplace_back(mapped(truth, {170.0 * std::cos(a), 170.0 * std::sin(a)}));
  }
  const cv::RotatedRect outline = cv::fitEllipse(ring);
  EXPECT_LT(cv::norm(jsonPoint(colour["ellipse"]["center"]) - cv::Point2d(outline.center)), 3.0);
  EXPECT_NEAR(colour["ellipse"]["axes"][0].get<double>() + colour["ellipse"]["axes"][1].get<double>(),
              outline.size.width + outline.size.height, 8.0);
  // Not yet turned to the 20, but on the board.
  const cv::Matx33d initial = *host::fittedHomography({{"board_to_image", colour["initial_board_to_image"]}});
  EXPECT_LT(cv::norm(mapped(initial, {0.0, 0.0}) - bull), 2.0);

  // A prior and a marker homography of the full image.
  const json prior = call({{"command", "calibrate"}, {"images", request["images"]}, {"prior", matrixJson(truth)}});
  ASSERT_TRUE(prior["accepted"].get<bool>()) << prior.dump();
  EXPECT_EQ(prior["orientation_source"], "PRIOR_CALIBRATION");
  EXPECT_LE(host::ringError(*host::fittedHomography(prior), shot.camera).maxPx, 2.5);
  const cv::Matx33d off = cv::Matx33d(1, 0, 3.0, 0, 1, 2.0, 0, 0, 1) * truth;
  const json markers = call({{"command", "calibrate"}, {"images", request["images"]}, {"initial", matrixJson(off)}});
  ASSERT_TRUE(markers["refined"].get<bool>()) << markers.dump();
  EXPECT_LT(markers["report"]["refinement_shift_px"].get<double>(), 5.0);  // reduced pixels, 3.6 px off
  EXPECT_LE(host::ringError(*host::fittedHomography(markers), shot.camera).maxPx, 2.5);
  tarv_destroy(engine);
}

Homography homographyOf(const cv::Matx33d& m) {
  Homography h{};
  for (int i = 0; i < 9; ++i) h[static_cast<size_t>(i)] = m.val[i];
  return h;
}

cv::Mat greyOf(const cv::Mat& bgr) {
  cv::Mat grey;
  cv::cvtColor(bgr, grey, cv::COLOR_BGR2GRAY);
  return grey;
}

// A RANSAC estimate that fails after the first iteration leaves the first iteration's
// homography, judged on the edges it found itself; one that fails at once fails the fit.
TEST(FitFaults, ARefinementStoppedLateKeepsTheEarlierIteration) {
  const Shot& shot = board720();
  const cv::Mat grey = greyOf(shot.frame);
  const Homography start = homographyOf(cv::Matx33d(1, 0, 1.5, 0, 1, -1.0, 0, 0, 1) * shot.camera.boardToImage());
  int calls = 0;
  const HomographyEstimator failingSecond = [&calls](const auto& board, const auto& image, int method, double threshold,
                                                     std::vector<uchar>* mask) {
    if (++calls == 2) throw CalibrationError("DEGENERATE_INITIAL_HOMOGRAPHY");
    return estimateHomography(board, image, method, threshold, mask);
  };
  json report;
  const Homography kept = refineByRingEdges(grey, start, report, failingSecond);
  EXPECT_EQ(report["iteration"], 1);
  EXPECT_EQ(report["refinement_stopped"], "REFINEMENT_FAILED");
  EXPECT_TRUE(isFitAcceptable(report)) << report.dump();
  cv::Matx33d h;
  for (int i = 0; i < 9; ++i) h.val[i] = kept[static_cast<size_t>(i)];
  EXPECT_LE(host::ringError(h, shot.camera).maxPx, 1.5);

  calls = 1;  // the first estimate fails
  EXPECT_THROW(
      {
        try {
          refineByRingEdges(grey, start, report, failingSecond);
        } catch (const CalibrationError& e) {
          EXPECT_STREQ(e.what(), "REFINEMENT_FAILED");
          throw;
        }
      },
      CalibrationError);

  // An iteration whose homography loses the board's edges fails the refinement: the
  // earlier statistics do not speak for it.
  calls = 0;
  const HomographyEstimator losing = [&calls](const auto&, const auto&, int, double, std::vector<uchar>* mask) {
    ++calls;
    mask->assign(660, 1);
    return Homography{1, 0, 5000, 0, 1, 5000, 0, 0, 1};
  };
  EXPECT_THROW(refineByRingEdges(grey, start, report, losing), CalibrationError);
  EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace tarv
