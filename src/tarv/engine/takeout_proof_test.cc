// A takeout whose empty-board proof is still running when the next round's first dart lands:
// the dart must never become part of the new empty board; it is the next round's first dart.
#include <gtest/gtest.h>

#include "host/host_protocol.h"
#include "host/reply_reading.h"
#include "scene/round_video.h"
#include "scene/scene.h"
#include "tarv/tarv.h"

namespace tarv {
namespace {

using Frames = std::vector<cv::Mat>;
using json = nlohmann::json;

// The demo's game: 800x600, two rounds of three darts.
class Game : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    script_ = new scene::RoundVideoScript(scene::demoScript());
    renderer_ = new scene::Renderer(scene::defaultRig(script_->size), 2);
    const auto& first = script_->rounds[0];
    scene::Scene state;
    empty_ = new Frames(renderer_->render(state).frames);
    for (const scene::Dart& dart : first) {
      state.darts.push_back(dart);
      roundOne_.push_back(renderer_->render(state).frames);
    }
    scene::Hand hand;
    hand.centre_mm = first.front().tip_mm;
    hand.centre_mm.y += 40.0;
    state.hand = hand;
    handWithDarts_ = new Frames(renderer_->render(state).frames);
    state.darts.clear();
    handWithout_ = new Frames(renderer_->render(state).frames);
    scene::Scene next;
    next.darts.push_back(script_->rounds[1].front());
    nextDart_ = new Frames(renderer_->render(next).frames);
    nextTruth_ = renderer_->truth(next).darts.front().field;
    scene::Scene second;
    for (const scene::Dart& dart : script_->rounds[1]) {
      second.darts.push_back(dart);
      roundTwo_.push_back(renderer_->render(second).frames);
    }
    for (const scene::DartTruth& dart : renderer_->truth(second).darts) roundTwoTruth_.push_back(dart.field);
  }
  static void TearDownTestSuite() {
    delete script_;
    delete renderer_;
    delete empty_;
    delete handWithDarts_;
    delete handWithout_;
    delete nextDart_;
    roundOne_.clear();
    roundTwo_.clear();
    roundTwoTruth_.clear();
  }

  static scene::RoundVideoScript* script_;
  static scene::Renderer* renderer_;
  static Frames* empty_;
  static std::vector<Frames> roundOne_;
  static Frames* handWithDarts_;
  static Frames* handWithout_;
  static Frames* nextDart_;
  static std::string nextTruth_;
  static std::vector<Frames> roundTwo_;
  static std::vector<std::string> roundTwoTruth_;
};
scene::RoundVideoScript* Game::script_ = nullptr;
scene::Renderer* Game::renderer_ = nullptr;
Frames* Game::empty_ = nullptr;
std::vector<Frames> Game::roundOne_;
Frames* Game::handWithDarts_ = nullptr;
Frames* Game::handWithout_ = nullptr;
Frames* Game::nextDart_ = nullptr;
std::string Game::nextTruth_;
std::vector<Frames> Game::roundTwo_;
std::vector<std::string> Game::roundTwoTruth_;

// A host whose frames come at `step` seconds, as a loaded machine sends them.
class SlowHost {
 public:
  SlowHost(const scene::GroundTruth& truth, const Frames& empty, double step)
      : engine_(tarv_create()), step_(step) {
    last_ = call(host::armRequest(truth, empty));
  }
  ~SlowHost() { tarv_destroy(engine_); }
  SlowHost(const SlowHost&) = delete;
  SlowHost& operator=(const SlowHost&) = delete;

  json call(const json& request) { return json::parse(tarv_call(engine_, request.dump().c_str())); }
  void send(const Frames& frames, int sends, bool hand = false) {
    for (int i = 0; i < sends; ++i) {
      now_ += step_;
      json request = {{"command", "detect"}, {"images", host::imageDescriptors(frames)}, {"epoch", 0},
                      {"times", {now_, now_, now_}}};
      if (hand) request["hand_seen"] = true;
      last_ = call(request);
      replies_.push_back(last_);
    }
  }
  const json& last() const { return last_; }
  const std::vector<json>& replies() const { return replies_; }

