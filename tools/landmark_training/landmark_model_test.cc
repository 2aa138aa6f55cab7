// The committed board-landmark network, loaded as the library loads it (container, key,
// OpenCV's reader), on rendered boards its training never saw: the letterbox, channel order
// and scaling of the real detection path, and the camera solve on what the network finds.
#include <cmath>
#include <string>

#include <gtest/gtest.h>

#include "landmark_training/landmark_boards.h"
#include "tarv/autocal/landmark_detection.h"
#include "tarv/autocal/model_container.h"
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

// One board the training never saw, in a given size and angle, without darts or clutter.
lb::BoardCheck checkOne(unsigned long long seed, cv::Size size, double aboveDeg, double azimuthDeg) {
  lb::SampleOptions options;
  options.min_above_deg = options.max_above_deg = aboveDeg;
  options.look = lb::kHeldOutLook;
  lb::BoardSample sample = lb::renderBoardSample(seed, options);
  // The same board again for the wanted camera: only the camera changes.
  sample.spec.image_size = size;
  sample.spec.azimuth_deg = azimuthDeg;
  sample.spec.elevation_deg = 90.0 - aboveDeg;
  sample.spec.aim_mm.reset();
  sample.spec.roll_deg = 0.0;
  sample.spec.board_fill = 0.9;
  sample = lb::renderBoardSampleFor(seed, sample.spec, options);
  return lb::checkBoard(committedModel(), sample);
}

TEST(LandmarkModel, SolvesAWideImageScaledIntoTheTopOfTheCanvas) {
  const lb::BoardCheck c = checkOne(lb::kFirstCheckSeed + 900, {1920, 1080}, 45.0, 210.0);
  ASSERT_TRUE(c.ok);
  EXPECT_GE(c.matched, 40);
  EXPECT_LT(c.ringErrorPx, 2.0);
}

TEST(LandmarkModel, SolvesASquareImage) {
  const lb::BoardCheck c = checkOne(lb::kFirstCheckSeed + 901, {800, 800}, 35.0, 120.0);
  ASSERT_TRUE(c.ok);
  EXPECT_GE(c.matched, 40);
  EXPECT_LT(c.ringErrorPx, 2.0);
}

TEST(LandmarkModel, RandomBoardsTheTrainingNeverSaw) {
  int within = 0, found = 0;
  const int boards = 10;
  for (int k = 0; k < boards; ++k) {
    lb::SampleOptions options;
    if (k % 2 == 1) options.look = lb::kHeldOutLook;
    const lb::BoardSample sample = lb::renderBoardSample(lb::kFirstCheckSeed + 500 + k, options);
    const lb::BoardCheck c = lb::checkBoard(committedModel(), sample);
    found += c.ok;
    within += c.ok && c.ringErrorPx <= 2.0;
    // A camera graded green is used for scoring as it is: it must lie on the board.
    if (c.grade == 0) {
      EXPECT_LT(c.ringErrorAsSolvedPx, 5.0) << "seed " << lb::kFirstCheckSeed + 500 + k;
    }
  }
  EXPECT_GE(found, 8);
  EXPECT_GE(within, 7);
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
