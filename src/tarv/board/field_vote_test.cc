#include "tarv/board/field_vote.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "tarv/board/camera_votes.h"

namespace tarv {
namespace {

// A camera view whose single usable tip is perfect (pixel error 0) and names the field, so
// its quality is 0.5 + 0.5·clean.
json viewNaming(const char* field, double x, double y) {
  return {{"votes",
           {{{"abstention", false},
             {"field", field},
             {"point", {x, y}},
             {"pixel_error", 0.0},
             {"error_mm", 0.5}}}}};
}
const json kNoView = {{"votes", json::array()}};
// Clean ratio 0.4: quality 0.7 with a perfect tip.
const json kStats = {{"CAM_1", {{"new", 40}, {"moved_support", 60}}},
                     {"CAM_2", {{"new", 40}, {"moved_support", 60}}},
                     {"CAM_3", {{"new", 40}, {"moved_support", 60}}}};
const json kUnresolved = {{"method", "UNRESOLVED"}, {"point", nullptr}};

json group(const char* field, int votes, json cameras = json::array()) {
  return {{"field", field}, {"votes", votes}, {"cameras", cameras}, {"quality", 0.5}};
}
json cluster(const char* field, int votes, json cameras, double x, double y, double quality = 0.5) {
  return {{"field", field},  {"votes", votes},     {"cameras", cameras},
          {"point", {x, y}}, {"quality", quality}, {"spread_mm", 0.4}};
}

TEST(DecideFieldVote, WeighsDecisionCamerasAndConsensus) {
  struct Case {
    const char* name;
    json decision;
    json views;
    json consensus;
    json expected;  // null, or the keys to compare
  };
  const Case cases[] = {
      {"no opinion at all", kUnresolved, json::array({kNoView, kNoView, kNoView}), json::object(),
       nullptr},
      {"three-view decision alone",
       {{"method", "THREE_VIEW_LINES"}, {"point", {0.0, -100.0}}},
       json::array(),
       nullptr,
       {{"field", "T20"},
        {"score", 3.0},
        {"source", "DECISION"},
        {"runner_up", 0.0},
        {"margin", 3.0},
        {"support_cameras", json::array()},
        {"eligible", false},
        {"point", {0.0, -100.0}},
        {"method", "THREE_VIEW_LINES"},
        {"ranking", json::array({json::array({"T20", 3.0})})}}},
      {"an unknown method still weighs 1",
       {{"method", "SOMETHING_ELSE"}, {"point", {0.0, -100.0}}},
       json::array(),
       nullptr,
       {{"field", "T20"}, {"score", 1.0}, {"method", "SOMETHING_ELSE"}}},
      {"two cameras and a consensus group",
       kUnresolved,
       json::array({viewNaming("S5", -15, -47), kNoView, viewNaming("S5", -15.5, -47)}),
       {{"fields", json::array({group("S5", 6, {"CAM_1", "CAM_2"})})}},
       {{"field", "S5"},
        {"score", 2.9},
        {"support_cameras", {"CAM_1", "CAM_2", "CAM_3"}},
        {"source", "CAM_1"},
        {"eligible", true},
        {"point", {-15.0, -47.0}},
        {"method", "UNRESOLVED"}}},
      {"equal scores go to the first text",
       kUnresolved,
       json::array({viewNaming("T20", 0, -100), viewNaming("D20", 0, -165)}),
       nullptr,
       {{"field", "D20"},
        {"score", 0.7},
        {"runner_up", 0.7},
        {"margin", 0.0},
        {"ranking", json::array({json::array({"D20", 0.7}), json::array({"T20", 0.7})})},
        {"eligible", false}}},
      {"a decision point outweighs the cameras of its field",
       {{"method", "BEST_CAM"}, {"point", {1.0, -101.0}}},
       json::array({viewNaming("T20", 0, -100), viewNaming("T20", 0.5, -100)}),
       nullptr,
       {{"field", "T20"},
        {"score", 2.4},
        {"source", "DECISION"},
        {"point", {1.0, -101.0}},
        {"eligible", true}}},
      {"consensus-only winner takes its first cluster's point",
       kUnresolved,
       json::array({viewNaming("S1", 30, -120)}),
       {{"fields", json::array({group("T20", 8, {"CAM_2", "CAM_3"})})},
        {"clusters",
         {cluster("S1", 1, {"CAM_1"}, 30, -120), cluster("T20", 5, {"CAM_2"}, 2, -99),
          cluster("T20", 3, {"CAM_3"}, 9, -99)}}},
       {{"field", "T20"},
        {"score", 2.0},
        {"source", "CLUSTER"},
        {"point", {2.0, -99.0}},
        {"ranking", json::array({json::array({"T20", 2.0}), json::array({"S1", 0.7})})},
        {"support_cameras", {"CAM_2", "CAM_3"}}}},
      {"consensus-only winner without a cluster",
       kUnresolved,
       json::array({viewNaming("S1", 30, -120)}),
       {{"fields", json::array({group("T20", 8, {"CAM_2", "CAM_3"})})}},
       nullptr},
      {"a winning MISS is never eligible",
       kUnresolved,
       json::array(
           {viewNaming("MISS", 0, -200), viewNaming("MISS", 0, -201), viewNaming("MISS", 0, -202)}),
       nullptr,
       {{"field", "MISS"}, {"support_cameras", {"CAM_1", "CAM_2", "CAM_3"}}, {"eligible", false}}},
  };
  for (const Case& c : cases) {
    const json result = decideFieldVote(c.decision, c.views, c.consensus, kStats, json::array());
    if (c.expected.is_null()) {
      EXPECT_TRUE(result.is_null()) << c.name << ": " << result.dump();
      continue;
    }
    ASSERT_TRUE(result.is_object()) << c.name;
    for (const auto& [key, value] : c.expected.items()) {
      EXPECT_EQ(result[key], value) << c.name << ": " << key;
    }
    EXPECT_EQ(result["camera_quality"], collectCameraVotes(c.views, kStats, json::array()))
        << c.name;
    EXPECT_EQ(result.size(), 11u) << c.name;
  }
}

TEST(ApplyFieldMajorityRule, SevenOfTwelveWithBoundedRivals) {
  const json two = {"CAM_1", "CAM_2"};
  struct Case {
    const char* name;
    json fields;
    bool holds;
    int competing;
  };
  const Case cases[] = {
      {"runner-up of 2 in another sector", {group("T20", 7, two), group("S5", 2)}, true, 2},
      {"runner-up of 3 in another sector competes",
       {group("T20", 7, two), group("S5", 3)},
       false,
       3},
      {"MISS runner-up of 3: half bound holds", {group("T20", 7, two), group("MISS", 3)}, true, 0},
      {"MISS runner-up of 4: half bound fails", {group("T20", 7, two), group("MISS", 4)}, false, 0},
      {"same-sector runner-up of 5", {group("T20", 7, two), group("S20", 5)}, true, 0},
      {"same-sector runner-up of 6", {group("T20", 7, two), group("S20", 6)}, false, 0},
      {"third group of 3 in another sector",
       {group("T20", 7, two), group("S20", 2), group("S1", 3)},
       false,
       3},
      {"third MISS group of 3", {group("T20", 7, two), group("S20", 2), group("MISS", 3)}, true, 0},
      {"25 and BULL share a sector", {group("25", 7, two), group("BULL", 5)}, true, 0},
      {"one camera only", json::array({group("T20", 7, {"CAM_1"})}), false, 0},
      {"six votes", json::array({group("T20", 6, two)}), false, 0},
      {"MISS leader", json::array({group("MISS", 9, two)}), false, 0},
  };
  for (const Case& c : cases) {
    json clusters = json::array();
    for (const json& g : c.fields) {
      clusters.push_back(cluster(g["field"].get<std::string>().c_str(), 4, two, 0, -100));
    }
    const json record = applyFieldMajorityRule({{"fields", c.fields}, {"clusters", clusters}});
    EXPECT_EQ(record.is_object(), c.holds) << c.name << ": " << record.dump();
    if (!record.is_object()) continue;
    EXPECT_EQ(record["competing"], c.competing) << c.name;
    EXPECT_EQ(record["field"], c.fields[0]["field"]) << c.name;
    EXPECT_EQ(record["runner_up"], c.fields.size() > 1 ? c.fields[1]["votes"] : json(0)) << c.name;
    EXPECT_EQ(record["rule"],
              "FIELD_MAJORITY_7_OF_12_RUNNER_UP_HALF_OR_SAME_SECTOR_MINUS_2_OTHER_SECTOR_MAX_2");
  }
}

TEST(ApplyFieldMajorityRule, ChoosesTheBestClusterOfTheLeader) {
  const json fields = json::array({group("T20", 8, {"CAM_1", "CAM_2", "CAM_3"})});
  const json clusters = {cluster("S20", 9, {"CAM_1", "CAM_2"}, 0, -60),
                         cluster("T20", 4, {"CAM_1", "CAM_2"}, 1, -100, 0.9),
                         cluster("T20", 4, {"CAM_1", "CAM_2", "CAM_3"}, 2, -100, 0.1),
                         cluster("T20", 4, {"CAM_1", "CAM_2", "CAM_3"}, 3, -100, 0.1)};
  const json record = applyFieldMajorityRule({{"fields", fields}, {"clusters", clusters}});
  ASSERT_TRUE(record.is_object());
  EXPECT_EQ(record["point"], json({2.0, -100.0}));
  EXPECT_EQ(record["cluster_cameras"], json({"CAM_1", "CAM_2", "CAM_3"}));
  EXPECT_EQ(record["cluster_votes"], 4);
  EXPECT_EQ(record["spread_mm"], 0.4);
  EXPECT_FALSE(record["same_sector_runner_up"].get<bool>());

  EXPECT_TRUE(applyFieldMajorityRule({{"fields", fields}}).is_null());
  EXPECT_TRUE(applyFieldMajorityRule({{"fields", fields}, {"clusters", json::array({clusters[0]})}})
                  .is_null());
}

TEST(IsFieldVoteTied, LeadingGroups) {
  struct Case {
    const char* name;
    json consensus;
    bool tied;
  };
  const Case cases[] = {
      {"3 and 2", {{"fields", {group("T20", 3), group("S20", 2)}}}, true},
      {"3 and 1", {{"fields", {group("T20", 3), group("S20", 1)}}}, false},
      {"2 and 2", {{"fields", {group("T20", 2), group("S20", 2)}}}, false},
      {"2 and 2 tied by reason",
       {{"fields", {group("T20", 2), group("S20", 2)}}, {"reason", "TIED_WITHOUT_CLEAR_QUALITY"}},
       true},
      {"single group",
       {{"fields", json::array({group("T20", 6)})}, {"reason", "TIED_WITHOUT_CLEAR_QUALITY"}},
       false},
      {"MISS leads", {{"fields", {group("MISS", 4), group("S20", 4)}}}, false},
      {"not an object", json::array({group("T20", 3), group("S20", 3)}), false},
  };
  for (const Case& c : cases) EXPECT_EQ(isFieldVoteTied(c.consensus), c.tied) << c.name;
}

TEST(RankDecisionMethod, ExactNames) {
  const std::pair<const char*, int> cases[] = {{"THREE_VIEW_LINES", 3},
                                               {"ROI_FEATURE_LINES", 3},
                                               {"UNANIMOUS_CAM", 2},
                                               {"CAM_PLUS_ONE", 2},
                                               {"MULTIVIEW_POINT_CONSENSUS", 2},
                                               {"OUTER_MISS_POINT_CONSENSUS", 2},
                                               {"BEST_CAM", 1},
                                               {"UNRESOLVED", 0},
                                               {"three_view_lines", 0},
                                               {"THREE_VIEW_LINES ", 0},
                                               {"", 0}};
  for (const auto& [method, rank] : cases) EXPECT_EQ(rankDecisionMethod(method), rank) << method;
}

TEST(FieldVote, MalformedOpinionsAbstain) {
  const double inf = std::numeric_limits<double>::infinity();
  const json consensus = {{"fields",
                           {{{"field", 20}, {"votes", 9}},
                            {{"field", "S1"}, {"votes", "9"}},
                            {{"field", "S1"}},
                            "T20",
                            group("T20", 3, {"CAM_1", 7, nullptr}),
                            group("S20", 2)}},
                          {"clusters", {{{"field", "T20"}, {"point", "somewhere"}}, 12}}};
  EXPECT_TRUE(isFieldVoteTied(consensus));  // T20 3 and S20 2 once the rest abstains
  EXPECT_TRUE(applyFieldMajorityRule(consensus).is_null());

  const json decisions[] = {
      {{"method", 3}, {"point", {0.0, -100.0}}},
      {{"method", "THREE_VIEW_LINES"}, {"point", {inf, -100.0}}},
      {{"method", "THREE_VIEW_LINES"}, {"point", "T20"}},
      "THREE_VIEW_LINES",
  };
  for (const json& decision : decisions) {
    // The T20 group's score stands alone; its only cluster has no readable point.
    const json result = decideFieldVote(decision, "views", consensus, 5, {1, 2, 3});
    EXPECT_TRUE(result.is_null()) << decision.dump() << " -> " << result.dump();
  }
  const json withCluster = {{"fields", consensus["fields"]},
                            {"clusters", json::array({cluster("T20", 3, {"CAM_1"}, 1, -100)})}};
  const json result = decideFieldVote(nullptr, nullptr, withCluster, nullptr, nullptr);
  ASSERT_TRUE(result.is_object());
  EXPECT_EQ(result["field"], "T20");
  EXPECT_EQ(result["support_cameras"], json({"CAM_1"}));
  EXPECT_EQ(result["method"], "UNRESOLVED");
  EXPECT_EQ(result["score"], 0.75);
}

}  // namespace
}  // namespace tarv