 private:
  void* engine_;
  double step_;
  double now_ = 100.0;
  json last_;
  std::vector<json> replies_;
};

std::string statuses(const std::vector<json>& replies) {
  std::string out;
  for (const json& r : replies) {
    out += r.value("status", "?") + " ";
  }
  return out;
}

// The proof may only pass on an empty board: the dart that lands during it is either entered
// as the next round's first dart or keeps the takeout waiting, never taken into the new
// empty board (which would leave the round empty with the dart on the board).
TEST_F(Game, ADartThrownDuringTheTakeoutsProofNeverBecomesTheEmptyBoard) {
  // The next dart lands before the first quiet frame, between the proof's two calls, and later.
  int scored = 0;
  for (const double step : {0.1}) {
    for (const int emptySends : {0, 1, 4, 12}) {
      SCOPED_TRACE("step " + std::to_string(step) + " s, empty sends " + std::to_string(emptySends));
      SlowHost host(renderer_->truth(scene::Scene{}), *empty_, step);
      host.send(*empty_, 3);
      for (const Frames& state : roundOne_) host.send(state, 8);
      ASSERT_EQ(host.last()["entries"].size(), 3u) << statuses(host.replies());
      const int round = host.last().value("round", -1);
      host.send(*handWithDarts_, 3, true);
      host.send(*handWithout_, 3, true);
      host.send(*empty_, emptySends);
      host.send(*nextDart_, 30);
      const json& last = host.last();
      const size_t entries = last["entries"].size();
      if (entries == 3u) {
        EXPECT_TRUE(last["engine_flags"].value("recovery", false)) << statuses(host.replies());
        EXPECT_EQ(last.value("round", -1), round);
        continue;
      }
      ASSERT_EQ(entries, 1u) << statuses(host.replies());
      EXPECT_EQ(host::entryField(last["entries"][0]), nextTruth_);
      EXPECT_EQ(last.value("round", -1), round + 1);
      ++scored;
    }
  }
  // Landing right after the hand, it is entered.
  EXPECT_GE(scored, 1);
}


std::vector<std::string> fieldsOf(const json& entries) {
  std::vector<std::string> out;
  for (const json& e : entries) out.push_back(host::entryField(e));
  return out;
}

// The takeout as the runtime sees it on a busy machine: the hand is or is not reported, and
// the next round's first dart lands 0, 1, 2 or 4 empty frames after the hand left, while
// the empty-board proof may still be running. Then the round goes on as any round. Every dart
// of the next round is scored once with its true field, and nothing is left waiting.
TEST_F(Game, EveryDartOfTheNextRoundIsScoredWhereverTheTakeoutsProofStands) {
  for (const bool handSeen : {false, true}) {
    for (const int emptySends : {0, 1, 2, 4}) {
      SCOPED_TRACE(std::string("hand ") + (handSeen ? "seen" : "not seen") + ", empty sends " +
                   std::to_string(emptySends));
      SlowHost host(renderer_->truth(scene::Scene{}), *empty_, 0.1);
      host.send(*empty_, 3);
      for (const Frames& state : roundOne_) host.send(state, 8);
      ASSERT_EQ(host.last()["entries"].size(), 3u) << statuses(host.replies());
      const int round = host.last().value("round", -1);
      host.send(*handWithDarts_, 3, handSeen);
      host.send(*handWithout_, 3, handSeen);
      host.send(*empty_, emptySends);
      for (const Frames& state : roundTwo_) host.send(state, 8);
      const json& last = host.last();
      EXPECT_EQ(last.value("round", -1), round + 1) << statuses(host.replies());
      EXPECT_EQ(fieldsOf(last["entries"]), roundTwoTruth_) << statuses(host.replies());
      EXPECT_FALSE(last["engine_flags"].value("recovery", true)) << statuses(host.replies());
      EXPECT_FALSE(last["engine_flags"].value("takeout", true)) << statuses(host.replies());
      int entered = 0;
      for (const json& r : host.replies()) entered += r.value("status", "") == "DART_CANDIDATE";
      EXPECT_EQ(entered, 6) << statuses(host.replies());
    }
  }
}

}  // namespace
}  // namespace tarv
