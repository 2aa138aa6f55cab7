#include "landmark_training/real_frames.h"

#include <cmath>

#include <gtest/gtest.h>

#include "tarv/autocal/board_fit.h"
#include "tarv/board/board_layout.h"
#include "tarv/core/engine_values.h"

namespace landmark_real {
namespace {

using json = nlohmann::json;

// A camera looking at the board from below its centre, the board frame in millimetres.
const tarv::Homography kView{2.4, 0.15, 960.0, -0.05, 1.7, 520.0, 0.0, 0.0009, 1.0};

tarv::Point2 twentyMiddle() {
  for (const double y : {-135.0, 135.0}) {
    if (tarv::sectorOfPoint({0.0, y}) == 20) return {0.0, y};
  }
  return {};
}

json labelOf(const tarv::Homography& h, double ringMm) {
  json ring = json::array();
  for (int i = 0; i < 72; ++i) {
    const double a = i * 5.0 * 3.14159265358979323846 / 180.0;
    const tarv::Point2 p = tarv::applyHomography(h, {ringMm * std::cos(a), ringMm * std::sin(a)});
    ring.push_back({p.x, p.y});
  }
  const tarv::Point2 bull = tarv::applyHomography(h, {0.0, 0.0});
  const tarv::Point2 twenty = tarv::applyHomography(h, twentyMiddle());
  return {{"file", "a.png"},     {"repo", "someone/boards"},     {"rings", {ring}},
          {"ring_mm", ringMm},   {"bull_px", {bull.x, bull.y}}, {"twenty_px", {twenty.x, twenty.y}}};
}

tarv::CalibrationRecord recordOf(const tarv::Homography& h) {
  return {{"geometry_valid", true}, {"accepted", true}, {"camera_model", nullptr}, {"board_to_image", tarv::matrix3x3ToJson(h)}};
}

TEST(RealFrames, ACalibrationTurnedBySectorsIsOffThoughItsRingLiesOnTheLabel) {
  const RealLabel label = readRealLabels(json::array({labelOf(kView, 169.5)})).at(0);
  ASSERT_TRUE(label.bulls.size() == 1 && label.click());
  EXPECT_DOUBLE_EQ(label.ringMm, 169.5);

  const Placement right = placeRecord(recordOf(kView), label);
  EXPECT_TRUE(right.geometry && right.twentyRight);
  EXPECT_LT(right.offPx(), 0.05);
  const Placement engine = placeHomography(kView, label);
  EXPECT_LT(engine.offPx(), 0.05);

  // Turned by one sector and by half a turn: the same rings and bull, the 20 elsewhere.
  for (const int k : {1, 10}) {
    const tarv::Homography turned = tarv::rotateBoardFrame(kView, k);
    const Placement record = placeRecord(recordOf(turned), label);
    EXPECT_LT(record.ringPx, 0.05);
    EXPECT_FALSE(record.twentyRight);
    EXPECT_TRUE(std::isinf(record.offPx()));
    EXPECT_FALSE(placeHomography(turned, label).twentyRight);
  }

  // Two boards in view: a calibration is judged, and tapped, on the board it lies on.
  tarv::Homography second = kView;
  second[2] += 700.0;
  json both = labelOf(kView, 169.5), other = labelOf(second, 169.5);
  both["rings"].push_back(other["rings"][0]);
  both["bull_px"] = {both["bull_px"], other["bull_px"]};
  both["twenty_px"] = {both["twenty_px"], other["twenty_px"]};
  const RealLabel two = readRealLabels(json::array({both})).at(0);
  const Placement onSecond = placeRecord(recordOf(second), two);
  EXPECT_EQ(onSecond.board, 1u);
  EXPECT_TRUE(onSecond.twentyRight);
  EXPECT_LT(onSecond.offPx(), 0.05);
  EXPECT_NEAR(two.click(onSecond.board)->x, other["twenty_px"][0].get<double>(), 1e-9);

  // The radius the label names is the one judged: a 170 mm ring read as one at 169.5 mm lies
  // about a pixel off; without geometry there is nothing to judge.
  RealLabel misread = readRealLabels(json::array({labelOf(kView, 170.0)})).at(0);
  EXPECT_LT(placeHomography(kView, misread).ringPx, 0.05);
  misread.ringMm = 169.5;
  EXPECT_GT(placeHomography(kView, misread).ringPx, 0.4);
  EXPECT_FALSE(placeRecord({{"geometry_valid", false}}, label).geometry);
  EXPECT_TRUE(std::isnan(placeRecord({{"geometry_valid", false}}, label).offPx()));
}

TEST(RealFrames, AMalformedLabelFailsNamingItsIndex) {
  json good = labelOf(kView, 170.0);
  EXPECT_EQ(readRealLabels(json::array({good, good})).size(), 2u);
  json shortRing = good;
  shortRing["rings"][0].erase(0);
  try {
    readRealLabels(json::array({good, shortRing}));
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("label 1 ring 0"), std::string::npos) << e.what();
  }
  json noRings = good;
  noRings.erase("rings");
  EXPECT_THROW(readRealLabels(json::array({noRings})), std::runtime_error);
  json badTwenty = good;
  badTwenty["twenty_px"] = {1.0};
  EXPECT_THROW(readRealLabels(json::array({badTwenty})), std::runtime_error);
  json twoBoards = good;
  twoBoards["rings"].push_back(good["rings"][0]);
  EXPECT_THROW(readRealLabels(json::array({twoBoards})), std::runtime_error);  // one 20 for two boards
  twoBoards["twenty_px"] = {good["twenty_px"], good["twenty_px"]};
  twoBoards["bull_px"] = {good["bull_px"], good["bull_px"]};
  EXPECT_EQ(readRealLabels(json::array({twoBoards})).at(0).twenties.size(), 2u);
  json badRadius = good;
  badRadius["ring_mm"] = -1.0;
  EXPECT_THROW(readRealLabels(json::array({badRadius})), std::runtime_error);
  EXPECT_THROW(readRealLabels(json::object()), std::runtime_error);
}

// A frame labelled for training carries no tap of its own: the checked camera's homography
// gives its bull and tap, and failing that its training landmarks (the bull, the printed 20)
// with its ring do, through the cross-ratio along the 20's radial line.
TEST(RealFrames, AFrameLabelledFromACheckedCameraIsTappedOnItsTwenty) {
  const tarv::Point2 twenty = tarv::applyHomography(kView, twentyMiddle());
  const tarv::Point2 bull = tarv::applyHomography(kView, {0.0, 0.0});
  const tarv::Point2 number = tarv::applyHomography(kView, {twentyMiddle().x * 192.0 / 135.0, twentyMiddle().y * 192.0 / 135.0});
  json fromCamera = labelOf(kView, 170.0);
  fromCamera.erase("bull_px");
  fromCamera.erase("twenty_px");
  json fromLandmarks = fromCamera;
  fromCamera["board_to_image"] = tarv::matrix3x3ToJson(kView);
  fromLandmarks["landmarks"] = {{0, bull.x, bull.y, 30.0, 30.0}, {1, 5.0, 5.0, 4.0, 4.0}, {2, number.x, number.y, 16.0, 16.0}};
  for (const json& entry : {fromCamera, fromLandmarks}) {
    const RealLabel label = readRealLabels(json::array({entry})).at(0);
    ASSERT_TRUE(label.click().has_value());
    EXPECT_LT(std::hypot(label.click()->x - twenty.x, label.click()->y - twenty.y), 0.5);
    ASSERT_EQ(label.bulls.size(), 1u);
    EXPECT_LT(std::hypot(label.bulls[0].x - bull.x, label.bulls[0].y - bull.y), 1e-6);
  }
}

}  // namespace
}  // namespace landmark_real
