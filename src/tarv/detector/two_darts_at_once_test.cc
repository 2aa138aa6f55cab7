// Two darts that land between two evaluated triplets (a host whose calls come far apart): both
// are entered with their true fields, each once, whether they lie apart or close together, and
// whether the second lands while the first is still settling.
#include <cmath>

#include <gtest/gtest.h>

#include "host/host_protocol.h"
#include "scene/scene.h"
#include "tarv/core/board_geometry.h"
#include "tarv/tarv.h"

namespace tarv {
namespace {

using json = nlohmann::json;

scene::Dart dartAt(double x, double y, double tiltDeg, double azimuthDeg) {
  scene::Dart d;
  d.tip_mm = {x, y};
  d.direction = scene::frontDirection(tiltDeg, azimuthDeg);
  return d;
}

class TwoDartsAtOnce : public ::testing::Test {
 protected:
  void SetUp() override {
    engine_ = tarv_create();
    const scene::SceneImages& empty = scene::defaultEmptyBoard();
    ASSERT_EQ(call(host::armRequest(empty.truth, empty.frames)).value("status", ""), "READY");
  }
  void TearDown() override { tarv_destroy(engine_); }

  json call(const json& request) { return json::parse(tarv_call(engine_, request.dump().c_str())); }

  // The scene sent `times` times; the replies.
  std::vector<json> send(const std::vector<scene::Dart>& darts, int times) {
    scene::Scene s;
    s.darts = darts;
    shot_ = scene::defaultRenderer().render(s);
    std::vector<json> replies;
    for (int i = 0; i < times; ++i) replies.push_back(call(clock_.detectRequest(shot_.frames)));
    return replies;
  }

  // Every dart of the last scene entered once with its true field, and nothing else.
  void expectEachDartOnce(const json& entries) const {
    ASSERT_EQ(entries.size(), shot_.truth.darts.size()) << entries.dump().substr(0, 600);
    std::vector<int> matched(shot_.truth.darts.size(), 0);
    for (const json& entry : entries) {
      const Point2 p = pointFromJson(entry["board_xy_nominal_mm"]);
      bool found = false;
      for (size_t k = 0; k < shot_.truth.darts.size(); ++k) {
        const scene::DartTruth& dart = shot_.truth.darts[k];
        if (std::hypot(p.x - dart.tip_mm.x, p.y - dart.tip_mm.y) > 2.0) continue;
        found = true;
        ++matched[k];
        EXPECT_EQ(entry["selected_field"], dart.field);
      }
      EXPECT_TRUE(found) << entry.dump().substr(0, 300);
    }
    for (int m : matched) EXPECT_EQ(m, 1);
  }

