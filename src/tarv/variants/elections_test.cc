// The single-view field election and the two-view line election on hand-made votes.
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "tarv/core/engine_values.h"
#include "tarv/variants/single_view_election.h"
#include "tarv/variants/two_view_lines.h"
#include "tarv/variants/variant_views.h"

namespace tarv {
namespace {

json lineVote(double x, double y, const char* field, double pixelError = 0.0) {
  return {{"abstention", false}, {"point", {x, y}}, {"field", field}, {"pixel_error", pixelError}};
}
json candidate(double x, double y, const char* field, double quality = 0.8) {
  return {{"status", "CANDIDATE"}, {"point", {x, y}}, {"field", field}, {"quality", quality}};
}

TEST(VariantViews, TipsBeyondTheWatchedRegionAbstain) {
  setMissRadius(json{{"miss_radius_mm", 240.0}});
  json axis = {{"votes",
                {{{"abstention", false}, {"point", {0.0, 324.9}}},
                 {{"abstention", false}, {"point", {-32.6, 351.3}}},
                 {{"abstention", true}}}}};
  json candidates = {{"colour", {{"status", "CANDIDATE"}, {"quality", 0.9}, {"point", {-31.6, 351.9}}}},
                     {"fresh", {{"status", "CANDIDATE"}, {"quality", 0.9}, {"point", {120.0, 50.0}}}},
                     {"direction_mm", nullptr}};
  abstainOutsideEventRegion(axis, candidates);
  EXPECT_FALSE(axis["votes"][0]["abstention"].get<bool>());
  EXPECT_TRUE(axis["votes"][1]["abstention"].get<bool>());
  EXPECT_EQ(axis["votes"][1]["abstention_reason"], "TIP_OUTSIDE_EVENT_REGION");
  EXPECT_EQ(candidates["colour"]["status"], "TIP_OUTSIDE_EVENT_REGION");
  EXPECT_EQ(candidates["colour"]["quality"], 0.0);
  EXPECT_EQ(candidates["fresh"]["status"], "CANDIDATE");
  EXPECT_TRUE(candidates["direction_mm"].is_null());
  // A miss radius of 400 mm watches up to 425 mm.
  setMissRadius(json{{"miss_radius_mm", 400.0}});
  json wide = {{"votes", {{{"abstention", false}, {"point", {-32.6, 351.3}}}}}};
  json none = json::object();
  abstainOutsideEventRegion(wide, none);
  EXPECT_FALSE(wide["votes"][0]["abstention"].get<bool>());
  setMissRadius(json{{"miss_radius_mm", 240.0}});
}

TEST(SingleViewElection, NothingToElect) {
  const json r = electSingleViewField({{"votes", json::array()}}, json::array());
  EXPECT_EQ(r["method"], "UNRESOLVED");
  EXPECT_EQ(r["reason"], "NO_VIEW_VOTES");
  EXPECT_EQ(r["eyes"], json({{"lines", 0}, {"candidates", 0}}));
  EXPECT_TRUE(r["clusters"].empty());
}

TEST(SingleViewElection, ALineAndACandidateAtOnePointAgreeWithTheLineAsRepresentative) {
  const json r = electSingleViewField({{"votes", {lineVote(5, 5, "S1", 2.0)}}},
                                      {{"normal", candidate(5, 5, "S1", 0.5)}, {"other", 3}, {"weak", candidate(5, 5, "S1", 0.49)}});
  EXPECT_EQ(r["method"], "MONO_LINE_CONSENSUS");
  EXPECT_EQ(r["members"], 2);
  EXPECT_EQ(r["clusters"][0]["members"], json({"line", "normal"}));
  EXPECT_DOUBLE_EQ(r["clusters"][0]["score"].get<double>(), 1.0);  // 0.5 for the line, 0.5 for the candidate
  EXPECT_EQ(r["eyes"], json({{"lines", 1}, {"candidates", 1}}));
}

TEST(SingleViewElection, ClustersReachSixMillimetres) {
  json joined = electSingleViewField({{"votes", {lineVote(0, 0, "S1"), lineVote(6.0, 0, "S1")}}}, nullptr);
  EXPECT_EQ(joined["members"], 2);
  EXPECT_DOUBLE_EQ(joined["spread_mm"].get<double>(), 6.0);
  json apart = electSingleViewField({{"votes", {lineVote(0, 0, "S1"), lineVote(6.01, 0, "S1")}}}, nullptr);
  EXPECT_EQ(apart["method"], "MONO_SINGLE_VIEW");  // same field: no tie
  EXPECT_EQ(apart["clusters"].size(), 2u);
}

TEST(SingleViewElection, TiesBetweenFieldsAreRefusedUnlessOnlyTheFirstHasALine) {
  EXPECT_EQ(electSingleViewField({{"votes", {lineVote(0, 0, "S1"), lineVote(20, 0, "S2")}}}, nullptr)["reason"],
            "TIED_FIELDS");
  const json lineFirst = electSingleViewField({{"votes", {lineVote(0, 0, "S1")}}}, {{"a", candidate(20, 0, "S2", 0.9)}});
  EXPECT_EQ(lineFirst["method"], "MONO_SINGLE_VIEW");
  EXPECT_EQ(lineFirst["field"], "S1");
  EXPECT_TRUE(lineFirst["line_in_cluster"].get<bool>());
  // The candidate scores higher than a line of pixel error 4 and comes first: a tie.
  EXPECT_EQ(electSingleViewField({{"votes", {lineVote(0, 0, "S1", 4.0)}}}, {{"a", candidate(20, 0, "S2", 0.9)}})["reason"],
            "TIED_FIELDS");
}

// Views seen through identity homographies: image lines are board lines.
std::array<json, 3> views(json votes1, json votes2, json observations1, json observations2) {
  return {json{{"votes", votes1}, {"observations", observations1}}, json{{"votes", votes2}, {"observations", observations2}},
          emptyViewRecord()};
}
json observation(double x, double y, double dx, double dy) {
  return {{"origin_px", {x, y}}, {"direction_xy", {dx, dy}}, {"axis_valid", true}};
}
json pairVote(json line, double x, double y, json index = 0) {
  return {{"abstention", false}, {"line", line}, {"point", {x, y}}, {"axis_index", index}};
}
const std::array<Homography, 3> kIdentities{identityHomography(), identityHomography(), identityHomography()};

TEST(TwoViewLines, PerpendicularLinesMeetAtTheirCrossing) {
  const json r = electTwoViewLines(views(json::array({pairVote({1, 0, -10}, 10, 1)}), json::array({pairVote({0, 1, 0}, 11, 0)}),
                                         json::array({observation(10, 0, 0, 1)}), json::array({observation(10, 0, 1, 0)})),
                                   kIdentities);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_NEAR(r[0]["point"][0].get<double>(), 10.0, 1e-9);
  EXPECT_NEAR(r[0]["point"][1].get<double>(), 0.0, 1e-9);
  EXPECT_EQ(r[0]["distances"], json({1.0, 1.0}));
  EXPECT_EQ(r[0]["indices"], json({0, 0}));
}

TEST(TwoViewLines, DegenerateLinesAndBadIndicesNeverReachTheSolve) {
  const json obs1 = json::array({observation(10, 0, 0, 1)});
  const json obs2 = json::array({observation(10, 0, 1, 0)});
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const json good2 = pairVote({0, 1, 0}, 11, 0);
  for (const json& bad : {pairVote({0, 0, 0}, 10, 1), pairVote({0, 0, 5}, 10, 1), pairVote({nan, 0, -10}, 10, 1),
                          pairVote({1, 0, -10}, 10, 1, 1), pairVote({1, 0, -10}, 10, 1, -1),
                          pairVote({1, 0, -10}, 10, 1, 0.5)}) {
    EXPECT_TRUE(electTwoViewLines(views(json::array({bad}), json::array({good2}), obs1, obs2), kIdentities).empty()) << bad.dump();
  }
  // Nearly parallel lines (3 degrees) are not solved either.
  const double a = 3.0 * CV_PI / 180.0;
  EXPECT_TRUE(electTwoViewLines(views(json::array({pairVote({0, 1, 0}, 10, 0)}),
                                      json::array({pairVote({-std::sin(a), std::cos(a), 0}, 10, 0)}), obs1, obs2),
                                kIdentities)
                  .empty());
}

}  // namespace
}  // namespace tarv
