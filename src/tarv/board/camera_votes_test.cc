#include "tarv/board/camera_votes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace tarv {
namespace {

json tip(const char* field, double pixelError, double errorMm, double x = 0.0, double y = -100.0) {
  return {{"abstention", false},       {"field", field},      {"point", {x, y}},
          {"pixel_error", pixelError}, {"error_mm", errorMm}, {"tip_valid", true}};
}

json abstaining() { return {{"abstention", true}, {"point", {0.0, 0.0}}, {"field", "MISS"}}; }

json viewOf(std::vector<json> votes) { return {{"votes", votes}, {"observations", json::array()}}; }

json threeViews(json first, json second = json::object(), json third = json::object()) {
  return json::array({first, second, third});
}

TEST(CollectCameraVotes, QualityCleanRatioAndBestTip) {
  struct Case {
    const char* name;
    json views;
    json stats;
    json expectCam1;  // keys of CAM_1's vote to compare
  };
  const Case cases[] = {
      {"all abstentions: occluded, clean ratio still reported",
       threeViews(viewOf({abstaining(), abstaining()})),
       {{"CAM_1", {{"new", 300}, {"moved_support", 100}}}},
       {{"occluded", true},
        {"vote_field", nullptr},
        {"vote_point", nullptr},
        {"pixel_error", nullptr},
        {"quality", 0.0},
        {"clean_ratio", 0.75}}},
      {"no votes at all",
       threeViews(viewOf({})),
       json::object(),
       {{"occluded", true}, {"quality", 0.0}, {"clean_ratio", 0.0}}},
      {"camera missing from stats: at most half quality",
       threeViews(viewOf({tip("T20", 0.0, 1.0)})),
       {{"CAM_2", {{"new", 300}}}},
       {{"occluded", false}, {"quality", 0.5}, {"clean_ratio", 0.0}}},
      {"0.875 x 0.5 rounds half away to 0.438",
       threeViews(viewOf({tip("T20", 2.0, 1.0)})),
       {{"CAM_1", {{"new", 300}, {"moved_support", 100}}}},
       {{"quality", 0.438}, {"clean_ratio", 0.75}, {"pixel_error", 2.0}, {"vote_field", "T20"}}},
      {"equal pixel error: smaller error_mm wins",
       threeViews(viewOf({tip("S1", 1.2, 3.0), tip("S5", 1.2, 2.5)})),
       json::object(),
       {{"vote_field", "S5"}}},
      {"equal pair: the earlier stays",
       threeViews(viewOf({tip("S1", 1.2, 2.5), tip("S5", 1.2, 2.5)})),
       json::object(),
       {{"vote_field", "S1"}}},
      {"smaller pixel error beats smaller error_mm",
       threeViews(viewOf({tip("S1", 1.5, 0.1), abstaining(), tip("S5", 1.0, 9.0, 3.0, 4.0)})),
       json::object(),
       {{"vote_field", "S5"}, {"vote_point", {3.0, 4.0}}}},
      {"pixel error 0.125 reported as 0.13",
       threeViews(viewOf({tip("D3", 0.125, 1.0)})),
       json::object(),
       {{"pixel_error", 0.13}}},
  };
  for (const Case& c : cases) {
    const json votes = collectCameraVotes(c.views, c.stats, json::array());
    ASSERT_EQ(votes.size(), 3u) << c.name;
    for (const auto& [key, value] : c.expectCam1.items()) {
      EXPECT_EQ(votes["CAM_1"][key], value) << c.name << ": " << key;
    }
    EXPECT_TRUE(votes["CAM_2"]["occluded"].get<bool>()) << c.name;
    EXPECT_EQ(votes["CAM_3"]["candidate_fields"], json::object()) << c.name;
  }
}

TEST(CollectCameraVotes, CandidateTallyCountsOnlyCandidatesWithTextFields) {
  const json candidates = json::array({{{"normal", {{"status", "CANDIDATE"}, {"field", "T20"}}},
                                        {"front", {{"status", "CANDIDATE"}, {"field", "T20"}}},
                                        {"detail", {{"status", "CANDIDATE"}, {"field", nullptr}}},
                                        {"detail_front", {{"status", "CANDIDATE"}}},
                                        {"x", {{"status", "ABSTAIN"}, {"field", "S1"}}},
                                        {"y", {{"field", "S1"}}},
                                        {"z", {{"status", "CANDIDATE"}, {"field", "S1"}}}},
                                       json::array({{{"status", "CANDIDATE"}, {"field", "S1"}}}),
                                       nullptr});
  const json votes = collectCameraVotes(json::array(), json::object(), candidates);
  EXPECT_EQ(votes["CAM_1"]["candidate_fields"], json({{"T20", 2}, {"S1", 1}}));
  EXPECT_EQ(votes["CAM_2"]["candidate_fields"], json::object());
  EXPECT_EQ(votes["CAM_3"]["candidate_fields"], json::object());
}

TEST(CollectCameraVotes, MalformedVotesAbstainAndNothingBecomesNaN) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  json noAbstentionKey = tip("S1", 0.1, 0.1);
  noAbstentionKey.erase("abstention");
  json textAbstention = tip("S1", 0.1, 0.1);
  textAbstention["abstention"] = "false";
  json textError = tip("S1", 0.1, 0.1);
  textError["pixel_error"] = "0.1";
  json nanError = tip("S1", 0.1, 0.1);
  nanError["pixel_error"] = nan;
  json negativeError = tip("S1", -1.5, 0.1);
  json badPoint = tip("S1", 0.1, 0.1);
  badPoint["point"] = {1.0, "2"};
  json noField = tip("S1", 0.1, 0.1);
  noField.erase("field");
  const json views =
      json::array({viewOf({noAbstentionKey, textAbstention, textError, nanError, negativeError,
                           badPoint, noField, 42, nullptr, tip("D20", 3.0, 1.0)}),
                   {{"votes", "many"}},
                   17,
                   "extra camera"});
  const json stats = {{"CAM_1", {{"new", nan}, {"moved_support", -5}}},
                      {"CAM_2", {{"new", 1e308}, {"moved_support", 1e308}}},
                      {"CAM_3", "busy"}};
  const json votes = collectCameraVotes(views, stats, "none");
  EXPECT_EQ(votes["CAM_1"]["vote_field"], "D20");
  EXPECT_EQ(votes["CAM_1"]["clean_ratio"], 0.0);
  EXPECT_TRUE(votes["CAM_2"]["occluded"].get<bool>());
  EXPECT_EQ(votes["CAM_2"]["clean_ratio"], 0.5);
  for (const auto& [id, vote] : votes.items()) {
    EXPECT_TRUE(vote["quality"].is_number_float() && std::isfinite(vote["quality"].get<double>()))
        << id;
    EXPECT_TRUE(vote["clean_ratio"].is_number_float()) << id;
  }
}