  void* engine_ = nullptr;
  host::FrameClock clock_;
  scene::SceneImages shot_;
};

TEST_F(TwoDartsAtOnce, TwoDartsApartAreBothEntered) {
  const std::vector<json> replies = send({dartAt(10.0, -103.0, 12.0, 200.0), dartAt(-60.0, 40.0, 20.0, 100.0)}, 8);
  expectEachDartOnce(replies.back()["entries"]);
  // Each dart is entered on its own triplet, the second right after the first: it held still
  // with it.
  EXPECT_EQ(replies[1].value("status", ""), "DART_CANDIDATE");
  EXPECT_EQ(replies[2].value("status", ""), "DART_CANDIDATE");
}

// 23 mm apart, their pieces mingle in two cameras: the first is entered, and the second is
// never taken into the working background with it: it stays a change that the player is asked
// about when the cameras cannot place it.
TEST_F(TwoDartsAtOnce, ASecondDartCloseToTheFirstIsNeverTakenWithIt) {
  const std::vector<json> replies = send({dartAt(10.0, -103.0, 12.0, 200.0), dartAt(32.0, -95.0, 15.0, 160.0)}, 8);
  const json& entries = replies.back()["entries"];
  if (entries.size() == 2) return expectEachDartOnce(entries);
  ASSERT_EQ(entries.size(), 1u) << entries.dump().substr(0, 600);
  const scene::DartTruth& first = shot_.truth.darts[0];
  const Point2 p = pointFromJson(entries[0]["board_xy_nominal_mm"]);
  EXPECT_LT(std::hypot(p.x - first.tip_mm.x, p.y - first.tip_mm.y), 2.0);
  EXPECT_EQ(entries[0]["selected_field"], first.field);
  const json& last = replies.back();
  const json kept = last["decision_window"].value("unresolved_darts", json::array());
  ASSERT_EQ(kept.size(), 1u) << last.dump().substr(0, 400);
  const scene::DartTruth& second = shot_.truth.darts[1];
  const Point2 q = pointFromJson(kept[0]["point"]);
  EXPECT_LT(std::hypot(q.x - second.tip_mm.x, q.y - second.tip_mm.y), 3.0);
}

// The second dart, which the cameras cannot place, is left undecided on two triplets; once it
// has held still it is handed to the player rather than measured again on every triplet: the
// round is ready, the dart stays on the decision window, and a third dart is scored on its own.
TEST_F(TwoDartsAtOnce, AnUnplacedDartThatHoldsStillLeavesTheRoundReady) {
  const scene::Dart first = dartAt(10.0, -103.0, 12.0, 200.0);
  const scene::Dart second = dartAt(32.0, -95.0, 15.0, 160.0);
  const std::vector<json> replies = send({first, second}, 8);
  ASSERT_EQ(replies.back()["entries"].size(), 1u) << "the second dart is no longer left undecided";
  std::vector<std::string> statuses;
  for (const json& reply : replies) statuses.push_back(reply.value("status", ""));
  ASSERT_EQ(statuses[2], "POSITION_UNRESOLVED") << replies[2].dump().substr(0, 400);
  ASSERT_EQ(statuses[3], "POSITION_UNRESOLVED");
  EXPECT_EQ(replies[4].value("reason", ""), "UNRESOLVED_DART_LEFT_TO_PLAYER");
  for (size_t i = 4; i < replies.size(); ++i) {
    EXPECT_EQ(statuses[i], "READY") << i << " " << replies[i].dump().substr(0, 400);
    const json kept = replies[i]["decision_window"].value("unresolved_darts", json::array());
    ASSERT_EQ(kept.size(), 1u) << i;
    EXPECT_TRUE(kept[0].value("absorbed", false));
    EXPECT_TRUE(replies[i]["decision_window"].value("active", false)) << "the player is asked only after the window";
    EXPECT_EQ(replies[i]["entries"].size(), 1u);
  }
  // Later triplets find the board unchanged: nothing is measured again.
  EXPECT_TRUE(replies.back().value("unchanged", false));

  const scene::Dart third = dartAt(-60.0, 40.0, 20.0, 100.0);
  const std::vector<json> next = send({first, second, third}, 4);
  const json& entries = next.back()["entries"];
  ASSERT_EQ(entries.size(), 2u) << next.back().dump().substr(0, 600);
  const scene::DartTruth& thrown = shot_.truth.darts[2];
  const Point2 p = pointFromJson(entries[1]["board_xy_nominal_mm"]);
  EXPECT_LT(std::hypot(p.x - thrown.tip_mm.x, p.y - thrown.tip_mm.y), 2.0);
  EXPECT_EQ(entries[1]["selected_field"], thrown.field);
  EXPECT_EQ(next.back()["decision_window"].value("unresolved_darts", json::array()).size(), 1u);
}

TEST_F(TwoDartsAtOnce, ASecondDartWhileTheFirstSettlesIsEnteredToo) {
  const scene::Dart first = dartAt(-40.0, 120.0, 10.0, 250.0);
  std::vector<json> replies = send({first}, 1);
  ASSERT_EQ(replies[0].value("status", ""), "SETTLING");
  replies = send({first, dartAt(90.0, 20.0, 18.0, 30.0)}, 8);
  expectEachDartOnce(replies.back()["entries"]);
}

TEST_F(TwoDartsAtOnce, AThirdDartAfterTwoAtOnceIsEnteredToo) {
  const scene::Dart a = dartAt(10.0, -103.0, 12.0, 200.0);
  const scene::Dart b = dartAt(-60.0, 40.0, 20.0, 100.0);
  // The host looked only twice before the third dart landed.
  send({a, b}, 2);
  const std::vector<json> replies = send({a, b, dartAt(70.0, 100.0, 8.0, 300.0)}, 8);
  expectEachDartOnce(replies.back()["entries"]);
}

}  // namespace
}  // namespace tarv
