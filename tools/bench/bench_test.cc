#include <cmath>
#include <string>

#include <gtest/gtest.h>

#include "bench/scenarios.h"
#include "bench/scoring.h"
#include "host/wire_distance.h"

namespace tarv::bench {
namespace {

scene::DartTruth truthAt(cv::Point2d tip, const std::string& field) {
  scene::DartTruth truth;
  truth.tip_mm = tip;
  truth.field = field;
  return truth;
}

json entry(const char* field, double x, double y) {
  return {{"field", {{"selected_field", field}}}, {"board_xy_nominal_mm", {x, y}}};
}

TEST(Scenarios, EverySetPlansFullSeededRounds) {
  for (const ScenarioSet& set : scenarioSets()) {
    const auto a = planRounds(set, 7, 11);
    const auto b = planRounds(set, 7, 11);
    const auto c = planRounds(set, 7, 12);
    ASSERT_EQ(a.size(), 3u) << set.name;
    bool differs = false;
    for (size_t r = 0; r < a.size(); ++r) {
      EXPECT_LT(a[r].rig, set.rigs.size());
      for (size_t k = 0; k < 3; ++k) {
        EXPECT_EQ(a[r].darts[k].tip_mm, b[r].darts[k].tip_mm) << set.name;
        differs = differs || a[r].darts[k].tip_mm != c[r].darts[k].tip_mm;
        const double limit = set.placement == Placement::kRimFront   ? kRimOuterMm
                             : set.placement == Placement::kCloseRing ? kSurroundOuterMm
                                                                      : kThrowRadiusMm;
        EXPECT_LE(std::hypot(a[r].darts[k].tip_mm.x, a[r].darts[k].tip_mm.y), limit) << set.name;
        EXPECT_LT(a[r].darts[k].direction[2], 0.0) << "darts point out of the board";
      }
    }
    EXPECT_TRUE(differs) << set.name << ": the seed must matter";
  }
}

TEST(Scenarios, SetsDifferAsNamed) {
  EXPECT_EQ(findScenarioSet("noise_blur")->imaging.jpeg_quality, 90);
  EXPECT_GT(findScenarioSet("noise_blur")->imaging.noise_sigma, 0.0);
  EXPECT_EQ(findScenarioSet("steep_shallow")->rigs.size(), 2u);
  EXPECT_EQ(findScenarioSet("res_1920x1080")->rigs[0][0].image_size, cv::Size(1920, 1080));
  EXPECT_EQ(findScenarioSet("res_800x600")->rigs[0][2].image_size, cv::Size(800, 600));
  EXPECT_EQ(findScenarioSet("clean")->default_darts + findScenarioSet("noise_blur")->default_darts, 300);
  EXPECT_FALSE(findScenarioSet("nope"));
}

TEST(Scenarios, NearWireAndGroupedPlacement) {
  for (const auto& round : planRounds(*findScenarioSet("near_wire"), 60, 3)) {
    for (const auto& dart : round.darts) {
      EXPECT_LT(host::wireDistanceMm(dart.tip_mm), kNearWireMm);
      EXPECT_GE(host::wireDistanceMm(dart.tip_mm), scene::kWireWidth / 2);
    }
  }
  for (const auto& round : planRounds(*findScenarioSet("beside_behind"), 60, 3)) {
    for (size_t k = 1; k < 3; ++k) {
      double nearest = 1e9;
      for (size_t j = 0; j < k; ++j) {
        nearest = std::min(nearest, cv::norm(round.darts[k].tip_mm - round.darts[j].tip_mm));
      }
      // A tip turned aside from a wire stands up to half its width further out.
      EXPECT_LE(nearest, kGroupMaxMm + scene::kWireWidth / 2 + 0.02);
      EXPECT_GE(nearest, kGroupMinMm - 1e-9);
    }
  }
  // Uniform throws over 178 mm leave a few darts off the double.
  int misses = 0;
  for (const auto& round : planRounds(*findScenarioSet("clean"), 150, 1)) {
    for (const auto& dart : round.darts) misses += scene::fieldLabel(dart.tip_mm) == "MISS";
  }
  EXPECT_GT(misses, 0);
  EXPECT_LT(misses, 30);
}

TEST(Scenarios, RimFrontFalloutAndLightPlans) {
  const ScenarioSet rim = *findScenarioSet("rim_front");
  for (const auto& round : planRounds(rim, 60, 3)) {
    for (const auto& dart : round.darts) {
      const double radius = std::hypot(dart.tip_mm.x, dart.tip_mm.y);
      EXPECT_GE(radius, kRimInnerMm);
      EXPECT_LE(radius, kRimOuterMm);
      // Within the cone of some camera's direction round the board.
      const double angle = std::atan2(dart.tip_mm.x, -dart.tip_mm.y) * 180.0 / CV_PI;
      double nearest = 360.0;
      for (const auto& camera : rim.rigs[round.rig]) {
        const double d = std::remainder(angle - camera.azimuth_deg, 360.0);
        nearest = std::min(nearest, std::abs(d));
      }
      EXPECT_LE(nearest, kRimConeDeg + 1e-9);
    }
  }
  for (const auto& round : planRounds(*findScenarioSet("fallout"), 60, 3)) {
    EXPECT_TRUE(round.fallen_throw == 0 || round.fallen_throw == 1);
    EXPECT_GE(round.fallen_frames, 1);
    EXPECT_LE(round.fallen_frames, 10);
  }
  int withLanding = 0;
  for (const auto& round : planRounds(*findScenarioSet("light_change"), 90, 3)) {
    EXPECT_GE(round.light_gain, 0.8);
    EXPECT_LE(round.light_gain, 1.25);
    EXPECT_GE(std::abs(round.light_gain - 1.0), 0.05);
    withLanding += round.light_state > 0 && round.light_send == 0;
  }
  EXPECT_GT(withLanding, 0) << "some light changes come with a landing dart";
  // Close to the plane: 7 to 12 cm in front of the board.
  const ScenarioSet close = *findScenarioSet("close_plane");
  for (const auto& rig : close.rigs) {
    for (const auto& camera : rig) {
      const double height = camera.distance_mm * std::cos(camera.elevation_deg * CV_PI / 180.0);
      EXPECT_GE(height, 70.0);
      EXPECT_LE(height, 120.0);
    }
  }
}

TEST(Scenarios, LowRingFrontOpensInFrontOfEachCameraInTurn) {
  const ScenarioSet set = *findScenarioSet("low_ring_front");
  EXPECT_GT(set.imaging.noise_sigma, 0.0);
  int behind = 0, rim = 0, miss = 0;
  const auto rounds = planRounds(set, 90, 3);
  for (size_t r = 0; r < rounds.size(); ++r) {
    const scene::CameraSpec& front = set.rigs[rounds[r].rig][r % 3];
    const cv::Point2d opening = rounds[r].darts[0].tip_mm;
    const double radius = std::hypot(opening.x, opening.y);
    rim += radius >= kLowRingFrontRimInnerMm && radius <= kLowRingRimOuterMm + 0.5;
    miss += radius >= kLowRingMissInnerMm - 0.5 && radius <= kLowRingMissOuterMm + 0.5;
    const double angle = std::atan2(opening.x, -opening.y) * 180.0 / CV_PI;
    EXPECT_LE(std::abs(std::remainder(angle - front.azimuth_deg, 360.0)), kLowRingFrontConeDeg + 0.5);
    // Behind: further from that camera's foot on the board plane than the opening dart, and
    // near its line of sight.
    const double a = front.azimuth_deg * CV_PI / 180.0;
    const double foot = front.distance_mm * std::sin(front.elevation_deg * CV_PI / 180.0);
    const cv::Point2d base(foot * std::sin(a), -foot * std::cos(a));
    for (size_t k = 1; k < 3; ++k) {
      const cv::Point2d tip = rounds[r].darts[k].tip_mm;
      const cv::Point2d ray = (opening - base) / cv::norm(opening - base);
      const double along = (tip - opening).dot(ray);
      const double across = std::abs((tip - opening).cross(ray));
      behind += along >= kLowRingFrontBehindMinMm - 1.0 && along <= kLowRingFrontBehindMaxMm + 1.0 && across <= 9.0;
    }
  }
  EXPECT_EQ(rim + miss, 30);
  EXPECT_GE(rim, 8);
  EXPECT_GE(miss, 8);
  EXPECT_GE(behind, 15) << "later darts land behind the opening one";
}

TEST(Scoring, DartJudgement) {
  const scene::DartTruth t20 = truthAt({0.0, -102.0}, "T20");
  const json one = json::array({entry("S1", 40, -50), entry("T20", 0.3, -102.4)});
  const struct {
    json entries;
    size_t before;
    size_t new_entries;
    bool correct;
    bool has_error;
  } cases[] = {
      {one, 1, 1, true, true},
      {one, 2, 0, false, false},                                   // nothing new: missed
      {json::array({entry("S20", 0, -95)}), 0, 1, false, true},   // one entry, wrong field
      {json::array({entry("T20", 0, -102), entry("T20", 0, -102)}), 0, 2, false, false},
      {json::array({json::object({{"field", {{"nominal_field", "T20"}}}})}), 0, 1, true, false},
      {json(nullptr), 0, 0, false, false},
  };
  for (const auto& c : cases) {
    const DartJudgement j = judgeDart(c.entries, c.before, t20);
    EXPECT_EQ(j.new_entries, c.new_entries) << c.entries;
    EXPECT_EQ(j.correct, c.correct) << c.entries;
    EXPECT_EQ(j.tip_error_mm.has_value(), c.has_error) << c.entries;
  }
  EXPECT_NEAR(*judgeDart(one, 1, t20).tip_error_mm, 0.5, 1e-9);
}

TEST(Scoring, UnresolvedDartsAndDecisionPathsAreCountedApart) {
  SetTally tally;
  const scene::DartTruth t20 = truthAt({0.0, -102.0}, "T20");
  DartJudgement undecided = judgeDart(json::array(), 0, t20);
  undecided.unresolved = true;
  tally.addDart(undecided);
  tally.addDart(judgeDart(json::array(), 0, t20));
  EXPECT_EQ(tally.unresolved, 1);
  EXPECT_EQ(tally.missed, 1);
  EXPECT_TRUE(isUnresolvedReply({{"status", "POSITION_UNRESOLVED"}}));
  EXPECT_FALSE(isUnresolvedReply({{"status", "SETTLING"}}));

  const json decided = {{"status", "DART_CANDIDATE"}, {"decision", {{"path", "CONSENSUS"}}},
                        {"entry", {{"method", "THREE_VIEW_LINES"}}}};
  tally.addCall(CallKind::kDeciding, 1.0, decided);
  tally.addCall(CallKind::kDeciding, 1.0, {{"status", "DART_CANDIDATE"}, {"entry", {{"method", "TWO_VIEW_LINES"}}}});
  tally.addCall(CallKind::kUnchanged, 1.0, decided);
  EXPECT_EQ(tally.paths["CONSENSUS"], 1);
  EXPECT_EQ(tally.paths["(none)"], 1);
  EXPECT_EQ(tally.foreign_methods, 1);
}

TEST(Scoring, TallyCountsOutcomes) {
  SetTally tally;
  const scene::DartTruth t20 = truthAt({0.0, -102.0}, "T20");
  tally.addDart(judgeDart(json::array({entry("T20", 0, -101)}), 0, t20));
  tally.addDart(judgeDart(json::array({entry("S20", 0, -96)}), 0, t20));
  tally.addDart(judgeDart(json::array(), 0, t20));
  tally.addDart(judgeDart(json::array({entry("T20", 0, -102), entry("T20", 0, -102),
                                       entry("T20", 0, -102)}), 0, t20));
  tally.addEntriesOnUnchangedFrames(1);
  tally.addCall(CallKind::kError, 1.0, {{"error", "NOT_AVAILABLE"}});
  tally.addCall(CallKind::kError, 1.0, {{"error", "NOT_AVAILABLE"}});
  EXPECT_EQ(tally.darts, 4);
  EXPECT_EQ(tally.correct, 1);
  EXPECT_EQ(tally.missed, 1);
  EXPECT_EQ(tally.wrong_field, 1);
  EXPECT_EQ(tally.extra, 3);
  EXPECT_EQ(tally.tip_errors_mm.size(), 2u);
  EXPECT_EQ(tally.error_codes["NOT_AVAILABLE"], 2);
  EXPECT_DOUBLE_EQ(tally.correctPercent(), 25.0);

  SetTally total;
  total.merge(tally);
  total.merge(tally);
  EXPECT_EQ(total.darts, 8);
  EXPECT_EQ(total.call_ms[CallKind::kError].size(), 4u);
  EXPECT_EQ(total.error_replies, 4);
}

TEST(Scoring, CallKinds) {
  const struct {
    const char* reply;
    size_t before, after;
    CallKind kind;
  } cases[] = {
      {R"({"error":"NOT_AVAILABLE"})", 0, 0, CallKind::kError},
      {R"({"status":"DART_CANDIDATE"})", 0, 1, CallKind::kDeciding},
      {R"({"status":"READY","unchanged":true})", 1, 1, CallKind::kUnchanged},
      {R"({"status":"READY"})", 1, 1, CallKind::kUnchanged},
      {R"({"status":"ROUND_FULL","unchanged":true})", 3, 3, CallKind::kUnchanged},
      {R"({"status":"SETTLING"})", 1, 1, CallKind::kOther},
      {R"({"status":"ROUND_FULL"})", 3, 3, CallKind::kOther},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(classifyCall(json::parse(c.reply), c.before, c.after), c.kind) << c.reply;
  }
}

TEST(Scoring, NearestRankQuantiles) {
  EXPECT_TRUE(std::isnan(median({})));
  EXPECT_DOUBLE_EQ(median({3.0}), 3.0);
  EXPECT_DOUBLE_EQ(median({4.0, 1.0, 3.0, 2.0}), 2.0);
  std::vector<double> hundred;
  for (int i = 100; i >= 1; --i) hundred.push_back(i);
  EXPECT_DOUBLE_EQ(quantile(hundred, 0.95), 95.0);
  EXPECT_DOUBLE_EQ(quantile(hundred, 1.0), 100.0);
  EXPECT_DOUBLE_EQ(quantile(hundred, 0.0), 1.0);
}

TEST(Scoring, Mean) {
  EXPECT_TRUE(std::isnan(mean({})));
  EXPECT_DOUBLE_EQ(mean({4.0, 1.0, 3.0, 2.0}), 2.5);
}

}  // namespace
}  // namespace tarv::bench