json member(const char* camera, const char* kind, double x, double y, double quality,
            const char* field = "T20") {
  return {{"camera", camera},   {"kind", kind},   {"point", {x, y}},
          {"quality", quality}, {"field", field}, {"status", "CANDIDATE"}};
}

TEST(SummarizeVoteGroup, QualityCamerasMedoidAndSpread) {
  struct Case {
    const char* name;
    std::vector<json> members;
    json expected;  // without "spread_mm"
    double spread;
  };
  const Case cases[] = {
      {"single member",
       {member("CAM_2", "detail", 3.0, 4.0, 0.7)},
       {{"field", "T20"},
        {"votes", 1},
        {"cameras", {"CAM_2"}},
        {"quality", 0.7},
        {"point", {3.0, 4.0}},
        {"members", {"CAM_2/detail"}}},
       0.0},
      {"best quality per camera, mean over cameras",
       {member("CAM_3", "normal", 0, 0, 0.6), member("CAM_3", "front", 0, 0, 0.9),
        member("CAM_1", "detail", 0, 0, 0.3)},
       {{"field", "T20"},
        {"votes", 3},
        {"cameras", {"CAM_1", "CAM_3"}},
        {"quality", 0.6},
        {"point", {0.0, 0.0}},
        {"members", {"CAM_3/normal", "CAM_3/front", "CAM_1/detail"}}},
       0.0},
      {"medoid is the middle of x = 0, 1, 5",
       {member("CAM_1", "normal", 0, 2, 0.5), member("CAM_2", "normal", 1, 2, 0.5),
        member("CAM_3", "normal", 5, 2, 0.5)},
       {{"field", "T20"},
        {"votes", 3},
        {"cameras", {"CAM_1", "CAM_2", "CAM_3"}},
        {"quality", 0.5},
        {"point", {1.0, 2.0}},
        {"members", {"CAM_1/normal", "CAM_2/normal", "CAM_3/normal"}}},
       std::sqrt(17.0 / 3.0)},
      {"medoid ties go to the earliest",
       {member("CAM_2", "front", 4, 0, 0.5), member("CAM_1", "front", 0, 0, 0.5)},
       {{"field", "T20"},
        {"votes", 2},
        {"cameras", {"CAM_1", "CAM_2"}},
        {"quality", 0.5},
        {"point", {4.0, 0.0}},
        {"members", {"CAM_2/front", "CAM_1/front"}}},
       std::sqrt(16.0 / 2.0)},
  };
  for (const Case& c : cases) {
    json summary = summarizeVoteGroup(c.members, true);
    EXPECT_NEAR(summary["spread_mm"].get<double>(), c.spread, 1e-12) << c.name;
    EXPECT_NEAR(summary["quality"].get<double>(), c.expected["quality"].get<double>(), 1e-12)
        << c.name;
    summary.erase("spread_mm");
    summary.erase("quality");
    json expected = c.expected;
    expected.erase("quality");
    EXPECT_EQ(summary, expected) << c.name;

    const json fieldGroup = summarizeVoteGroup(c.members, false);
    EXPECT_FALSE(fieldGroup.contains("point") || fieldGroup.contains("members") ||
                 fieldGroup.contains("spread_mm"))
        << c.name;
  }
}

