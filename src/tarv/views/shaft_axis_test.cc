// The shaft search on rendered views: one new dart on the board, cameras round the rim.
#include "tarv/views/shaft_axis.h"

#include <cmath>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "scene/scene.h"
#include "host/host_protocol.h"
#include "tarv/core/board_geometry.h"
#include "tarv/views/image_ops.h"

namespace tarv {
namespace {

using host::homographyOf;

struct Errors {
  std::vector<double> angleDeg;
  std::vector<double> lineMm;
  std::vector<double> tipPx;
  int views = 0;
  int tipAtTrueEnd = 0;
  int fitted = 0;
};

// Renders darts one at a time on the empty board and measures each camera's fit against the
// truth.
// With an earlier dart, the new one lands within 25 mm of it and the earlier dart is part of
// the background.
Errors measure(const std::vector<scene::CameraSpec>& rig, const scene::Imaging& imaging, int darts,
               uint64_t seed, bool besideEarlierDart = false) {
  const scene::Renderer renderer(rig);
  scene::SceneRandom rng(seed);
  Errors errors;
  for (int n = 0; n < darts; ++n) {
    scene::Scene before;
    before.imaging = imaging;
    before.imaging.noise_seed = seed * 1000 + n;
    scene::Dart dart = scene::randomDart(rng, 170.0);
    if (besideEarlierDart) {
      scene::Dart earlier = scene::randomDart(rng, 150.0);
      const double angle = rng.uniform(0.0, 2 * CV_PI);
      const double distance = rng.uniform(8.0, 25.0);
      dart.tip_mm = earlier.tip_mm + cv::Point2d(std::cos(angle), std::sin(angle)) * distance;
      before.darts.push_back(earlier);
    }
    const scene::SceneImages background = renderer.render(before);
    scene::Scene scene = before;
    scene.imaging.noise_seed = seed * 1000 + n + 500;
    scene.darts.push_back(dart);
    const scene::SceneImages shot = renderer.render(scene);
    const scene::DartTruth& truth = shot.truth.darts.back();
    for (size_t c = 0; c < rig.size(); ++c) {
      const scene::DartView& seen = truth.views[c];
      if (!seen.tip_visible) continue;
      ++errors.views;
      ShaftView view;
      view.frame = shot.frames[c];
      view.background = background.frames[c];
      view.boardToImage = homographyOf(shot.truth.cameras[c].board_to_image);
      view.normalPoint = shot.truth.cameras[c].image_normal;
      view.changeMask = dartChangeMask(colourDifference(view.frame, view.background), kDartChangeLevel);
      const auto fit = fitShaft(view);
      if (!fit) continue;
      ++errors.fitted;
      const cv::Point2d trueDir = (seen.flight_px - seen.tip_px) / cv::norm(seen.flight_px - seen.tip_px);
      const double cosine = std::min(1.0, std::abs(trueDir.dot(fit->direction)));
      errors.angleDeg.push_back(std::acos(cosine) * 180.0 / CV_PI);
      if (trueDir.dot(fit->direction) > 0 && cv::norm(fit->tip - seen.tip_px) < 20.0) ++errors.tipAtTrueEnd;
      errors.tipPx.push_back(cv::norm(fit->tip - seen.tip_px));
      // Distance of the true tip from the board line of the fitted axis.
      const json record = estimateShaftAxis(view);
      const json& line = record["votes"][0]["line"];
      errors.lineMm.push_back(std::abs(line[0].get<double>() * truth.tip_mm.x +
                                       line[1].get<double>() * truth.tip_mm.y + line[2].get<double>()));
    }
  }
  return errors;
}

void report(const char* name, const Errors& e) {
  std::printf("%s: views %d fitted %d tip-end %d | angle median %.3f p95 %.3f deg | line median %.3f p95 %.3f mm | tip median %.2f p95 %.2f px\n",
              name, e.views, e.fitted, e.tipAtTrueEnd, percentile(e.angleDeg, 50), percentile(e.angleDeg, 95),
              percentile(e.lineMm, 50), percentile(e.lineMm, 95), percentile(e.tipPx, 50), percentile(e.tipPx, 95));
}

TEST(ShaftAxis, CleanViewsGiveTheTrueAxisAndTip) {
  const Errors e = measure(scene::defaultRig(), scene::Imaging{}, 60, 11);
  report("clean", e);
  EXPECT_GE(e.fitted, e.views * 97 / 100);
  EXPECT_LT(percentile(e.angleDeg, 50), 0.3);
  EXPECT_GE(e.tipAtTrueEnd, e.fitted * 99 / 100);
  EXPECT_LT(percentile(e.lineMm, 50), 0.3);
}

TEST(ShaftAxis, ASecondDartBesideAnEnteredOneIsMeasuredOnItsOwn) {
  const Errors e = measure(scene::defaultRig(), scene::Imaging{}, 40, 13, true);
  report("beside", e);
  EXPECT_GE(e.fitted, e.views * 95 / 100);
  EXPECT_LT(percentile(e.angleDeg, 50), 0.3);
  EXPECT_LT(percentile(e.lineMm, 50), 0.3);
}

TEST(ShaftAxis, NoisyViewsStayClose) {
  scene::Imaging noisy;
  noisy.noise_sigma = 3.0;
  noisy.blur_sigma = 0.8;
  const Errors e = measure(scene::defaultRig(), noisy, 60, 12);
  report("noisy", e);
  EXPECT_GE(e.fitted, e.views * 95 / 100);
  EXPECT_LT(percentile(e.angleDeg, 50), 0.3);
  EXPECT_LT(percentile(e.lineMm, 50), 0.6);
}

// How far each fitted tip stops short of the true point's end along the axis, in pixels
// (negative past it), on a camera 15 degrees over the board.
std::vector<double> tipShortfallsOnALowCamera(int darts, uint64_t seed) {
  const std::vector<scene::CameraSpec> rig = scene::rigCloseToPlane({1280, 720}, 300.0);
  const scene::Renderer renderer(rig);
  const scene::SceneImages empty = renderer.render(scene::Scene{});
  scene::SceneRandom rng(seed);
  std::vector<double> shortfalls;
  for (int n = 0; n < darts; ++n) {
    scene::Scene scene;
    scene.darts.push_back(scene::randomDart(rng, 150.0));
    const scene::SceneImages shot = renderer.render(scene);
    for (size_t c = 0; c < rig.size(); ++c) {
      const scene::DartView& seen = shot.truth.darts[0].views[c];
      if (!seen.tip_visible) continue;
      ShaftView view;
      view.frame = shot.frames[c];
      view.background = empty.frames[c];
      view.boardToImage = homographyOf(shot.truth.cameras[c].board_to_image);
      view.normalPoint = shot.truth.cameras[c].image_normal;
      view.changeMask = dartChangeMask(colourDifference(view.frame, view.background), kDartChangeLevel);
      const auto fit = fitShaft(view);
      if (fit) shortfalls.push_back((seen.tip_px - fit->tip).dot(-fit->direction));
    }
  }
  return shortfalls;
}

// The steel point tapers to its end, and its contrast follows the bed behind it: the tip is
// its end all the same, neither short of it nor out on the board.
TEST(ShaftAxis, TheTipIsThePointsEndOnALowCamera) {
  std::vector<double> shortfalls = tipShortfallsOnALowCamera(20, 17);
  ASSERT_GE(shortfalls.size(), 40u);
  std::printf("low camera tip shortfall: median %.2f p10 %.2f p90 %.2f px\n", percentile(shortfalls, 50),
              percentile(shortfalls, 10), percentile(shortfalls, 90));
  EXPECT_LT(std::abs(percentile(shortfalls, 50)), 0.2);
  EXPECT_LT(percentile(shortfalls, 90), 0.6);
  EXPECT_GT(percentile(shortfalls, 10), -0.4);
}

// A rod 8 px wide from (30.3, 40.7) along a known direction over a grey bed, lit on one side
// and shaded on the other: its lit half differs from the bed by 95 grey levels, its shaded half
// by 25. Drawn at 8x and averaged down, so its edges are blended as a camera's are.
struct ShadedRod {
  cv::Mat frame;
  cv::Mat background;
  cv::Point2d tip{30.3, 40.7};
  cv::Point2d direction;
};

ShadedRod shadedRod(double angleDeg) {
  ShadedRod rod;
  rod.direction = {std::cos(angleDeg * CV_PI / 180.0), std::sin(angleDeg * CV_PI / 180.0)};
  const cv::Size size(200, 140);
  constexpr int kFine = 8;
  const cv::Scalar bed(120, 120, 120);
  rod.background = cv::Mat(size, CV_8UC3, bed);
  cv::Mat fine(size.height * kFine, size.width * kFine, CV_8UC3, bed);
  const cv::Point2d across(-rod.direction.y, rod.direction.x);
  const auto onFine = [](cv::Point2d p) {
    // Pixel centres sit at integers: image x is fine (x + 0.5) * kFine - 0.5.
    constexpr double kShift = 16.0;
    return cv::Point(static_cast<int>(std::lround(((p.x + 0.5) * kFine - 0.5) * kShift)),
                     static_cast<int>(std::lround(((p.y + 0.5) * kFine - 0.5) * kShift)));
  };
  const auto half = [&](double from, double to, const cv::Scalar& colour) {
    const cv::Point2d end = rod.tip + 150.0 * rod.direction;
    const std::vector<cv::Point> corners{onFine(rod.tip + from * across), onFine(rod.tip + to * across),
                                         onFine(end + to * across), onFine(end + from * across)};
    cv::fillConvexPoly(fine, corners, colour, cv::LINE_8, 4);
  };
  half(0.0, 4.0, cv::Scalar(215, 215, 215));
  half(-4.0, 0.0, cv::Scalar(95, 95, 95));
  cv::resize(fine, rod.frame, size, 0, 0, cv::INTER_AREA);
  return rod;
}

// Each section's edges lie at half of their own contrast: the shaded side's weak edge is still
// the rod's edge, so the axis runs down the rod's middle, not into its lit half.
TEST(ShaftAxis, ALitAndAShadedSideLeaveTheAxisInTheMiddle) {
  for (double angle : {12.0, 33.0, 71.0}) {
    const ShadedRod rod = shadedRod(angle);
    ShaftView view;
    view.frame = rod.frame;
    view.background = rod.background;
    view.boardToImage = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    view.normalPoint = rod.tip - 40.0 * rod.direction;
    view.level = kDartChangeLevel;
    view.changeMask = dartChangeMask(colourDifference(view.frame, view.background), kDartChangeLevel);
    const auto fit = fitShaft(view);
    ASSERT_TRUE(fit.has_value()) << angle;
    const cv::Point2d across(-rod.direction.y, rod.direction.x);
    EXPECT_NEAR((fit->tip - rod.tip).dot(across), 0.0, 0.25) << angle;
    EXPECT_NEAR((fit->tip + 100.0 * fit->direction - rod.tip).dot(across), 0.0, 0.25) << angle;
    EXPECT_GT(fit->direction.dot(rod.direction), 0.0) << angle;
  }
}

// A point along x over a difference image: the rod's strong change from x = 40, the point's
// from x = 31, strong where it lies over a light bed, and beyond a break at x = 30 (where it
// crosses a bed edge whose blend matches the steel) weak over a dark bed to its end at x = 26.
// The edge is found at the end, across the break.
TEST(MeasureDifferenceTerminal, CrossesABreakInThePointsChangeToItsEnd) {
  cv::Mat difference = cv::Mat::zeros(41, 120, CV_8UC1);
  difference(cv::Rect(40, 18, 80, 5)).setTo(120);
  difference(cv::Rect(31, 19, 9, 3)).setTo(110);
  difference(cv::Rect(26, 19, 4, 3)).setTo(45);
  cv::Mat smoothed;
  cv::GaussianBlur(difference, smoothed, cv::Size(0, 0), 0.6);
  // The support's end as the sections see it: just past the break.
  const double t = measureDifferenceTerminal(smoothed, {60.0, 20.0}, {1.0, 0.0}, -29.0, kDartChangeLevel);
  // Pixel 26 is the first of the point: its outer side is at 25.5.
  EXPECT_NEAR(60.0 + t, 25.5, 0.3);
}

// A rod that ends square: the edge is its end, not out on the board beyond.
TEST(MeasureDifferenceTerminal, AnEndWithoutTaperIsNotOvershot) {
  cv::Mat difference = cv::Mat::zeros(41, 120, CV_8UC1);
  difference(cv::Rect(40, 18, 80, 5)).setTo(90);
  cv::Mat smoothed;
  cv::GaussianBlur(difference, smoothed, cv::Size(0, 0), 1.0);
  const double t = measureDifferenceTerminal(smoothed, {60.0, 20.0}, {1.0, 0.0}, -19.0, kDartChangeLevel);
  EXPECT_NEAR(60.0 + t, 39.5, 0.3);
}

// A dart along x: its change ends at x = 40, an earlier dart's stored change covers x 43..70,
// and the point's change shows again at x 60..64 over the earlier dart.
TEST(TipOverStoredChange, GoesOnOverAnEarlierDartToTheLastChange) {
  cv::Mat change = cv::Mat::zeros(40, 120, CV_8UC1);
  cv::Mat stored = cv::Mat::zeros(40, 120, CV_8UC1);
  cv::line(change, {0, 20}, {42, 20}, 255, 3);
  cv::rectangle(stored, cv::Rect(43, 5, 28, 30), 255, cv::FILLED);
  cv::line(change, {60, 20}, {64, 20}, 255, 1);
  const cv::Point2d tip = tipOverStoredChange(change, stored, {40.0, 20.0}, {1.0, 0.0}, 60);
  EXPECT_NEAR(tip.x, 64.5, 1e-9);
  EXPECT_NEAR(tip.y, 20.0, 1e-9);
}

TEST(TipOverStoredChange, StaysWhereNoStoredChangeIsCrossed) {
  cv::Mat change = cv::Mat::zeros(40, 120, CV_8UC1);
  cv::Mat stored = cv::Mat::zeros(40, 120, CV_8UC1);
  cv::line(change, {0, 20}, {42, 20}, 255, 1);
  // Change beyond a gap of bare board, and stored change that the walk never reaches.
  cv::line(change, {50, 20}, {60, 20}, 255, 1);
  cv::rectangle(stored, cv::Rect(52, 5, 20, 30), 255, cv::FILLED);
  EXPECT_EQ(tipOverStoredChange(change, stored, {40.0, 20.0}, {1.0, 0.0}, 60), cv::Point2d(40.0, 20.0));
  // Within reach only: the stored change is entered, but its change lies too far.
  cv::Mat near = cv::Mat::zeros(40, 120, CV_8UC1);
  cv::rectangle(near, cv::Rect(41, 5, 40, 30), 255, cv::FILLED);
  cv::Mat far = cv::Mat::zeros(40, 120, CV_8UC1);
  cv::line(far, {70, 20}, {75, 20}, 255, 1);
  EXPECT_EQ(tipOverStoredChange(far, near, {40.0, 20.0}, {1.0, 0.0}, 20), cv::Point2d(40.0, 20.0));
  EXPECT_NEAR(tipOverStoredChange(far, near, {40.0, 20.0}, {1.0, 0.0}, 40).x, 75.5, 1e-9);
}

}  // namespace
}  // namespace tarv
