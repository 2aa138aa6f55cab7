#include "tarv/runtime/runtime.h"

#include <filesystem>

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

}  // namespace
}  // namespace tarv
