// The takeout road through the exported functions, by the host protocol: each scene state is
// sent four times, times advancing by 1/30 s.
#include <algorithm>
#include <string>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "host/host_protocol.h"
#include "scene/scene.h"
#include "tarv/core/round.h"
#include "tarv/engine/engine.h"
#include "tarv/recovery/recovery_test_support.h"
#include "tarv/tarv.h"
#include "tarv/views/board_features.h"
#include "tarv/views/image_ops.h"

namespace tarv {
namespace {

class Takeout : public ::testing::Test {
 protected:
  void SetUp() override {
    engine_ = tarv_create();
    renderer_ = std::make_unique<scene::Renderer>(scene::defaultRig());
    const scene::SceneImages empty = renderer_->render(scene::Scene{});
    ASSERT_EQ(call(host::armRequest(empty.truth, empty.frames)).value("status", ""), "READY");
  }
  void TearDown() override { tarv_destroy(engine_); }

  json call(const json& request) { return json::parse(tarv_call(engine_, request.dump().c_str())); }
  std::vector<json> send(const scene::Scene& scene, int times = 4, bool hand = false) {
    const scene::SceneImages shot = renderer_->render(scene);
    std::vector<json> replies;
    for (int i = 0; i < times; ++i) replies.push_back(call(clock_.detectRequest(shot.frames, hand)));
    return replies;
  }
  // Throws the darts one by one; each must score.
  void throwDarts(scene::Scene& scene, scene::SceneRandom& rng, int count) {
    for (int i = 0; i < count; ++i) {
      scene.darts.push_back(scene::randomDart(rng, 150.0));
      const std::vector<json> replies = send(scene);
      const bool scored = std::any_of(replies.begin(), replies.end(), [](const json& r) {
        return r.value("status", "") == "DART_CANDIDATE";
      });
      ASSERT_TRUE(scored) << replies.back().dump().substr(0, 400);
    }
  }
  Round& round() { return static_cast<Engine*>(engine_)->round; }

  void* engine_ = nullptr;
  std::unique_ptr<scene::Renderer> renderer_;
  host::FrameClock clock_;
};

std::vector<std::string> statuses(const std::vector<json>& replies) {
  std::vector<std::string> out;
  for (const json& r : replies) out.push_back(r.value("status", ""));
  return out;
}

TEST_F(Takeout, DartsRemovedAfterAHandEndTheRoundAndTheNextDartScoresInRoundTwo) {
  scene::SceneRandom rng(11);
  scene::Scene board;
  throwDarts(board, rng, 3);
  ASSERT_EQ(round().entries.size(), 3u);

  scene::Scene hand = board;
  hand.hand = scene::Hand{};
  for (const json& r : send(hand, 4, true)) EXPECT_EQ(r.value("status", ""), "RECOVERY_WAIT");
  EXPECT_TRUE(round().takeout);

  // Waiting replies are repeated for 0.2 s, so the empty board is sent for twice as long.
  std::vector<json> replies = send(scene::Scene{}, 8);
  const std::vector<std::string> seen = statuses(replies);
  const auto reset = std::find(seen.begin(), seen.end(), "EMPTY_RESET");
  ASSERT_NE(reset, seen.end()) << replies.back().dump().substr(0, 600);
  // The empty board is believed only on the second look.
  ASSERT_NE(reset, seen.begin());
  EXPECT_EQ(*(reset - 1), "EMPTY_PENDING");
  const json& done = replies[reset - seen.begin()];
  EXPECT_EQ(done["reason"], "AUTOMATIC_TAKEOUT");
  EXPECT_TRUE(done["round_advanced"].get<bool>());
  EXPECT_EQ(done["state"]["data"]["event"], "Takeout finished");
  EXPECT_EQ(round().roundNumber, 2);
  EXPECT_TRUE(round().entries.empty());
  EXPECT_FALSE(round().recovery);
  EXPECT_TRUE(done["timing"]["recovery_ms"].contains("proof"));

  scene::Scene next;
  throwDarts(next, rng, 1);
  EXPECT_EQ(round().entries.size(), 1u);
  EXPECT_EQ(round().roundNumber, 2);
}

TEST_F(Takeout, ADartLeftInTheBoardIsNotProvenGone) {
  scene::SceneRandom rng(23);
  scene::Scene board;
  throwDarts(board, rng, 3);
  scene::Scene hand = board;
  hand.hand = scene::Hand{};
  send(hand, 4, true);

  scene::Scene leftOne;
  leftOne.darts.push_back(board.darts[1]);
  const std::vector<json> replies = send(leftOne, 8);
  for (const json& r : replies) {
    const std::string status = r.value("status", "");
    EXPECT_NE(status, "EMPTY_RESET");
    EXPECT_NE(status, "EMPTY_PENDING");
  }
  EXPECT_EQ(round().roundNumber, 1);
  EXPECT_TRUE(round().recovery);
}

using host::homographyOf;

// Round::recover on a round armed with the rendered empty board.
class RecoverEntry : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const scene::Renderer renderer(scene::defaultRig());
    shot_ = new scene::SceneImages(renderer.render(scene::Scene{}));
  }
  static void TearDownTestSuite() { delete shot_; }
  static Round armedRound() { return roundArmedOn(*shot_, std::array<double, 3>{640.0, -900.0, 1.0}); }
  static std::vector<cv::Mat> shiftedFirst(double dx, double dy) {
    std::vector<cv::Mat> frames = shot_->frames;
    frames[0] = cv::Mat();
    cv::warpAffine(shot_->frames[0], frames[0], cv::Matx23d(1, 0, dx, 0, 1, dy), shot_->frames[0].size(),
                   cv::INTER_LINEAR, cv::BORDER_REPLICATE);
    return frames;
  }
  static scene::SceneImages* shot_;
};
scene::SceneImages* RecoverEntry::shot_ = nullptr;

