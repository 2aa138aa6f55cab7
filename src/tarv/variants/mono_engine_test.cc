// The one-camera engine through the exported functions, on rendered scenes of the default
// rig's most frontal camera.
#include <cmath>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "scene/scene.h"
#include "tarv/core/engine_values.h"
#include "tarv/detector/throw_evaluation.h"
#include "tarv/engine/engine.h"
#include "tarv/variants/variant_host_test_support.h"

namespace tarv {
namespace {

const scene::SceneImages& empty() { return scene::defaultEmptyBoard(); }

json enter(VariantHost& host, const scene::SceneImages& shot) {
  json reply;
  for (int i = 0; i < 4; ++i) {
    reply = host.detect(host.pick(shot), host.now() + 1.0 / 30.0);
    if (reply.value("status", "") == "DART_CANDIDATE") break;
  }
  return reply;
}

class MonoRound : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(host.arm(empty()).value("status", ""), "READY"); }
  MonoEngine& engine() { return static_cast<Engine*>(host.engine())->monoEngine; }
  VariantHost host{1};
  const std::vector<scene::Dart> darts{dartAt(10.0, -103.0), dartAt(-60.0, 40.0, 20.0, 100.0),
                                       dartAt(70.0, 100.0, 8.0, 300.0)};
};

TEST_F(MonoRound, ThreeDartsTakeoutAndTheNextRound) {
  for (size_t n = 1; n <= darts.size(); ++n) {
    const scene::SceneImages shot = renderDarts({darts.begin(), darts.begin() + static_cast<long>(n)});
    const json reply = enter(host, shot);
    ASSERT_EQ(reply.value("status", ""), "DART_CANDIDATE") << reply.dump().substr(0, 300);
    const json& entry = reply["entry"];
    EXPECT_EQ(entry["field"]["selected_field"], shot.truth.darts.back().field);
    EXPECT_EQ(entry["confidence"]["cameras"], 1);
    EXPECT_EQ(entry["id"], n);
    EXPECT_EQ(reply["executionBackend"], executionBackendName("_MONO"));
    EXPECT_EQ(host.settle(shot)["status"], n == 3 ? "ROUND_FULL" : "READY");
  }
  host.settle(renderDarts(darts, true), true);
  EXPECT_TRUE(engine().takeoutLatch);
  EXPECT_EQ(host.detect(host.pick(empty()), host.now() + 0.03)["status"], "EMPTY_PENDING");
  const json reset = host.detect(host.pick(empty()), host.now() + 0.03);
  EXPECT_EQ(reset["status"], "EMPTY_RESET");
  EXPECT_EQ(reset["round"], 2);
  EXPECT_FALSE(reset["engine_flags"]["takeout"].get<bool>());
  const scene::SceneImages next = renderDarts({dartAt(40.0, 60.0, 15.0, 60.0)});
  const json reply = enter(host, next);
  ASSERT_EQ(reply.value("status", ""), "DART_CANDIDATE");
  EXPECT_EQ(reply["entry"]["field"]["selected_field"], next.truth.darts[0].field);
  EXPECT_EQ(reply["entry"]["round"], 2);
}

TEST_F(MonoRound, EveryReplyCarriesTheCommonKeys) {
  const json unchanged = host.detect(host.pick(empty()), 5.0);
  EXPECT_EQ(unchanged["status"], "READY");
  EXPECT_TRUE(unchanged["unchanged"].get<bool>());
  const json again = host.detect(host.pick(empty()), 5.03);
  EXPECT_TRUE(again["state"].is_null());
  EXPECT_EQ(again["snapshot"]["data"]["event"], "Started");
  cv::Mat small;
  cv::resize(empty().frames[2], small, cv::Size(640, 360));
  const json resized = host.detect({small}, 5.06);
  EXPECT_EQ(resized["status"], "CALIBRATION_REJECTED");
  EXPECT_EQ(resized["reason"], "CAMERA_RESOLUTION_CHANGED");
  for (const json* reply : {&unchanged, &again, &resized}) {
    for (const char* key : {"entries", "snapshot", "round", "engine_flags", "processMs", "executionBackend"}) {
      EXPECT_TRUE(reply->contains(key)) << key;
    }
  }
}

TEST_F(MonoRound, AHandLatchesATakeoutOnlyWithDartsInTheRound) {
  EXPECT_FALSE(host.detect(host.pick(renderDarts({}, true)), 5.0, true)["engine_flags"]["takeout"].get<bool>());
  ASSERT_EQ(enter(host, renderDarts({darts[0]}))["status"], "DART_CANDIDATE");
  const json seen = host.detect(host.pick(renderDarts({darts[0]}, true)), host.now() + 0.03, true);
  EXPECT_TRUE(seen["engine_flags"]["takeout"].get<bool>());
  EXPECT_TRUE(seen["engine_flags"]["hand"].get<bool>());
  const json quiet = host.detect(host.pick(renderDarts({darts[0]})), host.now() + 0.03);
  EXPECT_FALSE(quiet["engine_flags"]["takeout"].get<bool>());
  EXPECT_EQ(quiet["entries"].size(), 1u);
}

TEST(MonoArm, NotArmedUntilAnArmSucceedsAndTheMissRadiusRule) {
  VariantHost host(1);
  EXPECT_EQ(host.detect(host.pick(empty()), 1.0).value("error", ""), "ENGINE_NOT_ARMED");
  EXPECT_TRUE(host.arm(empty(), {{"calibration", {{1, 0}, {0, 1}}}}).contains("error"));
  EXPECT_EQ(host.detect(host.pick(empty()), 1.1).value("error", ""), "ENGINE_NOT_ARMED");
  for (const auto& [given, stored] : std::vector<std::pair<json, double>>{
           {169.9, 240.0}, {170.0, 170.0}, {600.0, 600.0}, {600.1, 240.0}, {nullptr, 240.0}}) {
    json extra = json::object();
    if (!given.is_null()) extra["miss_radius_mm"] = given;
    const json armed = host.arm(empty(), extra);
    ASSERT_EQ(armed.value("status", ""), "READY") << armed.dump().substr(0, 200);
    EXPECT_EQ(missRadiusMm(), stored) << given;
  }
  // A failed arm leaves the radius every engine path shares as it was.
  ASSERT_EQ(host.arm(empty(), {{"miss_radius_mm", 600.0}})["status"], "READY");
  EXPECT_TRUE(host.arm(empty(), {{"miss_radius_mm", 170.0}, {"calibration", {{1, 0}, {0, 1}}}}).contains("error"));
  EXPECT_EQ(missRadiusMm(), 600.0);
  const json armed = host.arm(empty());
  EXPECT_EQ(armed["executionBackend"], executionBackendName("_MONO"));
  EXPECT_EQ(armed["state"], armed["snapshot"]);
  EXPECT_TRUE(armed["armed"].get<bool>());
}

}  // namespace
}  // namespace tarv
