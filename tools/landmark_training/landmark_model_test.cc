// The committed board-landmark network, loaded as the library loads it (container, key,
// OpenCV's reader), on rendered boards its training never saw: the letterbox, channel order
// and scaling of the real detection path, and the camera solve on what the network finds.
#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>
#include <cstdio>
#include <vector>
#include <string>
#include <utility>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "landmark_training/landmark_boards.h"
#include "tarv/autocal/camera_solve.h"
#include "tarv/autocal/landmark_detection.h"
#include "tarv/autocal/bull_point.h"
#include "tarv/autocal/landmark_output.h"
#include "tarv/autocal/model_container.h"
#include "tarv/autocal/pose_hypotheses.h"
#include "tarv/autocal/vision_report.h"
#include "tarv/camera/board_fit_record.h"
#include "tarv/camera/calibration_record.h"
#include "tarv/runtime/runtime.h"
#include "tarv/tarv.h"

namespace tarv {
namespace {

namespace lb = landmark_boards;

LandmarkModel& committedModel() {
  static LandmarkModel model = [] {
    std::string key = buildModelKeyString();
    LandmarkModel m = loadBoardModel(TARV_BOARD_MODEL_FILE, key);
    key.assign(key.size(), '\0');
    return m;
  }();
  return model;
}

TEST(LandmarkModel, TheCommittedFileIsASealedContainer) {
  std::string key = buildModelKeyString();
  EXPECT_NO_THROW(loadBoardModel(TARV_BOARD_MODEL_FILE, key));
  EXPECT_THROW(loadBoardModel(TARV_BOARD_MODEL_FILE, std::string(key.size(), 'x')), std::runtime_error);
}

TEST(LandmarkModel, OutputIsTheDetectorsTensor) {
  LandmarkModel& model = committedModel();
  const cv::Mat canvas(640, 640, CV_8UC3, cv::Scalar::all(114));
  model.net.setInput(cv::dnn::blobFromImage(canvas, 1.0 / 255.0, cv::Size(640, 640), cv::Scalar(), true, false, CV_32F));
  const cv::Mat out = model.net.forward();
  ASSERT_EQ(out.dims, 3);
  EXPECT_EQ(out.size[0], 1);
  EXPECT_EQ(out.size[1], 4 + 22);
  EXPECT_EQ(out.size[2], 160 * 160);
  // A grey canvas shows no board: nothing reaches the detector's threshold.
  const LandmarkDetections kept = decodeLandmarkOutput(out, 1.0, model.scoreThreshold, model.nmsThreshold);
  EXPECT_LT(kept.centres.size(), 12u);
}

TEST(LandmarkModel, AnEmptyImageGivesNoCamera) {
  const LandmarkSolution s = detectBoardLandmarks(committedModel(), cv::Mat(480, 640, CV_8UC3, cv::Scalar::all(0)));
  EXPECT_FALSE(s.ok);
  EXPECT_EQ(s.grade, 2);
}

// The demo's three cameras (800x600, the renderer's own board, which the training never saw):
// each is solved, and its 170 mm ring lies on the true one.
TEST(LandmarkModel, SolvesTheDemoCameras) {
  const std::vector<scene::CameraSpec> rig = scene::defaultRig({800, 600});
  const scene::Renderer renderer(rig, 2);
  const scene::SceneImages shot = renderer.render(scene::Scene{});
  for (size_t i = 0; i < rig.size(); ++i) {
    lb::BoardSample sample;
    sample.cameraSpec = rig[i];
    sample.image = shot.frames[i];
    const lb::BoardCheck c = lb::checkBoard(committedModel(), sample);
    ASSERT_TRUE(c.ok) << rig[i].id;
    EXPECT_GE(c.matched, 25) << rig[i].id;
    EXPECT_LT(c.ringErrorPx, 2.0) << rig[i].id;
    std::printf("%s: %d matched, 170 mm ring %.2f px from the true one\n", rig[i].id.c_str(), c.matched, c.ringErrorPx);
  }
}

// The renderer's own board (10 mm beds, no lens, the engine's calibration boards) as one
// camera sees it.
struct RendererView {
  cv::Size size;
  double elevation, azimuth;
  uint64_t seed;
};

lb::BoardSample renderersBoard(const RendererView& v) {
  lb::BoardSample sample;
  sample.cameraSpec.image_size = v.size;
  sample.cameraSpec.elevation_deg = v.elevation;
  sample.cameraSpec.azimuth_deg = v.azimuth;
  scene::Scene shot;
  shot.imaging.noise_sigma = 2.0;
  shot.imaging.noise_seed = v.seed;
  sample.image = scene::Renderer({sample.cameraSpec}, 2).render(shot).frames[0];
  return sample;
}

// The renderer's own board has 10 mm beds, its crossings on rings at 97 and 160 mm. Seen at
// 1920x1080 the regulation beds' edges left the camera 1.5-1.7 px off at the 170 mm ring, and
// the crossings, judged on the regulation rings, held it there against the wide beds' edges.
TEST(LandmarkModel, TheRenderersBoardIsPlacedOnItsOwnRings) {
  for (const RendererView& v : {RendererView{{1920, 1080}, 12.04, 178.79, 4768700826884965942ULL},
                                RendererView{{1920, 1080}, 19.38, 81.35, 1662859573319375430ULL}}) {
    const lb::BoardCheck c = lb::checkBoard(committedModel(), renderersBoard(v));
    ASSERT_TRUE(c.ok) << v.elevation;
    EXPECT_EQ(c.grade, 0) << v.elevation;
    EXPECT_LT(c.ringErrorPx, 0.5) << v.elevation;
  }
}

// What the committed network reaches on the ten boards below, with a board or two to spare: it
// is measured in full by tarv_landmark_bench.
constexpr int kFoundAtLeast = 8;
constexpr int kWithinAPixelAtLeast = 5;

TEST(LandmarkModel, RandomBoardsTheTrainingNeverSaw) {
  int found = 0, within = 0;
  const int boards = 10;
  for (int k = 0; k < boards; ++k) {
    lb::SampleOptions options;
    if (k % 2 == 1) options.look = lb::kHeldOutLook;
    const lb::BoardSample sample = lb::renderBoardSample(lb::kFirstCheckSeed + 500 + k, options);
    const lb::BoardCheck c = lb::checkBoard(committedModel(), sample);
    found += c.ok;
    within += c.ok && c.ringErrorPx <= 1.0;
    // A camera graded green is used for scoring as it is: it must lie on the board.
    if (c.grade == 0) {
      EXPECT_LT(c.ringErrorAsSolvedPx, 5.0) << "seed " << lb::kFirstCheckSeed + 500 + k;
    }
  }
  std::printf("%d of %d boards solved, %d with the 170 mm ring within 1 px\n", found, boards, within);
  EXPECT_GE(found, kFoundAtLeast);
  EXPECT_GE(within, kWithinAPixelAtLeast);
}

// A camera 13.5 degrees above the board that its crossings leave 8 px off: its ring edges
// can be followed a bed's width onto edges that are not its own, where its wires do not
// follow; it must not come out green off the board.
TEST(LandmarkModel, AGrazingCameraFarOffIsNotGreenOffTheBoard) {
  lb::SampleOptions options;
  options.look = lb::kHeldOutLook;
  const lb::BoardCheck c = lb::checkBoard(committedModel(), lb::renderBoardSample(1300011, options));
  if (c.grade == 0) {
    EXPECT_LE(c.ringErrorAsSolvedPx, 1.0);
  }
}

// 17.5 degrees above the board: the edges bring the camera the snapped crossings give (4.5 px
// off) to 1.3 px, along rings that its wires do not follow all along; the crossings moved onto
// the wires about that camera, and the edges from there, bring it within a pixel.
TEST(LandmarkModel, AGrazingCameraTheEdgesBringCloserIsMovedOntoTheWiresAgain) {
  const lb::BoardCheck c = lb::checkBoard(committedModel(), lb::renderBoardSample(1400032, {}));
  ASSERT_TRUE(c.ok);
  EXPECT_LE(c.ringErrorPx, 1.0);
}

// The sample options of renders seen lo to hi degrees above the board.
lb::SampleOptions seenAbove(double lo, double hi) {
  lb::SampleOptions options;
  options.min_above_deg = lo;
  options.max_above_deg = hi;
  return options;
}

// 16.5 degrees above the board, from its side, blurred: the rings' faint outer edges must
// confirm the camera its wires already agree with.
TEST(LandmarkModel, ALowBoardWithFaintRingEdgesIsAccepted) {
  lb::SampleOptions options = seenAbove(10.0, 20.0);
  options.look = lb::kHeldOutLook;
  const lb::BoardCheck c = lb::checkBoard(committedModel(), lb::renderBoardSample(1000030, options));
  ASSERT_TRUE(c.ok);
  EXPECT_LT(c.grade, 2);
  EXPECT_LE(c.ringErrorPx, 1.0);
}

// The empty board a rig's camera gives for the seed, as `tarv_landmark_bench --rig` renders it.
lb::BoardSample rigSample(uint64_t seed) {
  const lb::SampleOptions options = lb::rigSampleOptions();
  return lb::renderBoardSampleFor(seed, lb::rigCameraSpecForSeed(seed, options), options);
}

// A rig's camera in the dim light of its LED ring (the image's grey levels span 3 to 60): the
// board's edges are a quarter as strong as the edges the judgement asks for, and the right
// camera its crossings gave was red.
TEST(LandmarkModel, ARigCameraInDimLightIsConfirmedOnItsEdges) {
  const lb::BoardCheck c = lb::checkBoard(committedModel(), rigSample(1000020));
  ASSERT_TRUE(c.ok);
  EXPECT_LT(c.grade, 2);
  EXPECT_LE(c.ringErrorPx, 1.0);
}

// A rig's board of a make whose beds are as dark as its number ring: the landmark road's
// camera lies a bed's width inside the rings (red: it places 18 of the 59 crossings), and the
// board fit refining it found every ring edge in place there. The network's crossings refuse it.
TEST(LandmarkModel, ABoardFitABedInsideTheRingsIsRefusedByTheCrossings) {
  const lb::BoardSample sample = rigSample(1000056);
  const LandmarkSolution landmark = detectBoardLandmarks(committedModel(), sample.image);
  ASSERT_TRUE(landmark.ok);
  json report;
  const LandmarkSolution fit = solveByBoardFit(sample.image, landmark, report);
  if (!fit.ok || fit.grade == 2) return;
  // A camera the fit road accepts lies on the board (the geometry, whatever its turn).
  const scene::Camera camera(sample.cameraSpec);
  double best = 1e18;
  for (int turn = 0; turn < 20; ++turn) {
    const std::vector<cv::Point2d> truth = lb::trueRingPoints(camera, 170.0, turn);
    double sum = 0.0;
    for (size_t i = 0; i < truth.size(); ++i) {
      const double a = i * 5.0 * 3.14159265358979323846 / 180.0;
      sum += cv::norm(projectSolutionPoint(fit, {170.0 * std::cos(a), 170.0 * std::sin(a)}) - truth[i]);
    }
    best = std::min(best, sum / static_cast<double>(truth.size()));
  }
  EXPECT_LE(best, 1.0) << report.dump();
}

// 21 degrees above the board, its crossings leaving the camera a few pixels off where its
// double ring's edges show: the refinement slid the ring along those edges, on them over half
// the board and 12 px off them at its far side (3.8 px on average), every ring edge found
// agreeing. A green camera is used as it is: it must lie on the ring all round.
TEST(LandmarkModel, ACameraWhoseRingSlidAlongItsEdgesIsNotGreenOffTheBoard) {
  const lb::BoardCheck c = lb::checkBoard(committedModel(), lb::renderBoardSample(1200028, lb::SampleOptions()));
  if (c.grade == 0) {
    EXPECT_LE(c.ringErrorAsSolvedPx, 1.0);
  }
}

// The whole calibration of a rendered board, then the click on its true 20: when the clicked
// record is accepted, the mean distance of its 170 mm ring from the true one, else none.
std::optional<double> acceptedWithTheClickRingErrorPx(const lb::BoardSample& sample, cv::Point2d origin = {0.0, 0.0}) {
  const scene::Camera camera(sample.cameraSpec);
  std::unique_ptr<LandmarkModel> holder;
  const CalibrationRecord record = calibrateFromImage(holder, TARV_BOARD_MODEL_FILE, sample.image);
  if (!record.value("geometry_valid", false)) return std::nullopt;
  const cv::Point2d twenty = lb::trueRingPoints(camera, 135.0, 0)[18] - origin;
  const CalibrationRecord clicked = confirmTwentyClick(record, {twenty.x, twenty.y});
  if (!clicked.value("accepted", false)) return std::nullopt;
  // The record's board frame has the 20 at -y, the truth's at +y.
  const std::vector<cv::Point2d> truth = lb::trueRingPoints(camera, 170.0, 0);
  double sum = 0.0;
  for (size_t i = 0; i < truth.size(); ++i) {
    const double a = static_cast<double>(i) * 5.0 * 3.14159265358979323846 / 180.0;
    const Point2 p = boardToImage(clicked, 170.0 * std::cos(a), -170.0 * std::sin(a));
    sum += std::hypot(p.x + origin.x - truth[i].x, p.y + origin.y - truth[i].y);
  }
  return sum / static_cast<double>(truth.size());
}

// Seen 30 to 50 degrees off its normal, the renderer's board (10 mm beds, no lens) was fitted
// with regulation beds by a camera bent pincushion-wise (k1 about 0.1) whose edges supported it
// 0.4 to 0.6 px off the true ring; fitted with the board's own beds it lies within 0.05 px.
// At 45 degrees the board's own beds explained the edges at 0.72 to 0.74 of the regulation
// beds' rms, and the bent camera, 0.64 px off, stood; unbent, the camera lies 0.12 px off.
TEST(LandmarkModel, TheRenderersBoardIsNotBentToItsBedsWidth) {
  for (const RendererView& v : {RendererView{{960, 720}, 40.0, 290.0, 1031}, RendererView{{1920, 1080}, 50.0, 100.0, 1036},
                                RendererView{{1920, 1080}, 45.0, 193.0, 2011}}) {
    const std::optional<double> ringPx = acceptedWithTheClickRingErrorPx(renderersBoard(v));
    ASSERT_TRUE(ringPx.has_value()) << v.size.width;
    EXPECT_LE(*ringPx, 0.15) << v.size.width;
  }
}

// The landmark bench's board 1000002 cut off its optical centre (`--records --off-centre 40`,
// 45 degrees above the board, 800x800): about the image's middle the camera explained the
// network's crossings, but not the same crossings moved onto the wires, and with no camera
// left the board fit, refused on this board, had none either. The wires' crossings ask for
// the optical centre where it lies.
TEST(LandmarkModel, ABoardCutOffItsOpticalCentreIsSolvedOnItsWires) {
  const lb::SampleOptions options;
  cv::Point2d origin;
  const lb::BoardSample sample = lb::renderOffCentreSampleFor(1000002, lb::cameraSpecForSeed(1000002, options), options, 40.0, origin);
  const std::optional<double> ringPx = acceptedWithTheClickRingErrorPx(sample, origin);
  ASSERT_TRUE(ringPx.has_value());
  EXPECT_LE(*ringPx, 1.0);
}

// The landmark bench's rig board 1000012 seen large (`--records --rig --size 1920 1080 --fill
// 0.9 1.0`: about 2 px a board mm, 41 degrees above the board, a wide lens): the landmark camera
// lay 0.43 px off the true ring, yet its wires' edges, found at either side of the wire, and
// half its double ring lay beyond the pixel distances a board seen smaller is held to, and it
// was refused with the board fit's camera. Its edges are judged in board mm.
TEST(LandmarkModel, ARigBoardSeenLargeIsConfirmedOnItsEdges) {
  const lb::SampleOptions options = lb::rigSampleOptions();
  const scene::CameraSpec seenLarge =
      lb::enlargedCameraSpec(1000012, lb::rigCameraSpecForSeed(1000012, options), {1920, 1080}, 0.9, 1.0);
  const std::optional<double> ringPx =
      acceptedWithTheClickRingErrorPx(lb::renderBoardSampleFor(1000012, seenLarge, options));
  ASSERT_TRUE(ringPx.has_value());
  EXPECT_LE(*ringPx, 1.0);
}

// Low boards whose wires stand 1 mm off the face (13.5 and 16.9 degrees above it): each wire
// shows its edge on its black bed's side, a pixel or two off its middle, alternate wires
// alternate ways. Judged as wires beside the camera, the right one was refused (2.1 and 2.2
// px off, the crossings unexplained); it must be accepted within a pixel.
TEST(LandmarkModel, ALowBoardWithRaisedWiresIsAcceptedOnItsWiresDarkSides) {
  lb::SampleOptions options = seenAbove(10.0, 20.0);
  options.minWireHeightMm = options.maxWireHeightMm = 1.0;
  for (const uint64_t seed : {1000016ULL, 1000002ULL}) {
    const std::optional<double> ringPx = acceptedWithTheClickRingErrorPx(lb::renderBoardSample(seed, options));
    ASSERT_TRUE(ringPx.has_value()) << seed;
    EXPECT_LE(*ringPx, 1.0) << seed;
  }
}

// The landmark bench's board 1200024 (`--records --above 10 60 --size 1920 1080 --wire-height
// 1`: 32 degrees above the board, its wires 1 mm off the face): every edge and crossing of the
// board lies on its wires, and the camera fitted to them as if they lay on the face was
// accepted 1.25 px off the face's ring, where a dart's tip lies.
TEST(LandmarkModel, ALargeBoardWithRaisedWiresIsPlacedOnItsFace) {
  lb::SampleOptions options = seenAbove(10.0, 60.0);
  options.minWireHeightMm = options.maxWireHeightMm = 1.0;
  const scene::CameraSpec large = lb::enlargedCameraSpec(1200024, lb::cameraSpecForSeed(1200024, options), {1920, 1080}, 0.8, 1.0);
  const std::optional<double> ringPx = acceptedWithTheClickRingErrorPx(lb::renderBoardSampleFor(1200024, large, options));
  ASSERT_TRUE(ringPx.has_value());
  EXPECT_LE(*ringPx, 0.8);
}

// The landmark bench's board 1000010 (`--records --above 30 60`: 1920x1080, 35 degrees above the
// board, the board filling the image's height): a wide lens, its focal length under a third of
// the image's width. The crossings' camera lay a pixel off the board and the edges would have
// refined it, but every refinement of a focal length that short was taken for implausible, and
// the camera was refused on a regulation view.
TEST(LandmarkModel, AWideLensFillingAWideImageIsRefinedOnItsEdges) {
  lb::SampleOptions options = seenAbove(30.0, 60.0);
  const lb::BoardSample sample = lb::renderBoardSample(1000010, options);
  ASSERT_LT(scene::Camera(sample.cameraSpec).K()(0, 0), 0.3 * sample.cameraSpec.image_size.width);
  const std::optional<double> ringPx = acceptedWithTheClickRingErrorPx(sample);
  ASSERT_TRUE(ringPx.has_value());
  EXPECT_LE(*ringPx, 0.5);
}

// The landmark bench's low board 1000038 (`--records --above 10 20`: 640x480, 20 degrees above
// the board): the network places 50 crossings over the crowded wires and the right camera, 0.35
// px off, explains 19 of them, though its edges hold it all along. It was refused with the
// crossings unexplained.
TEST(LandmarkModel, ASmallLowBoardItsEdgesHoldIsAcceptedThoughItsCrossingsScatter) {
  const std::optional<double> ringPx = acceptedWithTheClickRingErrorPx(lb::renderBoardSample(1000038, seenAbove(10.0, 20.0)));
  ASSERT_TRUE(ringPx.has_value());
  EXPECT_LE(*ringPx, 1.0);
}

// The landmark bench's board 1000082 without its lens (13 degrees above the board): the board
// fit's camera, 3.5 px off, has the rings' edges on it where they show, while a quarter of its
// wires lie beside it. The whole calibration, with the click on the true 20, must not accept it.
TEST(LandmarkModel, ALowCameraWhoseWiresLieBesideItIsNotAccepted) {
  const std::optional<double> ringPx = acceptedWithTheClickRingErrorPx(lb::renderBoardSampleWithoutLens(1000082, seenAbove(10.0, 20.0)));
  if (ringPx) {
    EXPECT_LE(*ringPx, 1.0);
  }
}

// The landmark bench's low board 1000031 (12 degrees above the board, 1280x720, in the look kept
// out of the training): the landmark camera is red, and the board fit on the image rectified
// with its lens and started from its plane follows the ring edges by the engine's own rule (its
// treble and double seen low, two and four octants against the edge judgement's tighter
// distances). The engine's "calibrate" takes such a fit; the runtime's refused it and kept the
// red landmark camera.
TEST(LandmarkModel, ALowBoardFitTheEnginesRuleAcceptsIsTaken) {
  lb::SampleOptions options = seenAbove(10.0, 20.0);
  options.look = lb::kHeldOutLook;
  const lb::BoardSample sample = lb::renderBoardSample(1000031, options);
  std::unique_ptr<LandmarkModel> holder;
  const CalibrationRecord record = calibrateFromImage(holder, TARV_BOARD_MODEL_FILE, sample.image);
  EXPECT_EQ(record.value("method", ""), "BOARD_FIT_CAMERA_SOLVE") << record["report"].dump();
  EXPECT_EQ(record["report"]["board_fit"].value("confirmed_by", ""), "FIT_ACCEPTED");
  const std::optional<double> ringPx = acceptedWithTheClickRingErrorPx(sample);
  ASSERT_TRUE(ringPx.has_value());
  EXPECT_LE(*ringPx, 1.0);
}

// The engine's calibration board real_like_6 (`tarv_bench --calibration-boards 30`): an 800x800
// photograph-like view 59 degrees above a worn board, its wires bent and shadowed, two darts in
// it, JPEG at 51. Its edges neither confirm nor contradict the landmark camera; its crossings
// grade it green 1.64 px off the true double ring (2.0 px point by point, as measured here),
// where the engine's own fit of the same image lies 0.48 px off (0.83 px point by point). Set up
// through the runtime, the record lies where the engine's fit does,
// with the 20 the landmark camera read; where the landmark camera's lens bends the board more
// than the two part, the difference may be the lens the fit lacks, and the landmark camera stands.
TEST(LandmarkModel, ACameraGradedOnItsCrossingsAloneLiesWhereTheEnginesFitPlacesTheBoard) {
  scene::CameraSpec cameraSpec;
  cameraSpec.image_size = {800, 800};
  cameraSpec.elevation_deg = 59.102382742117186;
  cameraSpec.azimuth_deg = 259.11741387522483;
  cameraSpec.board_fill = 0.97560119453901528;
  cameraSpec.k1 = -0.041005940870474628;
  scene::BoardLook look;
  look.number_radius_mm = 179.77306311064564;
  look.number_height_mm = 16.691128471552922;
  look.number_stroke_mm = 2.5531646810503918;
  look.number_font = cv::FONT_HERSHEY_DUPLEX;
  look.wire_wear = 0.59990092537576023;
  look.wire_wobble_mm = 0.3407179588264394;
  look.wire_shadow_mm = 1.0430298413927674;
  look.wear_seed = 3533950617300885142ULL;
  scene::Scene shot;
  shot.imaging.noise_seed = 5906168897982786648ULL;
  shot.imaging.noise_sigma = 2.0;
  shot.imaging.blur_sigma = 0.4022384358565112;
  shot.imaging.fade = 0.2756748351370012;
  shot.imaging.jpeg_quality = 51;
  scene::Dart first, second;
  first.tip_mm = {-114.75786726501116, 123.54023181004949};
  first.direction = {0.31854326383576187, 0.21008112514367189, -0.92433549640984203};
  first.flight_colour = {40, 40, 215};
  first.flight_roll_deg = 60.559700633330444;
  second.tip_mm = {-68.738733737818308, -71.611620564202667};
  second.direction = {-0.31195738606424867, -0.10126800584585978, -0.94468374616691919};
  second.flight_colour = {20, 120, 240};
  second.flight_roll_deg = 0.72788287272701258;
  shot.darts = {first, second};
  const scene::BoardTexture texture = scene::renderBoardTexture(0.5, scene::kBoardRadius + 10.0, look);
  const scene::Renderer renderer({cameraSpec}, texture, 2);
  const cv::Mat image = renderer.render(shot).frames[0];
  const scene::Camera& camera = renderer.cameras()[0];

  std::unique_ptr<LandmarkModel> holder;
  const CalibrationRecord record = calibrateFromImage(holder, TARV_BOARD_MODEL_FILE, image);
  ASSERT_TRUE(record.value("accepted", false)) << record["report"].dump();
  EXPECT_EQ(record["report"]["board_fit"].value("placed", false), true) << record["report"].dump();
  // Both in the engine's board frame, the 20 at -y: the record as it stands, its 20 included.
  double sum = 0.0;
  for (int i = 0; i < 72; ++i) {
    const double a = i * 5.0 * 3.14159265358979323846 / 180.0;
    const cv::Point2d board(170.0 * std::cos(a), 170.0 * std::sin(a));
    const Point2 p = boardToImage(record, board.x, board.y);
    sum += cv::norm(cv::Point2d(p.x, p.y) - camera.project(board));
  }
  EXPECT_LE(sum / 72.0, 1.0) << record["report"].dump();

  // The rig board 1000012 seen large through a wide lens (`--records --rig --size 1920 1080`,
  // k1 -0.21): graded on its crossings alone, the landmark camera lay 1.3 px off the true ring;
  // the engine's fit, with no lens, 2.6 px off, 1.65 px from it, which that lens explains.
  const lb::SampleOptions options = lb::rigSampleOptions();
  const scene::CameraSpec wide =
      lb::enlargedCameraSpec(1000012, lb::rigCameraSpecForSeed(1000012, options), {1920, 1080}, 0.8, 1.0);
  const std::optional<double> ringPx = acceptedWithTheClickRingErrorPx(lb::renderBoardSampleFor(1000012, wide, options));
  ASSERT_TRUE(ringPx.has_value());
  EXPECT_LE(*ringPx, 1.5);
}

// The landmark bench's low boards 1000098 and 1000118 (12 and 14.5 degrees above the board):
// the camera solved on the network's crossings lies on the ring edges where they are strong
// enough for the fit and its wires agree nearly all along, while over two or three octants,
// where the double ring's edges are fainter, it lies up to 10 px off (1.5 and 3 px on average).
// The fainter edges there lie off it; with the click on the true 20 it must not be accepted off
// the rings. 1000118's solve now starts a pixel off the true camera and ends 1.2 px off it
// (its crossings, solved from the true camera, give 1.3 px), where the judgement cannot tell it
// from a right one; it must not be accepted farther off than that.
TEST(LandmarkModel, ALowCameraOffWhereItsRingEdgesAreFaintIsNotAccepted) {
  lb::SampleOptions options = seenAbove(10.0, 20.0);
  for (const auto& [seed, limitPx] : {std::pair<uint64_t, double>{1000098u, 1.0}, {1000118u, 1.5}}) {
    const std::optional<double> ringPx = acceptedWithTheClickRingErrorPx(lb::renderBoardSample(seed, options));
    if (ringPx) {
      EXPECT_LE(*ringPx, limitPx) << seed;
    }
  }
}

// The landmark bench's low boards 1200112 and 1200114 (15 and 17 degrees above the board): the
// network's number boxes vote for a turn two sectors off with half of all their votes, while
// the widths of the printed numbers lead the true turn (two of twenty misread) or barely the
// voted one (four misread). Sure of the votes' turn, the record was accepted with every field
// turned and the click on the true 20 refused. (1200114's camera itself lies 1.1 px off.)
TEST(LandmarkModel, ALowBoardWhoseNumberReadingsDisagreeLeavesTheTwentyToTheClick) {
  lb::SampleOptions options = seenAbove(10.0, 20.0);
  for (const uint64_t seed : {1200112u, 1200114u}) {
    std::optional<double> ringPx;
    ASSERT_NO_THROW(ringPx = acceptedWithTheClickRingErrorPx(lb::renderBoardSample(seed, options))) << seed;
    ASSERT_TRUE(ringPx.has_value()) << seed;
    EXPECT_LE(*ringPx, 1.5) << seed;
  }
}

// The landmark bench's low boards 1000000, 1000002, 1000008 and 1000104 (11 to 17 degrees above
// the board, lenses of 0.8 to 1.5 image widths): the network reads half its number boxes a
// sector or more off, and many twice, and 40 to 50 of its crossings lie within 2 px of true
// ones; the first stage of starts (the numbers' plane and the grid about the bull) must give
// the solve a camera within a few pixels of the true one (at whatever turn: the numbers set
// it later). Its best lay 19 to 118 px off: the numbers' plane was taken through the surest box
// per number, at fixed focal lengths.
TEST(LandmarkModel, ALowBoardsFirstStartsLandNearTheTrueCamera) {
  lb::SampleOptions options = seenAbove(10.0, 20.0);
  for (const uint64_t seed : {1000000u, 1000002u, 1000008u, 1000104u}) {
    const lb::BoardSample sample = lb::renderBoardSample(seed, options);
    const LandmarkDetections kept = runLandmarkNetwork(committedModel(), sample.image);
    const std::vector<cv::Point2d> crossings = keptCrossings(kept);
    const cv::Point2d bull = findBullPoint(kept);
    ASSERT_GE(bull.x, 0.0) << seed;
    std::vector<CameraEstimate> starts = homographyHypotheses(sample.image.cols, sample.image.rows, kept, bull);
    for (CameraEstimate& e : bullGridHypotheses(sample.image.cols, sample.image.rows, crossings, bull, 8)) {
      starts.push_back(std::move(e));
    }
    CameraSelection first;
    selectBestCamera(crossings, bull, first, starts);
    ASSERT_TRUE(first.found) << seed;
    EXPECT_LE(lb::ringErrorAnyTurnPx(scene::Camera(sample.cameraSpec), first.camera), 5.0) << seed;
  }
}

// The landmark bench's low boards 1000012 (1920x1080, 11 degrees above the board) and 1000129
// (1280x960, 12 degrees, in the look kept out of the training): the board is a narrow band of
// the image, 70 to 90 of the network's pixels across, where it placed 6 and 17 crossings within
// 2 px of true ones and the camera solved from them lay 14 and 7 px off (red). Seen closer, the
// network places 27 and 49.
TEST(LandmarkModel, ABoardSeenNearlyEdgeOnInALargeImageIsSolved) {
  for (const uint64_t seed : {1000012u, 1000129u}) {
    lb::SampleOptions options = seenAbove(10.0, 20.0);
    if (seed % 2 == 1) options.look = lb::kHeldOutLook;
    const lb::BoardCheck c = lb::checkBoard(committedModel(), lb::renderBoardSample(seed, options));
    ASSERT_TRUE(c.ok) << seed;
    EXPECT_LT(c.grade, 2) << seed;
    EXPECT_LE(c.ringErrorPx, 1.0) << seed;
  }
}

// A rig's board whose beds are as dark as its number ring, in dim light: the edge refinement
// traded the focal length against k1 and left the treble ring in place and the double ring on
// its band's inner edge, 4.5 px inside, where every ring octant supported it (green).
TEST(LandmarkModel, ARigCameraWithItsDoubleRingOnTheBandsInnerEdgeIsNotAccepted) {
  const lb::BoardCheck c = lb::checkBoard(committedModel(), rigSample(1000042));
  if (c.ok && c.grade < 2) {
    EXPECT_LE(c.ringErrorPx, 1.0) << c.grade;
  }
}

// The runtime's own check of its model: it loads the committed file and refuses a black image.
TEST(LandmarkModel, TheRuntimesModelCheckPasses) {
  void* rt = tarv_runtime_create();
  static_cast<Runtime*>(rt)->calibration.modelPath = TARV_BOARD_MODEL_FILE;
  const nlohmann::json reply = nlohmann::json::parse(tarv_runtime_call(rt, "{\"command\":\"calibration_model_check\"}"));
  EXPECT_EQ(reply, nlohmann::json({{"empty_image_rejected", true}, {"model_loaded", true}}));
  tarv_runtime_destroy(rt);
}

}  // namespace
}  // namespace tarv