TEST(SummarizeVoteGroup, MembersWithoutPointsOrCamerasDoNotCount) {
  json noPoint = member("CAM_1", "normal", 0, 0, 0.9);
  noPoint["point"] = "here";
  json noCamera = member("CAM_2", "normal", 10, 0, 0.9);
  noCamera.erase("camera");
  json textQuality = member("CAM_3", "front", 0, 0, 0.0);
  textQuality["quality"] = "high";
  const json summary = summarizeVoteGroup({noPoint, noCamera, textQuality}, true);
  EXPECT_EQ(summary["cameras"], json({"CAM_1", "CAM_3"}));
  EXPECT_EQ(summary["quality"], 0.45);
  EXPECT_EQ(summary["point"], json({10, 0}));  // equal sums: the earlier readable member
  EXPECT_EQ(summary["members"], json({"CAM_1/normal", "/normal", "CAM_3/front"}));
  EXPECT_EQ(summary["spread_mm"], std::sqrt(100.0 / 2.0));

  const json empty = summarizeVoteGroup({}, true);
  EXPECT_EQ(empty["votes"], 0);
  EXPECT_EQ(empty["quality"], 0.0);
  EXPECT_EQ(empty["spread_mm"], 0.0);
}

TEST(VoteOrders, DecideByTheirKeysInPrecedence) {
  struct Case {
    const char* name;
    bool (*order)(const json&, const json&);
    json before;
    json after;
  };
  const Case cases[] = {
      {"D20 before S20", voteOrder, member("CAM_3", "normal", 9, 9, 0.1, "D20"),
       member("CAM_1", "normal", 0, 0, 0.9, "S20")},
      {"S20 before T20", voteOrder, member("CAM_3", "normal", 9, 9, 0.1, "S20"),
       member("CAM_1", "normal", 0, 0, 0.9, "T20")},
      {"prefix first", voteOrder, member("CAM_1", "normal", 9, 9, 0.1, "S1"),
       member("CAM_1", "normal", 0, 0, 0.1, "S10")},
      {"smaller x", voteOrder, member("CAM_3", "normal", -1, 9, 0.1),
       member("CAM_1", "normal", 0, 0, 0.1)},
      {"then smaller y", voteOrder, member("CAM_3", "normal", 0, -1, 0.1),
       member("CAM_1", "normal", 0, 0, 0.1)},
      {"then camera", voteOrder, member("CAM_1", "normal", 0, 0, 0.1),
       member("CAM_2", "detail", 0, 0, 0.1)},
      {"then kind", voteOrder, member("CAM_1", "detail", 0, 0, 0.1),
       member("CAM_1", "front", 0, 0, 0.1)},
      {"more votes",
       fieldGroupOrder,
       {{"votes", 5}, {"quality", 0.1}, {"field", "T20"}},
       {{"votes", 4}, {"quality", 0.9}, {"field", "D20"}}},
      {"then quality",
       fieldGroupOrder,
       {{"votes", 4}, {"quality", 0.5}, {"field", "T20"}},
       {{"votes", 4}, {"quality", 0.4}, {"field", "D20"}}},
      {"then field",
       fieldGroupOrder,
       {{"votes", 4}, {"quality", 0.4}, {"field", "D20"}},
       {{"votes", 4}, {"quality", 0.4}, {"field", "T20"}}},
      {"two cameras beat one whatever the quality",
       clusterOrder,
       {{"votes", 5}, {"cameras", {"CAM_1", "CAM_2"}}, {"quality", 0.1}, {"field", "T20"}},
       {{"votes", 5}, {"cameras", {"CAM_1"}}, {"quality", 0.9}, {"field", "D20"}}},
      {"votes before cameras",
       clusterOrder,
       {{"votes", 6}, {"cameras", {"CAM_1"}}, {"quality", 0.1}, {"field", "T20"}},
       {{"votes", 5}, {"cameras", {"CAM_1", "CAM_2"}}, {"quality", 0.9}, {"field", "D20"}}},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(c.order(c.before, c.after)) << c.name;
    EXPECT_FALSE(c.order(c.after, c.before)) << c.name;
    EXPECT_FALSE(c.order(c.before, c.before)) << c.name;
  }
  // Records missing every key are equivalent to each other, so a sort stays well defined.
  EXPECT_FALSE(voteOrder(json::object(), nullptr));
  EXPECT_FALSE(clusterOrder(42, "x"));
  EXPECT_TRUE(fieldGroupOrder({{"votes", 1}}, {{"votes", "9"}}));
}

TEST(VoteReaders, AcceptOnlyWellFormedValues) {
  EXPECT_TRUE(readVotePoint({1, 2.5}).has_value());
  for (const json& bad : {json({1.0}), json({1.0, 2.0, 3.0}), json({true, 1.0}), json("1,2"),
                          json({std::numeric_limits<double>::infinity(), 0.0}), json()}) {
    EXPECT_FALSE(readVotePoint(bad).has_value()) << bad.dump();
  }
  EXPECT_EQ(readVoteCount(7u), 7);
  EXPECT_EQ(readVoteCount(6.9), 6);
  for (const json& bad : {json(-1), json(3e9), json("7"), json(), json(true)}) {
    EXPECT_FALSE(readVoteCount(bad).has_value()) << bad.dump();
  }
}

}  // namespace
}  // namespace tarv
