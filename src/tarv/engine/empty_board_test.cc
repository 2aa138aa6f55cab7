// The empty-board registration with a scripted recovery, and the reference refresh.
#include "tarv/engine/empty_board.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/host_protocol.h"
#include "scene/scene.h"
#include "tarv/core/engine_values.h"
#include "tarv/engine/arming.h"

namespace tarv {
namespace {

struct RecoveryCall {
  bool pendingProof = false;
  int32_t roundNumber = 0;
};

// Answers from a script, the last one repeated, and notes every call.
struct ScriptedRecovery {
  explicit ScriptedRecovery(std::vector<std::string> script) : statuses(std::move(script)) {}
  std::vector<std::string> statuses;
  std::vector<RecoveryCall> calls;
  EmptyCheckRecovery function() {
    return [this](Round& round, const std::vector<cv::Mat>&, double, bool, bool proof) {
      calls.push_back({proof, round.roundNumber});
      const size_t i = std::min(calls.size() - 1, statuses.size() - 1);
      return json{{"status", statuses[i]}, {"step", calls.size()}};
    };
  }
};

class EmptyBoard : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    renderer_ = &scene::defaultRenderer();
    empty_ = &scene::defaultEmptyBoard();
  }
  void SetUp() override { armRound(round_, host::armRequest(empty_->truth, empty_->frames), empty_->frames); }

  json check(ScriptedRecovery& recovery, double now) {
    return emptyCheck(round_, pending_, record_, empty_->frames, now, lastRegistration_,
                      recovery.function());
  }
  Round pendingMarked(int32_t number) {
    Round pending = round_;
    pending.roundNumber = number;
    return pending;
  }

  static const scene::Renderer* renderer_;
  static const scene::SceneImages* empty_;
  Round round_;
  std::optional<Round> pending_;
  json record_;
  double lastRegistration_ = -1e30;
};
const scene::Renderer* EmptyBoard::renderer_ = nullptr;
const scene::SceneImages* EmptyBoard::empty_ = nullptr;

TEST(DisplacementTest, OnlyAReliablyTrackedLargeShiftRejects) {
  struct Case {
    json reports;
    bool rejected;
  };
  const json calm = {{"correlation", 0.999}, {"max_board_shift_px", 1.0}};
  const std::vector<Case> cases = {
      {json::array({{{"correlation", 0.995}, {"max_board_shift_px", 4.5}}}), true},
      {json::array({{{"correlation", 0.995}, {"max_board_shift_px", 4.0}}}), false},
      {json::array({{{"correlation", 0.99}, {"max_board_shift_px", 4.5}}}), false},
      {json::array({json::object(), nullptr, {{"max_board_shift_px", 9.0}}}), false},
      {json::array({calm, calm, {{"correlation", 1.0}, {"max_board_shift_px", 6.0}}}), true},
      {json::array(), false},
  };
  for (const Case& c : cases) {
    json answer = {{"status", "RECOVERY_WAIT"}, {"reason", "WAITING"}};
    applyDisplacementTest(answer, c.reports);
    EXPECT_EQ(answer["status"], c.rejected ? "CALIBRATION_REJECTED" : "RECOVERY_WAIT") << c.reports;
    EXPECT_EQ(answer["reason"], c.rejected ? "CAMERA_DISPLACEMENT_EXCEEDS_AUTO_LIMIT" : "WAITING");
  }
}

TEST_F(EmptyBoard, AnyOtherRecoveryAnswerPassesUnchangedAndDropsThePendingRound) {
  ScriptedRecovery recovery{{"READY"}};
  const json answer = check(recovery, 10.0);
  EXPECT_EQ(answer, json({{"status", "READY"}, {"step", 1}}));
  EXPECT_TRUE(record_.is_null());
  EXPECT_TRUE(round_.incomingFrames.empty());

  // A pending round skips the round's own recovery and is dropped by a non-waiting proof.
  pending_ = pendingMarked(7);
  ScriptedRecovery proof{{"RECOVERY_WAIT"}};
  const json proven = check(proof, 11.0);
  ASSERT_EQ(proof.calls.size(), 1u);
  EXPECT_TRUE(proof.calls[0].pendingProof);
  EXPECT_EQ(proof.calls[0].roundNumber, 7);
  EXPECT_FALSE(pending_.has_value());
  EXPECT_TRUE(proven.contains("startup_registration"));
  EXPECT_EQ(round_.roundNumber, 1);
}

