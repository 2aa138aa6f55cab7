#include "tarv/core/board_geometry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <opencv2/core.hpp>
#include <stdexcept>
#include <thread>

namespace tarv {
namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

// 1 px per mm, bull at pixel (100, 100).
const Homography kShifted{1, 0, 100, 0, 1, 100, 0, 0, 1};

TEST(PointJson, RoundTripKeepsFloatingElements) {
  const json j = pointToJson({3.0, -4.0});
  ASSERT_EQ(j.size(), 2u);
  EXPECT_TRUE(j[0].is_number_float());
  EXPECT_TRUE(j[1].is_number_float());
  EXPECT_EQ(j.dump(), "[3.0,-4.0]");

  const Point2 p = pointFromJson(json::array({1, 2u, 7.5}));  // extra elements are ignored
  EXPECT_EQ(p.x, 1.0);
  EXPECT_EQ(p.y, 2.0);
}

TEST(PointJson, MalformedValuesFailWithTheLibraryErrors) {
  struct Case {
    json value;
    int id;
  };
  const Case cases[] = {
      {json::object(), 304},           {json(nullptr), 304},
      {json::array({1.0}), 401},       {json::array({1.0, "2"}), 302},
      {json::array({true, 1.0}), 302},
  };
  for (const Case& c : cases) {
    try {
      pointFromJson(c.value);
      ADD_FAILURE() << c.value.dump() << " was accepted";
    } catch (const json::exception& e) {
      EXPECT_EQ(e.id, c.id) << c.value.dump() << ": " << e.what();
    }
  }
}

TEST(ApplyHomography, DividesByWAndRejectsPointsAtInfinity) {
  const Point2 q = applyHomography({2, 0, 10, 0, 3, 20, 0, 0, 2}, {1.0, 2.0});
  EXPECT_DOUBLE_EQ(q.x, 6.0);
  EXPECT_DOUBLE_EQ(q.y, 13.0);

  // w = x here, so the x of the point chooses w directly.
  const Homography wIsX{1, 0, 0, 0, 1, 0, 1, 0, 0};
  EXPECT_NO_THROW(applyHomography(wIsX, {1e-10, 1.0}));
  EXPECT_NO_THROW(applyHomography(wIsX, {-1e-10, 1.0}));
  for (const double x : {0.0, 9.9e-11, -9.9e-11, kNaN, kInf}) {
    try {
      applyHomography(wIsX, {x, 1.0});
      ADD_FAILURE() << "w = " << x << " was accepted";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "Projection at infinity");
    }
  }
}

TEST(CirclePoints, StartOnPlusXAndTurnTowardsPlusY) {
  EXPECT_TRUE(circlePoints(5.0, 0).empty());
  EXPECT_TRUE(circlePoints(5.0, -3).empty());
  const auto points = circlePoints(2.0, 4);
  const Point2 expected[] = {{2, 0}, {0, 2}, {-2, 0}, {0, -2}};
  ASSERT_EQ(points.size(), 4u);
  for (int i = 0; i < 4; ++i) {
    EXPECT_NEAR(points[i].x, expected[i].x, 1e-12) << i;
    EXPECT_NEAR(points[i].y, expected[i].y, 1e-12) << i;
  }
}

TEST(Percentile, InterpolatesAndClampsP) {
  struct Case {
    std::vector<double> values;
    double p;
    double expected;
  };
  const Case cases[] = {
      {{}, 50, 0.0},
      {{4.0}, 95, 4.0},
      {{3, 1, 2}, 50, 2.0},
      {{4, 1, 3, 2}, 50, 2.5},
      {{50, 10, 40, 20, 30}, 80, 42.0},
      {{50, 10, 40, 20, 30}, 0, 10.0},
      {{50, 10, 40, 20, 30}, 100, 50.0},
      {{50, 10, 40, 20, 30}, -5, 10.0},
      {{50, 10, 40, 20, 30}, 150, 50.0},
      {{50, 10, 40, 20, 30}, kNaN, 10.0},
      {{50, 10, 40, 20, 30}, kInf, 50.0},
  };
  for (const Case& c : cases) {
    EXPECT_DOUBLE_EQ(percentile(c.values, c.p), c.expected) << "p = " << c.p;
  }
}

// Against the plain definition: sort, then interpolate between neighbours, over lists with
// repeated values and every whole percent.
TEST(Percentile, MatchesSortingTheWholeList) {
  cv::RNG rng(7);
  for (int trial = 0; trial < 50; ++trial) {
    std::vector<double> values(static_cast<size_t>(1 + rng.uniform(0, 40)));
    for (double& v : values) v = rng.uniform(0, 12) * 0.5;
    std::vector<double> sorted = values;
    std::sort(sorted.begin(), sorted.end());
    for (int p = 0; p <= 100; ++p) {
      const double q = static_cast<double>(sorted.size() - 1) * p / 100.0;
      const size_t i = static_cast<size_t>(q);
      const size_t j = std::min(i + 1, sorted.size() - 1);
      const double expected = sorted[i] + (sorted[j] - sorted[i]) * (q - static_cast<double>(i));
      EXPECT_EQ(percentile(values, p), expected) << "trial " << trial << " p " << p;
    }
  }
}

