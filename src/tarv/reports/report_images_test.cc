#include "tarv/reports/report_images.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "tarv/reports/board_view.h"
#include "tarv/reports/report_test_support.h"

namespace tarv {
namespace {

using testing::renderedRound;

const cv::Vec3b kNewDart(60, 220, 60);
const cv::Vec3b kEarlierDart(0, 210, 255);

// Pixels within tolerance of the colour in every channel (anti-aliased text and resized
// marks blend into what lies below).
int countColour(const cv::Mat& image, const cv::Rect& area, const cv::Vec3b& colour,
                int tolerance = 0) {
  const cv::Scalar low(colour[0] - tolerance, colour[1] - tolerance, colour[2] - tolerance);
  const cv::Scalar high(colour[0] + tolerance, colour[1] + tolerance, colour[2] + tolerance);
  cv::Mat same;
  cv::inRange(image(area & cv::Rect(0, 0, image.cols, image.rows)), low, high, same);
  return cv::countNonZero(same);
}

// Where a board point is drawn in camera i's board view of the overview.
cv::Point overviewPoint(std::size_t i, cv::Point2d mm) {
  return {static_cast<int>(480 * i + 105 + std::lround(0.675 * mm.x + 135)),
          static_cast<int>(304 + std::lround(0.675 * mm.y + 135))};
}

cv::Rect around(cv::Point p, int r) { return {p.x - r, p.y - r, 2 * r + 1, 2 * r + 1}; }

bool hasText(const cv::Mat& image, const cv::Rect& strip) {
  cv::Mat difference;
  cv::absdiff(image(strip), kViewBackground, difference);
  return cv::countNonZero(difference.reshape(1)) > 200;
}

json threeDimensionalResult(const testing::RenderedRound& round) {
  json cameras = json::object();
  const double heights[3] = {0.0, 16.0, 15.0};
  for (std::size_t i = 0; i < 3; ++i) {
    const scene::DartView& view = round.truth.darts[1].views[i];
    cameras[round.truth.cameras[i].id] = {{"base", {view.tip_px.x, view.tip_px.y}},
                                          {"top", {view.flight_px.x, view.flight_px.y}},
                                          {"tip", {view.tip_px.x, view.tip_px.y}},
                                          {"tip_height_mm", heights[i]}};
  }
  json result = round.dartResult();
  result["dart_3d"] = {{"overlay", {{"cameras", cameras}, {"tilt_deg", 18.0}}},
                       {"rod", {{"cameras", 3}}}};
  return result;
}

TEST(ReportOverview, ShowsTheChangesAndTheRoundsDartsOnEveryBoard) {
  const auto& round = renderedRound();
  const json run{{"calibrations", round.calibrations}, {"ring_radii", {1, 2, 3, 4, 5}}};
  const json noCalibrations;
  const OverviewContext context{round.oneDart, round.empty, noCalibrations, run};
  const json result = round.dartResult();
  const cv::Mat overview = drawReportOverlay(context, round.twoDarts, result);
  testing::keepForViewing("tarv-report-overview.png", overview);
  ASSERT_EQ(overview.size(), cv::Size(1440, 574));
  ASSERT_EQ(overview.type(), CV_8UC3);
  EXPECT_TRUE(hasText(overview, {0, 0, 1440, 34}));
  EXPECT_EQ(fieldText(result), round.truth.darts[1].field);

  const cv::Point2d earlier = round.truth.darts[0].tip_mm;
  const cv::Point2d added = round.truth.darts[1].tip_mm;
  for (std::size_t i = 0; i < 3; ++i) {
    // Circles of radius 5 round the darts' board points: green for the new dart, yellow for
    // the one before, and neither colour elsewhere on the board.
    EXPECT_GT(countColour(overview, around(overviewPoint(i, added), 7), kNewDart), 10) << i;
    EXPECT_GT(countColour(overview, around(overviewPoint(i, earlier), 7), kEarlierDart), 10) << i;
    EXPECT_EQ(countColour(overview, around(overviewPoint(i, added), 7), kEarlierDart), 0) << i;
    // The change view's new-dart blob is green where the camera sees the new tip.
    const scene::DartView& view = round.truth.darts[1].views[i];
    const cv::Point tip(static_cast<int>(480 * i + view.tip_px.x * 480 / 1280),
                        static_cast<int>(34 + view.tip_px.y * 270 / 720));
    EXPECT_GT(countColour(overview, around(tip, 6), kNewDart, 60), 0) << i;
  }
}

TEST(ReportOverview, WithoutCalibrationsOnlyTheChangeViews) {
  const auto& round = renderedRound();
  const json none;
  const json run{{"calibrations", {1, 2}}};
  const OverviewContext context{{}, {}, none, run};
  const cv::Mat overview = drawReportOverlay(context, round.twoDarts, round.dartResult());
  cv::Mat difference;
  cv::absdiff(overview(cv::Rect(0, 304, 1440, 270)), kViewBackground, difference);
  EXPECT_EQ(cv::countNonZero(difference.reshape(1)), 0);
  EXPECT_TRUE(hasText(overview, {0, 34, 480, 270}));
}

// Values an engine bug or a corrupted result could carry must never reach an integer pixel.
TEST(ReportOverview, NonFiniteAndHugeNumbersAreLeftOut) {
  const auto& round = renderedRound();
  const json run{{"calibrations", round.calibrations}};
  json calibrations = round.calibrations;
  calibrations[0] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 0}};  // sends every board point to infinity
  const OverviewContext context{round.oneDart, round.empty, calibrations, run};
  json result = round.dartResult();
  result["entries"].push_back({{"board_xy_nominal_mm", {1e300, -1e300}}});
  result["entries"].push_back({{"board_xy_nominal_mm", {std::numeric_limits<double>::quiet_NaN(), 3.0}}});
  result["entries"].push_back({{"board_xy_nominal_mm", {5e9, 2.0}}});
  EXPECT_NO_THROW(drawReportOverlay(context, round.twoDarts, result));
}

