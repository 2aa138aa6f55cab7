// Cameras 60 degrees off the board normal see a dart near the double ring lying far out over
// the surround: only its point lies over the scoring region, and a dark barrel over the dark
// number ring cuts it off from its shaft and flight. The dart is still measured whole.
#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "tarv/core/board_geometry.h"
#include "tarv/detector/rig_engine_test_support.h"

namespace tarv {
namespace {

using json = nlohmann::json;

class SteepCameras : public EngineOnRig {
 protected:
  SteepCameras() : EngineOnRig(scene::rigAtElevation({1280, 720}, 60.0)) {}
};

// The third dart lands 0.2 mm outside the double ring at the 19. Two of the cameras see only
// its point over the region; with the rest of it they have their own lines and tips, and the
// cameras place it within a few millimetres of the truth instead of giving no tip at all.
TEST_F(SteepCameras, ADartReachingFarOverTheSurroundIsMeasuredWhole) {
  const json last = throwInTurn({
      dartAlong(115.772022, 19.264791, {0.195956213, -0.312651761, -0.929435333}, {205, 95, 20}, 19.336),
      dartAlong(-162.575257, -46.911653, {-0.196631185, -0.412992935, -0.889254189}, {30, 205, 235}, 9.572),
      dartAlong(-61.022688, 158.853641, {0.221369469, 0.392856375, -0.892557800}, {60, 170, 40}, 36.823),
  });
  ASSERT_EQ(shot_.truth.darts.size(), 3u);
  const scene::DartTruth& truth = shot_.truth.darts[2];
  EXPECT_NE(last.value("reason", ""), "NO_TIP_FROM_THE_CAMERAS") << last.dump().substr(0, 600);
  // Every camera counts the dart: its pieces beyond the region join the point.
  for (const std::string id : {"CAM_1", "CAM_2", "CAM_3"}) {
    const json& seen = last["cameras"][id];
    EXPECT_GE(seen.value("dart_pixels", 0), seen.value("min_pixels", 1)) << id;
  }
  // Each camera has a tip, and the decision a point, near the truth.
  int tips = 0;
  for (const json& view : last["views"]) {
    const json& vote = view["votes"][0];
    if (vote.value("abstention", true) || !vote.value("tip_valid", false)) continue;
    ++tips;
  }
  EXPECT_EQ(tips, 3);
  const json& decision = last["decision"];
  ASSERT_TRUE(decision.is_object() && decision["point"].is_array()) << last.dump().substr(0, 600);
  const Point2 p = pointFromJson(decision["point"]);
  EXPECT_LT(std::hypot(p.x - truth.tip_mm.x, p.y - truth.tip_mm.y), 4.0);
  // The first two darts are entered once each, with their fields; nothing extra.
  const json& entries = last["entries"];
  ASSERT_GE(entries.size(), 2u);
  EXPECT_LE(entries.size(), 3u);
  EXPECT_EQ(entries[0]["selected_field"], shot_.truth.darts[0].field);
  EXPECT_EQ(entries[1]["selected_field"], shot_.truth.darts[1].field);
}

}  // namespace
}  // namespace tarv
