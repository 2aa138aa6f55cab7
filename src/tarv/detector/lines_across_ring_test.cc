// A dart a few tenths of a millimetre inside a ring, seen by cameras close to the board plane.
// One pixel along a dart's image is millimetres on the board for such a camera, so every
// camera's own tip may fall on the far side of the ring while the three lines meet inside it.
#include <cmath>
#include <string>

#include <gtest/gtest.h>

#include "tarv/core/board_geometry.h"
#include "tarv/detector/rig_engine_test_support.h"

namespace tarv {
namespace {

using json = nlohmann::json;

class LowCamerasAtTheDoubleRing : public EngineOnRig {
 protected:
  LowCamerasAtTheDoubleRing() : EngineOnRig(scene::rigCloseToPlane({1280, 720}, 440.0, 20.0)) {}
};

bool isWaiting(const json& reply) {
  const std::string status = reply.value("status", "");
  return status == "WAIT" || status == "RECOVERY_WAIT" || status == "POSITION_UNRESOLVED" ||
         status == "DECISION_REVIEW_REQUIRED";
}

// The second dart is 0.4 mm inside the double's outer edge: each camera's tip lies 0.5 to 2.5 mm
// beyond the edge along its own line, the three lines meet within a few hundredths of a
// millimetre of each other, every pair of them inside the double.
TEST_F(LowCamerasAtTheDoubleRing, ThreeLinesMeetingInsideTheDoubleScoreIt) {
  const json last = throwInTurn({
      dartAlong(-99.082883013, 100.135535029, {-0.062473503, -0.007177575, -0.998020813}, {60, 170, 40}, 52.041369),
      dartAlong(-32.918613927, 166.410360210, {-0.088547971, 0.137405192, -0.986549071}, {60, 170, 40}, 3.700619),
  });
  EXPECT_FALSE(isWaiting(last)) << last.value("status", "") << " " << last.value("reason", "");
  const json& entries = last["entries"];
  ASSERT_EQ(entries.size(), 2u) << last.dump().substr(0, 600);
  const scene::DartTruth& truth = shot_.truth.darts[1];
  ASSERT_EQ(truth.field, "D19");
  EXPECT_EQ(entries[1]["selected_field"], "D19");
  const Point2 p = pointFromJson(entries[1]["board_xy_nominal_mm"]);
  EXPECT_LT(std::hypot(p.x - truth.tip_mm.x, p.y - truth.tip_mm.y), 0.5);
  // Nothing more comes of the dart on the frames that follow.
  for (int i = 0; i < 4; ++i) {
    const json again = call(clock_.detectRequest(shot_.frames));
    EXPECT_FALSE(isWaiting(again)) << again.value("status", "") << " " << again.value("reason", "");
    EXPECT_EQ(again["entries"].size(), 2u);
  }
}

}  // namespace
}  // namespace tarv
