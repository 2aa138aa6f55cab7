// Rounds that must go on: a dart close to one camera, darts that fall out, a change of light,
// and the handler's branches around them, as a host drives the engine.
#include <cmath>

#include <gtest/gtest.h>

#include "host/host_protocol.h"
#include "host/reply_reading.h"
#include "scene/scene.h"
#include "tarv/core/board_geometry.h"
#include "tarv/core/process_switches.h"
#include "tarv/detector/rig_engine_test_support.h"
#include "tarv/detector/throw_evaluation.h"
#include "tarv/engine/engine.h"
#include "tarv/tarv.h"
#include "tarv/views/image_ops.h"
#include "tarv/views/shaft_axis.h"

namespace tarv {
namespace {

using Frames = std::vector<cv::Mat>;

class Host {
 public:
  explicit Host(const scene::Renderer& renderer) : renderer_(renderer), engine_(tarv_create()) {
    const scene::SceneImages empty = renderer_.render(scene::Scene{});
    last_ = call(host::armRequest(empty.truth, empty.frames));
  }
  ~Host() { tarv_destroy(engine_); }
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  json call(const json& request) { return json::parse(tarv_call(engine_, request.dump().c_str())); }
  Frames frames(const scene::Scene& scene, double gain = 1.0) const {
    Frames out = renderer_.render(scene).frames;
    if (gain != 1.0) {
      for (cv::Mat& f : out) f.convertTo(f, -1, gain);
    }
    return out;
  }
  // Sends the frames `sends` times; every reply is kept.
  json send(const Frames& frames, int sends = 4, bool hand = false) {
    for (int i = 0; i < sends; ++i) {
      last_ = call(clock_.detectRequest(frames, hand));
      replies_.push_back(last_);
    }
    return last_;
  }
  json send(const scene::Scene& scene, int sends = 4) { return send(frames(scene), sends); }
  const json& entries() const { return last_["entries"]; }
  bool anyReply(const std::string& status) const {
    for (const json& r : replies_) {
      if (r.value("status", "") == status) return true;
    }
    return false;
  }
  Round& round() { return static_cast<Engine*>(engine_)->round; }
  host::FrameClock& clock() { return clock_; }

