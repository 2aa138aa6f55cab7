#include "tarv/board/axis_intersection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "scene/camera_rig.h"

namespace tarv {
namespace {

constexpr double kPi = 3.14159265358979323846;
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();
const Homography kIdentity{1, 0, 0, 0, 1, 0, 0, 0, 1};

Homography scaled(double pxPerMm) { return {pxPerMm, 0, 0, 0, pxPerMm, 0, 0, 0, 1}; }

Homography homographyOf(const scene::Camera& camera) {
  Homography h{};
  for (int k = 0; k < 9; ++k) h[static_cast<std::size_t>(k)] = camera.boardToImage().val[k];
  return h;
}

// An axis record along the image line through the pixel at the angle (degrees from +x).
json axisAt(Point2 pixel, double angleDeg, bool valid = true) {
  const double a = angleDeg * kPi / 180.0;
  return {{"origin_px", {pixel.x, pixel.y}},
          {"direction_xy", {std::cos(a), std::sin(a)}},
          {"axis_valid", valid}};
}

json horizontal(double y) { return axisAt({0.0, y}, 0.0); }
json vertical(double x) { return axisAt({x, 0.0}, 90.0); }

json viewOf(std::vector<json> axes) {
  return {{"observations", json(std::move(axes))}, {"votes", json::array()}};
}

std::array<Homography, 3> same(const Homography& h) { return {h, h, h}; }

void expectCode(const std::function<void()>& f, const std::string& code) {
  try {
    f();
    ADD_FAILURE() << "no exception, expected " << code;
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(e.what(), code);
  }
}

TEST(ImageLineFromAxis, NormalisedLineThroughTheOrigin) {
  const auto line = imageLineFromAxis({{"origin_px", {1, 2}}, {"direction_xy", {6, 8}}});
  ASSERT_TRUE(line);
  EXPECT_NEAR((*line)[0], -0.8, 1e-15);
  EXPECT_NEAR((*line)[1], 0.6, 1e-15);
  EXPECT_NEAR((*line)[2], -0.4, 1e-15);
  // Signed distance of a pixel is a·u + b·v + c.
  EXPECT_NEAR((*line)[0] * 1.8 + (*line)[1] * 1.4 + (*line)[2], -1.0, 1e-12);
}

TEST(ImageLineFromAxis, DegenerateAxesHaveNoLine) {
  const json cases[] = {
      {{"origin_px", {1, 2}}, {"direction_xy", {0, 0}}},
      {{"origin_px", {1, 2}}, {"direction_xy", {kNaN, 1.0}}},
      {{"origin_px", {1, 2}}, {"direction_xy", {kInf, 1.0}}},
      {{"origin_px", {kNaN, 2}}, {"direction_xy", {0.0, 1.0}}},
      {{"origin_px", {1e308, 1e308}}, {"direction_xy", {1e308, -1e308}}},
  };
  for (const json& axis : cases) EXPECT_FALSE(imageLineFromAxis(axis)) << axis.dump();
  EXPECT_THROW(imageLineFromAxis({{"origin_px", {1, 2}}}), json::exception);
  EXPECT_THROW(imageLineFromAxis({{"origin_px", {1, 2}}, {"direction_xy", "up"}}), json::exception);
}

TEST(TransformImageLine, IdentityGivesTheNormalisedImageLine) {
  const json axis = {{"origin_px", {1, 2}}, {"direction_xy", {6, 8}}};
  const auto board = transformImageLine(axis, kIdentity);
  const auto image = imageLineFromAxis(axis);
  ASSERT_TRUE(board && image);
  for (int k = 0; k < 3; ++k) EXPECT_NEAR((*board)[k], (*image)[k], 1e-15);
}

TEST(TransformImageLine, BoardLinePassesThroughTheBoardPointsOfTheImageLine) {
  for (const scene::CameraSpec& cameraSpec : scene::defaultRig()) {
    const scene::Camera camera(cameraSpec);
    const Homography h = homographyOf(camera);
    const Point2 a{-40.0, 70.0}, b{90.0, -15.0};
    const Point2 pa = applyHomography(h, a), pb = applyHomography(h, b);
    const auto line = transformImageLine(
        {{"origin_px", {pa.x, pa.y}}, {"direction_xy", {pb.x - pa.x, pb.y - pa.y}}}, h);
    ASSERT_TRUE(line) << cameraSpec.id;
    EXPECT_NEAR(std::hypot((*line)[0], (*line)[1]), 1.0, 1e-12);
    for (const Point2 p : {a, b, Point2{0.5 * (a.x + b.x), 0.5 * (a.y + b.y)}})
      EXPECT_NEAR((*line)[0] * p.x + (*line)[1] * p.y + (*line)[2], 0.0, 1e-9) << cameraSpec.id;
  }
}

TEST(TransformImageLine, LinesWithoutABoardLineAreRefused) {
  const json axis = {{"origin_px", {5, 0}}, {"direction_xy", {0, 1}}};  // u = 5
  // Rows 0 and 2 only move w: for this line Hᵀ·l keeps no x or y part, the line at infinity.
  const Homography flat{0, 0, 1, 0, 1, 0, 0, 0, 1};
  struct Case {
    Homography h;
    bool hasLine;
  };
  const Case cases[] = {
      {flat, false},
      {{0, 0, 1, 0, 0, 0, 0, 0, 0.2}, false},
      {{kNaN, 0, 0, 0, 1, 0, 0, 0, 1}, false},
      {{kInf, 0, 0, 0, 1, 0, 0, 0, 1}, false},
      {{2, 0, 1, 0, 1, 0, 0, 0, 1}, true},
      {{1, 0, 0, 0, 1, 0, 0.001, 0, 1}, true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(transformImageLine(axis, c.h).has_value(), c.hasLine) << json(c.h).dump();
  EXPECT_FALSE(boardLineFromImageLine({0.0, 0.0, 1.0}, kIdentity));
}

IntersectionLine lineThrough(Point2 pixel, double angleDeg, const Homography& h,
                             const std::string& id) {
  const json axis = axisAt(pixel, angleDeg);
  return {*transformImageLine(axis, h), axis, h, id};
}

TEST(EstimateIntersectionCovariance, WeighsEachLineByItsBoardSigma) {
  // Perpendicular lines through (5, 5): 1 px is 1 mm, so the covariance is the identity.
  const json unit = estimateIntersectionCovariance(
      {lineThrough({5, 5}, 0, kIdentity, "CAM_1"), lineThrough({5, 5}, 90, kIdentity, "CAM_2")},
      {5, 5}, 1.0);
  EXPECT_NEAR(unit["uncertainty_mm"].get<double>(), 1.0, 1e-12);
  EXPECT_NEAR(unit["covariance_mm2"][0][0].get<double>(), 1.0, 1e-12);
  EXPECT_NEAR(unit["covariance_mm2"][0][1].get<double>(), 0.0, 1e-12);
  EXPECT_NEAR(unit["covariance_mm2"][1][1].get<double>(), 1.0, 1e-12);
  EXPECT_NEAR(unit["line_sigma_mm"]["CAM_1"].get<double>(), 1.0, 1e-12);
  EXPECT_NEAR(unit["line_sigma_mm"]["CAM_2"].get<double>(), 1.0, 1e-12);
  EXPECT_EQ(unit["sigma_px_assumed"], 1.0);

  struct Case {
    double pxPerMm;
    double sigmaPx;
    double lineSigma;
  };
  const Case cases[] = {{4.0, 1.0, 0.25},
                        {0.5, 1.0, 2.0},
                        {2.0, 3.0, 1.5},
                        {1e5, 1.0, 0.001} /* floored */,
                        {1e4, 1.0, 0.001}};
  for (const Case& c : cases) {
    const Homography h = scaled(c.pxPerMm);
    const Point2 px{12.0 * c.pxPerMm, -7.0 * c.pxPerMm};
    const json cov = estimateIntersectionCovariance(
        {lineThrough(px, 30, h, "CAM_2"), lineThrough(px, 120, h, "CAM_3")}, {12, -7}, c.sigmaPx);
    EXPECT_NEAR(cov["line_sigma_mm"]["CAM_2"].get<double>(), c.lineSigma, 1e-9) << c.pxPerMm;
    EXPECT_NEAR(cov["uncertainty_mm"].get<double>(), c.lineSigma, 1e-9) << c.pxPerMm;
    EXPECT_EQ(cov["sigma_px_assumed"], c.sigmaPx);
  }

  // Three equally good lines at 60 degrees tighten the point by sqrt(3/2).
  const json three = estimateIntersectionCovariance(
      {lineThrough({0, 0}, 0, kIdentity, "CAM_1"), lineThrough({0, 0}, 60, kIdentity, "CAM_2"),
       lineThrough({0, 0}, 120, kIdentity, "CAM_3")},
      {0, 0}, 1.0);
  EXPECT_NEAR(three["uncertainty_mm"].get<double>(), std::sqrt(2.0 / 3.0), 1e-12);
}

TEST(EstimateIntersectionCovariance, DegenerateLineSetsHaveNoCovariance) {
  const IntersectionLine a = lineThrough({5, 5}, 10, kIdentity, "CAM_1");
  IntersectionLine noAxis = lineThrough({5, 5}, 80, kIdentity, "CAM_2");
  noAxis.axis["direction_xy"] = {0, 0};
  IntersectionLine nanLine = lineThrough({5, 5}, 80, kIdentity, "CAM_2");
  nanLine.boardLine[2] = kNaN;
  struct Case {
    const char* name;
    std::vector<IntersectionLine> lines;
  };
  const Case cases[] = {
      {"no line", {}},
      {"one line", {a}},
      {"parallel lines", {a, lineThrough({5, 5}, 10, kIdentity, "CAM_2")}},
      {"degenerate axis", {a, noAxis}},
      {"non-finite board line", {a, nanLine}},
  };
  const json expected = {{"covariance_mm2", nullptr}, {"uncertainty_mm", nullptr}};
  for (const Case& c : cases)
    EXPECT_EQ(estimateIntersectionCovariance(c.lines, {5, 5}, 1.0), expected) << c.name;
}

TEST(EstimateIntersectionCovariance, PointAtInfinityThrows) {
  // w = x: the board point x = 0 has no image.
  const Homography wIsX{1, 0, 0, 0, 1, 0, 1, 0, 0};
  const IntersectionLine l1{{1, 0, 0}, axisAt({0, 0}, 90), wIsX, "CAM_1"};
  const IntersectionLine l2{{0, 1, 0}, axisAt({0, 0}, 0), wIsX, "CAM_2"};
  expectCode(
      [&] {
        estimateIntersectionCovariance({l1, l2}, {0.0, 3.0}, 1.0);
      },
      "Projection at infinity");
}

TEST(EstimateIntersectionCovariance, GrowsAsTwoCameraLinesTurnParallel) {
  const auto rig = scene::defaultRig();
  for (const auto& [first, second] : {std::pair<int, int>{0, 1}, {0, 2}, {2, 1}}) {
    const scene::Camera camA(rig[static_cast<std::size_t>(first)]);
    const scene::Camera camB(rig[static_cast<std::size_t>(second)]);
    const Homography hA = homographyOf(camA), hB = homographyOf(camB);
    const Point2 tip{23.0, -61.0};
    // The board line of camera B through the tip at the board angle (degrees from +x).
    auto seenBy = [&](const scene::Camera& cam, const Homography& h, double angleDeg) {
      const double a = angleDeg * kPi / 180.0;
      const Point2 p0 = applyHomography(h, tip);
      const Point2 p1 =
          applyHomography(h, {tip.x + 50.0 * std::cos(a), tip.y + 50.0 * std::sin(a)});
      const json axis = {{"origin_px", {p0.x, p0.y}}, {"direction_xy", {p1.x - p0.x, p1.y - p0.y}}};
      return IntersectionLine{*transformImageLine(axis, h), axis, h, cam.cameraSpec().id};
    };
    for (const double side : {1.0, -1.0}) {
      const IntersectionLine fixed = seenBy(camA, hA, 70.0);
      double previous = 0.0;
      // Turn the second line toward the first, from 80 to 1 degree off it. (Right across
      // it the curve is flat, and the way each camera's line sigma changes with the line's
      // direction may tip it either way.)
      for (double angle = 80.0; angle >= 1.0; angle -= 1.0) {
        const IntersectionLine turning = seenBy(camB, hB, 70.0 + side * angle);
        const json cov = estimateIntersectionCovariance({fixed, turning}, tip, 1.0);
        ASSERT_TRUE(cov["uncertainty_mm"].is_number()) << angle;
        const double u = cov["uncertainty_mm"].get<double>();
        EXPECT_GT(u, previous) << camA.cameraSpec().id << "/" << camB.cameraSpec().id << " at " << side * angle
                               << " degrees";
        previous = u;
      }
      EXPECT_GT(previous, 20.0) << "1 degree apart";
    }
  }
}

TEST(IntersectAxesOnBoard, OutcomeTable) {
  const Point2 p{0.0, 0.0};
  const double nearParallel20_5 = std::asin(std::sqrt(3.0 / (2.0 * 20.5 * 20.5 + 2.0)));
  const double nearParallel19_5 = std::asin(std::sqrt(3.0 / (2.0 * 19.5 * 19.5 + 2.0)));
  auto fan = [&](double halfDeg) {
    return std::array<json, 3>{viewOf({axisAt(p, 30.0 - halfDeg)}), viewOf({axisAt(p, 30.0)}),
                               viewOf({axisAt(p, 30.0 + halfDeg)})};
  };
  // Two points d mm apart on y = 0: CAM_1 and CAM_3 see a vertical line through each,
  // CAM_2 the line through both.
  auto twoPoints = [](double d) {
    return std::array<json, 3>{viewOf({vertical(0.0), vertical(d)}), viewOf({horizontal(0.0)}),
                               viewOf({vertical(0.0), vertical(d)})};
  };
  std::vector<json> nine(9, vertical(0.0));
  struct Case {
    const char* name;
    std::array<json, 3> views;
    Homography h;
    double radius;
    std::string status;
    std::string reason;
    std::vector<std::string> rejected;
  };
  const std::string unresolved = "GEOMETRY_UNRESOLVED",
                    found = "BOARD_PLANE_INTERSECTION_HYPOTHESIS",
                    ambiguous = "AMBIGUOUS_BOARD_INTERSECTIONS";
  const std::string noneFound = "NO_CONSISTENT_INTERSECTION",
                    agreement = "THREE_VIEW_LINE_AGREEMENT_IS_NOT_TIP_CONFIRMATION";
  const Case cases[] = {
      {"camera without axis",
       {viewOf({vertical(0)}), viewOf({}), viewOf({horizontal(0)})},
       kIdentity,
       240,
       unresolved,
       "MISSING_AXIS_IN_CAMERA",
       {}},
      {"nine axes before an empty camera",
       {viewOf(nine), viewOf({}), viewOf({})},
       kIdentity,
       240,
       unresolved,
       "TOO_MANY_AXIS_HYPOTHESES",
       {}},
      {"empty camera before nine axes",
       {viewOf({}), viewOf(nine), viewOf({})},
       kIdentity,
       240,
       unresolved,
       "MISSING_AXIS_IN_CAMERA",
       {}},
      {"one clean triple", fan(60.0), kIdentity, 240, found, agreement, {}},
      {"condition 19.5 is accepted",
       fan(nearParallel19_5 * 180.0 / kPi),
       kIdentity,
       240,
       found,
       agreement,
       {}},
      {"condition 20.5 is near parallel",
       fan(nearParallel20_5 * 180.0 / kPi),
       kIdentity,
       240,
       unresolved,
       noneFound,
       {"NEAR_PARALLEL_VIEWS"}},
      {"1.9999 mm off the lines",
       {viewOf({horizontal(0)}), viewOf({horizontal(3.9998)}), viewOf({vertical(0)})},
       kIdentity,
       240,
       found,
       agreement,
       {}},
      {"2.0001 mm off the lines",
       {viewOf({horizontal(0)}), viewOf({horizontal(4.0002)}), viewOf({vertical(0)})},
       kIdentity,
       240,
       unresolved,
       noneFound,
       {"LINES_DO_NOT_AGREE"}},
      {"2.01 mm off the lines",
       {viewOf({horizontal(0)}), viewOf({horizontal(4.02)}), viewOf({vertical(0)})},
       kIdentity,
       240,
       unresolved,
       noneFound,
       {"LINES_DO_NOT_AGREE"}},
      {"exactly on the search radius",
       {viewOf({vertical(0)}), viewOf({horizontal(-240.0)}), viewOf({vertical(0)})},
       kIdentity,
       240,
       found,
       agreement,
       {}},
      {"beyond the search radius",
       {viewOf({vertical(0)}), viewOf({horizontal(-240.5)}), viewOf({vertical(0)})},
       kIdentity,
       240,
       unresolved,
       noneFound,
       {"OUTSIDE_TEST_REGION"}},
      {"1.4 mm off is 2.8 px at 2 px/mm",
       {viewOf({horizontal(0)}), viewOf({horizontal(5.6)}), viewOf({vertical(0)})},
       scaled(2.0),
       240,
       found,
       agreement,
       {}},
      {"1.6 mm off is 3.2 px at 2 px/mm",
       {viewOf({horizontal(0)}), viewOf({horizontal(6.4)}), viewOf({vertical(0)})},
       scaled(2.0),
       240,
       unresolved,
       noneFound,
       {"IMAGE_LINES_DO_NOT_AGREE"}},
      {"invalid axes are skipped without a record",
       {viewOf({axisAt(p, 0, false)}), viewOf({axisAt(p, 60)}), viewOf({axisAt(p, 120)})},
       kIdentity,
       240,
       unresolved,
       noneFound,
       {}},
      {"degenerate axes are skipped without a record",
       {viewOf({{{"origin_px", {0, 0}}, {"direction_xy", {0, 0}}}}), viewOf({axisAt(p, 60)}),
        viewOf({axisAt(p, 120)})},
       kIdentity,
       240,
       unresolved,
       noneFound,
       {}},
      {"hypotheses 3.0 mm apart are one cluster",
       twoPoints(3.0),
       kIdentity,
       240,
       found,
       agreement,
       {}},
      {"hypotheses 3.01 mm apart are ambiguous",
       twoPoints(3.01),
       kIdentity,
       240,
       ambiguous,
       "MULTIPLE_SPATIALLY_DISTINCT_SOLUTIONS",
       {}},
  };
  for (const Case& c : cases) {
    const json r = intersectAxesOnBoard(c.views, same(c.h), c.radius);
    EXPECT_EQ(r.at("status"), c.status) << c.name << ": " << r.dump();
    EXPECT_EQ(r.at("reason"), c.reason) << c.name;
    EXPECT_EQ(r.at("search_radius_mm"), c.radius) << c.name;
    EXPECT_EQ(r.contains("selected"), c.status == found) << c.name;
    std::vector<std::string> reasons;
    for (const json& rej : r.at("rejected")) reasons.push_back(rej.at("reason"));
    EXPECT_EQ(reasons, c.rejected) << c.name;
    EXPECT_EQ(r.dump().find("null"), std::string::npos) << c.name << ": " << r.dump();
  }
}

TEST(IntersectAxesOnBoard, HypothesisRecord) {
  // Camera 2 holds a stray axis first; the good triple is (0, 1, 0).
  const std::array<json, 3> views{viewOf({axisAt({0, -100}, 0)}),
                                  viewOf({axisAt({50, 50}, 10), axisAt({0, -100}, 60)}),
                                  viewOf({axisAt({0, -100}, 120)})};
  const json r = intersectAxesOnBoard(views, same(scaled(2.0)), 170.0);
  ASSERT_EQ(r.at("status"), "BOARD_PLANE_INTERSECTION_HYPOTHESIS") << r.dump();
  ASSERT_EQ(r.at("hypotheses").size(), 1u);
  ASSERT_EQ(r.at("rejected").size(), 1u);
  EXPECT_EQ(r["rejected"][0]["indices"], json::array({0, 0, 0}));
  const json& h = r.at("selected");
  EXPECT_EQ(h, r["hypotheses"][0]);
  EXPECT_NEAR(h["board_xy_nominal_mm"][0].get<double>(), 0.0, 1e-9);
  EXPECT_NEAR(h["board_xy_nominal_mm"][1].get<double>(), -50.0, 1e-9);
  EXPECT_EQ(h["axis_indices"], json({{"CAM_1", 0}, {"CAM_2", 1}, {"CAM_3", 0}}));
  for (const char* id : {"CAM_1", "CAM_2", "CAM_3"}) {
    EXPECT_NEAR(h["reprojected_pixels"][id][1].get<double>(), -100.0, 1e-9) << id;
    EXPECT_NEAR(h["image_line_distances_px"][id].get<double>(), 0.0, 1e-9) << id;
    EXPECT_NEAR(h["line_sigma_mm"][id].get<double>(), 0.5, 1e-9) << id;
  }
  EXPECT_NEAR(h["maximum"].get<double>(), 0.0, 1e-9);
  EXPECT_NEAR(h["condition"].get<double>(), 1.0, 1e-9);  // three lines 60 degrees apart
  EXPECT_NEAR(h["uncertainty_mm"].get<double>(), 0.5 * std::sqrt(2.0 / 3.0), 1e-9);
  EXPECT_EQ(h["sigma_px_assumed"], 1.0);
}

TEST(IntersectAxesOnBoard, ReportsTheClosestReprojectionFirst) {
  // Two triples through nearby points: the exact one must lead whatever their order.
  const std::array<json, 3> views{viewOf({axisAt({0, 1.0}, 0), axisAt({0, 0}, 0)}),
                                  viewOf({axisAt({0, 0}, 60)}), viewOf({axisAt({0, 0}, 120)})};
  const json r = intersectAxesOnBoard(views, same(kIdentity), 170.0);
  ASSERT_EQ(r.at("status"), "BOARD_PLANE_INTERSECTION_HYPOTHESIS") << r.dump();
  ASSERT_EQ(r["hypotheses"].size(), 2u);
  EXPECT_EQ(r["selected"]["axis_indices"]["CAM_1"], 1);
  EXPECT_LT(r["hypotheses"][0]["maximum"].get<double>(),
            r["hypotheses"][1]["maximum"].get<double>());
}

TEST(IntersectAxesOnBoard, Failures) {
  const std::array<json, 3> views{viewOf({axisAt({0, 0}, 0)}), viewOf({axisAt({0, 0}, 60)}),
                                  viewOf({axisAt({0, 0}, 120)})};
  for (const double r : {169.9, 600.1, kNaN, kInf, -200.0})
    expectCode([&] { intersectAxesOnBoard(views, same(kIdentity), r); }, "INVALID_GEOMETRY_RADIUS");
  for (const double r : {170.0, 600.0})
    EXPECT_NO_THROW(intersectAxesOnBoard(views, same(kIdentity), r));

  // w = x + 1: the lines meet at (-1, 0), whose image is at infinity.
  const Homography wAtMinusOne{1, 0, 0, 0, 1, 0, 1, 0, 1};
  std::array<json, 3> through;
  const double angles[] = {0.0, 60.0, 120.0};
  for (int c = 0; c < 3; ++c) {
    // Image lines whose board lines meet at (-1, 0): take two board points on each.
    const double a = angles[c] * kPi / 180.0;
    const Point2 q0 = applyHomography(wAtMinusOne, {-1.0 + 10.0 * std::cos(a), 10.0 * std::sin(a)});
    const Point2 q1 = applyHomography(wAtMinusOne, {-1.0 + 20.0 * std::cos(a), 20.0 * std::sin(a)});
    through[static_cast<std::size_t>(c)] =
        viewOf({{{"origin_px", {q0.x, q0.y}}, {"direction_xy", {q1.x - q0.x, q1.y - q0.y}}}});
  }
  expectCode([&] { intersectAxesOnBoard(through, same(wAtMinusOne), 240.0); },
             "Projection at infinity");

  EXPECT_THROW(intersectAxesOnBoard({json::object(), views[1], views[2]}, same(kIdentity), 240.0),
               json::exception);
  EXPECT_THROW(intersectAxesOnBoard({json{{"observations", {{"a", 1}}}}, views[1], views[2]},
                                    same(kIdentity), 240.0),
               json::exception);
}

}  // namespace
}  // namespace tarv