TEST_F(RecoverEntry, AKnockedCameraIsRealignedAtOnceAndItsHeldDriftIsDropped) {
  Round round = armedRound();
  const Homography before = round.cameras[0].boardToImage;
  round.driftPending[0] = true;
  round.driftTransform[0] = homographyOf(cv::Matx33d(1, 0, 0.7, 0, 1, 0, 0, 0, 1));
  round.driftReport[0] = {{"accepted", true}};
  const json reply = round.recover(shiftedFirst(3.0, -1.0), 10.0, false, false);
  ASSERT_TRUE(reply.contains("camera_realigned")) << reply.dump().substr(0, 600);
  EXPECT_TRUE(reply["camera_realigned"].contains("CAM_1"));
  EXPECT_FALSE(reply["camera_realigned"].contains("CAM_2"));
  ASSERT_EQ(reply["calibrations"].size(), 3u);
  EXPECT_NE(round.cameras[0].boardToImage, before);
  EXPECT_NEAR(reply["calibrations"][0][0][2].get<double>(), round.cameras[0].boardToImage[2], 1e-9);
  EXPECT_EQ(round.trackLossTime[0], 10.0);
  // The drift belonged to the old geometry: it must never be rebased onto the new one.
  EXPECT_FALSE(round.driftPending[0]);
  EXPECT_EQ(round.driftTransform[0], Homography{});
  for (const char* key : {"position", "rest"}) EXPECT_TRUE(round.timing.contains(key)) << key;

  // Within 0.5 s the failing camera is not measured again.
  Round again = armedRound();
  again.trackLossTime[0] = 9.8;
  const json throttled = again.recover(shiftedFirst(3.0, -1.0), 10.0, false, false);
  EXPECT_FALSE(throttled.contains("camera_realigned"));
  EXPECT_EQ(again.trackLossTime[0], 9.8);
}

TEST_F(RecoverEntry, AfterAnEvaluatedEventNoCameraIsCheckedAndAHeldDriftWaits) {
  Round round = armedRound();
  round.driftPending[1] = true;
  round.driftReport[1] = {{"accepted", true}};
  const json reply = round.recover(shiftedFirst(3.0, -1.0), 10.0, true, false);
  EXPECT_FALSE(reply.contains("camera_realigned"));
  EXPECT_FALSE(reply.contains("drift_check"));
  EXPECT_EQ(round.trackLossTime[0], -1.0);
  EXPECT_TRUE(round.driftPending[1]);
}

TEST_F(RecoverEntry, AHeldDriftIsAppliedByTheResetThatSeesItAgain) {
  Round round = armedRound();
  const Homography before = round.cameras[0].boardToImage;
  round.driftPending[0] = true;
  round.driftTransform[0] = homographyOf(cv::Matx33d(1, 0, 0.8, 0, 1, 0, 0, 0, 1));
  round.driftReport[0] = {{"accepted", true}, {"source", "earlier"}};
  round.driftCheckTime[0] = 9.5;  // measured recently: not again before 11.5
  const std::vector<cv::Mat> frames = shiftedFirst(0.8, 0.0);
  const json first = round.recover(frames, 10.0, false, false);
  ASSERT_EQ(first.value("status", ""), "BACKGROUND_PENDING") << first.dump().substr(0, 800);
  EXPECT_FALSE(first.contains("camera_realigned"));
  EXPECT_FALSE(first.contains("drift_check"));
  EXPECT_EQ(round.cameras[0].boardToImage, before);
  const json reset = round.recover(frames, 10.5, false, false);
  ASSERT_EQ(reset.value("status", ""), "BACKGROUND_REFRESH") << reset.dump().substr(0, 800);
  ASSERT_TRUE(reset.contains("camera_realigned")) << reset.dump().substr(0, 800);
  EXPECT_EQ(reset["camera_realigned"]["CAM_1"]["kind"], "DRIFT");
  EXPECT_EQ(reset["camera_realigned"]["CAM_1"]["source"], "earlier");
  EXPECT_NEAR(round.cameras[0].boardToImage[2], before[2] + 0.8 * before[8], 1e-6);
  EXPECT_FALSE(round.driftPending[0]);
  EXPECT_EQ(round.driftCheckTime[0], -1.0);
}

TEST_F(RecoverEntry, PhaseTimesAccumulateOverCalls) {
  Round round = armedRound();
  round.recover(shot_->frames, 10.0, false, false);
  const json first = round.timing;
  round.recover(shot_->frames, 10.1, false, false);
  for (const char* key : {"position", "difference", "rest"}) {
    ASSERT_TRUE(first.contains(key)) << key;
    EXPECT_GT(round.timing[key].get<double>(), first[key].get<double>()) << key;
  }
}

}  // namespace
}  // namespace tarv
