// The two-camera tip election on hand-made views seen through identity homographies (image
// pixels are board millimetres): each rule of the election in its order of strength.
#include <cmath>

#include <gtest/gtest.h>

#include "tarv/board/board_layout.h"
#include "tarv/variants/duo_engine.h"
#include "tarv/variants/variant_views.h"

namespace tarv {
namespace {

std::string fieldAt(double x, double y) { return classifyBoardPoint({x, y}, 2.0)["nominal_field"]; }

// One camera's axis: a line through the tip point (x, y) along (dx, dy), its tip vote there.
json axis(double x, double y, double dx, double dy, double pixelError = 0.5) {
  const double n = std::hypot(dx, dy);
  const json line = {-dy / n, dx / n, (dy * x - dx * y) / n};
  const json vote = {{"abstention", false}, {"tip_valid", true}, {"axis_valid", true}, {"line", line},
                     {"point", {x, y}}, {"image_point", {x, y}}, {"axis_index", 0}, {"pixel_error", pixelError},
                     {"error_mm", pixelError}, {"field", fieldAt(x, y)}};
  const json observation = {{"origin_px", {x, y}}, {"direction_xy", {dx / n, dy / n}}, {"axis_valid", true},
                            {"support_endpoints_px", {{x, y}, {x + 40 * dx / n, y + 40 * dy / n}}}};
  return {{"votes", json::array({vote})}, {"observations", json::array({observation})}};
}

// Tip searches of one camera that all found the point.
json searches(double x, double y, int count = 4) {
  json c = json::object();
  const char* names[] = {"colour", "frame", "fresh", "stored"};
  for (int i = 0; i < count; ++i) {
    c[names[i]] = {{"status", "CANDIDATE"}, {"quality", 0.9}, {"kind", names[i]}, {"point", {x, y}},
                   {"field", fieldAt(x, y)}};
  }
  return c;
}

const std::array<Homography, 2> kIdentity{identityHomography(), identityHomography()};

// Lines crossing within reach of both cameras' own tips fix the point.
TEST(DuoTipElection, LinesCrossingAtBothTipsAreTwoViewLines) {
  const DuoTipElection e = electDuoTip({axis(60, 10, 0, 1), axis(61, 10.5, 1, 0)}, {json::object(), json::object()}, kIdentity);
  EXPECT_EQ(e.decision["method"], "TWO_VIEW_LINES") << e.decision.dump();
  EXPECT_LT(std::hypot(e.decision["point"][0].get<double>() - 60.0, e.decision["point"][1].get<double>() - 10.5), 1.0);
  EXPECT_FALSE(e.singleCamera);
  EXPECT_EQ(e.supporting, 2);
}

// Two lines that cross clearly where only one camera's own tip lies (the other camera's tip
// 60 mm along its line) are no line decision: each camera's own election speaks. The second
// camera's line passes 60 mm from the first camera's tip and gainsays it; the first camera's
// line passes 3 mm from the second's, which stands alone and needs a fresh sample; its point
// goes along its own line to where the first camera's line crosses it.
TEST(DuoTipElection, ACrossingOnlyOneCamerasTipReachesIsNoLineDecision) {
  const DuoTipElection e = electDuoTip({axis(60, 70, 0, 1), axis(63, 10, 1, 0)}, {json::object(), json::object()}, kIdentity);
  EXPECT_EQ(e.decision["method"], "ONE_OF_TWO_CAMERAS") << e.decision.dump();
  EXPECT_EQ(e.decision["camera"], "CAM_2");
  EXPECT_EQ(e.decision["own_point"], json({63.0, 10.0}));
  EXPECT_NEAR(e.decision["point"][0].get<double>(), 60.0, 1e-9);
  EXPECT_NEAR(e.decision["point"][1].get<double>(), 10.0, 1e-9);
  EXPECT_TRUE(e.singleCamera);
  EXPECT_NE(fieldAt(60, 70), fieldAt(63, 10));
}

// Where neither camera's tip lies on the other camera's line, neither stands alone.
TEST(DuoTipElection, TipsThatEachOtherCamerasLineMissesAreLeftOpen) {
  const DuoTipElection e = electDuoTip({axis(60, 70, 0, 1), axis(20, 10, 1, 0)}, {json::object(), json::object()}, kIdentity);
  EXPECT_EQ(e.decision["method"], "UNRESOLVED") << e.decision.dump();
  EXPECT_EQ(e.decision["reason"], "OTHER_LINE_GAINSAYS_TIP");
  EXPECT_EQ(e.decision["mono"]["gainsaid"].size(), 2u);
}

// A camera whose axis gave no line (its vote abstained) says nothing of where the other
// camera's tip lies: having no line is no line passing far from it.
TEST(DuoTipElection, AnAxisWithoutALineGainsaysNoTip) {
  json lineless = axis(-170, 150, -0.9, 0.44);
  lineless["votes"] = json::array({{{"abstention", true}, {"axis_index", 0}}});
  const DuoTipElection e = electDuoTip({axis(-6.4, 27.1, 0.78, 0.63), lineless}, {json::object(), json::object()}, kIdentity);
  EXPECT_EQ(e.supporting, 2);
  EXPECT_NE(e.decision["method"], "UNRESOLVED") << e.decision.dump();
  EXPECT_EQ(e.decision["camera"], "CAM_1") << e.decision.dump();
  EXPECT_EQ(e.decision["point"], json({-6.4, 27.1}));
}

TEST(DuoTipElection, OneCameraAloneDecidesAsOneOfTwoCameras) {
  const DuoTipElection e = electDuoTip({nullptr, axis(64, 40, 1, 0)}, {json::object(), json::object()}, kIdentity);
  EXPECT_EQ(e.decision["method"], "ONE_OF_TWO_CAMERAS") << e.decision.dump();
  EXPECT_EQ(e.decision["camera"], "CAM_2");
  EXPECT_EQ(e.decision["uncertainty_mm"], 3.0);
  EXPECT_EQ(e.decision["point"], json({64.0, 40.0}));
  EXPECT_TRUE(e.singleCamera);
  EXPECT_EQ(e.supporting, 1);
  EXPECT_EQ(e.mono[0]["reason"], "NO_FRESH_SUPPORT");
}

// With one camera's axis only, the tip searches of both cameras agreeing decide.
TEST(DuoTipElection, TheTipSearchesOfBothCamerasDecideWhenTheLinesCannot) {
  const DuoTipElection e = electDuoTip({nullptr, axis(64, 40, 1, 0)}, {searches(30, -50), searches(30.5, -50)}, kIdentity);
  EXPECT_EQ(e.decision["method"], "TWO_VIEW_POINT_CONSENSUS") << e.decision.dump() << e.consensus.dump();
  EXPECT_EQ(e.decision["uncertainty_mm"], 2.0);
  EXPECT_TRUE(e.consensus["used_for_decision"].get<bool>());
  EXPECT_FALSE(e.singleCamera);
}

// A line decision is checked against the searches' consensus: agreeing within 6 mm and in its
// field, or not (which the evaluation answers as a geometry conflict).
TEST(DuoTipElection, TheConsensusAgreesWithTheLinesOrNot) {
  const std::array<json, 2> axes{axis(60, 10, 0, 1), axis(61, 10.5, 1, 0)};
  const DuoTipElection agreeing = electDuoTip(axes, {searches(61, 11), searches(60, 10)}, kIdentity);
  EXPECT_EQ(agreeing.decision["method"], "TWO_VIEW_LINES");
  EXPECT_TRUE(agreeing.consensus["agrees_with_geometry"].get<bool>()) << agreeing.consensus.dump();
  const DuoTipElection conflicting = electDuoTip(axes, {searches(-40, 90), searches(-40, 90)}, kIdentity);
  EXPECT_EQ(conflicting.decision["method"], "TWO_VIEW_LINES");
  EXPECT_FALSE(conflicting.consensus["agrees_with_geometry"].get<bool>()) << conflicting.consensus.dump();
  EXPECT_EQ(conflicting.consensus["selected"]["cameras"].size(), 2u);
}

// Searches of both cameras that meet the crossing within 2 mm but across the wire it touches
// (here the one between the 20 and the 1) name the side; 3 mm away they are a conflict again.
TEST(DuoTipElection, SearchesBesideACrossingNameTheSideOfTheWire) {
  const double s = std::sin(9.0 * M_PI / 180.0), c = std::cos(9.0 * M_PI / 180.0);
  const auto besideWire = [&](double across) { return std::array<double, 2>{60.0 * s + across * c, -60.0 * c + across * s}; };
  const auto [px, py] = besideWire(0.5);
  const std::array<json, 2> axes{axis(px, py - 0.3, 0, 1), axis(px + 0.4, py, 1, 0)};
  ASSERT_EQ(fieldAt(px, py), "S1");
  const auto [qx, qy] = besideWire(-0.5);
  ASSERT_EQ(fieldAt(qx, qy), "S20");
  const DuoTipElection near = electDuoTip(axes, {searches(qx, qy), searches(qx, qy)}, kIdentity);
  EXPECT_EQ(near.decision["method"], "TWO_VIEW_POINT_CONSENSUS") << near.decision.dump();
  EXPECT_EQ(near.decision["point"], json({qx, qy}));
  EXPECT_EQ(near.decision["line_decision"]["method"], "TWO_VIEW_LINES");
  EXPECT_TRUE(near.consensus["used_for_decision"].get<bool>());
  EXPECT_FALSE(near.consensus["agrees_with_geometry"].get<bool>());
  const auto [fx, fy] = besideWire(-2.5);
  const DuoTipElection far = electDuoTip(axes, {searches(fx, fy), searches(fx, fy)}, kIdentity);
  EXPECT_EQ(far.decision["method"], "TWO_VIEW_LINES") << far.decision.dump();
  EXPECT_FALSE(far.consensus["used_for_decision"].get<bool>());
}

// Nearly parallel lines give no crossing; imprecise tips no single-camera answer of the
// reconstruction: the two cameras' own elections agree on the field, within 6 mm or not.
TEST(DuoTipElection, TwoCamerasAgreeingOnTheFieldAndHowClose) {
  const DuoTipElection near = electDuoTip({axis(60, 40, 0, 1, 4.0), axis(60, 42, 0.02, 1, 4.0)},
                                          {json::object(), json::object()}, kIdentity);
  ASSERT_EQ(near.decision["method"], "TWO_CAMERA_MONO_AGREEMENT") << near.decision.dump();
  EXPECT_EQ(near.decision["uncertainty_mm"], 3.0);
  const DuoTipElection far = electDuoTip({axis(60, 36, 0, 1, 4.0), axis(60, 45, 0.02, 1, 4.0)},
                                         {json::object(), json::object()}, kIdentity);
  ASSERT_EQ(far.decision["method"], "TWO_CAMERA_FIELD_AGREEMENT") << far.decision.dump();
  EXPECT_NEAR(far.decision["uncertainty_mm"].get<double>(), 9.0, 1e-9);
  // Both tips on their lines and the same scale here: camera 1 is chosen.
  EXPECT_EQ(far.decision["point"], json({60.0, 36.0}));
}

}  // namespace
}  // namespace tarv
