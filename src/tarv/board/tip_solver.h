// Where a dart's tip lies on the board, from the three cameras' axis lines and tip votes.
#pragma once

#include <array>
#include <nlohmann/json.hpp>
#include <optional>

#include "tarv/core/board_geometry.h"

namespace tarv {

// Solves the tip from the cameras' ViewTipRecords ({"observations", "votes"}, camera order
// "CAM_1".."CAM_3") and board-to-image homographies within the search radius. The answer's
// "method" names the rule that fixed "point":
//   "THREE_VIEW_LINES"  one cluster of three-camera axis intersections ("geometry"),
//   "UNANIMOUS_CAM"     a tip vote whose every pairwise intersection agrees on its field and
//                       reaches all three cameras,
//   "CAM_PLUS_ONE"      a tip vote with at least one pairwise intersection in its field,
//   "BEST_CAM"          one accurate tip vote away from the wires,
//   "UNRESOLVED"        none of these.
// Every answer carries the pairwise "intersections". Fails with "INVALID_GEOMETRY_RADIUS"
// (radius not finite or outside 170 to 600 mm) and "Projection at infinity"; JSON errors of a
// missing or mistyped key that is read propagate.
json reconstructTipFromViews(const std::array<json, 3>& views,
                             const std::array<Homography, 3>& homographies, double radiusMm);

// A second look at an "UNRESOLVED" answer of reconstructTipFromViews (`solved`) with three
// cameras: two tip votes whose lines are too close to parallel to cross but lie together
// place the tip across their direction by the lines and along it by the tips. Answers a
// "CAM_PLUS_ONE" result ("uncertainty_source" "NEAR_PARALLEL_LINES_ACROSS_TIPS_ALONG", the
// pair's record with "near_parallel" true added to "intersections") when both tips and every
// point of the lines over the stretch the tips span, plus the field margin, lie in one field
// and no other such pair names another; nothing otherwise, or when `solved` is resolved.
// Fails as reconstructTipFromViews does.
std::optional<json> placeTipAlongNearParallelLines(const std::array<json, 3>& views,
                                                   const json& solved, double radiusMm);

// A second look at an answer of reconstructTipFromViews (`solved`) when one camera's view is
// shifted against the other two (its calibration a few pixels off; its line may still pass
// within the three-line test's 2 mm and pull the three-line point off the dart): two cameras
// whose lines cross, with an uncertainty of at most 4 mm (8 mm where both tips lie within
// 0.5 mm of the crossing), where both their own tips lie, and a
// third whose closest line misses that point by 2 to 20 mm and whose tip lies 2 to 25 mm from
// it. Answers a "CAM_PLUS_ONE" result at the pair's point ("uncertainty_source"
// "TWO_AGREEING_CAMERAS", "set_aside": {"camera", "line_miss_mm", "tip_miss_mm",
// "replaced_method", "near_wire"}) when exactly one camera is outvoted so and `solved` did
// not already place the tip there; nothing otherwise. "near_wire": a wire lies within the
// pair's uncertainty (at least 1 mm) of the point, which then does not name the field alone;
// there a `solved` point near the pair's is replaced too when the third camera's tip misses
// the point by at least three times the pair's own tips do (taken as at least 0.5 mm).
// Two cameras whose lines run nearly alongside each other count as a pair where their own
// tips place the point along them (as placeTipAlongNearParallelLines places it, within
// radiusMm of the bull).
std::optional<json> setAsideOutlierCamera(const std::array<json, 3>& views, const json& solved, double radiusMm);

// The bar one camera's own tip must pass to stand on its own: a tight line fit ("error_mm")
// and the tip close to its line ("pixel_error").
bool isGoodSingleTip(double errorMm, double pixelError);

}  // namespace tarv
