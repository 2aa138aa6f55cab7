#include "bench/game_runner.h"

#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "bench/scenarios.h"
#include "host/host_protocol.h"
#include "host/reply_reading.h"
#include "scene/scene.h"
#include "tarv/tarv.h"

namespace tarv::bench {
namespace {

using json = nlohmann::json;
using Frames = std::vector<cv::Mat>;

constexpr int kSends = 4;
constexpr int kHandSends = 6;
constexpr int kEmptySendsLimit = 150;  // five seconds of an empty board

class Game {
 public:
  Game(bool bump, uint64_t seed) : bump_(bump), rng_(seed), renderer_(scene::defaultRig()) {
    engine_ = tarv_create();
  }
  ~Game() { tarv_destroy(engine_); }
  Game(const Game&) = delete;
  Game& operator=(const Game&) = delete;

  void run(int rounds, GameRun& result) {
    const scene::SceneImages empty = renderer_.render(scene::Scene{});
    call(host::armRequest(empty.truth, empty.frames));
    for (int r = 0; r < rounds; ++r) {
      ++result.rounds;
      if (bump_ && r > 0) shift_[r % 3] += 3.0;
      settleEmpty(result, false);
      scene::Scene scene;
      for (int d = 0; d < 3; ++d) {
        scene.darts.push_back(scene::randomDart(rng_, kThrowRadiusMm));
        const size_t before = entries_.size();
        sendScene(scene, kSends, false);
        result.tally.addDart(judgeDart(entries_, before, renderer_.truth(scene).darts.back()));
      }
      // The player's hand pulls the darts.
      scene::Scene withHand = scene;
      withHand.hand = scene::Hand{};
      withHand.hand->centre_mm = renderer_.truth(scene).darts.front().tip_mm;
      const size_t beforeHand = entries_.size();
      sendScene(withHand, kHandSends, true);
      result.false_entries += static_cast<int>(entries_.size() > beforeHand ? entries_.size() - beforeHand : 0);
      if (settleEmpty(result, true)) ++result.rounds_completed;
    }
  }

 private:
  json call(const json& request) {
    json reply = host::parseReply(tarv_call(engine_, request.dump().c_str()));
    if (auto e = host::replyEntries(reply)) entries_ = *e;
    return reply;
  }

  Frames framesOf(const scene::Scene& scene) {
    Frames frames = renderer_.render(scene).frames;
    for (int c = 0; c < 3; ++c) {
      if (shift_[c] == 0.0) continue;
      cv::Mat moved;
      cv::warpAffine(frames[c], moved, cv::Matx23d(1, 0, shift_[c], 0, 1, 0), frames[c].size(),
                     cv::INTER_LINEAR, cv::BORDER_REPLICATE);
      frames[c] = moved;
    }
    return frames;
  }

  json sendScene(const scene::Scene& scene, int sends, bool hand) {
    const Frames frames = framesOf(scene);
    json last;
    for (int i = 0; i < sends; ++i) last = call(clock_.detectRequest(frames, hand));
    return last;
  }

  // Sends the empty board until the round starts afresh ("EMPTY_RESET") or, before the first
  // dart, until the board is quiet; entries that appear meanwhile are false.
  bool settleEmpty(GameRun& result, bool afterTakeout) {
    const Frames frames = framesOf(scene::Scene{});
    const int roundBefore = round_;
    for (int i = 0; i < kEmptySendsLimit; ++i) {
      const size_t before = entries_.size();
      const json reply = call(clock_.detectRequest(frames));
      if (reply.contains("round") && reply["round"].is_number()) round_ = reply["round"].get<int>();
      if (!afterTakeout && entries_.size() > before) result.false_entries += static_cast<int>(entries_.size() - before);
      const std::string status = reply.value("status", "");
      if (afterTakeout && status == "EMPTY_RESET" && round_ > roundBefore) return true;
      if (!afterTakeout && status == "READY" && reply.value("unchanged", false) && i >= 3) return true;
    }
    return false;
  }

  bool bump_;
  scene::SceneRandom rng_;
  scene::Renderer renderer_;
  void* engine_ = nullptr;
  host::FrameClock clock_;
  json entries_ = json::array();
  int round_ = 1;
  double shift_[3] = {0.0, 0.0, 0.0};
};

}  // namespace

GameRun runGame(bool bumpCameras, int rounds, uint64_t seed) {
  GameRun result;
  Game game(bumpCameras, seed);
  game.run(rounds, result);
  return result;
}

}  // namespace tarv::bench