 private:
  const scene::Renderer& renderer_;
  void* engine_;
  host::FrameClock clock_;
  json last_;
  std::vector<json> replies_;
};

scene::Dart dartAt(double x, double y, double tilt = 10.0, double azimuth = 200.0) {
  scene::Dart dart;
  dart.tip_mm = {x, y};
  dart.direction = scene::frontDirection(tilt, azimuth);
  return dart;
}

std::string fieldOf(const json& entry) { return host::entryField(entry); }

TEST(RoundsGoOn, ADartCloseToOneCameraIsScoredWithTheCamerasThatSeeIt) {
  // 78 mm in front of the board; a dart on the double in front of the third camera (below
  // the board) fills much of its view.
  const scene::Renderer renderer(scene::rigCloseToPlane({1280, 720}, 300.0));
  Host host(renderer);
  scene::Scene board;
  board.darts.push_back(dartAt(8.0, 165.0, 12.0, 170.0));
  const std::string truth = renderer.truth(board).darts[0].field;
  ASSERT_EQ(truth, "D3");
  const json reply = host.send(board);
  ASSERT_EQ(host.entries().size(), 1u) << reply.dump();
  EXPECT_EQ(fieldOf(host.entries()[0]), truth);
  EXPECT_FALSE(host.anyReply("WAIT"));
  // The round goes on.
  board.darts.push_back(dartAt(-40.0, -60.0));
  host.send(board);
  ASSERT_EQ(host.entries().size(), 2u);
  EXPECT_EQ(fieldOf(host.entries()[1]), renderer.truth(board).darts[1].field);
}

// Cameras 78 mm in front of the board: a miss in the surround right in front of one camera
// fills much of its view, and the other cameras do not watch that part of the surround. Each
// is entered once as a miss where it landed, and no reply is left waiting.
TEST(RoundsGoOn, MissesInFrontOfOneCameraAreEnteredWhereTheyLanded) {
  const scene::Renderer renderer(scene::rigCloseToPlane({1280, 720}, 300.0));
  Host host(renderer);
  // In front of the second camera (seen by two cameras), then in front of the first camera,
  // seen by that camera alone.
  const std::vector<scene::Dart> darts = {
      dartAlong(205.6385328, -81.1731659, {-0.1479626, 0.2412744, -0.9591109}, {150, 40, 130}, 37.6005943),
      dartAlong(-197.1696870, -121.7408056, {0.1085074, 0.0243253, -0.9937980}, {205, 95, 20}, 14.6568820)};
  scene::Scene board;
  host.send(board);
  for (size_t k = 0; k < darts.size(); ++k) {
    board.darts.push_back(darts[k]);
    const json reply = host.send(board);
    ASSERT_EQ(host.entries().size(), k + 1) << reply.dump().substr(0, 600);
    const json& entry = host.entries()[k];
    EXPECT_EQ(fieldOf(entry), "MISS");
    const Point2 p = pointFromJson(entry["board_xy_nominal_mm"]);
    EXPECT_LT(std::hypot(p.x - darts[k].tip_mm.x, p.y - darts[k].tip_mm.y), 5.0) << entry.dump().substr(0, 300);
    EXPECT_GT(std::hypot(p.x, p.y), 178.0);
    const std::string status = reply.value("status", "");
    EXPECT_NE(status, "WAIT");
    EXPECT_NE(status, "POSITION_UNRESOLVED");
  }
}

// The light went up by 15 % between the empty reference and the first dart, which stands in
// front of the third camera: its point over a bed of its own tone first shows once the light
// is taken out. The references follow the light with the dart left out, so nothing waits.
TEST(RoundsGoOn, ADartThatLandsWithBrighterLightLeavesNoRoundWaiting) {
  Host host(scene::defaultRenderer());
  const std::vector<scene::Dart> darts = {
      dartAlong(4.6441572, 151.7560239, {0.0953008, -0.2665350, -0.9591021}, {205, 95, 20}, 89.7994097),
      dartAlong(-99.1010659, -77.8914240, {-0.0078909, -0.0091658, -0.9999269}, {40, 40, 215}, 30.4574600)};
  // Sensor noise (sigma 2, fresh on every frame) and a JPEG round trip, then the light.
  uint64_t seed = 7;
  const auto sendNoisy = [&](const scene::Scene& board, double gain) {
    json reply;
    for (int s = 0; s < 4; ++s) {
      scene::Imaging imaging;
      imaging.noise_sigma = 2.0;
      imaging.jpeg_quality = 90;
      imaging.noise_seed = ++seed;
      Frames frames = host.frames(board);
      for (size_t c = 0; c < frames.size(); ++c) {
        frames[c] = scene::applyImaging(frames[c], imaging, static_cast<int>(c));
        frames[c].convertTo(frames[c], -1, gain);
      }
      reply = host.send(frames, 1);
    }
    return reply;
  };
  scene::Scene board;
  sendNoisy(board, 1.0);
  for (size_t k = 0; k < darts.size(); ++k) {
    board.darts.push_back(darts[k]);
    const json reply = sendNoisy(board, 1.15);
    ASSERT_EQ(host.entries().size(), k + 1) << reply.dump().substr(0, 600);
    const scene::DartTruth truth = scene::defaultRenderer().truth(board).darts[k];
    const json& entry = host.entries()[k];
    EXPECT_EQ(fieldOf(entry), truth.field);
    const Point2 p = pointFromJson(entry["board_xy_nominal_mm"]);
    EXPECT_LT(std::hypot(p.x - truth.tip_mm.x, p.y - truth.tip_mm.y), 1.0);
    EXPECT_NE(reply.value("status", ""), "WAIT") << reply.value("reason", "");
  }
}

// One webcam of the rig scatters its pixels far more than the others from capture to capture
// (sigma 28 per channel, fresh on every frame, its references taken the same way): at the
// fixed change level its dart mask fills with that scatter. Its own level, measured once,
// keeps its view of the dart, and the clean cameras keep theirs: every dart is entered where
// it landed and none is left to the player.
TEST(RoundsGoOn, ACameraOfStrongCaptureNoiseStillSeesTheDarts) {
  void* engine = tarv_create();
  host::FrameClock clock;
  uint64_t seed = 40;
  const auto captured = [&](const scene::Scene& board) {
    Frames frames = scene::defaultRenderer().render(board).frames;
    for (size_t c = 0; c < frames.size(); ++c) {
      scene::Imaging imaging;
      imaging.noise_sigma = c == 0 ? 28.0 : 2.0;
      imaging.jpeg_quality = 90;
      imaging.noise_seed = ++seed;
      frames[c] = scene::applyImaging(frames[c], imaging, static_cast<int>(c));
    }
    return frames;
  };
  const auto call = [&](const json& request) { return json::parse(tarv_call(engine, request.dump().c_str())); };
  const scene::SceneImages empty = scene::defaultRenderer().render(scene::Scene{});
  ASSERT_EQ(call(host::armRequest(empty.truth, captured(scene::Scene{}))).value("status", ""), "READY");
  scene::Scene board;
  const std::vector<scene::Dart> darts = {dartAt(30.0, -120.0), dartAt(-70.0, 40.0, 15.0, 120.0),
                                          dartAt(95.0, 60.0, 12.0, 300.0)};
  json reply;
  for (size_t k = 0; k < darts.size(); ++k) {
    board.darts.push_back(darts[k]);
    for (int s = 0; s < 6; ++s) {
      reply = call(clock.detectRequest(captured(board)));
      EXPECT_NE(reply.value("reason", ""), "UNRESOLVED_DART_LEFT_TO_PLAYER") << "dart " << k;
    }
    ASSERT_EQ(reply["entries"].size(), k + 1) << reply.dump().substr(0, 800);
    EXPECT_EQ(fieldOf(reply["entries"][k]), scene::defaultRenderer().truth(board).darts[k].field) << "dart " << k;
  }
  // Only the noisy camera's level rose; the others cut their change where every camera did.
  const Round& round = static_cast<Engine*>(engine)->round;
  EXPECT_GT(round.cameras[0].ownChangeLevel, kDartChangeLevel);
  EXPECT_EQ(round.cameras[1].ownChangeLevel, kDartChangeLevel);
  EXPECT_EQ(round.cameras[2].ownChangeLevel, kDartChangeLevel);
  tarv_destroy(engine);
}

TEST(RoundsGoOn, ADartThatFallsOutScoresNothingAndTheRoundGoesOn) {
  Host host(scene::defaultRenderer());
  scene::Scene board;
  board.darts.push_back(dartAt(0.0, -103.0));  // T20
  host.send(board);
  ASSERT_EQ(host.entries().size(), 1u);
  ASSERT_EQ(fieldOf(host.entries()[0]), "T20");

  // The second dart is seen for three frames (long enough to be entered) and falls out.
  scene::Scene withFallen = board;
  withFallen.darts.push_back(dartAt(60.0, 40.0, 15.0, 120.0));
  host.send(withFallen, 3);
  ASSERT_EQ(host.entries().size(), 2u);
  const json gone = host.send(board);
  ASSERT_EQ(host.entries().size(), 2u);
  const json& fallen = host.entries()[1];
  EXPECT_TRUE(fallen.value("bounceout", false));
  EXPECT_TRUE(fallen.value("departed", false));
  EXPECT_EQ(fieldOf(fallen), "MISS");
  EXPECT_EQ(fieldOf(host.entries()[0]), "T20");
  // The host event scores it as nothing.
  const json& throws = gone["snapshot"]["data"]["throws"];
  ASSERT_EQ(throws.size(), 2u);
  EXPECT_EQ(throws[1]["segment"]["multiplier"], 0);
  EXPECT_TRUE(throws[1]["bounceout"].get<bool>());
  EXPECT_FALSE(gone["engine_flags"]["recovery"].get<bool>());

  // The third dart scores.
  board.darts.push_back(dartAt(-100.0, 20.0));
  host.send(board);
  ASSERT_EQ(host.entries().size(), 3u);
  EXPECT_EQ(fieldOf(host.entries()[2]), scene::defaultRenderer().truth(board).darts[1].field);
}

TEST(RoundsGoOn, AChangeSeenOnceAndGoneIsOneMissBouncer) {
  Host host(scene::defaultRenderer());
  scene::Scene empty;
  scene::Scene flash;
  flash.darts.push_back(dartAt(-50.0, 70.0, 20.0, 300.0));
  host.send(empty, 2);
  host.send(flash, 1);
  const json reply = host.send(empty, 1);
  EXPECT_EQ(reply["status"], "BOUNCER_CANDIDATE");
  ASSERT_EQ(host.entries().size(), 1u);
  EXPECT_TRUE(host.entries()[0]["bouncer"].get<bool>());
  EXPECT_EQ(fieldOf(host.entries()[0]), "MISS");
  host.send(empty, 4);
  EXPECT_EQ(host.entries().size(), 1u) << "one bounce, one entry";
  // The next dart is scored as usual.
  scene::Scene board;
  board.darts.push_back(dartAt(0.0, -103.0));
  host.send(board);
  ASSERT_EQ(host.entries().size(), 2u);
  EXPECT_EQ(fieldOf(host.entries()[1]), "T20");
}

// The bouncer comes as a window opened by an earlier undecided change is about to run out: its
// entry closes the window and the frame history as a dart's does, and neither the review nor
// plant mode takes the entry's reply from the host.
TEST(RoundsGoOn, AnEnteredBouncerClosesTheDecisionWindowAsADartDoes) {
  struct PlantModeOff {
    ~PlantModeOff() { processSwitches().plantMode = false; }
  } restore;
  for (const bool plantMode : {false, true}) {
    Host host(scene::defaultRenderer());
    host.call({{"command", "warm"}, {"images", json::array()}, {"plant_mode", plantMode}});
    scene::Scene empty;
    scene::Scene flash;
    flash.darts.push_back(dartAt(-50.0, 70.0, 20.0, 300.0));
    host.send(empty, 2);
    host.send(flash, 1);
    Round& round = host.round();
    round.decisionWindowStart = host.clock().now() - 2.98;
    json reply = host.send(empty, 1);
    ASSERT_EQ(reply.value("status", ""), "BOUNCER_CANDIDATE") << "plant mode " << plantMode << " " << reply.dump().substr(0, 400);
    ASSERT_EQ(host.entries().size(), 1u);
    EXPECT_EQ(reply["state"]["data"]["numThrows"], 1);
    EXPECT_FALSE(reply["decision_window"]["active"].get<bool>());
    EXPECT_FALSE(reply["decision_window"]["review_required"].get<bool>());
    EXPECT_LT(round.decisionWindowStart, 0.0);
    EXPECT_TRUE(round.frameHistory.empty());
    EXPECT_FALSE(reply["engine_flags"]["unresolved"].get<bool>());
    // The next frames go on with the round: nothing waits, nothing asks for a review.
    for (int k = 0; k < 4; ++k) {
      reply = host.send(empty, 1);
      EXPECT_EQ(reply.value("status", ""), "READY") << reply.value("reason", "");
    }
    scene::Scene board;
    board.darts.push_back(dartAt(0.0, -103.0));
    host.send(board);
    ASSERT_EQ(host.entries().size(), 2u);
    EXPECT_EQ(fieldOf(host.entries()[1]), "T20");
  }
}

TEST(RoundsGoOn, AFullRoundOfFallenDartsGoesToRecovery) {
  Host host(scene::defaultRenderer());
  const json gone = {{"bounceout", true}, {"departed", true}};
  host.round().entries = json::array({gone, gone, gone});
  host.round().knownDartMasks.resize(3);
  const json reply = host.send(host.frames(scene::Scene{}), 1);
  EXPECT_TRUE(reply["engine_flags"]["recovery"].get<bool>());
  EXPECT_TRUE(reply["engine_flags"]["takeout"].get<bool>());
  EXPECT_FALSE(reply["engine_flags"]["allow_resume"].get<bool>());
}

TEST(RoundsGoOn, DartsStayKnownThroughAChangeOfLight) {
  for (const double gain : {0.85, 1.2}) {
    Host host(scene::defaultRenderer());
    scene::Scene board;
    board.darts.push_back(dartAt(0.0, -103.0));  // T20
    host.send(board);
    ASSERT_EQ(host.entries().size(), 1u);
    // A lamp changes the light in the very frame in which the second dart lands.
    board.darts.push_back(dartAt(-60.0, 100.0, 15.0, 40.0));
    host.send(host.frames(board, gain));
    ASSERT_EQ(host.entries().size(), 2u) << "gain " << gain;
    EXPECT_EQ(fieldOf(host.entries()[1]), scene::defaultRenderer().truth(board).darts[1].field);
    EXPECT_GE(host.round().lightEventTime, 0.0);
    // The light stays; the third dart scores and nothing else is entered.
    board.darts.push_back(dartAt(110.0, -20.0, 10.0, 250.0));
    host.send(host.frames(board, gain), 8);
    ASSERT_EQ(host.entries().size(), 3u) << "gain " << gain;
    EXPECT_EQ(fieldOf(host.entries()[2]), scene::defaultRenderer().truth(board).darts[2].field);
    EXPECT_EQ(fieldOf(host.entries()[0]), "T20");
  }
}

TEST(RoundsGoOn, ALightThatFillsOneCameraAsADartLandsIsMatchedNotTakenForTheDart) {
  // The light in the first camera's view dropped since the empty board was taken, and the
  // first dart lands with it: that camera's whole view changed while the other two see a
  // dart. The evaluation sees the frames as they come, before any tone matching of the
  // handler.
  Host host(scene::defaultRenderer());
  scene::Scene board;
  board.darts.push_back(dartAt(-35.0, 70.0));
  const scene::GroundTruth truth = scene::defaultRenderer().truth(board);
  Frames frames = host.frames(board);
  frames[0].convertTo(frames[0], -1, 0.8);
  Round& round = host.round();
  json reply;
  for (double now : {10.0, 10.04, 10.08}) {
    reply = evaluateRoundFrames(round, frames, now);
    if (reply.contains("entry")) break;
  }
  ASSERT_TRUE(reply.contains("entry")) << reply.dump().substr(0, 600);
  EXPECT_EQ(fieldOf(reply["entry"]), truth.darts[0].field);
  const json& point = reply["entry"]["board_xy_nominal_mm"];
  EXPECT_LT(std::hypot(point[0].get<double>() - truth.darts[0].tip_mm.x,
                       point[1].get<double>() - truth.darts[0].tip_mm.y), 1.0);
  // The first camera's references follow the light: its view is no longer filled, and the
  // change kept for the next dart is the dart's, not the whole board's.
  EXPECT_GE(round.lightEventTime, 0.0);
  EXPECT_LT(reply["cameras"]["CAM_1"]["changed_fraction"].get<double>(), 0.05);
  EXPECT_GT(reply["cameras"]["CAM_1"]["dart_pixels"].get<int>(), 0);
  const json next = evaluateRoundFrames(round, frames, 10.2);
  EXPECT_NE(next.value("status", ""), "WAIT") << next.value("reason", "");
}

TEST(RoundsGoOn, AnUnchangedEventIsReportedOnceAndTheEmptyBoardAdapts) {
  Host host(scene::defaultRenderer());
  const Frames empty = host.frames(scene::Scene{});
  const json first = host.send(empty, 1);
  const json second = host.send(empty, 1);
  EXPECT_TRUE(second["state"].is_null());
  EXPECT_FALSE(second["snapshot"].is_null());
  EXPECT_TRUE(second.contains("background_adapted"));
  EXPECT_TRUE(second["rebase"].is_null());
}

TEST(RoundsGoOn, AWindowOlderThanThreeSecondsAsksForAReview) {
  Host host(scene::defaultRenderer());
  const Frames empty = host.frames(scene::Scene{});
  host.send(empty, 1);
  host.round().entries = json::array({json{{"field", {{"selected_field", "S1"}}}}});
  host.round().knownDartMasks.resize(1);
  host.round().decisionWindowStart = host.clock().now() - 3.5;
  const json reply = host.send(empty, 1);
  EXPECT_EQ(reply["status"], "DECISION_REVIEW_REQUIRED");
  EXPECT_EQ(reply["reason"], "NO_RELIABLE_SCORE_WITHIN_THREE_SECONDS");
  EXPECT_TRUE(reply["decision_window"]["review_required"].get<bool>());
}

TEST(RoundsGoOn, AnyNewerTimeIsFreshEvenAtOrBelowZero) {
  Host host(scene::defaultRenderer());
  const Frames empty = host.frames(scene::Scene{});
  const auto detectAt = [&](double t) {
    return host.call({{"command", "detect"}, {"images", host::imageDescriptors(empty)}, {"times", {t, t, t}}});
  };
  EXPECT_EQ(detectAt(-0.5)["status"], "READY");
  EXPECT_EQ(detectAt(0.0)["status"], "READY");
  EXPECT_EQ(detectAt(0.0)["reason"], "WAIT_FRESH_TRIPLET");
}

TEST(RoundsGoOn, AnEpochGapDropsThePendingCandidateOnlyAfterLongGaps) {
  Host host(scene::defaultRenderer());
  const Frames empty = host.frames(scene::Scene{});
  host.send(empty, 1);
  const auto detectAt = [&](double t, int epoch) {
    return host.call({{"command", "detect"}, {"images", host::imageDescriptors(empty)},
                      {"times", {t, t, t}}, {"epoch", epoch}});
  };
  const double t0 = host.clock().now();
  host.round().pendingCandidate = {{"point", nullptr}};
  detectAt(t0 + 1.0, 1);
  EXPECT_FALSE(host.round().pendingCandidate.is_null());
  host.round().pendingCandidate = {{"point", nullptr}};
  host.round().heldEventRecord = {{"x", 1}};
  detectAt(t0 + 4.0, 2);
  EXPECT_TRUE(host.round().pendingCandidate.is_null());
  EXPECT_TRUE(host.round().heldEventRecord.is_null());
}

TEST(RoundsGoOn, ThePreviousLightReturnsWithoutAProof) {
  Host host(scene::defaultRenderer());
  const Frames normal = host.frames(scene::Scene{});
  host.send(normal, 1);
  // The recovery took its references 10 s ago under a lamp that lit part of the board; the
  // lamp is off again and the frames match the references from before.
  Round& round = host.round();
  for (int i = 0; i < 3; ++i) {
    Camera& c = round.cameras[i];
    round.previousReferences[i] = c.emptyReferenceColour.clone();
    cv::Mat lit = c.emptyReferenceColour.clone();
    const cv::Rect patch(lit.cols / 3, lit.rows / 4, lit.cols / 4, lit.rows / 3);
    cv::Mat area = lit(patch);
    area.convertTo(area, -1, 1.6, 30.0);
    c.emptyReferenceColour = lit;
    c.backgroundFrame = lit;
    c.emptyReference = toGray(lit);
    c.dartReference = c.emptyReference;
  }
  round.lastRebaseTime = host.clock().now() - 10.0;
  const json reply = host.send(normal, 1);
  EXPECT_TRUE(reply.value("former_light", false)) << reply.dump().substr(0, 400);
  EXPECT_NE(reply["status"], "WAIT");
  EXPECT_GT(round.lastRebaseTime, host.clock().now() - 1.0);
}

// A dart no camera can place is left to the player; the player throws on well after the review
// was asked for. Each later dart is a throw of its own and is scored while the review of the
// kept one stays pending on the decision window.
TEST(RoundsGoOn, DartsThrownWhileAnUnresolvedDartAwaitsReviewAreScored) {
  const scene::Renderer& renderer = scene::defaultRenderer();
  Host host(renderer);
  scene::SceneRandom rng(5);
  scene::Scene scene;
  scene.darts.push_back(scene::randomDart(rng, 150.0));
  scene.darts.back().point_hidden = true;
  json reply = host.send(scene);
  ASSERT_EQ(reply.value("reason", ""), "UNRESOLVED_DART_LEFT_TO_PLAYER") << reply.dump().substr(0, 400);
  // Three seconds on the clock (1/30 s a triplet): the window runs out and asks for the review.
  const Frames held = host.frames(scene);
  for (int i = 0; i < 120 && reply.value("status", "") != "DECISION_REVIEW_REQUIRED"; ++i) reply = host.send(held, 1);
  ASSERT_EQ(reply.value("status", ""), "DECISION_REVIEW_REQUIRED") << reply.dump().substr(0, 400);

  for (size_t thrown = 1; thrown <= 2; ++thrown) {
    scene.darts.push_back(scene::randomDart(rng, 150.0));
    reply = host.send(scene);
    ASSERT_EQ(host.entries().size(), thrown) << reply.dump().substr(0, 400);
    EXPECT_EQ(fieldOf(host.entries().back()), renderer.render(scene).truth.darts.back().field);
    // Nothing new: the review is still what the host is asked for, the kept dart still on it.
    reply = host.send(host.frames(scene), 2);
    EXPECT_EQ(reply.value("status", ""), "DECISION_REVIEW_REQUIRED") << reply.dump().substr(0, 400);
    EXPECT_TRUE(reply["decision_window"]["review_required"].get<bool>());
    EXPECT_EQ(reply["decision_window"]["unresolved_darts"].size(), 1u);
    EXPECT_EQ(host.entries().size(), thrown) << "each dart is entered once";
  }
  // The takeout still ends the round, and the review with it.
  scene::Hand hand;
  hand.centre_mm = scene.darts.front().tip_mm;
  scene.hand = hand;
  host.send(host.frames(scene), 2, true);
  const Frames empty = host.frames(scene::Scene{});
  for (int i = 0; i < 200 && (!host.entries().empty() || reply["decision_window"]["review_required"].get<bool>()); ++i) {
    reply = host.send(empty, 1);
  }
  EXPECT_TRUE(host.entries().empty()) << reply.dump().substr(0, 400);
  EXPECT_FALSE(reply["decision_window"]["review_required"].get<bool>());
  EXPECT_FALSE(reply["decision_window"].contains("unresolved_darts"));
}

}  // namespace
}  // namespace tarv
