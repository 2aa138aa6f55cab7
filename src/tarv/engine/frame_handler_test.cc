// The per-frame round through the exported functions, by the host protocol.
#include <cmath>

#include <gtest/gtest.h>

#include "host/host_protocol.h"
#include "scene/scene.h"
#include "tarv/engine/engine.h"
#include "tarv/tarv.h"

namespace tarv {
namespace {

class RoundHandler : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    renderer_ = &scene::defaultRenderer();
    empty_ = &scene::defaultEmptyBoard();
  }
  void SetUp() override {
    engine_ = tarv_create();
    ASSERT_EQ(call(host::armRequest(empty_->truth, empty_->frames)).value("status", ""), "READY");
  }
  void TearDown() override { tarv_destroy(engine_); }

  json call(const json& request) { return json::parse(tarv_call(engine_, request.dump().c_str())); }
  json detect(const std::vector<cv::Mat>& frames, std::array<double, 3> times, bool hand = false) {
    json request = {{"command", "detect"}, {"images", host::imageDescriptors(frames)}, {"times", times}};
    if (hand) request["hand_seen"] = true;
    return call(request);
  }
  Round& round() { return static_cast<Engine*>(engine_)->round; }

  static const scene::Renderer* renderer_;
  static const scene::SceneImages* empty_;
  void* engine_ = nullptr;
};
const scene::Renderer* RoundHandler::renderer_ = nullptr;
const scene::SceneImages* RoundHandler::empty_ = nullptr;

TEST_F(RoundHandler, StaleOrUnsynchronisedTripletsWait) {
  const json wait = {{"status", "WAIT"}, {"reason", "WAIT_FRESH_TRIPLET"}};
  auto bare = [](json reply) {
    reply.erase("searchAudit");
    reply.erase("executionBackend");
    return reply;
  };
  EXPECT_EQ(detect(empty_->frames, {10.0, 10.05, 10.02})["status"], "READY");
  EXPECT_EQ(bare(detect(empty_->frames, {11.0, 11.15, 11.0})), wait);
  EXPECT_EQ(bare(detect(empty_->frames, {10.0, 10.05, 10.02})), wait);  // not newer than the last
  EXPECT_EQ(round().lastCaptureTimes[1], 10.05);
  EXPECT_EQ(detect(empty_->frames, {12.0, 12.0, 12.0})["status"], "READY");
}

TEST_F(RoundHandler, ImpossibleCaptureTimesAreRefusedAndNeverStored) {
  ASSERT_EQ(detect(empty_->frames, {10.0, 10.0, 10.0})["status"], "READY");
  for (const std::array<double, 3>& times : std::vector<std::array<double, 3>>{
           {1e300, 1e300, 1e300}, {-1e300, -1e300, -1e300}, {11.0, 1e11, 11.0}}) {
    EXPECT_EQ(detect(empty_->frames, times)["error"], "INVALID_CAPTURE_TIME") << times[0];
  }
  EXPECT_EQ(round().lastCaptureTimes[0], 10.0);
  EXPECT_EQ(detect(empty_->frames, {12.0, 12.0, 12.0})["status"], "READY");
}

TEST_F(RoundHandler, AnEpochThatIsNoWholeNumberInRangeIsRefused) {
  json request = {{"command", "detect"}, {"images", host::imageDescriptors(empty_->frames)},
                  {"times", {10.0, 10.0, 10.0}}};
  for (const json& epoch : {json(1e300), json(2.5), json(-1e20), json(4294967296), json("1")}) {
    request["epoch"] = epoch;
    EXPECT_EQ(call(request)["error"], "INVALID_EPOCH") << epoch;
    request["command"] = "transient_probe";
    EXPECT_EQ(call(request)["error"], "INVALID_EPOCH") << epoch;
    request["command"] = "detect";
  }
  EXPECT_EQ(round().lastCaptureTimes[0], -1.0);
  request["epoch"] = 3.0;
  EXPECT_EQ(call(request)["status"], "READY");
  EXPECT_EQ(round().lastEpoch, 3);
}

TEST_F(RoundHandler, AHandWithoutHandSeenWaitsAndWithItStartsTheRecovery) {
  scene::Scene withHand;
  withHand.hand = scene::Hand{};
  const scene::SceneImages hand = renderer_->render(withHand);
  const json reply = detect(hand.frames, {20.0, 20.0, 20.0});
  EXPECT_EQ(reply["status"], "WAIT");
  EXPECT_EQ(reply["reason"], "LARGE_INTERACTION_OR_LIGHTING");
  EXPECT_TRUE(reply["entries"].empty());

  const json seen = detect(hand.frames, {20.1, 20.1, 20.1}, true);
  EXPECT_EQ(seen["status"], "RECOVERY_WAIT");
  EXPECT_TRUE(seen["engine_flags"]["recovery"].get<bool>());
  EXPECT_FALSE(seen["engine_flags"]["takeout"].get<bool>());  // nothing on the board yet
  EXPECT_TRUE(round().entries.empty());
}

TEST_F(RoundHandler, DecisionTimeoutAfterArming) {
  const json reply = call({{"command", "decision_timeout"}, {"images", json::array()}, {"captured", 50.0}});
  EXPECT_EQ(reply["status"], "WAIT_DECISION");
  EXPECT_EQ(reply["decision_window"]["active"], false);
  EXPECT_EQ(reply["decision_window"]["deadline"], -1.0);
}

TEST_F(RoundHandler, AFailedCallLeavesTheRoundAsItWas) {
  ASSERT_EQ(detect(empty_->frames, {30.0, 30.0, 30.0})["status"], "READY");
  std::vector<cv::Mat> frames = empty_->frames;
  frames[2] = cv::Mat(600, 800, CV_8UC3, cv::Scalar(0, 0, 0));  // the third camera changed mode
  const json reply = detect(frames, {31.0, 31.0, 31.0});
  ASSERT_TRUE(reply.contains("error"));
  EXPECT_EQ(round().lastCaptureTimes[0], 30.0);
  EXPECT_EQ(round().lastFrameTime, 30.0);
  EXPECT_EQ(detect(empty_->frames, {31.0, 31.0, 31.0})["status"], "READY");
}

TEST_F(RoundHandler, NotArmedIsAnError) {
  void* fresh = tarv_create();
  const json request = {{"command", "detect"}, {"images", host::imageDescriptors(empty_->frames)},
                        {"times", {1.0, 1.0, 1.0}}};
  EXPECT_EQ(json::parse(tarv_call(fresh, request.dump().c_str()))["error"], "ENGINE_NOT_ARMED");
  tarv_destroy(fresh);
}

}  // namespace
}  // namespace tarv
