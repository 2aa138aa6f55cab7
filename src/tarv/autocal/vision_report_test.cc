#include "tarv/autocal/vision_report.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <opencv2/imgproc.hpp>

#include "tarv/autocal/landmark_overlay.h"
#include "tarv/autocal/pose_hypotheses.h"

namespace tarv {
namespace {

LandmarkSolution solved() {
  const CameraEstimate e =
      cameraFromPinholePose(1280, 720, lookAtPose(1280, 720, 900.0, {200.0, -350.0, 450.0}, {640, 360}));
  LandmarkSolution s;
  s.ok = true;
  s.width = 1280;
  s.height = 720;
  s.K = e.K;
  s.dist = e.dist;
  s.dist.at<double>(0) = -0.0123456789012345;
  s.rvec = e.rvec;
  s.tvec = e.tvec;
  s.grade = 0;
  s.twentySure = true;
  s.crossingsDetected = 80;
  s.crossingsMatched = 77;
  s.rmsPx = 1.0 / 3.0;
  s.colourScore = 0.95;
  return s;
}

TEST(VisionReport, KeysInTheirFixedOrderAndNumbersThatReadBackExactly) {
  const LandmarkSolution s = solved();
  const std::string text = writeVisionReport(s);
  EXPECT_EQ(text.find("{\"ok\":true,\"breite\":1280,\"hoehe\":720,\"K\":["), 0u);
  const char* order[] = {"\"dist\"", "\"rvec\"", "\"tvec\"", "\"ampel\":\"gruen\"", "\"zwanzig_sicher\":true",
                         "\"kreuzungen_erkannt\":80", "\"kreuzungen_passend\":77", "\"rms_px\"", "\"farbe\"",
                         "\"ms_modell\"", "\"ms_gesamt\"", "\"grund\":\"\"}"};
  size_t at = 0;
  for (const char* key : order) {
    const size_t next = text.find(key, at);
    ASSERT_NE(next, std::string::npos) << key;
    at = next;
  }
  const nlohmann::json parsed = nlohmann::json::parse(text);
  EXPECT_EQ(parsed["dist"][0].get<double>(), s.dist.at<double>(0));
  EXPECT_EQ(parsed["rms_px"].get<double>(), 1.0 / 3.0);
  EXPECT_EQ(parsed["tvec"][2].get<double>(), s.tvec.at<double>(2));
}

TEST(VisionReport, FailedDetectionAndAnyReasonTextStayValidJson) {
  LandmarkSolution s;
  s.reason = "keine \"Loesung\"\\\n";
  s.grade = 7;
  const nlohmann::json parsed = nlohmann::json::parse(writeVisionReport(s));
  EXPECT_EQ(parsed["ok"], false);
  EXPECT_EQ(parsed["ampel"], "rot");
  EXPECT_EQ(parsed["grund"], s.reason);
  for (const char* key : {"breite", "hoehe", "K", "dist", "rvec", "tvec"}) EXPECT_FALSE(parsed.contains(key)) << key;
}

TEST(VisionReport, PointsRoundTripThroughTheCamera) {
  const LandmarkSolution s = solved();
  const cv::Point2d px = projectSolutionPoint(s, {0.0, 132.0});
  const cv::Point2d back = backProjectSolutionPoint(s, px);
  EXPECT_NEAR(back.x, 0.0, 0.05);
  EXPECT_NEAR(back.y, 132.0, 0.05);
}

TEST(LandmarkOverlay, NothingWithoutACameraAndLinesScaleWithTheImage) {
  cv::Mat image(720, 1280, CV_8UC3, cv::Scalar::all(30));
  drawLandmarkOverlay(image, LandmarkSolution{});
  EXPECT_EQ(cv::countNonZero(image.reshape(1) != 30), 0);
  drawLandmarkOverlay(image, solved());
  cv::Mat green;
  cv::inRange(image, cv::Scalar(40, 235, 20), cv::Scalar(80, 255, 60), green);
  EXPECT_GT(cv::countNonZero(green), 1000);
  cv::Mat red;
  cv::inRange(image, cv::Scalar(40, 40, 235), cv::Scalar(60, 60, 255), red);
  const cv::Point2d twenty = projectSolutionPoint(solved(), {0.0, 200.0});
  cv::Rect bounds = cv::boundingRect(red);
  EXPECT_TRUE(bounds.contains(cv::Point(static_cast<int>(twenty.x), static_cast<int>(twenty.y))));
}

}  // namespace
}  // namespace tarv
