#include "tarv/board/axis_candidate.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

namespace tarv {
namespace {

constexpr double kPi = 3.14159265358979323846;
const double kNaN = std::numeric_limits<double>::quiet_NaN();

std::vector<Point2> pixelsOf(const cv::Mat& mask) {
  std::vector<cv::Point> nz;
  cv::findNonZero(mask, nz);
  std::vector<Point2> out;
  for (const cv::Point& p : nz) out.push_back({static_cast<double>(p.x), static_cast<double>(p.y)});
  return out;
}

// A thick straight stroke drawn the way a change mask shows a shaft.
std::vector<Point2> strokePixels(cv::Point2d from, cv::Point2d to, int thickness) {
  cv::Mat mask = cv::Mat::zeros(480, 640, CV_8U);
  const int shift = 4;  // sub-pixel end points
  auto fixed = [&](cv::Point2d p) {
    return cv::Point(cvRound(p.x * (1 << shift)), cvRound(p.y * (1 << shift)));
  };
  cv::line(mask, fixed(from), fixed(to), 255, thickness, cv::LINE_8, shift);
  return pixelsOf(mask);
}

double angleBetweenDegrees(double ax, double ay, double bx, double by) {
  // Axes have no sense of direction, so (dx, dy) and (-dx, -dy) are the same axis.
  const double c = std::abs(ax * bx + ay * by) / (std::hypot(ax, ay) * std::hypot(bx, by));
  return std::acos(std::min(1.0, c)) * 180.0 / kPi;
}

double distanceToLine(Point2 p, cv::Point2d a, cv::Point2d b) {
  const double dx = b.x - a.x, dy = b.y - a.y;
  return std::abs(dx * (p.y - a.y) - dy * (p.x - a.x)) / std::hypot(dx, dy);
}

TEST(FitAxisCandidate, RecoversTheDirectionOfRasterisedStrokes) {
  struct Case {
    double angleDeg;
    double length;
    int thickness;
  };
  const Case cases[] = {{0, 220, 7},   {17, 220, 7},   {45, 180, 5},  {63, 240, 9},
                        {90, 220, 7},  {101, 160, 3},  {135, 220, 7}, {152, 200, 11},
                        {179, 220, 7}, {72.5, 120, 13}};
  double worst = 0.0;
  for (const Case& c : cases) {
    const double a = c.angleDeg * kPi / 180.0;
    const cv::Point2d centre(320.3, 240.7);
    const cv::Point2d half(0.5 * c.length * std::cos(a), 0.5 * c.length * std::sin(a));
    const json axis = fitAxisCandidate(strokePixels(centre - half, centre + half, c.thickness));
    ASSERT_TRUE(axis.is_object()) << "angle " << c.angleDeg;
    EXPECT_EQ(axis.at("status"), "AXIS_CANDIDATE");
    const double vx = axis["direction_xy"][0], vy = axis["direction_xy"][1];
    EXPECT_NEAR(std::hypot(vx, vy), 1.0, 1e-5);
    EXPECT_GE(vy, 0.0) << "directions point down the image";
    const double error = angleBetweenDegrees(vx, vy, half.x, half.y);
    worst = std::max(worst, error);
    EXPECT_LT(error, 0.5) << "angle " << c.angleDeg;
    const Point2 origin = pointFromJson(axis["origin_px"]);
    EXPECT_LT(distanceToLine(origin, centre - half, centre + half), 0.5) << "angle " << c.angleDeg;
    // The support covers the stroke, give or take its rounded caps.
    EXPECT_GT(axis["support_span_px"].get<double>(), c.length - 4.0) << "angle " << c.angleDeg;
    EXPECT_LE(axis["support_span_px"].get<double>(), c.length + c.thickness + 1.0)
        << "angle " << c.angleDeg;
    EXPECT_LT(axis["center_residual_rms_px"].get<double>(), 1.0);
    EXPECT_GE(axis["narrow_sections"].get<int>(), 6);
  }
  RecordProperty("worst_direction_error_deg", std::to_string(worst));
}

TEST(FitAxisCandidate, RecordCarriesGeometryOnly) {
  const json axis = fitAxisCandidate(strokePixels({100, 100}, {300, 260}, 7));
  ASSERT_TRUE(axis.is_object());
  for (const char* key : {"tip", "score", "position_uncertainty_mm", "angular_uncertainty_deg"})
    EXPECT_TRUE(axis.at(key).is_null()) << key;
  EXPECT_EQ(axis.at("direction_resolved"), false);
  EXPECT_EQ(axis.at("warning"), "FIT_RESIDUAL_IS_NOT_MEASUREMENT_UNCERTAINTY");
  EXPECT_TRUE(axis.at("narrow_sections").is_number_integer());
  EXPECT_GT(axis.at("component_elongation").get<double>(), 10.0);

  // The end points lie on the fitted line at the extreme section centres.
  const Point2 o = pointFromJson(axis["origin_px"]);
  const double vx = axis["direction_xy"][0], vy = axis["direction_xy"][1];
  const Point2 e0 = pointFromJson(axis["support_endpoints_px"][0]);
  const Point2 e1 = pointFromJson(axis["support_endpoints_px"][1]);
  EXPECT_NEAR(-vy * (e0.x - o.x) + vx * (e0.y - o.y), 0.0, 1e-3);
  EXPECT_NEAR(-vy * (e1.x - o.x) + vx * (e1.y - o.y), 0.0, 1e-3);
  EXPECT_NEAR(std::hypot(e1.x - e0.x, e1.y - e0.y), axis["support_span_px"].get<double>(), 1e-3);
  EXPECT_GT(e1.y, e0.y) << "the support runs along the direction";
}

TEST(FitAxisCandidate, WideFlightDoesNotPullTheAxis) {
  // A thin point and barrel, then a flight far wider than a shaft and off to one side.
  cv::Mat mask = cv::Mat::zeros(480, 640, CV_8U);
  const cv::Point2d tip(200, 80), end(330, 330);
  cv::line(mask, tip, end, 255, 5);
  const cv::Point flight[] = {cv::Point(310, 290), cv::Point(380, 330), cv::Point(340, 380),
                              cv::Point(300, 340)};
  cv::fillConvexPoly(mask, flight, 4, 255);
  const json axis = fitAxisCandidate(pixelsOf(mask));
  ASSERT_TRUE(axis.is_object());
  EXPECT_LT(angleBetweenDegrees(axis["direction_xy"][0], axis["direction_xy"][1], end.x - tip.x,
                                end.y - tip.y),
            0.5);
}

TEST(FitAxisCandidate, DirectionIsOrientedDownTheImage) {
  struct Case {
    cv::Point2d from, to;
    double vx, vy;
  };
  const Case cases[] = {
      {{300, 400}, {300, 100}, 0.0, 1.0},  // drawn upward, reported downward
      {{300, 100}, {300, 400}, 0.0, 1.0},
      {{500, 200}, {100, 200}, 1.0, 0.0},  // horizontal: reported to the right
  };
  for (const Case& c : cases) {
    const json axis = fitAxisCandidate(strokePixels(c.from, c.to, 7));
    ASSERT_TRUE(axis.is_object());
    EXPECT_NEAR(axis["direction_xy"][0].get<double>(), c.vx, 1e-6);
    EXPECT_NEAR(axis["direction_xy"][1].get<double>(), c.vy, 1e-6);
    EXPECT_GE(axis["direction_xy"][1].get<double>(), 0.0);
  }
}

// A vertical blob built section by section: 4 rows per section, each row `width`+1 pixels
// centred on x = 200 (+ `shift`), or no rows at all for a missing section. Rows sit half a
// pixel inside their section and single pixels mark both ends, so no pixel lies on a section
// boundary whichever way the principal direction points.
struct SectionSpec {
  int width;  // across extent in px, -1 for a missing section
  double shift = 0.0;
};

std::vector<Point2> sectionBlob(const std::vector<SectionSpec>& sections) {
  std::vector<Point2> points;
  for (std::size_t s = 0; s < sections.size(); ++s) {
    if (sections[s].width < 0) continue;
    for (int r = 0; r < 4; ++r) {
      const double y = 4.0 * static_cast<double>(s) + r + 0.5;
      for (int j = 0; j <= sections[s].width; ++j)
        points.push_back({200.0 + sections[s].shift - 0.5 * sections[s].width + j, y});
    }
  }
  points.push_back({200.0, 0.0});
  points.push_back({200.0, 4.0 * static_cast<double>(sections.size())});
  return points;
}

std::vector<SectionSpec> narrowRuns(const std::vector<std::pair<int, int>>& runs, int total,
                                    int gapWidth = -1) {
  std::vector<SectionSpec> out(static_cast<std::size_t>(total), SectionSpec{gapWidth});
  for (const auto& [first, last] : runs)
    for (int s = first; s <= last; ++s) out[static_cast<std::size_t>(s)] = SectionSpec{4};
  return out;
}

TEST(FitAxisCandidate, RunsOfNarrowSections) {
  struct Case {
    const char* name;
    std::vector<SectionSpec> sections;
    int expectedSections;  // 0 for a refusal
    double directionTolerance = 1e-3;
  };
  std::vector<SectionSpec> zigzagSmall, zigzagLarge, fiveSpread, sixSpread;
  for (int s = 0; s < 16; ++s) {
    zigzagSmall.push_back({4, s % 2 ? 2.0 : -2.0});
    zigzagLarge.push_back({4, s % 2 ? 3.5 : -3.5});
  }
  for (int s = 0; s <= 12; ++s) fiveSpread.push_back({s % 3 == 0 ? 4 : -1});
  for (int s = 0; s <= 15; ++s) sixSpread.push_back({s % 3 == 0 ? 4 : -1});
  const Case cases[] = {
      {"two missing sections are bridged", narrowRuns({{0, 5}, {8, 13}}, 14), 12},
      {"two wide sections are bridged", narrowRuns({{0, 5}, {8, 13}}, 14, 24), 12},
      {"three missing sections split; the longer later run wins", narrowRuns({{0, 5}, {9, 19}}, 20),
       11},
      {"three missing sections split; the longer earlier run wins",
       narrowRuns({{0, 9}, {14, 19}}, 20), 10},
      {"five sections spread over 48 px are too few", fiveSpread, 0},
      {"six sections spread over 60 px are enough", sixSpread, 6},
      {"nine sections span 32 px, too short", narrowRuns({{0, 8}}, 9), 0},
      {"ten sections span 36 px", narrowRuns({{0, 9}}, 10), 10},
      {"16 px across is still narrow", std::vector<SectionSpec>(30, SectionSpec{16}), 30},
      {"17 px across everywhere has no narrow section",
       std::vector<SectionSpec>(30, SectionSpec{17}), 0},
      // Alternating centres tilt the robust fit a little.
      {"centres 2 px off the line are straight enough", zigzagSmall, 16, 0.06},
      {"centres 3.5 px off the line are not", zigzagLarge, 0},
  };
  for (const Case& c : cases) {
    const json axis = fitAxisCandidate(sectionBlob(c.sections));
    if (c.expectedSections == 0) {
      EXPECT_TRUE(axis.is_null()) << c.name << ": " << axis.dump();
      continue;
    }
    ASSERT_TRUE(axis.is_object()) << c.name;
    EXPECT_EQ(axis["narrow_sections"].get<int>(), c.expectedSections) << c.name;
    EXPECT_NEAR(axis["direction_xy"][0].get<double>(), 0.0, c.directionTolerance) << c.name;
  }
}

TEST(FitAxisCandidate, RefusesComponentsThatCannotBeAShaft) {
  // 79 or 80 points on a perfect diagonal line half a pixel apart.
  auto dottedLine = [](int count) {
    std::vector<Point2> points;
    for (int k = 0; k < count; ++k) points.push_back({50.0 + 0.3 * k, 60.0 + 0.4 * k});
    return points;
  };
  std::vector<Point2> square;
  for (int y = 0; y < 30; ++y)
    for (int x = 0; x < 30; ++x) square.push_back({100.0 + x, 100.0 + y});
  std::vector<Point2> withNaN = dottedLine(200);
  withNaN[17].x = kNaN;

  struct Case {
    const char* name;
    std::vector<Point2> points;
    bool accepted;
  };
  const Case cases[] = {
      {"no points", {}, false},
      {"79 points", dottedLine(79), false},
      {"80 points", dottedLine(80), true},
      {"a square blob", square, false},
      {"a non-finite pixel", withNaN, false},
      {"every point the same", std::vector<Point2>(200, Point2{5.0, 5.0}), false},
  };
  for (const Case& c : cases) {
    json axis;
    ASSERT_NO_THROW(axis = fitAxisCandidate(c.points)) << c.name;
    EXPECT_EQ(axis.is_object(), c.accepted) << c.name << ": " << axis.dump();
  }
}

TEST(IsUsableAxisVote, NeedsAValidAxisAndAFiniteLine) {
  const json line = json::array({0.6, 0.8, -3.0});
  struct Case {
    const char* name;
    json vote;
    bool usable;
  };
  const Case cases[] = {
      {"abstention false, axis_valid absent", {{"abstention", false}, {"line", line}}, true},
      {"both absent", {{"line", line}}, false},
      {"abstaining but axis valid",
       {{"abstention", true}, {"axis_valid", true}, {"line", line}},
       true},
      {"axis invalid", {{"abstention", false}, {"axis_valid", false}, {"line", line}}, false},
      {"line [0, 0, 5]", {{"axis_valid", true}, {"line", {0, 0, 5}}}, false},
      {"normal of 1e-9", {{"axis_valid", true}, {"line", {1e-9, 0.0, 5.0}}}, false},
      {"normal of 2e-9", {{"axis_valid", true}, {"line", {2e-9, 0.0, 5.0}}}, true},
      {"integer line", {{"axis_valid", true}, {"line", {0, 1, -4}}}, true},
      {"NaN in the line", {{"axis_valid", true}, {"line", {kNaN, 1.0, 0.0}}}, false},
      {"null in the line", {{"axis_valid", true}, {"line", {nullptr, 1.0, 0.0}}}, false},
      {"two elements", {{"axis_valid", true}, {"line", {1.0, 0.0}}}, false},
      {"four elements", {{"axis_valid", true}, {"line", {1.0, 0.0, 0.0, 0.0}}}, false},
      {"a text element", {{"axis_valid", true}, {"line", {1.0, "0", 0.0}}}, false},
      {"no line", {{"axis_valid", true}}, false},
      {"line is an object", {{"axis_valid", true}, {"line", {{"a", 1}}}}, false},
      {"not an object", json::array({true, line}), false},
  };
  for (const Case& c : cases) EXPECT_EQ(isUsableAxisVote(c.vote), c.usable) << c.name;
}

TEST(RankPairIntersection, MissingUncertaintyRanksFarBehind) {
  struct Case {
    json uncertainty;  // discarded when it is the string "absent"
    double expected;
  };
  const Case cases[] = {
      {0.5, 3.5}, {0, 3.0}, {nullptr, 1e6 + 3.0}, {"absent", 1e6 + 3.0}, {"2", 1e6 + 3.0},
  };
  for (const Case& c : cases) {
    json in = {{"distances", {1.0, 2.0}}};
    if (c.uncertainty != "absent") in["uncertainty_mm"] = c.uncertainty;
    EXPECT_DOUBLE_EQ(rankPairIntersection(in), c.expected) << in.dump();
  }
  const json numeric = {{"uncertainty_mm", 40.0}, {"distances", {14.0, 15.0}}};
  const json unknown = {{"uncertainty_mm", nullptr}, {"distances", {0.0, 0.0}}};
  EXPECT_LT(rankPairIntersection(numeric), rankPairIntersection(unknown));
  EXPECT_THROW(rankPairIntersection({{"uncertainty_mm", 1.0}}), json::exception);
}

}  // namespace
}  // namespace tarv
