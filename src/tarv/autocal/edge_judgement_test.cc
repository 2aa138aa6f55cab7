// The judgement of a camera on the edges it found: octants of each ring, wires, inliers.
#include <cmath>

#include <gtest/gtest.h>

#include "tarv/autocal/camera_edges.h"
#include "tarv/autocal/edge_judgement.h"

namespace tarv {
namespace {

constexpr double kPi = 3.14159265358979323846;

TEST(EdgeJudgement, AJudgementCountsOctantsAndWires) {
  CameraEdgeMatches m;
  for (int o = 0; o < 8; ++o) {
    m.ringInView[1][o] = 30;
    for (int i = 0; i < 30; ++i) {
      const double a = (45.0 * o + 1.5 * i - 180.0 + 0.75) * kPi / 180.0;
      m.board.emplace_back(static_cast<float>(170.0 * std::cos(a)), static_cast<float>(170.0 * std::sin(a)));
      m.image.emplace_back(0.0f, 0.0f);
      m.normal.emplace_back(1.0f, 0.0f);
      m.offsetPx.push_back(o == 3 ? 3.0f : 0.5f);  // one octant lies 3 px off
      m.kind.push_back(1);
      m.pxPerMm.push_back(1.0f);
    }
  }
  m.wireInView = 10;
  for (int i = 0; i < 10; ++i) {
    m.board.emplace_back(30.0f, 0.0f);
    m.image.emplace_back(0.0f, 0.0f);
    m.normal.emplace_back(0.0f, 1.0f);
    m.offsetPx.push_back(0.2f);
    m.kind.push_back(2);
    m.pxPerMm.push_back(1.0f);
  }
  const json j = judgeCameraOnEdges(m, 1.5);
  EXPECT_EQ(j["ring_octants"][1], json({8, 7, 1}));
  EXPECT_EQ(j["ring_octants"][0], json({0, 0, 0}));
  EXPECT_EQ(j["wire_points"], json({10, 10, 10}));
  EXPECT_EQ(j["octants"], 7);
  EXPECT_NEAR(j["rms_px"].get<double>(), std::sqrt((210 * 0.25 + 10 * 0.04) / 220.0), 1e-6);
  // A ring agrees within two thirds of the wires' distance: the octant 3 px off at 4.5.
  EXPECT_EQ(judgeCameraOnEdges(m, 4.5)["ring_octants"][1], json({8, 8, 0}));
  EXPECT_EQ(judgeCameraOnEdges(m, 3.0)["ring_octants"][1], json({8, 7, 1}));

  // The same distances on a board seen four times larger are a quarter of the millimetres:
  // judged in mm (as at kJudgedPxPerMm) the octant 3 px off agrees, its rms counts at that
  // scale; judged in pixels nothing changes.
  for (float& s : m.pxPerMm) s = 4.0f * static_cast<float>(kJudgedPxPerMm);
  EXPECT_EQ(judgeCameraOnEdges(m, 1.5)["ring_octants"][1], json({8, 7, 1}));
  const json large = judgeCameraOnEdges(m, 1.5, {}, false, true);
  EXPECT_EQ(large["ring_octants"][1], json({8, 8, 0}));
  EXPECT_EQ(large["octants"], 8);
  EXPECT_NEAR(large["rms_px"].get<double>(), std::sqrt((30 * 9.0 + 210 * 0.25 + 10 * 0.04) / 250.0) / 4.0, 1e-6);
}

// Wire points every 15 mm on each of the 20 wires, each found offsetOf(wire, radius) px across
// its wire.
template <typename Offset>
CameraEdgeMatches wirePoints(Offset offsetOf) {
  CameraEdgeMatches m;
  for (int k = 0; k < 20; ++k) {
    const double a = (81.0 - 18.0 * k) * kPi / 180.0;
    for (int r = 30; r <= 150; r += 15) {
      m.board.emplace_back(static_cast<float>(r * std::cos(a)), static_cast<float>(r * std::sin(a)));
      m.image.emplace_back(0.0f, 0.0f);
      m.normal.emplace_back(static_cast<float>(-std::sin(a)), static_cast<float>(std::cos(a)));
      m.offsetPx.push_back(static_cast<float>(offsetOf(k, a, r)));
      m.kind.push_back(2);
      m.pxPerMm.push_back(1.0f);
      ++m.wireInView;
    }
  }
  return m;
}

TEST(EdgeJudgement, WiresSeenByTheirDarkSideAgreeWhereATurnedOrShiftedCameraDoesNot) {
  // A raised wire seen low shows its edge on its black bed's side, 2.2 px off its middle, and
  // the beds alternate: the camera is right, though no wire lies within 1.5 px of it.
  const json raised = judgeCameraOnEdges(wirePoints([](int k, double, int) { return k % 2 == 0 ? 2.2 : -2.2; }), 1.5);
  EXPECT_EQ(raised["wire_points"][2], 0);
  EXPECT_DOUBLE_EQ(darkSideWireShare(raised), 1.0);
  // The other parity of the turn leans the other way.
  EXPECT_DOUBLE_EQ(darkSideWireShare(judgeCameraOnEdges(wirePoints([](int k, double, int) { return k % 2 == 0 ? -2.2 : 2.2; }), 1.5)), 1.0);
  // A camera turned by 1.2 degrees: every wire off the same way, more at the rim.
  const json turned = judgeCameraOnEdges(wirePoints([](int, double, int r) { return r * 1.2 * kPi / 180.0; }), 1.5);
  EXPECT_LT(darkSideWireShare(turned), kMinConfirmingWireShare);
  // A camera shifted 2.5 px along y: wires on either side of the bull off opposite ways.
  const json shifted = judgeCameraOnEdges(wirePoints([](int, double a, int) { return 2.5 * std::cos(a); }), 1.5);
  EXPECT_LT(darkSideWireShare(shifted), kMinConfirmingWireShare);
}

}  // namespace
}  // namespace tarv
