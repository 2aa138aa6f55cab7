// The engine as a host sees it: only the exported functions and their JSON.
#include <dlfcn.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tarv/core/process_switches.h"
#include "tarv/engine/engine.h"
#include "tarv/tarv.h"

namespace {

using json = nlohmann::json;

class EngineApi : public ::testing::Test {
 protected:
  void SetUp() override { engine_ = tarv_create(); ASSERT_NE(engine_, nullptr); }
  void TearDown() override { tarv_destroy(engine_); }

  json call(const std::string& request) {
    const char* reply = tarv_call(engine_, request.c_str());
    return json::parse(reply);  // every reply, error or not, is valid JSON
  }
  json callJson(const json& request) { return call(request.dump()); }
  std::string error(const std::string& request) { return call(request).value("error", ""); }

  static json imageOf(std::vector<uint8_t>& buffer, int width, int height) {
    buffer.assign(static_cast<size_t>(width) * height * 3, 0);
    return {{"width", width}, {"height", height}, {"length", buffer.size()},
            {"pointer", reinterpret_cast<uintptr_t>(buffer.data())}};
  }

  void* engine_ = nullptr;
};

TEST_F(EngineApi, AReplyStaysValidWhileAnotherThreadCallsTheSameEngine) {
  const char* mine = tarv_call(engine_, "{\"command\":\"scope\",\"images\":[],\"ignore_surround\":true}");
  const std::string copy = mine;
  std::thread other([this] {
    for (int i = 0; i < 20; ++i) (void)tarv_call(engine_, "{\"command\":\"nonsense\",\"images\":[1]}");
  });
  other.join();
  EXPECT_EQ(std::string(mine), copy);
  // The same thread's next call on the engine is what ends the reply's life.
  EXPECT_NE(std::string(tarv_call(engine_, "{\"command\":\"nonsense\",\"images\":[]}")), copy);
}

TEST_F(EngineApi, RequestsNestedTooDeeplyAreRefusedBeforeTheyAreRead) {
  const auto nested = [](int levels) {
    return std::string(static_cast<size_t>(levels), '[') + "1" + std::string(static_cast<size_t>(levels), ']');
  };
  const json tooDeep = {{"error", "REQUEST_TOO_DEEP"}};
  EXPECT_EQ(call("{\"command\":\"arm\",\"images\":[],\"calibrations\":" + nested(200000) + "}"), tooDeep);
  EXPECT_EQ(call("{\"command\":\"arm\",\"images\":[],\"ring_radii\":" + nested(60000) + "}"), tooDeep);
  EXPECT_EQ(call("{\"command\":\"scope\",\"images\":[],\"x\":" + nested(65) + ",\"ignore_surround\":true}"),
            tooDeep);
  // 64 levels are read; brackets inside a text do not count.
  EXPECT_EQ(call("{\"command\":\"scope\",\"images\":[],\"x\":" + nested(62) + ",\"ignore_surround\":true}")
                .value("status", ""),
            "CONFIG_UPDATED");
  EXPECT_EQ(call("{\"command\":\"scope\",\"images\":[],\"x\":\"" + std::string(100000, '[') +
                 "\",\"ignore_surround\":true}")
                .value("status", ""),
            "CONFIG_UPDATED");
}

TEST_F(EngineApi, AbiTextIsConstant) {
  const char* first = tarv_abi_info();
  EXPECT_STREQ(first, "{\"abi\":1,\"opencv\":\"5.0.0\",\"image_format\":\"BGR8\"}");
  EXPECT_EQ(std::strlen(first), 48u);
  EXPECT_EQ(tarv_abi_info(), first);
}

TEST_F(EngineApi, NullArgumentsAreAnsweredNotFollowed) {
  EXPECT_STREQ(tarv_call(nullptr, "{\"command\":\"warm\",\"images\":[]}"),
               "{\"error\":\"INVALID_SESSION\"}");
  EXPECT_STREQ(tarv_call(nullptr, nullptr), "{\"error\":\"INVALID_SESSION\"}");
  EXPECT_EQ(json::parse(tarv_call(engine_, nullptr)), json({{"error", "INVALID_REQUEST"}}));
  tarv_destroy(nullptr);
}

TEST_F(EngineApi, CopyArgumentCodes) {
  std::vector<uint8_t> destination(16, 0xAB);
  EXPECT_EQ(tarv_copy(nullptr, 0, 0, destination.data(), 16), -1);
  EXPECT_EQ(tarv_copy(engine_, 0, 0, nullptr, 16), -1);
  EXPECT_EQ(tarv_copy(engine_, 3, 0, destination.data(), 16), -1);
  EXPECT_EQ(tarv_copy(engine_, -1, 0, destination.data(), 16), -1);
  EXPECT_EQ(destination, std::vector<uint8_t>(16, 0xAB));
  // Nothing is armed: every image is empty.
  for (int image : {0, 1, 2, 3, 7}) EXPECT_EQ(tarv_copy(engine_, 0, image, destination.data(), 16), -2);
}

TEST_F(EngineApi, CopyChecksTheExactSize) {
  auto& round = static_cast<tarv::Engine*>(engine_)->round;
  round.cameras[1].emptyReferenceColour = cv::Mat(2, 3, CV_8UC3, cv::Scalar(1, 2, 3));
  round.cameras[1].residualMask = cv::Mat(2, 3, CV_8UC1, cv::Scalar(9));
  std::vector<uint8_t> destination(19, 0);
  EXPECT_EQ(tarv_copy(engine_, 1, 0, destination.data(), 17), -2);
  EXPECT_EQ(tarv_copy(engine_, 1, 0, destination.data(), 19), -2);
  ASSERT_EQ(tarv_copy(engine_, 1, 0, destination.data(), 18), 0);
  EXPECT_EQ(destination[0], 1);
  EXPECT_EQ(destination[2], 3);
  ASSERT_EQ(tarv_copy(engine_, 1, 7, destination.data(), 6), 0);  // any other number: image 6
  EXPECT_EQ(destination[5], 9);
}

TEST_F(EngineApi, WarmAnswersWithItsTimeAndTheSearchAudit) {
  const json reply = call(R"({"command":"warm","images":[]})");
  EXPECT_EQ(reply["status"], "WARM");
  // Only the first warm-up of the process does the work.
  EXPECT_GT(reply["warmupMs"].get<double>(), 0.0);
  EXPECT_EQ(call(R"({"command":"warm","images":[]})")["warmupMs"].get<double>(), 0.0);
  // The warm-up runs the real shaft search on a synthetic dart in each camera.
  EXPECT_EQ(reply["searchAudit"],
            json({{"availablePaths", 18}, {"cameraThreads", 3}, {"measuredSearches", 3}}));
}

TEST_F(EngineApi, RepliesAreCompactWithSortedKeys) {
  const std::string text =
      tarv_call(engine_, R"({"images":[],"command":"scope","ignore_surround":true})");
  EXPECT_EQ(text,
            "{\"ignore_surround\":true,\"references_preserved\":true,"
            "\"searchAudit\":{\"availablePaths\":18,\"cameraThreads\":3,\"measuredSearches\":0},"
            "\"status\":\"CONFIG_UPDATED\"}");
}

TEST_F(EngineApi, BadRequestsNeverCrashAndLeaveTheEngineUsable) {
  const std::string bad[] = {
      "",
      "not json",
      "[1,2,3]",
      "{\"command\":\"warm\"}",
      "{\"images\":[]}",
      "{\"command\":5,\"images\":[]}",
      "{\"command\":\"warm\",\"images\":{}}",
      "{\"command\":\"warm\",\"images\":[{\"width\":1e999}]}",
      "{\"command\":\"warm\",\"images\":[{\"width\":18446744073709551615,\"height\":1,"
      "\"length\":3,\"pointer\":1}]}",
      "{\"command\":\"x\",\"images\":[],\"text\":\"\xff\xfe\"}",
      "{\"command\":\"\xc3\x28\",\"images\":[]}",
      "{\"command\":\"scope\",\"images\":[],\"ignore_surround\":\"yes\"}",
      "{\"command\":\"decision_timeout\",\"images\":[],\"captured\":1}",
      std::string(100000, '['),
  };
  for (const std::string& request : bad) {
    const json reply = call(request);
    EXPECT_EQ(reply.size(), 1u) << request.substr(0, 60);
    EXPECT_TRUE(reply.contains("error")) << request.substr(0, 60);
    EXPECT_EQ(call(R"({"command":"warm","images":[]})")["status"], "WARM");
  }
  EXPECT_EQ(error("{\"images\":[]}").find("[json.exception.out_of_range.403]"), 0u);
  EXPECT_EQ(error("{\"command\":\"decision_timeout\",\"images\":[],\"captured\":1}"),
            "ENGINE_NOT_ARMED");
}

TEST_F(EngineApi, ImageCountsWithoutAnEngineVariant) {
  std::vector<std::vector<uint8_t>> buffers(7);
  for (int n : {0, 4, 5, 7}) {
    json request = {{"command", "detect"}, {"images", json::array()}};
    for (int i = 0; i < n; ++i) request["images"].push_back(imageOf(buffers[i], 4, 3));
    EXPECT_EQ(callJson(request), json({{"error", "THREE_CAMERAS_REQUIRED"}})) << n;
  }
  EXPECT_EQ(error(R"({"command":"calibrate","images":[]})"), "THREE_CAMERAS_REQUIRED");
}

TEST_F(EngineApi, ImageChecksThroughTheExport) {
  std::vector<uint8_t> huge;
  json request = {{"command", "detect"}, {"images", {imageOf(huge, 8192, 8192)}}};
  // Accepted by the checks: it reaches the one-camera engine, which is not armed.
  EXPECT_EQ(error(request.dump()), "ENGINE_NOT_ARMED");
  request["images"][0]["width"] = 8193;
  EXPECT_EQ(error(request.dump()), "INVALID_IMAGE_BUFFER");
  request["images"][0]["width"] = 8192;
  request["images"][0]["pointer"] = 0;
  EXPECT_EQ(error(request.dump()), "NULL_IMAGE_BUFFER");
}

TEST_F(EngineApi, SwitchesChangeOnlyForBooleans) {
  auto& switches = tarv::processSwitches();
  ASSERT_TRUE(switches.dart3d);
  call(R"({"command":"warm","images":[],"dart_3d":"yes"})");
  EXPECT_TRUE(switches.dart3d);
  call(R"({"command":"warm","images":[],"dart_3d":false,"plant_mode":true})");
  EXPECT_FALSE(switches.dart3d);
  EXPECT_TRUE(switches.plantMode);
  call(R"({"command":"warm","images":[],"dart_3d":true,"plant_mode":false})");
  EXPECT_TRUE(switches.dart3d);
}

TEST_F(EngineApi, ScopeReachesEveryHeldRoundAndBadOptionsChangeNothing) {
  auto& engine = *static_cast<tarv::Engine*>(engine_);
  engine.pendingRound.emplace();
  engine.restartSnapshot.emplace();
  engine.round.pendingTransient = {{"event", 1}};

  // A bad option is found before the command changes anything.
  EXPECT_NE(error(R"({"command":"scope","images":[],"ignore_surround":"yes"})"), "");
  EXPECT_FALSE(engine.round.boardOnlyScope);
  EXPECT_FALSE(engine.round.pendingTransient.is_null());
  // "hand_seen" means nothing to the scope command: its type is not its business.
  EXPECT_EQ(error(R"({"command":"warm","images":[],"hand_seen":1})"), "");

  EXPECT_EQ(call(R"({"command":"scope","images":[],"ignore_surround":true})")["status"],
            "CONFIG_UPDATED");
  EXPECT_TRUE(engine.round.boardOnlyScope);
  EXPECT_TRUE(engine.pendingRound->boardOnlyScope);
  EXPECT_TRUE(engine.restartSnapshot->round.boardOnlyScope);
  EXPECT_TRUE(engine.round.pendingTransient.is_null());

  engine.round.pendingTransient = {{"event", 2}};
  call(R"({"command":"scope","images":[],"ignore_surround":true})");
  EXPECT_FALSE(engine.round.pendingTransient.is_null());  // same scope: kept
}

TEST_F(EngineApi, RestartSnapshotBlocksThreeCameraCommandsButNotArm) {
  auto& engine = *static_cast<tarv::Engine*>(engine_);
  engine.restartSnapshot.emplace();
  std::vector<std::vector<uint8_t>> buffers(3);
  json request = {{"command", "transient_probe"}, {"images", json::array()}};
  for (auto& b : buffers) request["images"].push_back(imageOf(b, 4, 3));
  EXPECT_EQ(error(request.dump()), "RESTART_PROOF_PENDING");
  request["command"] = "arm";
  callJson(request);  // arming is not available yet, but it discards the snapshot first
  EXPECT_FALSE(engine.restartSnapshot.has_value());
}

TEST(SharedLibrary, ExportsOnlyTheCInterface) {
  void* library = dlopen(TARV_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  for (const char* name : {"tarv_abi_info", "tarv_create", "tarv_destroy", "tarv_call",
                           "tarv_copy", "tarv_monotonic_seconds"}) {
    EXPECT_NE(dlsym(library, name), nullptr) << name;
  }
  EXPECT_EQ(dlsym(library, "_ZN4tarv10callEngineERNS_6EngineEPKc"), nullptr);
  auto abi = reinterpret_cast<const char* (*)()>(dlsym(library, "tarv_abi_info"));
  EXPECT_STREQ(abi(), tarv_abi_info());
  dlclose(library);
}

}  // namespace