TEST(Rounding, HalvesGoAwayFromZero) {
  struct Case {
    double value;
    int decimals;
    double expected;
  };
  const Case cases[] = {
      {0.0625, 3, 0.063}, {-0.0625, 3, -0.063}, {1.2344, 3, 1.234}, {2.5, 0, 3.0},
      {-2.5, 0, -3.0},    {0.125, 2, 0.13},     {-0.125, 2, -0.13}, {1234.5, -1, 1230.0},
      {1e300, 3, 1e300},  {-1e300, 3, -1e300},
  };
  for (const Case& c : cases) {
    EXPECT_DOUBLE_EQ(roundTo(c.value, c.decimals), c.expected) << c.value << " @ " << c.decimals;
  }
  EXPECT_DOUBLE_EQ(roundToThousandths(-0.0625), -0.063);
  EXPECT_TRUE(std::isnan(roundToThousandths(kNaN)));
  EXPECT_EQ(roundToThousandths(kInf), kInf);
}

TEST(FieldSectorKey, BullsShareAKeyAndMissHasNone) {
  const std::pair<const char*, const char*> cases[] = {
      {"", ""},      {"MISS", ""}, {"BULL", "bull"}, {"25", "bull"},
      {"T20", "20"}, {"S5", "5"},  {"D12", "12"},    {"S1", "1"},
  };
  for (const auto& c : cases) EXPECT_EQ(fieldSectorKey(c.first), c.second) << c.first;
}

TEST(BoardRegionMask, FillsTheProjectedCircle) {
  const cv::Mat mask = getBoardRegionMask({200, 150}, kShifted, 50.0);
  ASSERT_EQ(mask.type(), CV_8UC1);
  ASSERT_EQ(mask.cols, 200);
  ASSERT_EQ(mask.rows, 150);
  struct Probe {
    int x, y, value;
  };
  const Probe probes[] = {{100, 100, 255}, {145, 100, 255}, {100, 55, 255}, {155, 100, 0},
                          {100, 44, 0},    {0, 0, 0},       {199, 149, 0},  {150, 100, 255}};
  for (const Probe& p : probes) EXPECT_EQ(mask.at<uchar>(p.y, p.x), p.value) << p.x << "," << p.y;
  const double disc = std::acos(-1.0) * 50 * 50;
  EXPECT_NEAR(cv::countNonZero(mask), disc, 0.03 * disc);
}

TEST(BoardRegionMask, CallerOwnsItsCopy) {
  cv::Mat first = getBoardRegionMask({200, 200}, kShifted, 40.0);
  first.setTo(0);
  const cv::Mat second = getBoardRegionMask({200, 200}, kShifted, 40.0);
  EXPECT_EQ(second.at<uchar>(100, 100), 255);
  EXPECT_NE(first.data, second.data);
}

// Readers of the shared mask get the cached pixels themselves, the same as a caller's copy.
TEST(BoardRegionMask, SharedMaskIsTheCachedOneWithoutACopy) {
  const cv::Mat shared = sharedBoardRegionMask({200, 200}, kShifted, 35.0);
  const cv::Mat again = sharedBoardRegionMask({200, 200}, kShifted, 35.0);
  EXPECT_EQ(shared.data, again.data);
  const cv::Mat copy = getBoardRegionMask({200, 200}, kShifted, 35.0);
  EXPECT_NE(copy.data, shared.data);
  EXPECT_EQ(cv::countNonZero(copy != shared), 0);
  EXPECT_EQ(shared.at<uchar>(100, 100), 255);
}

TEST(BoardRegionMask, CacheIsPerThreadBoundedAndUntouchedByFailures) {
  // A fresh thread starts with an empty cache of its own.
  std::thread([] {
    EXPECT_EQ(boardRegionMaskCacheSize(), 0u);
    getBoardRegionMask({64, 64}, kShifted, 10.0);
    getBoardRegionMask({64, 64}, kShifted, 10.0);
    EXPECT_EQ(boardRegionMaskCacheSize(), 1u);
    getBoardRegionMask({64, 64}, kShifted, std::nextafter(10.0, 11.0));
    getBoardRegionMask({65, 64}, kShifted, 10.0);
    EXPECT_EQ(boardRegionMaskCacheSize(), 3u);

    // Twenty different radii: the oldest entries give way, the count stops at twelve.
    for (int i = 0; i < 20; ++i) getBoardRegionMask({64, 64}, {1, 0, 0, 0, 1, 0, 0, 0, 1}, 5.0 + i);
    EXPECT_EQ(boardRegionMaskCacheSize(), 12u);

    try {
      getBoardRegionMask({64, 64}, {1, 0, 0, 0, 1, 0, 1, 0, 0}, 10.0);  // w = x reaches 0
      ADD_FAILURE() << "no failure";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "Projection at infinity");
    }
    EXPECT_EQ(boardRegionMaskCacheSize(), 12u);

    Homography withNaN = kShifted;
    withNaN[1] = kNaN;
    EXPECT_THROW(getBoardRegionMask({64, 64}, withNaN, 10.0), std::runtime_error);
    EXPECT_EQ(boardRegionMaskCacheSize(), 12u);
  }).join();
}

}  // namespace
}  // namespace tarv

namespace tarv {
namespace {

TEST(HomographyViews, ResizedAndCroppedViewsSeeTheSamePoint) {
  const Homography h{1.5, 0.2, 640, -0.1, 1.7, 360, 1e-4, 2e-4, 1};
  const Point2 board{30.0, -80.0};
  const Point2 seen = applyHomography(h, board);
  const Point2 half = applyHomography(scaleHomography(h, 0.5, 0.25), board);
  EXPECT_NEAR(half.x, seen.x * 0.5, 1e-9);
  EXPECT_NEAR(half.y, seen.y * 0.25, 1e-9);
  const Point2 crop = applyHomography(cropHomography(h, {100.0, 40.0}), board);
  EXPECT_NEAR(crop.x, seen.x - 100.0, 1e-9);
  EXPECT_NEAR(crop.y, seen.y - 40.0, 1e-9);
}

}  // namespace
}  // namespace tarv