TEST(Report3dView, DrawsTheAxisAndTheTipHeightPerCamera) {
  const auto& round = renderedRound();
  const json result = threeDimensionalResult(round);
  const cv::Mat view = draw3dView(round.twoDarts, result);
  testing::keepForViewing("tarv-report-3d.png", view);
  ASSERT_EQ(view.size(), cv::Size(1440, 304));
  EXPECT_TRUE(hasText(view, {0, 0, 1440, 34}));
  const cv::Vec3b colours[3] = {{80, 220, 80}, {60, 60, 255}, {80, 220, 80}};
  for (std::size_t i = 0; i < 3; ++i) {
    const scene::DartView& dart = round.truth.darts[1].views[i];
    const cv::Point tip(static_cast<int>(480 * i + std::lround(dart.tip_px.x * 480 / 1280)),
                        static_cast<int>(34 + std::lround(dart.tip_px.y * 270 / 720)));
    EXPECT_GT(countColour(view, around(tip, 3), colours[i]), 5) << i;
    // The label "Spitze ..." right above the tip in the same colour.
    EXPECT_GT(countColour(view, {tip.x + 8, tip.y - 20, 90, 14}, colours[i], 30), 10) << i;
    // The axis towards the flight in blue-yellow.
    const cv::Point top(static_cast<int>(480 * i + std::lround(dart.flight_px.x * 480 / 1280)),
                        static_cast<int>(34 + std::lround(dart.flight_px.y * 270 / 720)));
    EXPECT_GT(countColour(view, around((tip + top) / 2, 3), cv::Vec3b(255, 220, 0)), 0) << i;
  }
}

TEST(Report3dView, AnUnusableScaleOrPointDrawsNoMark) {
  const auto& round = renderedRound();
  for (const json& scale : {json(0.0), json(-0.0), json(1e-320), json(std::nan(""))}) {
    json result = threeDimensionalResult(round);
    result["working_scale"] = scale;
    const cv::Mat view = draw3dView(round.twoDarts, result);
    EXPECT_EQ(countColour(view, {0, 34, 1440, 270}, cv::Vec3b(255, 220, 0)), 0);
  }
  json result = threeDimensionalResult(round);
  result["dart_3d"]["overlay"]["cameras"]["CAM_1"]["tip"] = {std::nan(""), 4.0};
  result["dart_3d"]["overlay"]["cameras"]["CAM_2"]["base"] = {1e308, 1e308};
  result["dart_3d"]["rod"]["cameras"] = 1e300;
  EXPECT_NO_THROW(draw3dView(round.twoDarts, result));
}

TEST(Report3dView, SingleViewHeaderAndMissingCamera) {
  const auto& round = renderedRound();
  json result = threeDimensionalResult(round);
  result["reason"] = "DART_3D_TIP_ABOVE_BOARD";
  result["dart_3d"]["overlay"]["kind"] = "single_view";
  result["dart_3d"]["overlay"]["camera"] = "CAM_2";
  const std::vector<cv::Mat> two{round.twoDarts[0], cv::Mat(), round.twoDarts[2]};
  const cv::Mat view = draw3dView(two, result);
  testing::keepForViewing("tarv-report-3d-single.png", view);
  EXPECT_TRUE(hasText(view, {900, 0, 540, 34}));  // the header runs on to the air-tip note
  cv::Mat difference;
  cv::absdiff(view(cv::Rect(480, 34, 480, 270)), kViewBackground, difference);
  EXPECT_EQ(cv::countNonZero(difference.reshape(1)), 0);
}

}  // namespace
}  // namespace tarv
