#include "tarv/camera/manual_calibration.h"

#include <cmath>

#include <gtest/gtest.h>

#include "tarv/camera/calibration_test_fixture.h"
#include "tarv/core/engine_values.h"

namespace tarv {
namespace {

using testing::errorOf;
using testing::distance;
using testing::trueManualPoints;
using testing::automaticRecord;
using testing::landmarkCamera;
using testing::truthPixel;

TEST(ManualPoints, ProposedFromTheGeometryOrAsADefaultDiamond) {
  const json points = proposeManualPoints(automaticRecord(), 1280, 720);
  const json truth = trueManualPoints(landmarkCamera().camera);
  ASSERT_EQ(points.size(), 4u);
  EXPECT_EQ(points[0]["label"], "20/1");
  EXPECT_EQ(points[3]["label"], "11/14");
  for (int k = 0; k < 4; ++k) {
    EXPECT_LT(distance({points[k]["x"], points[k]["y"]}, pointFromJson(truth[k])), 0.6) << k;
  }
  const json defaults = proposeManualPoints(json(), 1000, 500);
  EXPECT_DOUBLE_EQ(defaults[0]["x"], 500.0);
  EXPECT_DOUBLE_EQ(defaults[0]["y"], 60.0);
  EXPECT_DOUBLE_EQ(defaults[1]["x"], 820.0);
  EXPECT_DOUBLE_EQ(defaults[3]["x"], 180.0);
  // The default diamond is itself a valid set of four points.
  EXPECT_TRUE(calibrateFromFourPoints(cv::Mat(500, 1000, CV_8UC3), json(), defaults)["accepted"]);
}

TEST(FourPoints, TruePointsWithTheLensOfTheAutomaticCalibrationGiveTheTrueGeometry) {
  const scene::Camera& camera = landmarkCamera().camera;
  const CalibrationRecord r = calibrateFromFourPoints(landmarkCamera().image, automaticRecord(), trueManualPoints(camera));
  EXPECT_EQ(r["method"], "MANUAL_FOUR_POINTS");
  EXPECT_TRUE(r["accepted"]);
  EXPECT_TRUE(r["geometry_valid"]);
  EXPECT_TRUE(r["lens_preserved"]);
  EXPECT_EQ(r["camera_model"], automaticRecord()["camera_model"]);
  ASSERT_EQ(r["manual_points"].size(), 4u);
  for (Point2 p : {Point2{0, 0}, Point2{0, -132}, Point2{100, 60}, Point2{-150, 30}}) {
    EXPECT_LT(distance(boardToImage(r, p.x, p.y), truthPixel(camera, p.x, p.y)), 1.0) << p.x << "," << p.y;
  }
}

TEST(FourPoints, WithoutALensTheHomographyMapsTheClickedPoints) {
  const json points = trueManualPoints(landmarkCamera().camera);
  const CalibrationRecord r = calibrateFromFourPoints(landmarkCamera().image, json(), points);
  EXPECT_FALSE(r["lens_preserved"]);
  EXPECT_TRUE(r["camera_model"].is_null());
  const Homography h = matrix3x3FromJson(r["board_to_image"]);
  EXPECT_LT(distance(applyHomography(h, {170.0 * std::sin(0.15707963267948966), -170.0 * std::cos(0.15707963267948966)}),
                     pointFromJson(points[0])),
            1e-3);
}

TEST(FourPoints, EachFaultHasItsMessage) {
  const cv::Mat image(720, 1280, CV_8UC3, cv::Scalar::all(0));
  const json good = {{640, 100}, {1000, 360}, {640, 620}, {280, 360}};
  auto with = [&good](int k, const json& p) {
    json points = good;
    points[k] = p;
    return points;
  };
  auto message = [&image](const json& points, const json& base = json()) {
    return errorOf([&] { calibrateFromFourPoints(image, base, points); });
  };
  EXPECT_EQ(message(good), "");
  EXPECT_EQ(message(json{{640, 100}, {1000, 360}, {640, 620}}), "Vier Punkte erforderlich");
  EXPECT_EQ(message(json::object()), "Vier Punkte erforderlich");
  EXPECT_EQ(message(with(1, "x")), "Ungültiger Kalibrierpunkt");
  EXPECT_EQ(message(with(1, json{1000, std::nan("")})), "Ungültiger Kalibrierpunkt");
  EXPECT_EQ(message(with(1, json{{"x", 1000}})), "Ungültiger Kalibrierpunkt");
  EXPECT_EQ(message(with(1, json{1280, 360})), "Alle Punkte müssen im Kamerabild liegen");
  EXPECT_EQ(message(with(2, json{640, -1})), "Alle Punkte müssen im Kamerabild liegen");
  EXPECT_EQ(message(json{{640, 100}, {280, 360}, {640, 620}, {1000, 360}}),
            "Reihenfolge oder Abstand ungültig: 20/1, 6/10, 3/19, 11/14");
  EXPECT_EQ(message(with(3, json{641, 102})), "Reihenfolge oder Abstand ungültig: 20/1, 6/10, 3/19, 11/14");
  // 11/14 on the line from 20/1 to 3/19: three points in a line.
  EXPECT_EQ(message(with(3, json{640, 360})), "Ungültige Board-Perspektive");
  // 11/14 pulled past that line: the quadrilateral folds and the board would reach the horizon.
  EXPECT_EQ(message(with(3, json{700, 360})), "Board-Perspektive zu steil oder Punkte falsch angeordnet");
  // Nearly a line: a board seen almost edge-on.
  EXPECT_EQ(message(json{{640, 340}, {1000, 360}, {640, 380}, {280, 360}}),
            "Board-Perspektive zu steil oder Punkte falsch angeordnet");
  EXPECT_EQ(message(good, automaticRecord()), "");
  const cv::Mat small(360, 640, CV_8UC3);
  EXPECT_EQ(errorOf([&] {
              calibrateFromFourPoints(small, automaticRecord(), json{{320, 50}, {500, 180}, {320, 310}, {140, 180}});
            }),
            "LENS_SIZE_MISMATCH");
}

}  // namespace
}  // namespace tarv
