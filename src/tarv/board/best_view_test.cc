#include "tarv/board/best_view.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "tarv/core/round.h"

namespace tarv {
namespace {

const Homography kIdentity{1, 0, 0, 0, 1, 0, 0, 0, 1};
const double kDv = 101 / 1.404 - 100 / 1.4;

TEST(MeasureViewQuality, AngleFactorAndPixelsPerMillimetre) {
  struct Case {
    const char* name;
    Homography h;
    Point2 at;
    double angle;
    double pixelsPerMm;
  };
  const Case cases[] = {
      {"identity", kIdentity, {30, -120}, 1.0, 1.0},
      {"identity elsewhere", kIdentity, {-170, 5}, 1.0, 1.0},
      {"diag(4, 2, 1)", {4, 0, 0, 0, 2, 0, 0, 0, 1}, {10, 10}, std::sqrt(0.5), std::sqrt(8.0)},
      {"rotation and scale keep the angle", {0, -3, 7, 3, 0, 9, 0, 0, 1}, {5, 5}, 1.0, 3.0},
      {"every point to one pixel", {0, 0, 50, 0, 0, 60, 0, 0, 1}, {5, 5}, 0.0, 0.0},
      // 1 mm steps from (0, 100), where w = 1.4: du = 1/1.4 and dv = 101/1.404 - 100/1.4.
      {"perspective",
       {1, 0, 0, 0, 1, 0, 0, 0.004, 1},
       {0, 100},
       std::sqrt(kDv * 1.4),
       std::sqrt(kDv / 1.4)},
  };
  for (const Case& c : cases) {
    const json q = measureViewQuality(c.h, c.at);
    EXPECT_NEAR(q["angle_factor"].get<double>(), c.angle, 1e-9) << c.name;
    EXPECT_NEAR(q["pixels_per_mm"].get<double>(), c.pixelsPerMm, 1e-9) << c.name;
  }

  const Homography wIsX{1, 0, 0, 0, 1, 0, 1, 0, 0};
  try {
    measureViewQuality(wIsX, {0.0, 5.0});
    ADD_FAILURE() << "w = 0 was accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Projection at infinity");
  }
  EXPECT_THROW(measureViewQuality(wIsX, {-1.0, 5.0}), std::runtime_error);  // p + (1, 0)
  const json overflow = measureViewQuality({1e308, 0, 0, 0, 1e308, 0, 0, 0, 1}, {1e10, 1e10});
  EXPECT_EQ(overflow["angle_factor"], 0.0);
  EXPECT_EQ(overflow["pixels_per_mm"], 0.0);
}

json tipView(const char* field, double x, double y, double pixelError = 0.0) {
  return {{"votes",
           {{{"abstention", false},
             {"field", field},
             {"point", {x, y}},
             {"pixel_error", pixelError},
             {"error_mm", 0.5}},
            {{"abstention", true}, {"field", "MISS"}, {"point", {0, 0}}}}}};
}
const json kNoTip = {{"votes", json::array()}};

json tiedConsensus(const char* first = "T20", const char* second = "S20") {
  return {{"status", "UNRESOLVED"},
          {"reason", "TIED_WITHOUT_CLEAR_QUALITY"},
          {"fields",
           {{{"field", first}, {"votes", 6}, {"quality", 0.8}, {"cameras", {"CAM_1", "CAM_2"}}},
            {{"field", second}, {"votes", 6}, {"quality", 0.7}, {"cameras", {"CAM_2", "CAM_3"}}}}}};
}

json cleanStats(double n1, double n2, double n3) {
  return {{"CAM_1", {{"new", n1}}}, {"CAM_2", {{"new", n2}}}, {"CAM_3", {{"new", n3}}}};
}

TEST(BreakTieByBestView, RanksTheCamerasOfTheContestedFields) {
  // Quality 0.8 from clean 0.75 and pixel error 0.1875; angle 0.9 from diag(1, 0.81, 1).
  const json scored = json::array({tipView("S20", 0, -60, 0.1875), kNoTip, kNoTip});
  const json scoredStats = {{"CAM_1", {{"new", 400}, {"moved_support", 400.0 / 3.0}}}};
  const std::array<Homography, 3> squashed{Homography{1, 0, 0, 0, 0.81, 0, 0, 0, 1}, kIdentity,
                                           kIdentity};
  const std::array<Homography, 3> flat{kIdentity, kIdentity, kIdentity};
  struct Case {
    const char* name;
    json consensus;
    json views;
    json stats;
    std::array<Homography, 3> homographies;
    std::vector<std::string> ranking;  // cameras, best first; empty for null
    json firstScore;
  };
  const Case cases[] = {
      {"0.8 x 0.9 x sqrt(300)", tiedConsensus(), scored, scoredStats, squashed, {"CAM_1"}, 12.47},
      {"not tied",
       {{"fields", {{{"field", "T20"}, {"votes", 7}}, {{"field", "S20"}, {"votes", 2}}}}},
       scored,
       scoredStats,
       squashed,
       {},
       nullptr},
      {"MISS leads", tiedConsensus("MISS", "S20"), scored, scoredStats, squashed, {}, nullptr},
      {"one camera with two usable tips",
       tiedConsensus(),
       json::array(
           {tipView("S20", 0, -60),
            {{"votes", {tipView("T20", 0, -100)["votes"][0], tipView("T20", 1, -100)["votes"][0]}}},
            kNoTip}),
       cleanStats(100, 100, 100),
       flat,
       {},
       nullptr},
      {"third fields and MISS are left out",
       tiedConsensus("T20", "MISS"),
       json::array({tipView("MISS", 0, -200), tipView("S1", 30, -120), tipView("D20", 0, -165)}),
       cleanStats(100, 100, 100),
       flat,
       {},
       nullptr},
      {"equal rounded scores go by camera id",
       tiedConsensus(),
       json::array({tipView("T20", 0, -100), tipView("S1", 30, -120), tipView("S20", 0, -60)}),
       cleanStats(155.45, 900, 155.53),
       flat,
       {"CAM_1", "CAM_3"},
       12.47},
      {"higher score first",
       tiedConsensus(),
       json::array({tipView("T20", 0, -100), tipView("S20", 0, -60), kNoTip}),
       cleanStats(100, 400, 0),
       flat,
       {"CAM_2", "CAM_1"},
       20.0},
  };
  for (const Case& c : cases) {
    const json result =
        breakTieByBestView(c.consensus, c.views, c.stats, json::array(), c.homographies);
    if (c.ranking.empty()) {
      EXPECT_TRUE(result.is_null()) << c.name << ": " << result.dump();
      continue;
    }
    ASSERT_TRUE(result.is_object()) << c.name;
    std::vector<std::string> order;
    for (const json& e : result["ranking"]) order.push_back(e["camera"].get<std::string>());
    EXPECT_EQ(order, c.ranking) << c.name;
    EXPECT_EQ(result["score"], c.firstScore) << c.name;
    EXPECT_EQ(result["camera"], c.ranking[0]) << c.name;
    EXPECT_EQ(result["field"], result["ranking"][0]["field"]) << c.name;
    EXPECT_EQ(result["point"], result["ranking"][0]["point"]) << c.name;
    EXPECT_EQ(result["runner_up"], c.ranking.size() > 1 ? result["ranking"][1]["score"] : json(0.0))
        << c.name;
    EXPECT_EQ(result["contested"], json({"S20", "T20"})) << c.name;
    EXPECT_EQ(result["votes"], json({6, 6})) << c.name;
    EXPECT_EQ(result["rule"], "TIE_BEST_VIEW_CAMERA_ANGLE_x_CLEAN_PIXELS_x_LINE_QUALITY");
  }

  const json entry = breakTieByBestView(tiedConsensus(), scored, scoredStats, json::array(),
                                        squashed)["ranking"][0];
  EXPECT_EQ(entry, json({{"camera", "CAM_1"},
                         {"field", "S20"},
                         {"point", {0, -60}},
                         {"score", 12.47},
                         {"clean_pixels", 300},
                         {"angle_factor", 0.9},
                         {"pixels_per_mm", 0.9},
                         {"line_quality", 0.8},
                         {"pixel_error", 0.19}}));

  Round round;
  round.cameras[0].boardToImage = squashed[0];
  const std::array<Homography, 3> roundCameras{round.cameras[0].boardToImage, round.cameras[1].boardToImage,
                                               round.cameras[2].boardToImage};
  EXPECT_EQ(breakTieByBestView(tiedConsensus(), scored, scoredStats, json::array(), roundCameras)["score"],
            12.47);
}

TEST(BreakTieByBestView, MalformedVotesAbstain) {
  const std::array<Homography, 3> flat{kIdentity, kIdentity, kIdentity};
  json broken = tipView("T20", 0, -100);
  broken["votes"].push_back({{"abstention", "no"},
                             {"field", "T20"},
                             {"point", {0, -100}},
                             {"pixel_error", 0.0},
                             {"error_mm", 0.0}});
  broken["votes"].push_back({{"abstention", false},
                             {"field", "T20"},
                             {"point", {0, "x"}},
                             {"pixel_error", 0.0},
                             {"error_mm", 0.0}});
  const json views = json::array({broken, "camera two", tipView("S20", 0, -60)});
  const json stats = {{"CAM_1", {{"new", "many"}}}, {"CAM_3", {{"new", 1e308}}}};
  const json result = breakTieByBestView(tiedConsensus(), views, stats, nullptr, flat);
  ASSERT_TRUE(result.is_object());
  ASSERT_EQ(result["ranking"].size(), 2u);
  EXPECT_EQ(result["camera"], "CAM_3");
  for (const json& e : result["ranking"]) {
    EXPECT_TRUE(e["score"].is_number() && std::isfinite(e["score"].get<double>())) << e.dump();
    EXPECT_TRUE(e["clean_pixels"].is_number_integer()) << e.dump();
  }
  EXPECT_TRUE(breakTieByBestView("tied", views, stats, nullptr, flat).is_null());
}

}  // namespace
}  // namespace tarv
