#include "tarv/runtime/runtime.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "tarv/runtime/runtime_test_support.h"
#include "tarv/tarv.h"

namespace tarv {
namespace {

using json = nlohmann::json;

json call(void* runtime, const json& request) {
  return json::parse(tarv_runtime_call(runtime, request.dump().c_str()));
}

size_t filesNamed(const std::string& root, const std::string& prefix) {
  size_t n = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    if (entry.path().filename().string().rfind(prefix, 0) == 0) ++n;
  }
  return n;
}

TEST(RuntimeRoad, ThrownDartOnFileCamerasIsScoredAndRecorded) {
  const auto& videos = testing::oneDartVideos();
  const std::string reports = testing::scratchFolder("road-reports");
  void* rt = tarv_runtime_create();
  ASSERT_NE(rt, nullptr);
  const json started = call(rt, {{"command", "start"}, {"config", testing::startConfig(videos, reports)}});
  ASSERT_EQ(started.value("status", ""), "CAPTURE_STARTED") << started.dump();

  const json ready = testing::pollUntil(rt, "STARTUP_READY", 6.0);
  ASSERT_EQ(ready["result"].value("status", ""), "STARTUP_READY") << ready.dump();
  const json thrown = testing::pollUntil(rt, "DART_CANDIDATE", 8.0);
  ASSERT_EQ(thrown["result"].value("status", ""), "DART_CANDIDATE") << thrown.dump().substr(0, 2000);
  const json& event = thrown["result"]["state"];
  EXPECT_EQ(event["data"].value("event", ""), "Throw detected");
  EXPECT_EQ(event["data"]["throws"][0]["segment"].value("name", ""), "T20");

  EXPECT_EQ(call(rt, {{"command", "stop"}}).value("status", ""), "STOPPED");
  EXPECT_GE(filesNamed(reports, "event-"), 1u);
  EXPECT_EQ(call(rt, {{"command", "poll"}}).value("status", ""), "STOPPED");
  tarv_runtime_destroy(rt);
}

// A rig whose third camera was calibrated 15 px off, played as file cameras through the
// runtime: the first dart's point only the cameras that are right place as lines, the second
// only one camera places as a tip (the other sees it past the first dart). Both are entered
// with their fields, as the engine enters them from the same frames.
// A host may end its process with a runtime still running; its threads must not find the
// cameras' shared state torn down under them.
TEST(RuntimeRoad, AHostExitingWithItsRuntimeStillRunningExitsCleanly) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto& videos = testing::oneDartVideos();
  EXPECT_EXIT(
      {
        void* rt = tarv_runtime_create();
        call(rt, {{"command", "start"}, {"config", testing::startConfig(videos)}});
        testing::pollUntil(rt, "STARTUP_READY", 6.0);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(RuntimeRoad, ACameraCalibratedAFewPixelsOffCostsNoDart) {
  scene::RoundVideoScript script;
  script.size = {1280, 720};
  script.empty_seconds = 1.5;
  // Long enough for a sanitizer build on a busy machine to decide the last dart before the
  // file cameras loop back to the empty board.
  script.dart_seconds = 5.0;
  script.rounds.push_back({{{-11.9158, -86.5181}, {-0.20843, -0.04902, -0.97681}, {205, 95, 20}, 7.19},
                           {{136.4407, -40.4653}, {0.00203, 0.17952, -0.98375}, {150, 40, 130}, 59.18}});
  const scene::RoundVideos videos = scene::writeRoundVideos(testing::scratchFolder("off-camera"), script);
  json config = testing::startConfig(videos);
  config["width"] = 1280;
  config["height"] = 720;
  json& off = config["calibrations"][2];
  for (int c = 0; c < 3; ++c) {
    // The board point's image moves by (11, 10) px: the first two rows gain the third times it.
    off[0][c] = off[0][c].get<double>() + 11.0 * off[2][c].get<double>();
    off[1][c] = off[1][c].get<double>() + 10.0 * off[2][c].get<double>();
  }
  void* rt = tarv_runtime_create();
  ASSERT_NE(rt, nullptr);
  ASSERT_EQ(call(rt, {{"command", "start"}, {"config", config}}).value("status", ""), "CAPTURE_STARTED");
  // A sanitizer build on a busy machine may take many seconds to prove the board empty.
  ASSERT_EQ(testing::pollUntil(rt, "STARTUP_READY", 30.0)["result"].value("status", ""), "STARTUP_READY");
  json entries = json::array();
  std::string seen;
  const double playing = scene::videoSeconds(script);
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(playing);
  while (entries.size() < 2 && std::chrono::steady_clock::now() < end) {
    const json reply = call(rt, {{"command", "poll"}});
    if (reply.value("status", "") == "DETECTION") {
      const json& result = reply["result"];
      const std::string status = result.value("status", "");
      if (status != "READY" || result.contains("reason")) seen += " " + status + "/" + result.value("reason", "");
      if (result.contains("entries") && result["entries"].is_array() && result["entries"].size() <= 2 &&
          result["entries"].size() > entries.size()) {
        entries = result["entries"];
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(15));
  }
  call(rt, {{"command", "stop"}});
  tarv_runtime_destroy(rt);
  ASSERT_EQ(entries.size(), 2u) << seen;
  EXPECT_EQ(entries[0].value("selected_field", ""), videos.truth.darts[0].field) << seen;
  EXPECT_EQ(entries[1].value("selected_field", ""), videos.truth.darts[1].field) << seen;
}

}  // namespace
}  // namespace tarv
