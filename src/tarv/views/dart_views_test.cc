// The four views of a dart on rendered cameras: each finds the tip on its own.
#include "tarv/views/dart_views.h"

#include <algorithm>
#include <cmath>
#include <map>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "host/host_protocol.h"
#include "scene/scene.h"
#include "tarv/core/board_geometry.h"
#include "tarv/core/engine_values.h"
#include "tarv/views/tip_evidence.h"

namespace tarv {
namespace {

ShaftView renderedView(const scene::SceneImages& shot, const scene::SceneImages& empty, int camera) {
  ShaftView view;
  view.frame = shot.frames[camera];
  view.background = empty.frames[camera];
  view.changeMask = dartChangeMask(colourDifference(shot.frames[camera], empty.frames[camera]), kDartChangeLevel);
  view.boardToImage = host::homographyOf(shot.truth.cameras[camera].board_to_image);
  view.normalPoint = shot.truth.cameras[camera].image_normal;
  return view;
}

TEST(DartViews, EachViewFindsTheTipOnItsOwn) {
  const scene::Renderer& renderer = scene::defaultRenderer();
  const scene::SceneImages& empty = scene::defaultEmptyBoard();
  scene::SceneRandom rng(41);
  std::map<std::string, std::vector<double>> errors;
  std::map<std::string, int> candidates;
  int identicalToNormal = 0, views = 0;
  for (int n = 0; n < 8; ++n) {
    scene::Scene scene;
    scene.darts.push_back(scene::randomDart(rng, 150.0));
    const scene::SceneImages shot = renderer.render(scene);
    const cv::Point2d truth = shot.truth.darts[0].tip_mm;
    for (int c = 0; c < 3; ++c) {
      const DartViews measured = measureDartViews(renderedView(shot, empty, c));
      ASSERT_EQ(measured.measurements.size(), 4u);
      ++views;
      for (size_t k = 0; k < 4; ++k) {
        const json& m = measured.measurements[k];
        EXPECT_EQ(m["kind"], viewKinds[k]);
        if (m["status"] != "CANDIDATE") continue;
        ++candidates[viewKinds[k]];
        const Point2 p = pointFromJson(m["point"]);
        errors[viewKinds[k]].push_back(std::hypot(p.x - truth.x, p.y - truth.y));
        EXPECT_GE(m["quality"].get<double>(), 0.0);
        EXPECT_LE(m["quality"].get<double>(), 1.0);
        if (k > 0 && m["point"] == measured.measurements[0]["point"]) ++identicalToNormal;
      }
      // The shaft record the solver reads comes with the views.
      EXPECT_FALSE(measured.shaftRecord["votes"][0]["abstention"].get<bool>());
    }
  }
  for (const std::string& kind : viewKinds) {
    EXPECT_GE(candidates[kind], views * 3 / 4) << kind;
    std::vector<double>& e = errors[kind];
    ASSERT_FALSE(e.empty()) << kind;
    std::nth_element(e.begin(), e.begin() + e.size() / 2, e.end());
    EXPECT_LT(e[e.size() / 2], 1.0) << kind;
  }
  // The views measure for themselves: the edge can fall where the shaft search put the tip
  // now and then, not as a rule.
  EXPECT_LE(identicalToNormal, views / 8);
}

TEST(DartViews, NoChangeAbstainsInEveryView) {
  const scene::SceneImages& empty = scene::defaultEmptyBoard();
  const DartViews measured = measureDartViews(renderedView(empty, empty, 0));
  ASSERT_EQ(measured.measurements.size(), 4u);
  for (const json& m : measured.measurements) {
    EXPECT_EQ(m["status"], "ABSTAIN");
    EXPECT_EQ(m["quality"], 0.0);
  }
  EXPECT_TRUE(measured.shaftRecord["votes"][0]["abstention"].get<bool>());
}

// The one- and two-camera engines pass their tip mode with each evaluation; no process-wide
// switch turns the detail views off.
TEST(DartViews, EveryEvaluationMeasuresTheDetailViews) {
  const scene::Renderer& renderer = scene::defaultRenderer();
  const scene::SceneImages& empty = scene::defaultEmptyBoard();
  scene::Scene scene;
  scene::Dart dart;
  dart.tip_mm = {30.0, 40.0};
  scene.darts.push_back(dart);
  const scene::SceneImages shot = renderer.render(scene);
  const DartViews measured = measureDartViews(renderedView(shot, empty, 1));
  ASSERT_EQ(measured.measurements.size(), 4u);
  EXPECT_EQ(measured.measurements[0]["status"], "CANDIDATE");
  EXPECT_EQ(measured.measurements[2]["kind"], "detail");
  EXPECT_EQ(measured.measurements[3]["kind"], "detail_front");
  EXPECT_NE(measured.measurements[2].value("reason", ""), "TIP_MODE");
  EXPECT_NE(measured.measurements[3].value("reason", ""), "TIP_MODE");
}

// A view that brings its colour difference along (the crop's, made when its change was found)
// is measured in that difference: as without it when it is the view's own, and not at all
// when it shows nothing.
TEST(DartViews, ACarriedDifferenceIsTheOneMeasured) {
  const scene::Renderer& renderer = scene::defaultRenderer();
  const scene::SceneImages& empty = scene::defaultEmptyBoard();
  scene::Scene scene;
  scene::Dart dart;
  dart.tip_mm = {-20.0, 55.0};
  scene.darts.push_back(dart);
  const scene::SceneImages shot = renderer.render(scene);
  for (int camera = 0; camera < 3; ++camera) {
    ShaftView view = renderedView(shot, empty, camera);
    const DartViews made = measureDartViews(view);
    view.difference = colourDifference(view.frame, view.background);
    const DartViews carried = measureDartViews(view);
    EXPECT_EQ(carried.shaftRecord, made.shaftRecord) << "camera " << camera;
    EXPECT_EQ(carried.measurements, made.measurements) << "camera " << camera;
    EXPECT_FALSE(made.shaftRecord["votes"][0]["abstention"].get<bool>());
    view.difference = cv::Mat::zeros(view.frame.size(), CV_8UC1);
    EXPECT_TRUE(measureDartViews(view).shaftRecord["votes"][0]["abstention"].get<bool>());
  }
}

}  // namespace
// A window on the board plane, seen by a tilted camera, over dart strokes in a crop: its
// nearest-neighbour warp sets nothing outside the part found over the strokes, which stays
// inside the window.
TEST(DartViews, TheWindowPartOverAMaskHoldsAllOfItsWarp) {
  cv::RNG rng(11);
  int smaller = 0;
  for (int trial = 0; trial < 60; ++trial) {
    cv::Mat mask = cv::Mat::zeros(140, 180, CV_8UC1);
    // One draw at a time, so that every compiler makes the same trials.
    const int ay = rng.uniform(0, 140), ax = rng.uniform(0, 180);
    const cv::Point a(ax, ay);
    const int width = rng.uniform(1, 4), dy = rng.uniform(-60, 60), dx = rng.uniform(-60, 60);
    cv::line(mask, a, a + cv::Point(dx, dy), 255, width);
    const double angle = rng.uniform(0.0, CV_PI);
    const double scale = rng.uniform(0.3, 1.2);
    const int size = 193;
    const double tiltY = rng.uniform(-4e-4, 4e-4), tiltX = rng.uniform(-4e-4, 4e-4);
    // Window pixels -> crop pixels: rotated, scaled, foreshortened, centred near the stroke.
    const cv::Matx33d toCrop(scale * std::cos(angle), -scale * std::sin(angle), a.x - 60.0 * scale,
                             scale * std::sin(angle), scale * std::cos(angle), a.y - 60.0 * scale,
                             tiltX, tiltY, 1.0);
    cv::Mat whole;
    cv::warpPerspective(mask, whole, cv::Mat(toCrop), cv::Size(size, size), cv::INTER_NEAREST | cv::WARP_INVERSE_MAP,
                        cv::BORDER_CONSTANT, cv::Scalar::all(0));
    const cv::Rect part = windowPartOver(mask, toCrop, size);
    EXPECT_EQ(part & cv::Rect(0, 0, size, size), part) << trial;
    cv::Mat outside = whole.clone();
    if (part.area() > 0) outside(part).setTo(0);
    EXPECT_EQ(cv::countNonZero(outside), 0) << trial;
    smaller += part.area() < size * size / 2;
  }
  EXPECT_GT(smaller, 30);
  EXPECT_EQ(windowPartOver(cv::Mat::zeros(20, 20, CV_8UC1), cv::Matx33d::eye(), 50), cv::Rect());
}

}  // namespace tarv
