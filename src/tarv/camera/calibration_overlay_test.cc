#include "tarv/camera/calibration_overlay.h"

#include <unistd.h>

#include <cmath>
#include <filesystem>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "tarv/camera/calibration_test_fixture.h"
#include "tarv/camera/manual_calibration.h"

namespace tarv {
namespace {

using testing::errorOf;
using testing::trueManualPoints;
using testing::automaticRecord;
using testing::landmarkCamera;
using testing::truthPixel;

std::filesystem::path tempPath(const std::string& name) {
  return std::filesystem::temp_directory_path() / ("tarv-" + std::to_string(::getpid()) + "-" + name);
}

// Share of points on the true ring of the radius whose pixel (or a neighbour) carries the
// overlay's wire colour.
double ringCoverage(const cv::Mat& overlay, double radius) {
  const scene::Camera& camera = landmarkCamera().camera;
  int hits = 0, total = 0;
  for (int k = 0; k < 90; ++k) {
    const double a = k * 4.0 * 3.14159265358979323846 / 180.0;
    const Point2 p = truthPixel(camera, radius * std::cos(a), radius * std::sin(a));
    const int x = static_cast<int>(std::lround(p.x)), y = static_cast<int>(std::lround(p.y));
    if (x < 1 || y < 1 || x >= overlay.cols - 1 || y >= overlay.rows - 1) continue;
    ++total;
    bool hit = false;
    for (int dy = -1; dy <= 1; ++dy) {
      for (int dx = -1; dx <= 1; ++dx) {
        const cv::Vec3b c = overlay.at<cv::Vec3b>(y + dy, x + dx);
        hit = hit || (c[1] > 200 && c[2] < 120 && c[0] < 120);
      }
    }
    hits += hit;
  }
  return total > 0 ? static_cast<double>(hits) / total : 0.0;
}

TEST(CalibrationOverlay, DrawsTheRingsWhereTheBoardIs) {
  const cv::Mat& image = landmarkCamera().image;
  const cv::Mat overlay = drawCalibrationOverlay(image, automaticRecord());
  EXPECT_EQ(ringCoverage(image, 170.0), 0.0);
  for (double r : {15.9, 99.0, 107.0, 162.0, 170.0}) EXPECT_GT(ringCoverage(overlay, r), 0.95) << r;
  // The red label is the 20, beyond the double ring above the bull.
  const Point2 twenty = truthPixel(landmarkCamera().camera, 0.0, -200.0);
  const cv::Rect around(static_cast<int>(twenty.x) - 15, static_cast<int>(twenty.y) - 12, 30, 24);
  cv::Mat red;
  cv::inRange(overlay(around), cv::Scalar(30, 30, 220), cv::Scalar(70, 70, 255), red);
  EXPECT_GT(cv::countNonZero(red), 20);
}

TEST(CalibrationOverlay, AManualRecordDrawsThroughItsHomographyAndLens) {
  const scene::Camera& camera = landmarkCamera().camera;
  const CalibrationRecord manual =
      calibrateFromFourPoints(landmarkCamera().image, automaticRecord(), testing::trueManualPoints(camera));
  const cv::Mat overlay = drawCalibrationOverlay(landmarkCamera().image, manual);
  EXPECT_GT(ringCoverage(overlay, 170.0), 0.95);
  EXPECT_GT(ringCoverage(overlay, 107.0), 0.9);
}

TEST(CalibrationOverlay, WithoutGeometryOnlyTheCaptionIsDrawn) {
  const cv::Mat image(360, 640, CV_8UC3, cv::Scalar::all(90));
  json none = {{"geometry_valid", false}, {"method", "LANDMARK_CAMERA_SOLVE"}};
  const cv::Mat overlay = drawCalibrationOverlay(image, none);
  EXPECT_NE(overlay.data, image.data);
  cv::Mat changed;
  cv::compare(overlay, image, changed, cv::CMP_NE);
  cv::Rect bounds = cv::boundingRect(changed.reshape(1, overlay.rows));
  EXPECT_LT(bounds.y + bounds.height, 60);
}

TEST(SavedView, WritesTheOverlayOfASavedCalibration) {
  const std::filesystem::path reference = tempPath("CAM_1.png"), output = tempPath("view.png");
  ASSERT_TRUE(cv::imwrite(reference.string(), landmarkCamera().image));
  json reply;
  applySavedView(reply, {{"command", "calibration_view"},
                         {"reference", reference.string()},
                         {"calibration", automaticRecord()},
                         {"output", output.string()}});
  EXPECT_EQ(reply["status"], "CALIBRATION_VIEW_WRITTEN");
  EXPECT_EQ(reply["width"], 1280);
  EXPECT_EQ(reply["overlay"], output.string());
  const cv::Mat written = cv::imread(output.string(), cv::IMREAD_COLOR);
  EXPECT_GT(ringCoverage(written, 170.0), 0.95);
  const Point2 twenty = pointFromJson(reply["twenty_px"]);
  const Point2 truth = truthPixel(landmarkCamera().camera, 0.0, -132.0);
  EXPECT_LT(std::hypot(twenty.x - truth.x, twenty.y - truth.y), 0.6);
  EXPECT_EQ(reply["points"].size(), 4u);

  // A bare matrix with the model beside it is the same calibration.
  json bare;
  applySavedView(bare, {{"reference", reference.string()},
                        {"calibration", automaticRecord()["board_to_image"]},
                        {"camera_model", automaticRecord()["camera_model"]},
                        {"output", output.string()}});
  EXPECT_EQ(bare["twenty_px"], reply["twenty_px"]);

  EXPECT_EQ(errorOf([&] { applySavedView(bare, {{"reference", reference.string()}}); }), "CALIBRATION_VIEW_REQUEST");
  EXPECT_EQ(errorOf([&] {
              applySavedView(bare, {{"reference", "/no/such.png"}, {"calibration", automaticRecord()}, {"output", output.string()}});
            }),
            "REFERENCE_UNREADABLE");
  EXPECT_EQ(errorOf([&] {
              applySavedView(bare, {{"reference", reference.string()},
                                    {"calibration", json{{1, 2, 3}, {2, 4, 6}, {0, 0, 1}}},
                                    {"output", output.string()}});
            }),
            "INVALID_CALIBRATION");
  json wrongSize = automaticRecord();
  wrongSize["camera_model"]["breite"] = 640;
  EXPECT_EQ(errorOf([&] {
              applySavedView(bare, {{"reference", reference.string()}, {"calibration", wrongSize}, {"output", output.string()}});
            }),
            "LENS_SIZE_MISMATCH");
  EXPECT_EQ(errorOf([&] {
              applySavedView(bare, {{"reference", reference.string()},
                                    {"calibration", automaticRecord()},
                                    {"output", "/no/such/folder/view.png"}});
            }),
            "CALIBRATION_OVERLAY_SAVE_FAILED");
  std::filesystem::remove(reference);
  std::filesystem::remove(output);
}

}  // namespace
}  // namespace tarv
