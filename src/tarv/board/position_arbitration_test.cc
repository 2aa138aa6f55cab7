#include "tarv/board/position_arbitration.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "tarv/core/round.h"

namespace tarv {
namespace {

json hypothesis(const char* field, double x, double y) {
  return {{"field", field},
          {"point", {x, y}},
          {"eligible", true},
          {"support_cameras", {"CAM_1", "CAM_2"}}};
}
json entry(double time, json field, json point) {
  return {{"time", time}, {"field", field}, {"point", point}};
}
json at(double x, double y) { return json::array({x, y}); }

TEST(CheckStableHypothesis, AgreeingRunAndDuration) {
  const json h = hypothesis("T20", 0.0, -100.0);
  json noFlag = h;
  noFlag.erase("eligible");
  json notEligible = h;
  notEligible["eligible"] = false;
  const json agreeing = {entry(10.0, "T20", at(1.0, -100.0)), entry(10.4, "T20", at(0.0, -101.0))};
  struct Case {
    const char* name;
    json history;
    json hypothesis;
    double now;
    bool ready;
    const char* reason;
    int samples;
    double duration;
  };
  const Case cases[] = {
      {"no hypothesis", agreeing, nullptr, 10.8, false, "NO_HYPOTHESIS", 0, 0.0},
      {"not eligible", agreeing, notEligible, 10.8, false, "HYPOTHESIS_NOT_ELIGIBLE", 0, 0.0},
      {"empty history", json::array(), h, 10.8, false, "WAITING_FOR_STABLE_RUN", 1, 0.0},
      {"null history", nullptr, h, 10.8, false, "WAITING_FOR_STABLE_RUN", 1, 0.0},
      {"run of three over 0.8 s", agreeing, h, 10.8, true, "STABLE_HYPOTHESIS_TIMEOUT", 3, 0.8},
      {"absent eligible flag counts as eligible", agreeing, noFlag, 10.8, true,
       "STABLE_HYPOTHESIS_TIMEOUT", 3, 0.8},
      {"0.7496 s reports 0.75 but is short", agreeing, h, 10.7496, false, "WAITING_FOR_STABLE_RUN",
       3, 0.75},
      {"0.75 s from decimal times is enough", json::array({entry(1016.786, "T20", at(0, -100))}), h,
       1017.536, true, "STABLE_HYPOTHESIS_TIMEOUT", 2, 0.75},
      {"newest entry names another field",
       {entry(9.0, "T20", at(0, -100)), entry(9.5, "T20", at(0, -100)),
        entry(10.0, "S20", at(0, -100))},
       h,
       10.8,
       false,
       "WAITING_FOR_STABLE_RUN",
       1,
       0.0},
      {"an older disagreement ends the run",
       {entry(9.0, "T20", at(0, -100)), entry(9.5, nullptr, at(0, -100)),
        entry(10.0, "T20", at(0, -100))},
       h,
       10.8,
       true,
       "STABLE_HYPOTHESIS_TIMEOUT",
       2,
       0.8},
      {"exactly 4.0 mm agrees", json::array({entry(10.0, "T20", at(4.0, -100.0))}), h, 10.8, true,
       "STABLE_HYPOTHESIS_TIMEOUT", 2, 0.8},
      {"4.0 mm from decimal coordinates agrees", json::array({entry(10.0, "T20", at(2.4, -103.2))}),
       h, 10.8, true, "STABLE_HYPOTHESIS_TIMEOUT", 2, 0.8},
      {"4.01 mm ends the run", json::array({entry(10.0, "T20", at(4.01, -100.0))}), h, 10.8, false,
       "WAITING_FOR_STABLE_RUN", 1, 0.0},
      {"null point ends the run", json::array({entry(10.0, "T20", nullptr)}), h, 10.8, false,
       "WAITING_FOR_STABLE_RUN", 1, 0.0},
  };
  for (const Case& c : cases) {
    const json answer = checkStableHypothesis(c.history, c.hypothesis, c.now);
    EXPECT_EQ(answer["ready"], c.ready) << c.name;
    EXPECT_EQ(answer["reason"], c.reason) << c.name;
    EXPECT_EQ(answer["samples"], c.samples) << c.name;
    EXPECT_DOUBLE_EQ(answer["duration"].get<double>(), c.duration) << c.name;
    const bool eligible = c.samples > 0;
    EXPECT_EQ(answer.contains("seconds") && answer.contains("min_samples"), eligible) << c.name;
    if (eligible) {
      EXPECT_EQ(answer["seconds"], 0.75);
      EXPECT_EQ(answer["min_samples"], 2);
    }
    EXPECT_EQ(answer.contains("support_cameras"),
              std::string(c.reason) == "HYPOTHESIS_NOT_ELIGIBLE")
        << c.name;
  }
  EXPECT_EQ(checkStableHypothesis(agreeing, notEligible, 10.8)["support_cameras"],
            json({"CAM_1", "CAM_2"}));
}

TEST(ArbitratePosition, KeepsTheUnresolvedRun) {
  json full = json::array();
  for (int k = 0; k < 64; ++k) full.push_back(entry(k, "T20", at(0, -100)));
  const json reply = {{"status", "POSITION_UNRESOLVED"},
                      {"arbitration", {{"hypothesis", hypothesis("T20", 1.0, -99.0)}}}};

  const json first = arbitratePosition(nullptr, "POSITION_UNRESOLVED", 5.0, reply);
  EXPECT_EQ(first, json::array({entry(5.0, "T20", at(1.0, -99.0))}));

  const json rolled = arbitratePosition(full, "POSITION_UNRESOLVED", 64.0, reply);
  ASSERT_EQ(rolled.size(), 64u);
  EXPECT_EQ(rolled.front()["time"], 1.0);
  EXPECT_EQ(rolled.back()["time"], 64.0);

  const json replies[] = {json::object(),
                          {{"arbitration", "none"}},
                          {{"arbitration", {{"hypothesis", nullptr}}}},
                          {{"arbitration", {{"hypothesis", {{"field", 20}, {"point", "x"}}}}}}};
  for (const json& r : replies) {
    EXPECT_EQ(arbitratePosition(json::array(), "POSITION_UNRESOLVED", 7.0, r),
              json::array({entry(7.0, nullptr, nullptr)}))
        << r.dump();
  }

  EXPECT_EQ(arbitratePosition(full, "WAIT", 70.0, reply), full);
  EXPECT_EQ(arbitratePosition("junk", "WAIT", 70.0, reply), json::array());
  for (const char* status : {"DART_CANDIDATE", "READY", "SETTLING", "position_unresolved", ""}) {
    EXPECT_EQ(arbitratePosition(full, status, 70.0, reply), json::array()) << status;
  }
  // A sample without a usable time could never join a run.
  EXPECT_EQ(arbitratePosition(first, "POSITION_UNRESOLVED",
                              std::numeric_limits<double>::quiet_NaN(), reply),
            first);
}

TEST(PositionArbitration, WorksOnTheRoundHistory) {
  Round round;
  const json reply = {{"arbitration", {{"hypothesis", hypothesis("D3", 10.0, 160.0)}}}};
  arbitratePosition(round, "POSITION_UNRESOLVED", 20.0, reply);
  arbitratePosition(round, "WAIT", 20.3, reply);
  arbitratePosition(round, "POSITION_UNRESOLVED", 20.5, reply);
  EXPECT_EQ(round.stableHypothesisHistory.size(), 2u);
  const json answer = checkStableHypothesis(round.stableHypothesisHistory, hypothesis("D3", 11.0, 160.0), 21.0);
  EXPECT_TRUE(answer["ready"].get<bool>());
  EXPECT_EQ(answer["samples"], 3);
  arbitratePosition(round, "DART_CANDIDATE", 21.0, reply);
  EXPECT_EQ(round.stableHypothesisHistory, json::array());
}

TEST(CheckStableHypothesis, MalformedInputsNeverYieldNaN) {
  const json h = hypothesis("T20", 0.0, -100.0);
  json textFlag = h;
  textFlag["eligible"] = "yes";
  json noPoint = h;
  noPoint["point"] = {0.0};
  const json history = {entry(10.0, "T20", at(0, -100)),
                        42,
                        {{"time", "late"}, {"field", "T20"}, {"point", at(0, -100)}},
                        entry(10.5, "T20", at(0, -100))};
  EXPECT_EQ(checkStableHypothesis(history, textFlag, 11.0)["reason"], "HYPOTHESIS_NOT_ELIGIBLE");
  EXPECT_EQ(checkStableHypothesis(history, noPoint, 11.0)["reason"], "NO_HYPOTHESIS");
  EXPECT_EQ(checkStableHypothesis(history, "T20", 11.0)["reason"], "NO_HYPOTHESIS");
  const json run = checkStableHypothesis(history, h, 11.0);
  EXPECT_EQ(run["samples"], 2);  // the entry without a time ends the run
  const json noClock = checkStableHypothesis(history, h, std::numeric_limits<double>::quiet_NaN());
  EXPECT_FALSE(noClock["ready"].get<bool>());
  EXPECT_EQ(noClock["duration"], 0.0);
}

}  // namespace
}  // namespace tarv
