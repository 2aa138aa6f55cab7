#include "tarv/board/multiview_consensus.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tarv/core/engine_values.h"

namespace tarv {
namespace {

struct Measurement {
  int camera;  // 1..3
  const char* field;
  double x;
  double y;
  double quality;
  const char* status = "CANDIDATE";
};

// Each camera's records in the order given; kinds follow the camera's four views.
json measurementsOf(const std::vector<Measurement>& list) {
  json entries = json::array({json::array(), json::array(), json::array()});
  for (const Measurement& m : list) {
    json& entry = entries[m.camera - 1];
    const std::size_t n = entry.size();
    const std::string kind = n < viewKinds.size() ? viewKinds[n] : "extra" + std::to_string(n);
    entry.push_back({{"status", m.status},
                     {"field", m.field},
                     {"point", {m.x, m.y}},
                     {"quality", m.quality},
                     {"kind", kind}});
  }
  return entries;
}

// n votes of one camera round a point, 0.1 mm apart in x.
std::vector<Measurement> near(int camera, const char* field, double x, double y, int n,
                              double quality = 0.8, const char* status = "CANDIDATE") {
  std::vector<Measurement> list;
  for (int k = 0; k < n; ++k) list.push_back({camera, field, x + 0.1 * k, y, quality, status});
  return list;
}

std::vector<Measurement> join(std::initializer_list<std::vector<Measurement>> parts) {
  std::vector<Measurement> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

std::vector<int> clusterVotes(const json& consensus) {
  std::vector<int> votes;
  for (const json& c : consensus["clusters"]) votes.push_back(c["votes"].get<int>());
  return votes;
}

TEST(MultiviewConsensus, VotesAndSpatialClusters) {
  struct Case {
    const char* name;
    std::vector<Measurement> input;
    int valid;
    std::vector<int> clusters;  // votes per cluster, in cluster order
  };
  const Case cases[] = {
      {"nothing", {}, 0, {}},
      {"quality 0.25 votes, 0.2499 and an abstaining record do not",
       {{1, "T20", 0, -100, 0.25},
        {2, "T20", 0, -100, 0.2499},
        {3, "T20", 0, -100, 0.9, "ABSTAIN"}},
       1,
       {1}},
      {"exactly 6.0 mm from every member joins",
       {{1, "T20", 0, -100, 0.5}, {2, "T20", 0, -100, 0.5}, {3, "T20", 6.0, -100, 0.5}},
       3,
       {3}},
      {"6.01 mm starts a cluster of its own",
       {{1, "T20", 0, -100, 0.5}, {2, "T20", 0, -100, 0.5}, {3, "T20", 6.01, -100, 0.5}},
       3,
       {2, 1}},
      {"near the last member but too far from the first",
       {{1, "T20", 0, -100, 0.5}, {2, "T20", 3, -100, 0.5}, {3, "T20", 6.5, -100, 0.5}},
       3,
       {2, 1}},
      {"decimal points exactly 6 mm apart still join",
       {{1, "T20", -5.0, -101.6, 0.5}, {2, "T20", -1.4, -106.4, 0.5}},
       2,
       {2}},
      {"fields never mix", {{1, "S20", 0, -100, 0.5}, {2, "T20", 0, -100, 0.5}}, 2, {1, 1}},
      {"more votes first, then more cameras",
       join({near(1, "S1", 30, -120, 2), near(1, "T20", 0, -100, 1), near(2, "T20", 0, -100, 1),
             near(3, "D20", 0, -165, 3)}),
       7,
       {3, 2, 2}},
  };
  for (const Case& c : cases) {
    const json result = buildMultiviewConsensus(measurementsOf(c.input));
    EXPECT_EQ(result["valid"], c.valid) << c.name;
    EXPECT_EQ(result["abstentions"], 12 - c.valid) << c.name;
    EXPECT_EQ(result["slots"], 12) << c.name;
    EXPECT_EQ(result["independent_cameras"], 3) << c.name;
    EXPECT_EQ(clusterVotes(result), c.clusters) << c.name;
  }
  const json ordered = buildMultiviewConsensus(measurementsOf(cases[7].input));
  EXPECT_EQ(ordered["clusters"][1]["field"], "T20") << "two cameras before one";
  EXPECT_EQ(ordered["clusters"][1]["cameras"], json({"CAM_1", "CAM_2"}));
  EXPECT_EQ(ordered["fields"][0]["field"], "D20");
}

TEST(MultiviewConsensus, FieldDecisionAndMajority) {
  const auto others = join({near(3, "S5", -15, -47, 1), near(3, "S1", 30, -121, 1),
                            near(3, "D20", 0, -165, 1), near(3, "S20", 0, -60, 1)});
  struct Case {
    const char* name;
    std::vector<Measurement> input;
    const char* status;
    const char* reason;
    const char* selectedField;  // nullptr when "selected" is null
    int selectedVotes;
  };
  const Case cases[] = {
      {"no candidate at all", {}, "UNRESOLVED", "INSUFFICIENT_CONSENSUS", nullptr, 0},
      {"7 of 12 in a tight cluster",
       join({near(1, "T20", 0, -100, 4), near(2, "T20", 0.5, -100, 3), near(2, "S1", 30, -120, 1),
             others}),
       "CONSENSUS", "SPATIAL_AND_FIELD_MAJORITY", "T20", 7},
      {"6 of 12 is not more than half",
       join({near(1, "T20", 0, -100, 4), near(2, "T20", 0.5, -100, 2), near(2, "S1", 30, -120, 2),
             others}),
       "UNRESOLVED", "INSUFFICIENT_CONSENSUS", nullptr, 0},
      {"6 of 8 valid",
       join({near(1, "T20", 0, -100, 4), near(2, "T20", 0.5, -100, 2),
             near(2, "S1", 30, -120, 2, 0.8, "ABSTAIN"), near(3, "S1", 30, -120, 2)}),
       "CONSENSUS", "SPATIAL_AND_FIELD_MAJORITY", "T20", 6},
      {"level fields, qualities 0.80 and 0.65",
       join({near(1, "T20", 0, -100, 4, 0.8), near(2, "T20", 0, -100, 2, 0.8),
             near(2, "S20", 0, -60, 2, 0.65), near(3, "S20", 0, -60, 4, 0.65)}),
       "CONSENSUS", "TIE_RESOLVED_BY_CAMERA_BALANCED_QUALITY", "T20", 6},
      {"level fields, qualities 0.80 and 0.66",
       join({near(1, "T20", 0, -100, 4, 0.8), near(2, "T20", 0, -100, 2, 0.8),
             near(2, "S20", 0, -60, 2, 0.66), near(3, "S20", 0, -60, 4, 0.66)}),
       "UNRESOLVED", "TIED_WITHOUT_CLEAR_QUALITY", nullptr, 0},
      {"level fields, qualities 0.70 and 0.55 are 0.15 apart too",
       join({near(1, "T20", 0, -100, 4, 0.7), near(2, "T20", 0, -100, 2, 0.7),
             near(2, "S20", 0, -60, 2, 0.55), near(3, "S20", 0, -60, 4, 0.55)}),
       "CONSENSUS", "TIE_RESOLVED_BY_CAMERA_BALANCED_QUALITY", "T20", 6},
      {"field agrees but its largest cluster holds 3",
       join({near(1, "T20", -12, -100, 2), near(1, "T20", 0, -100, 1), near(2, "T20", 0, -100, 2),
             near(2, "T20", 12, -100, 2)}),
       "UNRESOLVED", "FIELD_AGREES_BUT_POINTS_DISAGREE", nullptr, 0},
      {"a one-camera cluster is passed over for the next",
       join({near(1, "T20", -8, -100, 5), near(2, "T20", 8, -100, 2), near(3, "T20", 8, -100, 2)}),
       "CONSENSUS", "SPATIAL_AND_FIELD_MAJORITY", "T20", 4},
      {"a one-camera field with more votes blocks the selected one",
       join({near(1, "S20", 0, -60, 7), near(2, "T20", 0, -100, 3), near(3, "T20", 0, -100, 3)}),
       "UNRESOLVED", "INSUFFICIENT_CONSENSUS", nullptr, 0},
      {"two cameras only", join({near(1, "T20", 0, -100, 4), near(2, "T20", 0, -100, 4)}),
       "CONSENSUS", "SPATIAL_AND_FIELD_MAJORITY", "T20", 8},
  };
  for (const Case& c : cases) {
    const json result = buildMultiviewConsensus(measurementsOf(c.input));
    EXPECT_EQ(result["status"], c.status) << c.name;
    EXPECT_EQ(result["reason"], c.reason) << c.name;
    if (c.selectedField == nullptr) {
      EXPECT_TRUE(result["selected"].is_null()) << c.name;
      continue;
    }
    const json& selected = result["selected"];
    EXPECT_EQ(selected["field"], c.selectedField) << c.name;
    EXPECT_EQ(selected["votes"], c.selectedVotes) << c.name;
    EXPECT_EQ(selected["field_votes"], result["fields"][0]["votes"]) << c.name;
    EXPECT_EQ(selected["field_quality"], result["fields"][0]["quality"]) << c.name;
    EXPECT_GE(selected["cameras"].size(), 2u) << c.name;
  }
  const json passedOver = buildMultiviewConsensus(measurementsOf(cases[8].input));
  EXPECT_GT(passedOver["selected"]["point"][0].get<double>(), 7.9);
  EXPECT_EQ(buildMultiviewConsensus(measurementsOf(cases[10].input))["abstentions"], 4);
}

TEST(MultiviewConsensus, RecordsAsObjectMembersAndMalformedRecords) {
  const json good = {{"status", "CANDIDATE"},
                     {"field", "T20"},
                     {"point", {0.0, -100.0}},
                     {"quality", 0.9},
                     {"kind", "normal"}};
  auto with = [&](const char* key, json value) {
    json r = good;
    if (value.is_discarded()) {
      r.erase(key);
    } else {
      r[key] = value;
    }
    return r;
  };
  const json gone(json::value_t::discarded);
  const json cam1 =
      json::array({42, "CANDIDATE", with("quality", "0.9"), with("quality", gone),
                   with("field", 20), with("point", "here"), with("point", {1.0}),
                   with("kind", gone), with("status", 1), with("status", gone), good});
  const json cam2 = {{"normal", good}, {"front", good}, {"detail", nullptr}};
  const json result = buildMultiviewConsensus(json::array({cam1, cam2, 7, json::array({good})}));
  EXPECT_EQ(result["valid"], 3);
  EXPECT_EQ(result["fields"][0]["cameras"], json({"CAM_1", "CAM_2"}));

  json many = json::array();
  for (int k = 0; k < 14; ++k) many.push_back(good);
  const json crowded = buildMultiviewConsensus(json::array({many, many}));
  EXPECT_EQ(crowded["valid"], 28);
  EXPECT_EQ(crowded["abstentions"], 0);
  EXPECT_EQ(crowded["status"], "CONSENSUS");

  for (const json& input : {json(), json("three"), json::object(), json::array()}) {
    const json empty = buildMultiviewConsensus(input);
    EXPECT_EQ(empty["valid"], 0) << input.dump();
    EXPECT_EQ(empty["abstentions"], 12) << input.dump();
  }
}

}  // namespace
}  // namespace tarv
