#include "tarv/detector/dart_position.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>

namespace tarv {
namespace {

// A camera's shaft record whose board line passes through the point at the given angle.
json view(Point2 through, double angleDeg, double errorMm, bool abstain = false) {
  const double a = angleDeg * CV_PI / 180.0;
  const double nx = -std::sin(a), ny = std::cos(a);
  json vote = {{"abstention", abstain}, {"axis_valid", true}, {"tip_valid", true},
               {"line", {nx, ny, -(nx * through.x + ny * through.y)}},
               {"error_mm", errorMm}, {"point", {through.x, through.y}}};
  return {{"votes", {vote}}, {"observations", json::array()}};
}

TEST(LineRefinement, TheMorePreciseLinesPullThePoint) {
  // Two precise lines through the tip and a coarse one 1 mm off: the refined point stays on
  // the precise pair, where an even weighting would move towards the coarse line.
  const Point2 tip{12.0, -40.0};
  const json result =
      refineAgreeingLines({view(tip, 10, 0.05), view(tip, 70, 0.05), view({13.0, -40.0}, 130, 1.0)}, {12.3, -40.2});
  ASSERT_TRUE(result.is_object());
  const Point2 p = pointFromJson(result["point"]);
  EXPECT_LT(std::hypot(p.x - tip.x, p.y - tip.y), 0.02);
  EXPECT_EQ(result["cameras"].size(), 3u);
}

TEST(LineRefinement, ALineCarriedByAShortThinStretchWeighsLess) {
  // Three lines of equal residual, each carried by 80 % of its shaft or more, weigh alike.
  // The third runs 1 mm off the tip; resting on a fifth of its shaft (a flight hides the
  // rest) it keeps a quarter of its weight and moves the refined point half as far.
  const Point2 tip{-40.0, 78.0};
  const auto withShare = [](json v, int sections, double span) {
    v["votes"][0]["axis_index"] = 0;
    v["observations"] = json::array({{{"narrow_sections", sections}, {"support_span_px", span}}});
    return v;
  };
  const std::array<json, 3> even{withShare(view(tip, 10, 0.5), 100, 100.0), withShare(view(tip, 70, 0.5), 90, 100.0),
                                 withShare(view({-39.0, 78.0}, 130, 0.5), 80, 100.0)};
  std::array<json, 3> hidden = even;
  hidden[2] = withShare(view({-39.0, 78.0}, 130, 0.5), 20, 100.0);
  const json a = refineAgreeingLines(even, tip);
  std::array<json, 3> plain = even;
  for (json& v : plain) v["observations"] = json::array();
  EXPECT_EQ(refineAgreeingLines(plain, tip)["point"], a["point"]);
  const json b = refineAgreeingLines(hidden, tip);
  ASSERT_TRUE(a.is_object());
  ASSERT_TRUE(b.is_object());
  const Point2 pa = pointFromJson(a["point"]), pb = pointFromJson(b["point"]);
  const double da = std::hypot(pa.x - tip.x, pa.y - tip.y), db = std::hypot(pb.x - tip.x, pb.y - tip.y);
  EXPECT_GT(da, 0.2);
  EXPECT_NEAR(db / da, 0.5, 0.02);
  EXPECT_GT(b["residuals_mm"]["CAM_3"].get<double>(), a["residuals_mm"]["CAM_3"].get<double>());
  // A record without the share, or with a broken one, keeps its plain weight.
  std::array<json, 3> broken = even;
  broken[2]["observations"][0]["support_span_px"] = 0.0;
  broken[1]["votes"][0]["axis_index"] = 5;
  EXPECT_EQ(refineAgreeingLines(broken, tip)["point"], a["point"]);
}

TEST(LineRefinement, ALineReadFarBeyondItsOwnTipWeighsLess) {
  // Three lines of equal residual on 20 sections each; the third runs 1 mm off the tip. Where
  // its own tip lies at the point it weighs like the others; where a flight hid the point and
  // its tip lies 20 mm up the line, a turn within its scatter moves it millimetres at the board,
  // and it barely moves the point.
  const Point2 tip{-40.0, 78.0};
  const auto sections = [](json v, Point2 ownTip) {
    v["votes"][0]["axis_index"] = 0;
    v["votes"][0]["pixel_error"] = 0.5;
    v["votes"][0]["point"] = {ownTip.x, ownTip.y};
    v["observations"] = json::array({{{"narrow_sections", 20}, {"support_span_px", 25.0}}});
    return v;
  };
  const double a = 130.0 * CV_PI / 180.0;
  const Point2 off{-39.0, 78.0};
  const Point2 upTheLine{off.x + 20.0 * std::cos(a), off.y + 20.0 * std::sin(a)};
  const std::array<json, 3> near{sections(view(tip, 10, 0.5), tip), sections(view(tip, 70, 0.5), tip),
                                 sections(view(off, 130, 0.5), off)};
  std::array<json, 3> far = near;
  far[2] = sections(view(off, 130, 0.5), upTheLine);
  const json n = refineAgreeingLines(near, tip), f = refineAgreeingLines(far, tip);
  ASSERT_TRUE(n.is_object());
  ASSERT_TRUE(f.is_object());
  const Point2 pn = pointFromJson(n["point"]), pf = pointFromJson(f["point"]);
  const double dn = std::hypot(pn.x - tip.x, pn.y - tip.y), df = std::hypot(pf.x - tip.x, pf.y - tip.y);
  EXPECT_GT(dn, 0.2);
  EXPECT_LT(df, 0.3 * dn);
  EXPECT_EQ(f["cameras"].size(), 3u);
}

TEST(LineRefinement, LinesThatMissTheSolversPointAreLeftOut) {
  const Point2 tip{50.0, 20.0};
  const json result = refineAgreeingLines({view(tip, 0, 0.1), view(tip, 60, 0.1), view({56.0, 20.0}, 120, 0.1)}, tip);
  ASSERT_TRUE(result.is_object());
  EXPECT_EQ(result["cameras"], json({"CAM_1", "CAM_2"}));
}

TEST(LineRefinement, NearlyParallelOrSingleLinesRefineNothing) {
  const Point2 tip{0.0, -100.0};
  EXPECT_TRUE(refineAgreeingLines({view(tip, 30, 0.1), view(tip, 33, 0.1), view(tip, 0, 0.1, true)}, tip).is_null());
  EXPECT_TRUE(refineAgreeingLines({view(tip, 30, 0.1), json::object(), json::object()}, tip).is_null());
}

}  // namespace
}  // namespace tarv
