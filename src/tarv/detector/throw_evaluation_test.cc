// Darts scored end to end through the exported functions, by the host protocol: each scene
// state is sent four times, times advancing by 1/30 s.
#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "host/host_protocol.h"
#include "scene/scene.h"
#include "tarv/core/board_geometry.h"
#include "tarv/detector/throw_evaluation.h"
#include "tarv/engine/engine.h"
#include "tarv/tarv.h"

namespace tarv {
namespace {

using json = nlohmann::json;

class Scoring : public ::testing::Test {
 protected:
  void SetUp() override {
    engine_ = tarv_create();
    renderer_ = std::make_unique<scene::Renderer>(scene::defaultRig());
  }
  void TearDown() override { tarv_destroy(engine_); }

  json call(const json& request) { return json::parse(tarv_call(engine_, request.dump().c_str())); }
  json arm(const scene::Scene& empty) {
    const scene::SceneImages shot = renderer_->render(empty);
    return call(host::armRequest(shot.truth, shot.frames));
  }
  std::vector<json> send(const scene::Scene& scene, int times = 4, bool hand = false) {
    const scene::SceneImages shot = renderer_->render(scene);
    std::vector<json> replies;
    for (int i = 0; i < times; ++i) replies.push_back(call(clock_.detectRequest(shot.frames, hand)));
    return replies;
  }

