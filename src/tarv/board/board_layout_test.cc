#include "tarv/board/board_layout.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace tarv {
namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();
const double kDegree = std::acos(-1.0) / 180.0;

// Every test leaves the process-wide radii at their defaults.
class BoardLayoutTest : public ::testing::Test {
 protected:
  void TearDown() override { setRingRadii(nullptr); }
};

Point2 polar(double r, double degrees) {
  return {r * std::sin(degrees * kDegree), -r * std::cos(degrees * kDegree)};
}

TEST_F(BoardLayoutTest, NominalFieldOfPoints) {
  struct Case {
    Point2 point;
    const char* field;
  };
  const Case cases[] = {
      {{0, -50}, "S20"},        {{50, 0}, "S6"},         {{0, 50}, "S3"},
      {{-50, 0}, "S11"},        {{0, -100}, "T20"},      {{0, -165}, "D20"},
      {{0, 0}, "BULL"},         {{0, -6.999}, "BULL"},   {{0, -7}, "25"},
      {{0, -16.999}, "25"},     {{0, -17}, "S20"},       {{0, -97}, "T20"},
      {{0, -107}, "S20"},       {{0, -160}, "D20"},      {{0, -170}, "D20"},
      {{0, -170.0001}, "MISS"}, {{-10, -60}, "S5"},      {polar(130, 200), "S19"},
      {polar(102, 36), "T18"},  {polar(165, 342), "D5"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(classifyBoardPoint(c.point, 2.0)["nominal_field"], c.field)
        << c.point.x << "," << c.point.y;
  }
}

TEST_F(BoardLayoutTest, AnglesAndSectors) {
  const std::pair<Point2, double> angles[] = {
      {{0, -1}, 0.0}, {{1, 0}, 90.0}, {{0, 1}, 180.0}, {{-1, 0}, 270.0}, {{-1, -1}, 315.0}};
  for (const auto& c : angles) EXPECT_DOUBLE_EQ(boardAngleDegrees(c.first), c.second);
  // A vanishing negative angle must not come back as 360.
  EXPECT_LT(boardAngleDegrees({-1e-300, -1}), 360.0);

  // On a radial wire the next sector clockwise wins; from 351 on it is the 20 again.
  const std::pair<double, int> sectors[] = {
      {0.0, 20},  {8.999, 20}, {9.0, 1},     {26.999, 1}, {27.0, 18},    {90.0, 6},
      {180.0, 3}, {270.0, 11}, {350.999, 5}, {351.0, 20}, {359.999, 20}, {kNaN, 20},
  };
  for (const auto& c : sectors) EXPECT_EQ(sectorOfAngle(c.first), c.second) << c.first;
  EXPECT_EQ(sectorOfPoint({-10, -60}), 5);
  EXPECT_EQ(sectorOfPoint({0, 50}), 3);
}

TEST_F(BoardLayoutTest, CandidatesWithinTheMargin) {
  struct Case {
    Point2 point;
    double margin;
    std::vector<std::string> candidates;
    const char* label;
    json points;
  };
  const Case cases[] = {
      {{0, -102}, 2.0, {"T20"}, "T20", 60},
      {{0, -106}, 2.0, {"S20", "T20"}, "S20 / T20", nullptr},
      {{0, 0}, 2.0, {"BULL"}, "BULL", 50},
      {{0, 0}, 7.0, {"25", "BULL"}, "25 / BULL", nullptr},
      {{-10, -60}, 2.0, {"S20", "S5"}, "S20 / S5", nullptr},
      {{0, -20}, 5.0, {"25", "S1", "S20", "S5"}, "25 / S1 / S20 / S5", nullptr},
      {{0, -17}, 0.0, {"25", "S20"}, "25 / S20", nullptr},
      {{0, -171}, 2.0, {"D20", "MISS"}, "D20 / MISS", nullptr},
      {{0, -300}, 2.0, {"MISS"}, "MISS", 0},
      {polar(130, 90), 2.0, {"S6"}, "S6", 6},
      {polar(165, 90), 2.0, {"D6"}, "D6", 12},
      // A negative margin searches no less than the point's own field.
      {{0, -50}, -3.0, {"S20"}, "S20", 20},
  };
  for (const Case& c : cases) {
    const json result = classifyBoardPoint(c.point, c.margin);
    const std::string where = std::to_string(c.point.x) + "," + std::to_string(c.point.y);
    EXPECT_EQ(result["candidates"], json(c.candidates)) << where;
    EXPECT_EQ(result["label"], c.label) << where;
    EXPECT_EQ(result["suggested_points"], c.points) << where;
    EXPECT_EQ(result["status"], c.candidates.size() == 1 ? "EXPERIMENTAL_FIELD" : "NEAR_BOUNDARY")
        << where;
  }
}

TEST_F(BoardLayoutTest, ClassificationRecordHasExactlyItsKeys) {
  const json result = classifyBoardPoint({30, -40}, 2.5);
  std::vector<std::string> keys;
  for (const auto& item : result.items()) keys.push_back(item.key());
  const std::vector<std::string> expected{"boundary_margin_nominal_mm",
                                          "candidates",
                                          "label",
                                          "margin_is_measured_accuracy",
                                          "nominal_field",
                                          "profile",
                                          "radius_nominal_mm",
                                          "ring_radii_mm",
                                          "scoring_enabled",
                                          "status",
                                          "suggested_points"};
  EXPECT_EQ(keys, expected);
  EXPECT_EQ(result["profile"], "LEGACY_ENGINE_RINGS_7_17_97_107_160_170");
  EXPECT_EQ(result["ring_radii_mm"], json({7.0, 17.0, 97.0, 107.0, 160.0, 170.0}));
  EXPECT_DOUBLE_EQ(result["radius_nominal_mm"].get<double>(), 50.0);
  EXPECT_DOUBLE_EQ(result["boundary_margin_nominal_mm"].get<double>(), 2.5);
  EXPECT_EQ(result["margin_is_measured_accuracy"], false);
  EXPECT_EQ(result["scoring_enabled"], false);
  EXPECT_TRUE(result["suggested_points"].is_number_integer());
}

TEST_F(BoardLayoutTest, NearestWireDistance) {
  const std::pair<Point2, double> cases[] = {
      {{0, -12}, 5.0},  // radial wires stop at the outer bull
      {{0, -5}, 2.0},
      {{0, 0}, 7.0},
      {{0, -50}, 50 * std::sin(9 * kDegree)},  // radial wire nearer than R1 and R2
      {{0, -200}, 30.0},                       // beyond the board
      {polar(60, 9), 0.0},                     // on a radial wire
      {polar(130, 4), 130 * std::sin(5 * kDegree)},
      {polar(102, 4), 5.0},
  };
  for (const auto& c : cases) {
    EXPECT_NEAR(nearestWireDistance(c.first), c.second, 1e-9) << c.first.x << "," << c.first.y;
  }
}

TEST_F(BoardLayoutTest, BoundaryProbability) {
  struct Case {
    Point2 point;
    json uncertainty;
    const char* status;
    json probability;  // null when no model applies
    bool uncertain;
  };
  const double tail2 = 0.5 * std::erfc(2 / std::sqrt(2.0));  // about 0.0228
  const Case cases[] = {
      {{0, -97}, 1.0, "EXPERIMENTAL_FIELD", 0.5, true},  // on a wire
      {{0, -99}, 1.0, "EXPERIMENTAL_FIELD", tail2, false},
      {{0, -99}, 1, "NEAR_BOUNDARY", tail2, true},  // integer sigma
      {{0, -99}, 1u, "", tail2, false},             // unsigned sigma
      {{0, -99}, nullptr, "", nullptr, false},
      {{0, -99}, nullptr, "NEAR_BOUNDARY", nullptr, true},
      {{0, -99}, 0.0, "", nullptr, false},
      {{0, -99}, -1.0, "", nullptr, false},
      {{0, -99}, "1.0", "", nullptr, false},
      {{0, -99}, kNaN, "", nullptr, false},
  };
  for (const Case& c : cases) {
    json target = json::object();
    if (*c.status) target["status"] = c.status;
    estimateBoundaryProbability(target, c.point, c.uncertainty);
    const std::string what = c.uncertainty.dump() + " " + c.status;
    ASSERT_TRUE(target.contains("nearest_wire_mm")) << what;
    EXPECT_EQ(target["uncertain"], c.uncertain) << what;
    if (c.probability.is_null()) {
      EXPECT_TRUE(target["boundary_probability"].is_null()) << what;
      EXPECT_TRUE(target["uncertainty_mm"].is_null()) << what;
      EXPECT_FALSE(target.contains("uncertainty_model")) << what;
    } else {
      EXPECT_NEAR(target["boundary_probability"].get<double>(), c.probability.get<double>(), 1e-12)
          << what;
      EXPECT_EQ(target["uncertainty_mm"].get<double>(), c.uncertainty.get<double>()) << what;
      EXPECT_EQ(target["uncertainty_model"],
                "ONE_SIDED_GAUSSIAN_TO_NEAREST_WIRE; sigma from image-line error");
    }
  }
}

TEST_F(BoardLayoutTest, RingRadiiOutsideTheSixNumberFormRestoreTheDefaults) {
  const json restoring[] = {nullptr, json::array({1, 2, 3, 4, 5}), json::array({1, 2, 3, 4, 5, 6, 7})};
  for (const json& value : restoring) {
    setRingRadii(json::array({1, 2, 3, 4, 5, 6}));
    setRingRadii(value);
    EXPECT_EQ(ringRadii(), BoardLayout::kDefaultRingRadii) << value.dump();
  }
}

TEST_F(BoardLayoutTest, InstalledRingRadiiDriveTheClassification) {
  setRingRadii(json::array({1, 2u, 3.0, 4, 5, 6}));
  EXPECT_EQ(ringRadii(), (std::array<double, 6>{1, 2, 3, 4, 5, 6}));
  const json result = classifyBoardPoint({0, -5.5}, 0.1);
  EXPECT_EQ(result["ring_radii_mm"], json({1.0, 2.0, 3.0, 4.0, 5.0, 6.0}));
  EXPECT_EQ(result["profile"], "LEGACY_ENGINE_RINGS_7_17_97_107_160_170");
  EXPECT_EQ(result["nominal_field"], "D20");
  EXPECT_EQ(classifyBoardPoint({0, -6}, 2.0)["nominal_field"], "D20");
  EXPECT_EQ(classifyBoardPoint({0, -10}, 2.0)["nominal_field"], "MISS");
  EXPECT_NEAR(nearestWireDistance({0, -1.5}), 0.5, 1e-12);
}

TEST_F(BoardLayoutTest, MalformedRingRadiiAreRejectedAndTheTableKept) {
  const std::array<double, 6> installed{6, 16, 96, 106, 159, 169};
  const json rejected[] = {
      json::array({1, 2, 3, 4, 5, 5}),
      json::array({1, 3, 2, 4, 5, 6}),
      json::array({0, 2, 3, 4, 5, 6}),
      json::array({-1, 2, 3, 4, 5, 6}),
      json::array({1, 2, 3, 4, 5, kInf}),
      json::array({kNaN, 2, 3, 4, 5, 6}),
      json::array({1, 2, 3, "4", 5, 6}),
      json::array({1, 2, 3, 4, 5, true}),
      json::array({1, 2, nullptr, 4, 5, 6}),
      json::array({1, 2, 3, 4, 5, json::array({6})}),
      json::array({1, 2, 3, 4, 5, json::object()}),
      // Not a list of numbers at all: refused, not read as a request for the defaults.
      json("1,2,3,4,5,6"),
      json::object(),
      json(7),
      json(true),
      json::array(),
      json::array({"7", "17", "97", "107", "160", "170"}),
      json::array({"a", "b"}),
      json::array({json::array({7, 17, 97, 107, 160, 170})}),
      json::array({json::array({json::array({7})})}),
      json::array({1, 2, 3, 4, 5, 6, json::array({7})}),
  };
  for (const json& value : rejected) {
    setRingRadii(json(installed));
    try {
      setRingRadii(value);
      ADD_FAILURE() << value.dump() << " was accepted";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "INVALID_RING_RADII") << value.dump();
    }
    EXPECT_EQ(ringRadii(), installed) << value.dump();
  }
}

TEST_F(BoardLayoutTest, ReadersNeverSeeAHalfWrittenTable) {
  const std::array<double, 6> other{1, 2, 3, 4, 5, 6};
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&] {
      while (!done.load()) {
        const auto radii = ringRadii();
        if (radii != BoardLayout::kDefaultRingRadii && radii != other) ++torn;
      }
    });
  }
  for (int i = 0; i < 20000; ++i) setRingRadii(i % 2 ? json(other) : json(nullptr));
  done = true;
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(torn.load(), 0);
}

}  // namespace
}  // namespace tarv