TEST_F(EmptyBoard, ThePendingRoundIsKeptOrAdoptedByItsProof) {
  pending_ = pendingMarked(7);
  ScriptedRecovery proof{{"BACKGROUND_PENDING", "BACKGROUND_REFRESH"}};
  EXPECT_EQ(check(proof, 10.0)["status"], "BACKGROUND_PENDING");
  ASSERT_TRUE(pending_.has_value());
  EXPECT_EQ(round_.roundNumber, 1);
  EXPECT_EQ(check(proof, 10.1)["status"], "BACKGROUND_REFRESH");
  EXPECT_FALSE(pending_.has_value());
  EXPECT_EQ(round_.roundNumber, 7);
}

TEST_F(EmptyBoard, AWaitingRecoveryMeasuresAllThreeCameras) {
  ScriptedRecovery recovery{{"RECOVERY_WAIT"}};
  const json answer = check(recovery, 10.0);
  ASSERT_TRUE(record_.is_array());
  EXPECT_EQ(record_.size(), 3u);
  EXPECT_EQ(answer["startup_registration"], record_);
  ASSERT_FALSE(recovery.calls.empty());
  EXPECT_FALSE(recovery.calls[0].pendingProof);
  if (recovery.calls.size() == 2) {
    // Every camera registered: the pending round proved itself in the same call.
    EXPECT_TRUE(recovery.calls[1].pendingProof);
    EXPECT_EQ(lastRegistration_, -1e30);
  } else {
    EXPECT_EQ(lastRegistration_, 10.0);
  }
  EXPECT_FALSE(pending_.has_value());  // its proof answered "RECOVERY_WAIT"
}

TEST_F(EmptyBoard, AFailedRegistrationIsReusedForTwoSeconds) {
  const json shifted = json::array({{{"correlation", 0.999}, {"max_board_shift_px", 5.0}}});
  struct Case {
    double sinceLast;
    bool measures;
  };
  for (const Case& c : {Case{1.5, false}, Case{2.0, true}, Case{-0.5, true}}) {
    record_ = shifted;
    lastRegistration_ = 20.0 - c.sinceLast;
    ScriptedRecovery recovery{{"RECOVERY_WAIT"}};
    const json answer = check(recovery, 20.0);
    EXPECT_EQ(record_.size(), c.measures ? 3u : 1u) << c.sinceLast;
    if (!c.measures) {
      EXPECT_EQ(recovery.calls.size(), 1u);
      EXPECT_EQ(answer["status"], "CALIBRATION_REJECTED");
      EXPECT_EQ(answer["startup_registration"], shifted);
    }
  }
}

TEST_F(EmptyBoard, RefreshMakesTheRequestFramesTheReferences) {
  const Round before = round_;
  round_.inputLut[1] = cv::Mat(1, 256, CV_8UC3, cv::Scalar::all(9));
  json reply = {{"status", "BACKGROUND_REFRESH"}};
  std::vector<cv::Mat> frames = empty_->frames;
  frames[0] = frames[0].clone();
  frames[0](cv::Rect(0, 0, 40, 40)).setTo(cv::Scalar(255, 255, 255));
  refreshReferencesFromEmptyFrames(round_, frames, reply);

  EXPECT_EQ(reply["reference_refreshed"], true);
  EXPECT_EQ(reply["reference_source"], "VERIFIED_CURRENT_EMPTY_FRAMES");
  ASSERT_EQ(reply["calibrations"].size(), 3u);
  for (int i = 0; i < 3; ++i) {
    const Camera& c = round_.cameras[i];
    EXPECT_TRUE(round_.inputLut[i].empty());
    EXPECT_EQ(reply["calibrations"][i], matrix3x3ToJson(c.boardToImage));
    EXPECT_EQ(c.boardToImage, before.cameras[i].boardToImage);
    EXPECT_NE(c.emptyReferenceColour.data, frames[i].data);  // a clone, never the caller's
    EXPECT_EQ(cv::norm(c.emptyReferenceColour, frames[i], cv::NORM_INF), 0.0);
    EXPECT_EQ(c.backgroundFrame.data, c.emptyReferenceColour.data);
    EXPECT_EQ(c.emptyReference.type(), CV_8UC1);
    EXPECT_EQ(c.dartReference.data, c.emptyReference.data);
    EXPECT_EQ(cv::countNonZero(c.referenceChangeMask), 0);
    EXPECT_EQ(c.referenceChangeMask.size(), frames[i].size());
    EXPECT_TRUE(c.residualMask.empty());
    EXPECT_FALSE(c.features.points.empty());
  }
  // The round held before keeps its own pixels.
  EXPECT_GT(cv::norm(before.cameras[0].emptyReference, round_.cameras[0].emptyReference, cv::NORM_INF), 0.0);
}

}  // namespace
}  // namespace tarv