  void* engine_ = nullptr;
  std::unique_ptr<scene::Renderer> renderer_;
  host::FrameClock clock_;
};

TEST_F(Scoring, UnchangedFramesAreReadyWithNoEvent) {
  ASSERT_EQ(arm(scene::Scene{}).value("status", ""), "READY");
  for (const json& reply : send(scene::Scene{})) {
    ASSERT_EQ(reply.value("status", ""), "READY") << reply.dump().substr(0, 400);
    EXPECT_TRUE(reply["unchanged"].get<bool>());
    EXPECT_TRUE(reply["state"].is_null());
    for (const char* key : {"decision_window", "entries", "surround_filter", "snapshot", "round",
                            "engine_flags", "timing", "processMs", "rebase", "searchAudit"}) {
      EXPECT_TRUE(reply.contains(key)) << key;
    }
  }
}

TEST_F(Scoring, ARoundOfThreeDartsIsEnteredOnceEachInOrder) {
  ASSERT_EQ(arm(scene::Scene{}).value("status", ""), "READY");
  scene::SceneRandom rng(5);
  scene::Scene scene;
  std::vector<std::string> scored;
  int refined = 0;
  for (int dart = 0; dart < 3; ++dart) {
    scene.darts.push_back(scene::randomDart(rng, 160.0));
    const std::vector<json> replies = send(scene);
    EXPECT_EQ(replies[0].value("status", ""), "SETTLING") << replies[0].dump().substr(0, 300);
    ASSERT_EQ(replies[1].value("status", ""), "DART_CANDIDATE") << replies[1].dump().substr(0, 600);
    EXPECT_EQ(replies[1]["state"]["data"]["event"], "Throw detected");
    // Each camera that measured the dart searched once for its tip.
    EXPECT_GE(replies[1]["searchAudit"]["measuredSearches"].get<int>(), 2);
    EXPECT_EQ(replies[1]["state"]["data"]["numThrows"], dart + 1);
    // The later triplets refine the published dart (a new event only when its point moved)
    // and never enter it again.
    for (int again = 2; again < 4; ++again) {
      const std::string status = replies[again].value("status", "");
      EXPECT_TRUE(status == "DART_REFINED" || status == (dart == 2 ? "ROUND_FULL" : "READY")) << status;
      if (status != "DART_REFINED") {
        EXPECT_TRUE(replies[again]["state"].is_null());
        continue;
      }
      // The refined entry stays the same dart: the same field, the point still on the tip.
      ++refined;
      const json& entry = replies[again]["entry"];
      EXPECT_EQ(entry["id"], dart + 1);
      EXPECT_EQ(entry["refined_samples"], 2);
      EXPECT_EQ(entry["selected_field"], replies[1]["entry"]["selected_field"]);
      const scene::DartTruth thrown = renderer_->truth(scene).darts.back();
      const Point2 tip = pointFromJson(entry["board_xy_nominal_mm"]);
      EXPECT_LT(std::hypot(tip.x - thrown.tip_mm.x, tip.y - thrown.tip_mm.y), 1.0);
      EXPECT_EQ(replies[again]["entries"].size(), static_cast<size_t>(dart + 1));
    }
    const json& entry = replies[1]["entry"];
    const scene::GroundTruth truth = renderer_->truth(scene);
    const scene::DartTruth& thrown = truth.darts.back();
    const Point2 tip = pointFromJson(entry["board_xy_nominal_mm"]);
    EXPECT_LT(std::hypot(tip.x - thrown.tip_mm.x, tip.y - thrown.tip_mm.y), 1.0);
    EXPECT_EQ(entry["selected_field"], thrown.field);
    scored.push_back(entry["selected_field"]);
  }
  // Each published dart is refined once from the next quiet triplet.
  EXPECT_EQ(refined, 3);
  const std::vector<json> full = send(scene, 2);
  EXPECT_EQ(full[1].value("status", ""), "ROUND_FULL");
}

TEST_F(Scoring, AStillBoardWithAKnownDartStaysUnchanged) {
  ASSERT_EQ(arm(scene::Scene{}).value("status", ""), "READY");
  scene::SceneRandom rng(11);
  scene::Scene scene;
  scene.darts.push_back(scene::randomDart(rng, 150.0));
  const std::vector<json> landed = send(scene);
  ASSERT_EQ(landed[1].value("status", ""), "DART_CANDIDATE") << landed[1].dump().substr(0, 400);
  // The same board again: the known dart's region is quiet in every camera.
  for (const json& reply : send(scene, 2)) {
    const std::string status = reply.value("status", "");
    if (status == "DART_REFINED") continue;
    ASSERT_EQ(status, "READY") << reply.dump().substr(0, 400);
    EXPECT_TRUE(reply["unchanged"].get<bool>());
    EXPECT_FALSE(reply.contains("surround_marks_tolerated"));
  }
}

TEST_F(Scoring, ABounceOutIsOneMissEntry) {
  const scene::SceneImages empty = renderer_->render(scene::Scene{});
  ASSERT_EQ(call(host::armRequest(empty.truth, empty.frames)).value("status", ""), "READY");
  for (int i = 0; i < 4; ++i) ASSERT_EQ(call(clock_.detectRequest(empty.frames)).value("status", ""), "READY");

  scene::SceneRandom rng(21);
  scene::Scene bouncing;
  bouncing.darts.push_back(scene::randomDart(rng, 140.0));
  const scene::SceneImages seen = renderer_->render(bouncing);
  // The host sends its half-size transient views.
  std::vector<cv::Mat> views;
  for (const cv::Mat& frame : seen.frames) {
    cv::Mat half;
    cv::resize(frame, half, cv::Size(), 0.5, 0.5, cv::INTER_AREA);
    views.push_back(half);
  }
  std::vector<std::string> probes;
  for (int i = 0; i < 2; ++i) {
    json probe = clock_.detectRequest(views);
    probe["command"] = "transient_probe";
    probes.push_back(call(probe).value("status", ""));
  }
  EXPECT_EQ(probes, (std::vector<std::string>{"TRANSIENT_PENDING", "TRANSIENT_CONFIRMED"}));

  json gone = clock_.detectRequest(empty.frames);
  gone["confirm_transient"] = true;
  const json reply = call(gone);
  ASSERT_EQ(reply.value("status", ""), "DART_CANDIDATE") << reply.dump().substr(0, 400);
  EXPECT_EQ(reply["reason"], "OBSERVED_DART_DISAPPEARED_WITHOUT_HAND");
  EXPECT_EQ(reply["entry"]["field"]["selected_field"], "MISS");
  EXPECT_TRUE(reply["entry"]["bouncer"].get<bool>());
  EXPECT_EQ(reply["state"]["data"]["event"], "Throw detected");
  for (int i = 0; i < 3; ++i) {
    json again = clock_.detectRequest(empty.frames);
    again["confirm_transient"] = true;
    EXPECT_EQ(call(again)["entries"].size(), 1u);
  }
}

// Every image the round keeps, for checks on where its pixels live.
std::vector<cv::Mat> imagesOf(const Round& round) {
  std::vector<cv::Mat> images(round.incomingFrames.begin(), round.incomingFrames.end());
  for (const Camera& c : round.cameras) {
    for (const cv::Mat* m : {&c.emptyReferenceColour, &c.backgroundFrame, &c.emptyReference, &c.dartReference,
                             &c.referenceChangeMask, &c.residualMask}) {
      images.push_back(*m);
    }
  }
  for (const ImageTriple& set : round.knownDartMasks) images.insert(images.end(), set.begin(), set.end());
  for (const ImageTriple* t : {&round.evaluationMasks, &round.callStartFrames, &round.callStartGreys,
                               &round.heldFrames, &round.probeChangeMasks}) {
    images.insert(images.end(), t->begin(), t->end());
  }
  return images;
}

TEST_F(Scoring, NothingKeptPointsIntoTheHostsFrames) {
  ASSERT_EQ(arm(scene::Scene{}).value("status", ""), "READY");
  scene::SceneRandom rng(8);
  scene::Scene scene;
  scene.darts.push_back(scene::randomDart(rng, 150.0));
  const scene::SceneImages shot = renderer_->render(scene);
  for (int i = 0; i < 4; ++i) call(clock_.detectRequest(shot.frames));
  const Round& round = static_cast<Engine*>(engine_)->round;
  ASSERT_EQ(round.entries.size(), 1u);
  for (const cv::Mat& image : imagesOf(round)) {
    for (const cv::Mat& host : shot.frames) {
      const bool inside = image.data >= host.data && image.data < host.data + host.total() * host.elemSize();
      EXPECT_FALSE(inside);
    }
  }
}

// The kept unresolved darts of a reply's decision window.
json keptUnresolved(const json& reply) {
  const json& window = reply.value("decision_window", json::object());
  return window.value("unresolved_darts", json::array());
}

TEST_F(Scoring, ADartNoCameraCanPlaceIsLeftToThePlayerAndTheNextDartIsScoredOnItsOwn) {
  ASSERT_EQ(arm(scene::Scene{}).value("status", ""), "READY");
  scene::SceneRandom rng(5);
  scene::Scene scene;
  scene.darts.push_back(scene::randomDart(rng, 150.0));
  scene.darts.back().point_hidden = true;
  const std::vector<json> hidden = send(scene);
  for (const json& reply : hidden) {
    EXPECT_TRUE(reply["entries"].empty()) << reply.dump().substr(0, 300);
  }
  // It has stopped changing: it is not waited on, it is left to the player, and the round is
  // ready for the next dart.
  const json& last = hidden.back();
  EXPECT_EQ(hidden[2].value("status", ""), "POSITION_UNRESOLVED") << hidden[2].dump().substr(0, 400);
  ASSERT_EQ(last.value("status", ""), "READY") << last.dump().substr(0, 400);
  EXPECT_EQ(last.value("reason", ""), "UNRESOLVED_DART_LEFT_TO_PLAYER");
  ASSERT_EQ(keptUnresolved(last).size(), 1u);

  // The next dart is measured against a board that holds the unresolved one.
  scene.darts.push_back(scene::randomDart(rng, 150.0));
  const std::vector<json> next = send(scene);
  ASSERT_EQ(next.back()["entries"].size(), 1u) << next.back().dump().substr(0, 400);
  const scene::SceneImages shot = renderer_->render(scene);
  EXPECT_EQ(next.back()["entries"][0]["field"]["selected_field"], shot.truth.darts.back().field);
  const json kept = keptUnresolved(next.back());
  ASSERT_EQ(kept.size(), 1u) << "the entered dart does not erase the unresolved one";
  EXPECT_TRUE(kept[0].value("absorbed", false));
}

TEST_F(Scoring, AStillObjectAboveTheBoardIsNeverEnteredNorWaitedOnForEver) {
  ASSERT_EQ(arm(scene::Scene{}).value("status", ""), "READY");
  scene::SceneRandom rng(9);
  scene::Scene scene;
  scene.darts.push_back(scene::randomDart(rng, 120.0));
  scene.darts.back().height_mm = 40.0;
  std::vector<std::string> reasons;
  const std::vector<json> replies = send(scene, 6);
  for (const json& reply : replies) {
    EXPECT_TRUE(reply["entries"].empty()) << reply.dump().substr(0, 300);
    reasons.push_back(reply.value("status", "") + "/" + reply.value("reason", ""));
  }
  // Seen in the air first; once it has stood still it is left to the player, on the
  // decision window, and then taken into the working background: the round is ready.
  EXPECT_EQ(reasons[1], "WAIT/DART_3D_TIP_ABOVE_BOARD");
  EXPECT_EQ(reasons[2], "POSITION_UNRESOLVED/DART_3D_TIP_ABOVE_BOARD");
  EXPECT_EQ(reasons[3], "READY/UNRESOLVED_DART_LEFT_TO_PLAYER");
  for (size_t i = 4; i < reasons.size(); ++i) EXPECT_EQ(reasons[i], "READY/");
  EXPECT_EQ(keptUnresolved(replies.back()).size(), 1u);
  EXPECT_TRUE(replies.back()["decision_window"].value("active", false));
}

// One camera's change jumps between two places from triplet to triplet (its dart mask taking one
// piece of a change and then another) while the other two hold a dart still on two triplets: the
// dart has come to rest. Two cameras whose changes jump are something still moving.
TEST_F(Scoring, OneCameraWhoseChangeJumpsDoesNotHoldBackADartTwoOthersHoldStill) {
  scene::SceneRandom rng(3);
  scene::Scene landed;
  landed.darts.push_back(scene::randomDart(rng, 140.0));
  scene::Scene elsewhere;
  elsewhere.darts.push_back(scene::randomDart(rng, 140.0));
  const scene::SceneImages here = renderer_->render(landed);
  const scene::SceneImages there = renderer_->render(elsewhere);
  auto statuses = [&](const std::vector<int>& jumping) {
    tarv_destroy(engine_);
    engine_ = tarv_create();
    EXPECT_EQ(arm(scene::Scene{}).value("status", ""), "READY");
    std::vector<json> replies;
    for (int k = 0; k < 4; ++k) {
      std::vector<cv::Mat> frames = here.frames;
      for (int camera : jumping) frames[camera] = (k % 2 == 0 ? here : there).frames[camera];
      replies.push_back(call(clock_.detectRequest(frames)));
    }
    return replies;
  };
  const std::vector<json> one = statuses({2});
  EXPECT_NE(one[2].value("status", ""), "SETTLING") << one[2].dump().substr(0, 300);
  ASSERT_EQ(one.back()["entries"].size(), 1u) << one.back().dump().substr(0, 400);
  EXPECT_EQ(one.back()["entries"][0]["field"]["selected_field"], here.truth.darts[0].field);
  for (const json& reply : statuses({0, 2})) {
    EXPECT_TRUE(reply["entries"].empty()) << reply.dump().substr(0, 300);
  }
}

AnalysesAhead analysesAhead(const Round& round, const std::vector<cv::Mat>& frames, double now) {
  AnalysesAhead ahead;
  for (int i = 0; i < 3; ++i) ahead[i] = analyseAhead(round, i, frames[i], now);
  return ahead;
}

// The evaluation took the camera's analysis made ahead: its motion record is that analysis's.
bool tookAhead(const Round& round, const AnalysesAhead& ahead, int camera) {
  return round.cameras[camera].surroundMotion->images[0].data == ahead[camera].motion->images[0].data;
}

TEST_F(Scoring, AnalysesMadeAheadDecideAsTheEvaluationsOwnAndStaleOnesAreMadeAgain) {
  ASSERT_EQ(arm(scene::Scene{}).value("status", ""), "READY");
  scene::SceneRandom rng(11);
  scene::Scene scene;
  scene.darts.push_back(scene::randomDart(rng, 150.0));
  const std::vector<cv::Mat> dart = renderer_->render(scene).frames;
  const std::vector<cv::Mat> empty = renderer_->render(scene::Scene{}).frames;
  const Round armed = static_cast<Engine*>(engine_)->round;
  Round own = armed;
  Round taking = armed;
  double now = 100.0;
  std::string status;
  for (int k = 0; k < 4 && status != "DART_CANDIDATE"; ++k) {
    now += 1.0 / 30.0;
    const json expected = evaluateRoundFrames(own, dart, now);
    const AnalysesAhead ahead = analysesAhead(taking, dart, now);
    EXPECT_EQ(evaluateRoundFramesWith(taking, dart, now, ahead), expected);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(tookAhead(taking, ahead, i));
    status = expected.value("status", "");
  }
  ASSERT_EQ(status, "DART_CANDIDATE");
  EXPECT_EQ(taking.entries, own.entries);

  // Made before the dart was entered: the frames are the same, the background is not.
  now += 1.0 / 30.0;
  const AnalysesAhead beforeEntry = analysesAhead(armed, dart, now);
  const json still = evaluateRoundFrames(own, dart, now);
  EXPECT_EQ(still.value("status", ""), "READY");
  EXPECT_EQ(evaluateRoundFramesWith(taking, dart, now, beforeEntry), still);
  // Made of other frames: the dart's, where the board is empty again.
  now += 1.0 / 30.0;
  const AnalysesAhead ofTheDart = analysesAhead(taking, dart, now);
  const json gone = evaluateRoundFrames(own, empty, now);
  EXPECT_NE(gone.value("status", ""), "READY");
  EXPECT_EQ(evaluateRoundFramesWith(taking, empty, now, ofTheDart), gone);
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(tookAhead(taking, beforeEntry, i));
    EXPECT_FALSE(tookAhead(taking, ofTheDart, i));
  }
}

}  // namespace
}  // namespace tarv
