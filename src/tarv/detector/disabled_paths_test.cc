// Decision paths switched off through TARV_DISABLE_PATHS (the test runs with the consensus,
// the majority rule, the field vote, the bed colour, the tie-break, the meeting lines and the
// rod's foot switched off): a dart is left unresolved, the decision window opens, and the stable
// hypothesis settles it over the frames that follow.
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "host/host_protocol.h"
#include "scene/scene.h"
#include "tarv/core/board_geometry.h"
#include "tarv/detector/throw_evaluation.h"
#include "tarv/engine/engine.h"
#include "tarv/tarv.h"

namespace tarv {
namespace {

using json = nlohmann::json;

TEST(DisabledPaths, AnUnresolvedDartIsSettledByTheStableHypothesis) {
  const char* disabled = std::getenv("TARV_DISABLE_PATHS");
  if (disabled == nullptr || std::string(disabled).find("FIELD_VOTE") == std::string::npos) {
    GTEST_SKIP() << "runs under ctest, with TARV_DISABLE_PATHS set";
  }
  ASSERT_FALSE(isPathEnabled("CONSENSUS"));
  ASSERT_FALSE(isPathEnabled("MEETING_LINES"));
  ASSERT_FALSE(isPathEnabled("ROD_FOOT"));
  ASSERT_TRUE(isPathEnabled("STABLE_HYPOTHESIS"));

  void* engine = tarv_create();
  const auto call = [engine](const json& request) { return json::parse(tarv_call(engine, request.dump().c_str())); };
  const scene::Renderer& renderer = scene::defaultRenderer();
  const scene::SceneImages& empty = scene::defaultEmptyBoard();
  ASSERT_EQ(call(host::armRequest(empty.truth, empty.frames)).value("status", ""), "READY");
  host::FrameClock clock;
  scene::Scene scene;
  scene::Dart dart;
  dart.tip_mm = {-52.0, 71.0};
  scene.darts.push_back(dart);
  const scene::SceneImages shot = renderer.render(scene);
  const std::string field = shot.truth.darts[0].field;

  json reply;
  double firstUnresolved = -1.0;
  for (int i = 0; i < 40; ++i) {
    reply = call(clock.detectRequest(shot.frames));
    const std::string status = reply.value("status", "");
    if (status == "DART_CANDIDATE") break;
    if (status != "POSITION_UNRESOLVED") continue;
    if (firstUnresolved < 0.0) {
      firstUnresolved = clock.now();
      // Undecided: nothing entered, the window is open, the hypothesis is the field vote's.
      EXPECT_TRUE(reply["entries"].empty());
      EXPECT_TRUE(reply["decision_window"]["active"].get<bool>());
      EXPECT_TRUE(reply["engine_flags"]["unresolved"].get<bool>());
      EXPECT_EQ(reply["arbitration"]["hypothesis"]["field"], field);
      EXPECT_TRUE(reply["arbitration"]["hypothesis"]["eligible"].get<bool>());
      EXPECT_TRUE(reply["decision"]["point"].is_array());
      const Round& round = static_cast<Engine*>(engine)->round;
      EXPECT_TRUE(round.pendingCandidate["point"].is_array());
      EXPECT_TRUE(round.fallbackPoint.is_array());
      EXPECT_EQ(round.heldEventCount, 1);
    }
  }
  ASSERT_GE(firstUnresolved, 0.0);
  ASSERT_EQ(reply.value("status", ""), "DART_CANDIDATE") << reply.dump().substr(0, 400);
  EXPECT_EQ(reply["decision"]["path"], "STABLE_HYPOTHESIS");
  EXPECT_EQ(reply["entry"]["selected_field"], field);
  EXPECT_GE(clock.now() - firstUnresolved, 0.75);
  EXPECT_EQ(reply["arbitration"]["stable"]["reason"], "STABLE_HYPOTHESIS_TIMEOUT");
  const Round& round = static_cast<Engine*>(engine)->round;
  EXPECT_TRUE(round.stableHypothesisHistory.empty());
  EXPECT_TRUE(round.heldEventRecord.is_null());
  tarv_destroy(engine);
}

}  // namespace
}  // namespace tarv
