#include "tarv/autocal/board_fit.h"

#include <cmath>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "host/calibration_check.h"
#include "scene/scene.h"
#include "tarv/autocal/fit_test_support.h"
#include "tarv/tarv.h"

namespace tarv {
namespace {

namespace sc = tarv::scene;
using namespace fit_test;
constexpr double kPi = 3.14159265358979323846;

// A host's calibrate call on a fresh engine.
json calibrate(const json& request) {
  void* engine = tarv_create();
  const json reply = json::parse(tarv_call(engine, request.dump().c_str()));
  tarv_destroy(engine);
  return reply;
}

host::RingError errorOf(const json& result, const sc::Camera& camera) {
  const auto h = host::fittedHomography(result);
  if (!h) {
    ADD_FAILURE() << "no homography: " << result.dump();
    return {1e9, 1e9, 1e9};
  }
  return host::ringError(*h, camera);
}

void expectOnBoard(const json& result, const sc::Camera& camera, const std::string& what) {
  ASSERT_TRUE(result.value("accepted", false)) << what << ": " << result.dump();
  const host::RingError e = errorOf(result, camera);
  EXPECT_LE(e.meanPx, 1.0) << what;
  EXPECT_LE(e.maxPx, 2.5) << what;
  EXPECT_LE(e.bullPx, 1.0) << what;
}

TEST(BoardFit, RenderedBoardsWithAClickOnTwentyPutTheRingWithinAPixel) {
  struct Condition {
    const char* name;
    sc::Imaging imaging;
  };
  std::vector<Condition> conditions(4);
  conditions[0] = {"noise", {}};
  conditions[0].imaging.noise_sigma = 3.0;
  conditions[1] = {"noise_blur", {}};
  conditions[1].imaging.noise_sigma = 3.0;
  conditions[1].imaging.blur_sigma = 1.0;
  conditions[2] = {"gain_0.6", {}};
  conditions[2].imaging.gain = 0.6;
  conditions[3] = {"gain_1.3", {}};
  conditions[3].imaging.gain = 1.3;
  int n = 0;
  for (const cv::Size size : {cv::Size(960, 720), cv::Size(1920, 1080)}) {
    for (const double elevation : {0.0, 30.0, 55.0}) {
      for (int k = 0; k < 2; ++k) {
        const Condition& c = conditions[static_cast<size_t>(n++ % 4)];
        const Shot shot = renderBoard(view(size, elevation, 40.0 + 67.0 * n), c.imaging);
        const json reply = calibrate(host::calibrateRequest(shot.frame, host::twentyClick(shot.camera)));
        const std::string what = std::to_string(size.width) + " at " + std::to_string(elevation) + " " + c.name;
        expectOnBoard(reply, shot.camera, what);
        EXPECT_EQ(reply.value("orientation_source", ""), "USER_CLICK_ON_20") << what;
        EXPECT_EQ(reply.contains("working_scale"), size.height > 720) << what;
      }
    }
  }
}

TEST(BoardFit, APriorCalibrationTurnsTheFit) {
  const Shot shot = renderBoard(view({960, 720}, 35.0, 250.0));
  const json result = fitBoardGeometry(shot.frame, {{"prior", matrixJson(shot.camera.boardToImage())}});
  expectOnBoard(result, shot.camera, "prior");
  EXPECT_EQ(result["orientation_source"], "PRIOR_CALIBRATION");
}

TEST(BoardFit, APriorFromACameraTurnedSinceIsRefused) {
  // The prior is the calibration of the same camera before it was turned about its axis.
  sc::CameraSpec before = view({960, 720}, 35.0, 250.0);
  const cv::Matx33d prior = sc::Camera(before).boardToImage();
  sc::CameraSpec turned = before;
  turned.roll_deg = 2.0;
  const Shot slightly = renderBoard(turned);
  expectOnBoard(fitBoardGeometry(slightly.frame, {{"prior", matrixJson(prior)}}), slightly.camera, "2 degrees");
  // 12 degrees: the nearest sector turn is the wrong one; no turn is right any more.
  turned.roll_deg = 12.0;
  const Shot far = renderBoard(turned);
  EXPECT_EQ(fitBoardGeometry(far.frame, {{"prior", matrixJson(prior)}}),
            json({{"accepted", false}, {"error", "PRIOR_CALIBRATION_DOES_NOT_MATCH"}}));
}

TEST(BoardFit, WithoutClickOrPriorTheOrientationIsUnknown) {
  const Shot shot = renderBoard(view({960, 720}, 20.0, 100.0));
  // A click with three elements is no click.
  EXPECT_EQ(fitBoardGeometry(shot.frame, {{"click_px", {1, 2, 3}}}),
            json({{"accepted", false}, {"error", "ORIENTATION_UNKNOWN: tap on sector 20 or a prior calibration required"}}));
}

TEST(BoardFit, AClickOutsideSectorTwentyOrOffTheBoardIsRefused) {
  const Shot shot = renderBoard(view({960, 720}, 20.0, 100.0));
  const auto fit = [&](cv::Point2d board) {
    return fitBoardGeometry(shot.frame, {{"click_px", pointJson(shot.camera.project(board))}}).value("error", "");
  };
  EXPECT_EQ(fit({0.0, -210.0}), "CLICK_OUTSIDE_BOARD");
  // Just inside sector 20 beside its wire, 8.5 degrees from its middle.
  const double a = (-90.0 + 9.0 + 0.5) * kPi / 180.0;
  EXPECT_EQ(fit({120.0 * std::cos(a), 120.0 * std::sin(a)}), "");
}

TEST(BoardFit, AUniformGreyImageHasNoColouredBeds) {
  const cv::Mat grey(720, 960, CV_8UC3, cv::Scalar(128, 128, 128));
  const json expected = {{"accepted", false}, {"error", "RING_ELLIPSE: NO_COLOURED_BEDS; ILLUMINATED_BEDS: NO_COLOURED_BEDS"}};
  EXPECT_EQ(fitBoardGeometry(grey, {{"click_px", {480, 200}}}), expected);
  json reply = calibrate(host::calibrateRequest(grey));
  reply.erase("searchAudit");
  EXPECT_EQ(reply, expected);
}

TEST(BoardFit, AcceptanceRule) {
  const auto report = [](double rms, double inliers, int octants) {
    return json{{"rms_px", rms}, {"inlier_fraction", inliers}, {"octants", octants}};
  };
  EXPECT_TRUE(isFitAcceptable(report(1.5, 0.5, 6)));
  EXPECT_FALSE(isFitAcceptable(report(1.5000001, 0.9, 8)));
  EXPECT_FALSE(isFitAcceptable(report(0.2, 0.9, 5)));
  EXPECT_FALSE(isFitAcceptable(report(0.2, 0.3999, 8)));
  EXPECT_TRUE(isFitAcceptable(report(1.0, 0.4, 8)));   // between 0.4 and 0.5 only when tight...
  EXPECT_FALSE(isFitAcceptable(report(1.01, 0.45, 8)));
  EXPECT_FALSE(isFitAcceptable(report(0.5, 0.45, 7)));  // ...and all round
  EXPECT_FALSE(isFitAcceptable(json::object()));         // defaults: rms 9, no octants
  EXPECT_FALSE(isFitAcceptable(json{{"rms_px", 0.5}, {"inlier_fraction", 0.9}}));
}

// Harder boards than the clean ones: a fit may fail, but it must say so; an accepted fit
// must lie on the board.
TEST(BoardFit, HarderBoardsAreFittedOrRefusedNeverWrong) {
  struct Case {
    const char* name = "";
    sc::CameraSpec cameraSpec;
    sc::Imaging imaging;
    std::optional<sc::BoardLook> look;
    const char* refusal = "";  // the start of the expected error or rejection, when it must fail
    bool byPrior = false;      // turned by the camera's own calibration instead of a click
  };
  std::vector<Case> cases;
  const auto add = [&cases](const char* name, const sc::CameraSpec& cameraSpec) -> Case& {
    Case c;
    c.name = name;
    c.cameraSpec = cameraSpec;
    cases.push_back(c);
    return cases.back();
  };
  add("faded", view({960, 720}, 30.0, 140.0));
  cases.back().imaging.fade = 0.6;
  add("very_faded", view({960, 720}, 30.0, 140.0));
  cases.back().imaging.fade = 0.9;
  cases.back().refusal = "RING_ELLIPSE: NO_COLOURED_BEDS";
  add("glare", view({960, 720}, 30.0, 200.0));
  cases.back().imaging.glare = sc::Glare{{560.0, 300.0}, 50.0, 180.0};
  add("wire_shadows", view({960, 720}, 40.0, 300.0)).look = sc::BoardLook{1.5};
  add("other_numbers", view({960, 720}, 25.0, 100.0)).look = sc::BoardLook{0.0, cv::FONT_HERSHEY_TRIPLEX, 19.0, 3.0};
  add("off_centre", view({960, 720}, 30.0, 60.0));
  cases.back().cameraSpec.aim_mm = cv::Point2d(-60.0, 40.0);
  add("cut_by_the_edge", view({960, 720}, 30.0, 60.0));
  cases.back().cameraSpec.aim_mm = cv::Point2d(-120.0, 0.0);
  cases.back().cameraSpec.board_fill = 1.3;
  add("most_outside", view({960, 720}, 30.0, 60.0));
  cases.back().cameraSpec.aim_mm = cv::Point2d(-140.0, -47.0);
  cases.back().cameraSpec.board_fill = 2.0;
  // The double ring mostly outside: the beds' outline is the treble ring, and the fit puts
  // the double ring on it, a board 1.6 times too small.
  add("treble_as_double", view({960, 720}, 30.0, 60.0));
  cases.back().cameraSpec.aim_mm = cv::Point2d(-170.0, -57.0);
  cases.back().cameraSpec.board_fill = 1.5;
  cases.back().refusal = "RING_EDGES_NOT_FOLLOWED";
  cases.back().byPrior = true;
  add("lens_barrel", view({960, 720}, 35.0, 20.0));
  cases.back().cameraSpec.k1 = -0.08;
  add("lens_strong", view({960, 720}, 35.0, 20.0));
  cases.back().cameraSpec.k1 = -0.25;
  cases.back().refusal = "RING_EDGES_NOT_FOLLOWED";
  for (const Case& c : cases) {
    const Shot shot = c.look ? renderBoard(c.cameraSpec, c.imaging, sc::renderBoardTexture(0.5, sc::kBoardRadius + 10.0, *c.look))
                             : renderBoard(c.cameraSpec, c.imaging);
    const json request = c.byPrior ? json{{"prior", matrixJson(shot.camera.boardToImage())}}
                                   : json{{"click_px", pointJson(host::twentyClick(shot.camera))}};
    const json result = fitBoardGeometry(shot.frame, request);
    if (!result.value("accepted", false)) {
      const std::string why = result.value("error", result.value("rejection", ""));
      EXPECT_FALSE(why.empty()) << c.name;
      EXPECT_EQ(why.rfind(c.refusal, 0), 0u) << c.name << ": " << why;
      std::printf("%-16s refused: %s\n", c.name, why.c_str());
      continue;
    }
    EXPECT_STREQ(c.refusal, "") << c.name << " was accepted";
    const host::RingError e = errorOf(result, shot.camera);
    std::printf("%-16s mean %.2f max %.2f (in the image %.2f) bull %.2f px\n", c.name, e.meanPx, e.maxPx,
                e.visibleMaxPx, e.bullPx);
    EXPECT_LE(e.visibleMaxPx, 2.5) << c.name;
    EXPECT_LE(e.bullPx, 1.0) << c.name;
  }
}

}  // namespace
}  // namespace tarv
