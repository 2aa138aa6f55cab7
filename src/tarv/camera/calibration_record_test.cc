#include "tarv/camera/calibration_record.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "scene/scene.h"
#include "tarv/autocal/landmark_test_scene.h"
#include "tarv/autocal/onnx_test_model.h"
#include "tarv/autocal/vision_report.h"
#include "tarv/camera/board_fit_record.h"
#include "tarv/camera/calibration_test_fixture.h"
#include "tarv/camera/camera_model.h"
#include "tarv/core/engine_values.h"

namespace tarv {
namespace {

using testing::errorOf;
using testing::distance;
using testing::automaticRecord;
using testing::landmarkCamera;
using testing::truthPixel;

// The record's 170 mm ring where its wires meet it, against where the camera sees it (in an
// image cut from the camera's at `origin`).
void expectRimWithin(const CalibrationRecord& record, const scene::Camera& camera, double px, Point2 origin = {0.0, 0.0}) {
  for (int i = 0; i < 20; ++i) {
    const double a = (9.0 + 18.0 * i) * 3.14159265358979323846 / 180.0;
    const Point2 p{170.0 * std::cos(a), 170.0 * std::sin(a)};
    const Point2 seen = truthPixel(camera, p.x, p.y);
    EXPECT_LT(distance(boardToImage(record, p.x, p.y), {seen.x - origin.x, seen.y - origin.y}), px) << i;
  }
}

// The board fit road alone (no landmark camera) on the camera's image, cut from it at `origin`,
// then the click on the true 20: confirmed by its edges, accepted, its rim within 1 px.
void expectBoardFitAccepted(const cv::Mat& image, const scene::Camera& camera, Point2 origin = {0.0, 0.0}) {
  LandmarkSolution noCamera;
  noCamera.width = image.cols;
  noCamera.height = image.rows;
  json report;
  const LandmarkSolution fit = solveByBoardFit(image, noCamera, report);
  ASSERT_TRUE(fit.ok) << report.dump();
  EXPECT_TRUE(fit.edgesConfirm) << report.dump();
  const CalibrationRecord r = recordFromSolution(fit, fit.twentySure ? "BOARD_FIT_NUMBERS" : "BED_COLOURS_ONLY", "BOARD_FIT_CAMERA_SOLVE");
  const Point2 twenty = truthPixel(camera, 5.0, -120.0);
  const CalibrationRecord turned = confirmTwentyClick(r, {twenty.x - origin.x, twenty.y - origin.y});
  EXPECT_TRUE(turned["accepted"]) << report.dump();
  expectRimWithin(turned, camera, 1.0, origin);
}

TEST(AutomaticCalibration, RecordOfTheRenderedCameraIsAcceptedInTheEngineFrame) {
  const CalibrationRecord& r = automaticRecord();
  const scene::Camera& camera = landmarkCamera().camera;
  EXPECT_TRUE(r["geometry_valid"]);
  EXPECT_TRUE(r["accepted"]);
  EXPECT_EQ(r["method"], "LANDMARK_CAMERA_SOLVE");
  EXPECT_EQ(r["orientation_source"], "LANDMARK_NUMBERS");
  ASSERT_TRUE(r["camera_model"].is_object());
  EXPECT_EQ(r["camera_model"]["ampel"], "gruen");
  // Engine frame: the 20 at negative y, the 3 at positive y, the 6 at positive x.
  for (Point2 p : {Point2{0, -132}, Point2{0, 132}, Point2{150, 0}, Point2{-100, 100}}) {
    EXPECT_LT(distance(boardToImage(r, p.x, p.y), truthPixel(camera, p.x, p.y)), 0.6) << p.x << "," << p.y;
    const cv::Point2d ideal = camera.undistortPixel(camera.project(cv::Point2d(p.x, p.y)));
    EXPECT_LT(distance(applyHomography(matrix3x3FromJson(r["board_to_image"]), p), {ideal.x, ideal.y}), 0.6);
  }
  EXPECT_LT(distance(pointFromJson(r["twenty_px"]), truthPixel(camera, 0, -132)), 0.6);
  const Point2 back = imageToBoard(r, truthPixel(camera, 40, -60));
  EXPECT_NEAR(back.x, 40.0, 0.3);
  EXPECT_NEAR(back.y, -60.0, 0.3);
}

TEST(AutomaticCalibration, StoredHomographyIsExactlyThatOfTheStoredModelAfterATextRoundTrip) {
  // What the runtime's start does with a saved calibration: parse the stored model and
  // compare its plane homography with the stored matrix, element by element, to 1e-5.
  const json saved = json::parse(automaticRecord().dump());
  ASSERT_TRUE(saved["camera_model"].is_object());
  const Homography derived = planeHomographyFromPose(parseCameraModel(saved["camera_model"]));
  const Homography stored = matrix3x3FromJson(saved["board_to_image"]);
  for (int i = 0; i < 9; ++i) EXPECT_EQ(derived[i], stored[i]) << i;
}

TEST(AutomaticCalibration, NothingDetectedIsARecordWithoutGeometry) {
  std::unique_ptr<LandmarkModel> holder =
      std::make_unique<LandmarkModel>(testing::constantModel({1, 26, 3}, std::vector<float>(78, 0.0f)));
  const CalibrationRecord r = calibrateFromImage(holder, "", cv::Mat(640, 640, CV_8UC3, cv::Scalar::all(0)));
  EXPECT_FALSE(r["geometry_valid"]);
  EXPECT_FALSE(r["accepted"]);
  EXPECT_TRUE(r["board_to_image"].is_null());
  EXPECT_TRUE(r["twenty_px"].is_null());
  EXPECT_EQ(r["camera_model"]["ok"], false);
  EXPECT_EQ(r["camera_model"]["grund"], "zu wenige Kreuzungen oder kein Bull");
  EXPECT_FALSE(r["camera_model"].contains("K"));
}

// Where the landmark network finds nothing, the board fit finds the board on the same image and
// the edges confirm its camera: the record names that road and lies on the true rings.
TEST(AutomaticCalibration, WithoutLandmarksTheBoardFitRoadGivesTheCamera) {
  std::unique_ptr<LandmarkModel> holder =
      std::make_unique<LandmarkModel>(testing::constantModel({1, 26, 3}, std::vector<float>(78, 0.0f)));
  const scene::Camera& camera = landmarkCamera().camera;
  const CalibrationRecord r = calibrateFromImage(holder, "", landmarkCamera().image);
  ASSERT_TRUE(r["geometry_valid"]) << r.dump().substr(0, 1500);
  EXPECT_EQ(r["method"], "BOARD_FIT_CAMERA_SOLVE");
  EXPECT_EQ(r["report"]["landmarks"]["rule"], "NO_CAMERA_SOLVED");
  EXPECT_TRUE(r["report"]["board_fit"]["edges_confirm"]) << r["report"].dump();
  // The geometry whatever the orientation: the 170 mm ring's points where the camera sees some
  // point of that ring. Without a lens from the landmarks the edges fit k1 with the focal
  // length and the pose on one view; the ring then lies within the edges' agreement distance.
  for (int i = 0; i < 20; ++i) {
    const double a = (9.0 + 18.0 * i) * 3.14159265358979323846 / 180.0;
    const Point2 p = boardToImage(r, 170.0 * std::cos(a), 170.0 * std::sin(a));
    double nearest = 1e9;
    for (int k = 0; k < 20; ++k) {
      const double b = (9.0 + 18.0 * k) * 3.14159265358979323846 / 180.0;
      nearest = std::min(nearest, distance(p, truthPixel(camera, 170.0 * std::cos(b), 170.0 * std::sin(b))));
    }
    EXPECT_LT(nearest, 1.5) << i;
  }
  // With the click on the true 20 it is accepted and oriented.
  const CalibrationRecord turned = confirmTwentyClick(r, truthPixel(camera, 5.0, -120.0));
  EXPECT_TRUE(turned["accepted"]);
  EXPECT_EQ(turned["method"], "BOARD_FIT_CAMERA_SOLVE");
  EXPECT_LT(distance(boardToImage(turned, 150, 0), truthPixel(camera, 150, 0)), 1.5);
}

// A landmark camera its own edges do not confirm may be sure of a wrong 20 (the network's
// number votes cast through a camera pixels off): the board fit road must not take its turn.
TEST(AutomaticCalibration, TheBoardFitDoesNotTakeTheTwentyOfALandmarkCameraItsEdgesRefuse) {
  const CalibrationRecord& r = automaticRecord(false);
  const scene::Camera& camera = landmarkCamera(false).camera;
  ASSERT_TRUE(r["camera_model"].is_object());
  LandmarkSolution landmark = solutionFromCameraModel(parseCameraModel(r["camera_model"]), r["camera_model"]);
  CameraEstimate turned = cameraFromSolution(landmark);
  rotateBySectors(turned, 2);
  landmark.rvec = turned.rvec;
  landmark.twentySure = true;
  landmark.edgesConfirm = false;
  landmark.grade = 2;
  json report;
  const LandmarkSolution fit = solveByBoardFit(landmarkCamera(false).image, landmark, report);
  ASSERT_TRUE(fit.ok) << report.dump();
  EXPECT_FALSE(report.value("orientation_from_landmarks", false)) << report.dump();
  if (fit.twentySure) {
    const cv::Point2d twenty = projectSolutionPoint(fit, {0.0, 132.0});
    EXPECT_LT(distance({twenty.x, twenty.y}, truthPixel(camera, 0.0, -132.0)), 2.0) << report.dump();
  }
}

// A landmark camera that is wrong, lens and plane (as a network's crossings on a rig it never
// saw can give, red): the board fit on the image rectified with that lens and started from
// that plane finds no camera its edges confirm. The fit on the image as taken, as the engine's
// "calibrate" runs it, finds the true camera; its edges confirm it, a click on the 20 orients
// it, and the record is accepted.
TEST(AutomaticCalibration, AWrongLandmarkCameraLeavesTheFitOnTheImageAsTaken) {
  scene::CameraSpec wrongSpec = testing::landmarkTestCameraSpec();
  wrongSpec.k1 = -0.6;
  wrongSpec.azimuth_deg = 200.0;
  const json wrongModel = testing::truthReport(scene::Camera(wrongSpec));
  LandmarkSolution landmark = solutionFromCameraModel(parseCameraModel(wrongModel), wrongModel);
  landmark.ok = true;
  landmark.grade = 2;
  landmark.twentySure = false;
  landmark.edgesConfirm = false;
  const scene::Camera& camera = landmarkCamera().camera;
  json report;
  const LandmarkSolution fit = solveByBoardFit(landmarkCamera().image, landmark, report);
  ASSERT_TRUE(fit.ok) << report.dump();
  EXPECT_TRUE(fit.edgesConfirm) << report.dump();
  EXPECT_EQ(report["start"], "AS_TAKEN") << report.dump();
  EXPECT_EQ(report["other_start"]["edges_confirm"], false) << report.dump();
  const CalibrationRecord r = recordFromSolution(fit, fit.twentySure ? "BOARD_FIT_NUMBERS" : "BED_COLOURS_ONLY", "BOARD_FIT_CAMERA_SOLVE");
  const CalibrationRecord turned = confirmTwentyClick(r, truthPixel(camera, 5.0, -120.0));
  EXPECT_TRUE(turned["accepted"]);
  EXPECT_EQ(turned["orientation_source"], "USER_CLICK_20");
  expectRimWithin(turned, camera, 1.5);
}

// Boards whose treble and double beds are 10 mm wide (the renderer's), seen 53 to 55 degrees
// off the normal at 1920x1080: the engine's "calibrate" fits them within half a pixel, while the
// edge judgement, which models 8 mm beds, does not confirm that fit. Setting up through the
// runtime takes what the engine takes from the same image, where it lies.
TEST(AutomaticCalibration, AFitTheEnginesCalibrateAcceptsIsNotRefused) {
  struct Board {
    double elevation, azimuth, noise, blur, gain;
    uint64_t seed;
  };
  for (const Board& b : {Board{52.57, 178.56, 3.0, 1.156, 1.0, 14463295288286391896ULL},
                         Board{54.87, 9.02, 2.0, 0.0, 1.3, 576146374130987773ULL}}) {
    scene::CameraSpec cameraSpec;
    cameraSpec.image_size = {1920, 1080};
    cameraSpec.elevation_deg = b.elevation;
    cameraSpec.azimuth_deg = b.azimuth;
    scene::Scene shot;
    shot.imaging.noise_sigma = b.noise;
    shot.imaging.blur_sigma = b.blur;
    shot.imaging.gain = b.gain;
    shot.imaging.noise_seed = b.seed;
    const scene::Renderer renderer({cameraSpec}, 2);
    const cv::Mat image = renderer.render(shot).frames[0];
    const scene::Camera& camera = renderer.cameras()[0];
    expectBoardFitAccepted(image, camera);
  }
}

// An image cut from a larger one (a webcam's window of its sensor, a cropped photograph) has
// its optical centre away from its middle, here 60 px left and 50 px down. A camera held to the
// middle lies 1.5 px off the fit's homography at the rim and its edges contradict it: the fit
// the engine takes from this image must be recorded by a camera whose optical centre moves.
TEST(AutomaticCalibration, AFitOnAnImageCutOffItsOpticalCentreIsRecordedWhereItLies) {
  scene::CameraSpec cameraSpec;
  cameraSpec.image_size = {1040, 760};
  cameraSpec.board_fill = 0.7;
  cameraSpec.elevation_deg = 40.0;
  cameraSpec.azimuth_deg = 210.0;
  const scene::Renderer renderer({cameraSpec}, 2);
  const Point2 origin{180.0, 30.0};
  const cv::Mat image = renderer.render(scene::Scene{}).frames[0](cv::Rect(180, 30, 800, 600)).clone();
  const scene::Camera& camera = renderer.cameras()[0];
  expectBoardFitAccepted(image, camera, origin);
}

TEST(AutomaticCalibration, ModelIsLoadedOnceAndLoaderErrorsPassOn) {
  std::unique_ptr<LandmarkModel> holder;
  EXPECT_EQ(errorOf([&] { calibrateFromImage(holder, "/no/such/model.tarvm", landmarkCamera().image); }),
            "Modell nicht gefunden: /no/such/model.tarvm");
  EXPECT_FALSE(holder);
  EXPECT_EQ(errorOf([&] { calibrateFromImage(holder, "", cv::Mat(10, 10, CV_8UC1)); }), "INVALID_CALIBRATION_IMAGE");
  calibrateFromImage(holder, testing::landmarkModelFile(), landmarkCamera().image);
  ASSERT_TRUE(holder);
  const LandmarkModel* loaded = holder.get();
  EXPECT_TRUE(calibrateFromImage(holder, "/no/such/model.tarvm", landmarkCamera().image)["accepted"]);
  EXPECT_EQ(holder.get(), loaded);
}

// A grey camera's image with the network for images without colour beside a model that finds
// nothing: the runtime's calibration loads both and solves the grey image with the second.
TEST(AutomaticCalibration, AGreyCameraIsCalibratedWithTheNetworkForImagesWithoutColour) {
  const auto folder = std::filesystem::temp_directory_path() / ("tarv-" + std::to_string(::getpid()) + "-grey-camera");
  std::filesystem::create_directories(folder);
  const std::string main = (folder / "tarv_board.tarvm").string();
  const auto write = [](const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  };
  write(main, testing::constantOutputOnnx({1, 26, 1}, std::vector<float>(26, 0.0f)));
  write(colourFreeModelPath(main), landmarkCamera().onnx);
  cv::Mat grey;
  cv::cvtColor(landmarkCamera().image, grey, cv::COLOR_BGR2GRAY);
  cv::cvtColor(grey, grey, cv::COLOR_GRAY2BGR);
  std::unique_ptr<LandmarkModel> holder;
  const CalibrationRecord r = calibrateFromImage(holder, main, grey);
  std::filesystem::remove_all(folder);
  ASSERT_TRUE(r["geometry_valid"]) << r["report"].dump();
  EXPECT_EQ(r["method"], "LANDMARK_CAMERA_SOLVE");
  EXPECT_GE(r["report"]["crossings_matched"].get<int>(), 25);
  const scene::Camera& camera = landmarkCamera().camera;
  for (Point2 p : {Point2{0, -170}, Point2{170, 0}, Point2{-120, 120}}) {
    EXPECT_LT(distance(boardToImage(r, p.x, p.y), truthPixel(camera, p.x, p.y)), 1.0) << p.x << "," << p.y;
  }
}

// The record of the camera without the network's numbers with its 20 left unsure (yellow), as
// a camera whose printed numbers cannot be read is left.
CalibrationRecord unsureRecord() {
  CalibrationRecord r = automaticRecord(false);
  r["camera_model"]["ampel"] = "gelb";
  r["camera_model"]["zwanzig_sicher"] = false;
  r["report"]["grade"] = "gelb";
  r["report"]["twenty_sure"] = false;
  r["orientation_source"] = "BED_COLOURS_ONLY";
  r["accepted"] = false;
  return r;
}

// Without the network's numbers the printed numbers' widths name the 20 of a camera its edges
// confirm; where they cannot, the geometry stands yellow until the 20 is clicked.
TEST(AutomaticCalibration, WithoutNumbersThePrintedNumbersOrTheClickNameTheTwenty) {
  const CalibrationRecord& r = automaticRecord(false);
  const scene::Camera& camera = landmarkCamera(false).camera;
  EXPECT_TRUE(r["geometry_valid"]);
  if (r["accepted"]) {
    EXPECT_EQ(r["orientation_source"], "LANDMARK_NUMBERS");
    EXPECT_LT(distance(pointFromJson(r["twenty_px"]), truthPixel(camera, 0, -132)), 0.6);
  }

  const CalibrationRecord turned = confirmTwentyClick(unsureRecord(), truthPixel(camera, 5.0, -120.0));
  EXPECT_TRUE(turned["accepted"]);
  EXPECT_EQ(turned["orientation_source"], "USER_CLICK_20");
  EXPECT_EQ(turned["camera_model"]["ampel"], "gruen");
  EXPECT_LT(distance(pointFromJson(turned["twenty_px"]), truthPixel(camera, 0, -132)), 0.6);
  EXPECT_LT(distance(boardToImage(turned, 150, 0), truthPixel(camera, 150, 0)), 0.6);
}

TEST(TwentyClick, AClickOnAnotherSectorMakesItTheTwenty) {
  // Not sure of its 20, the record takes the user's click for it.
  const CalibrationRecord r = unsureRecord();
  const scene::Camera& camera = landmarkCamera(false).camera;
  // The 6 lies at +x: clicking it turns the board a quarter clockwise.
  const CalibrationRecord turned = confirmTwentyClick(r, truthPixel(camera, 120.0, 3.0));
  EXPECT_LT(distance(pointFromJson(turned["twenty_px"]), truthPixel(camera, 132, 0)), 0.6);
  // A homography record turns the same way.
  CalibrationRecord plain = r;
  plain["camera_model"] = nullptr;
  plain["method"] = "MANUAL_FOUR_POINTS";
  const CalibrationRecord turnedPlain = confirmTwentyClick(plain, applyHomography(matrix3x3FromJson(r["board_to_image"]), {120, 3}));
  const Point2 expected = applyHomography(matrix3x3FromJson(r["board_to_image"]), {132, 0});
  EXPECT_LT(distance(pointFromJson(turnedPlain["twenty_px"]), expected), 1e-6);
  EXPECT_EQ(turnedPlain["method"], "MANUAL_FOUR_POINTS");
}

// The network's crossings all lie where a board would be, the image's board lies 120 px
// beside them: the crossings alone make a camera (every one matched), whose edges neither
// confirm nor contradict it. It is not accepted, nor by the click on the image's true 20.
TEST(AutomaticCalibration, ACameraItsEdgesDoNotConfirmIsNotAccepted) {
  const testing::ScriptedCamera& cam = landmarkCamera();
  const cv::Point2d offset(120.0, 0.0);
  cv::Mat shifted;
  cv::warpAffine(cam.image, shifted, cv::Matx23d(1, 0, offset.x, 0, 1, offset.y), cam.image.size(), cv::INTER_LINEAR,
                 cv::BORDER_REPLICATE);
  std::unique_ptr<LandmarkModel> holder;
  const CalibrationRecord r = calibrateFromImage(holder, testing::landmarkModelFile(), shifted);
  // The shifted image is also a board seen by a camera whose optical centre lies 120 px right
  // of the image's middle: the board fit may find that camera. The landmark camera the edges
  // refuse (the network's crossings stay where the unshifted image has them) is never taken.
  EXPECT_EQ(r["report"]["landmarks"].value("grade", std::string()), "rot") << r["report"].dump();
  if (r["accepted"]) expectRimWithin(r, cam.camera, 1.5, {-offset.x, -offset.y});
  EXPECT_NE(r["camera_model"].value("ampel", std::string("rot")), "gelb") << r["report"].dump();
  if (!r["geometry_valid"]) return;
  const Point2 twenty = truthPixel(cam.camera, 5.0, -120.0);
  try {
    const CalibrationRecord turned = confirmTwentyClick(r, {twenty.x + offset.x, twenty.y + offset.y});
    if (turned["accepted"]) {
      // Only a camera on the image's own board may be accepted.
      const Point2 truth = truthPixel(cam.camera, 150, 0);
      EXPECT_LT(distance(boardToImage(turned, 150, 0), {truth.x + offset.x, truth.y + offset.y}), 1.5);
    }
  } catch (const std::exception&) {
    // A click the camera places off the board is refused: nothing accepted either.
  }
}

// The click only decides the orientation. A camera its edges confirm may explain fewer of the
// network's detections than a crossings-only grade asks for (a busy board's stray detections);
// the click on its true 20 must not grade it again by that rule.
TEST(TwentyClick, ACorrectClickKeepsAGreenCameraGreen) {
  CalibrationRecord r = automaticRecord();
  const scene::Camera& camera = landmarkCamera().camera;
  r["camera_model"]["kreuzungen_erkannt"] = 4 * r["camera_model"]["kreuzungen_passend"].get<int>();
  const CalibrationRecord turned = confirmTwentyClick(r, truthPixel(camera, 5.0, -120.0));
  EXPECT_TRUE(turned["accepted"]);
  EXPECT_EQ(turned["camera_model"]["ampel"], "gruen");
  EXPECT_EQ(turned["report"]["rule"], "GREEN_ACCEPTED");
  EXPECT_LT(distance(boardToImage(turned, 150, 0), truthPixel(camera, 150, 0)), 0.6);
  // A red record stays red whatever the click.
  CalibrationRecord red = r;
  red["camera_model"]["ampel"] = "rot";
  red["camera_model"]["zwanzig_sicher"] = false;
  EXPECT_FALSE(confirmTwentyClick(red, truthPixel(camera, 5.0, -120.0))["accepted"]);
}

// A record sure of its 20 from the board's own numbers refuses a click on another field
// instead of turning a good camera wrong.
TEST(TwentyClick, AClickAgainstASureTwentyIsRefused) {
  const CalibrationRecord& r = automaticRecord();
  const scene::Camera& camera = landmarkCamera().camera;
  ASSERT_TRUE(r["camera_model"]["zwanzig_sicher"]);
  EXPECT_EQ(errorOf([&] { confirmTwentyClick(r, truthPixel(camera, 120.0, 3.0)); }), "Bitte in das 20er-Feld klicken");
  // The user's own earlier click can be corrected.
  const CalibrationRecord clicked = confirmTwentyClick(r, truthPixel(camera, 5.0, -120.0));
  const CalibrationRecord again = confirmTwentyClick(clicked, truthPixel(camera, 120.0, 3.0));
  EXPECT_LT(distance(pointFromJson(again["twenty_px"]), truthPixel(camera, 132, 0)), 0.6);
}

// Whatever fails under the automatic calibration, the answer is a record that says how it
// stands, never an error: here a network that reports a board the image does not show, so no
// edge is found about the camera solved from its crossings.
TEST(AutomaticCalibration, AnImageWithoutTheBoardIsARecordNotAnError) {
  std::unique_ptr<LandmarkModel> holder;
  const cv::Mat flat(landmarkCamera().image.size(), CV_8UC3, cv::Scalar(90, 100, 110));
  CalibrationRecord r;
  ASSERT_EQ(errorOf([&] { r = calibrateFromImage(holder, testing::landmarkModelFile(), flat); }), "");
  EXPECT_FALSE(r["accepted"]);
  EXPECT_TRUE(r["report"].contains("rule"));
  EXPECT_TRUE(r["report"].contains("reason"));
}

TEST(TwentyClick, ClicksOffTheFieldsAreRefused) {
  const CalibrationRecord& r = automaticRecord();
  const scene::Camera& camera = landmarkCamera().camera;
  EXPECT_EQ(errorOf([&] { confirmTwentyClick(r, truthPixel(camera, 3.0, 4.0)); }), "Bitte in das 20er-Feld klicken");
  EXPECT_EQ(errorOf([&] { confirmTwentyClick(r, truthPixel(camera, 240.0, 0.0)); }),
            "Bitte in das 20er-Feld oder auf die Zahl 20 klicken");
  CalibrationRecord none = r;
  none["geometry_valid"] = false;
  EXPECT_EQ(errorOf([&] { confirmTwentyClick(none, {600, 300}); }), "GEOMETRY_REQUIRED_BEFORE_20_CLICK");
}

TEST(TwentyClick, AClickAboveTheBoardsHorizonIsOffTheBoard) {
  // Depth 1 + y/250: the board line y = -250 mm is the horizon, image row v = 250; rows
  // below it show board points that lie behind the camera, i.e. no board at all.
  CalibrationRecord r = automaticRecord();
  r["camera_model"] = nullptr;
  r["board_to_image"] = json{{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 1.0 / 250.0, 1.0}};
  EXPECT_NEAR(imageToBoard(r, {0.0, 100.0}).y, 100.0 / (1.0 - 100.0 / 250.0), 1e-9);
  EXPECT_TRUE(std::isnan(imageToBoard(r, {0.0, 300.0}).x));
  EXPECT_EQ(errorOf([&] { confirmTwentyClick(r, {0.0, 300.0}); }), "Bitte in das 20er-Feld oder auf die Zahl 20 klicken");
}

}  // namespace

}  // namespace tarv
