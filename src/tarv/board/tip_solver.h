// Where a dart's tip lies on the board, from the three cameras' axis lines and tip votes.
#pragma once

#include <array>
#include <nlohmann/json.hpp>

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
//   "CAM_PLUS_ONE"      (last) two tip votes whose lines are too close to parallel to cross
//                       but lie together, placed across by the lines and along by the tips,
//                       when one field holds over all that the tips leave open
//                       ("near_parallel" true on its intersection record),
//   "UNRESOLVED"        none of these.
// Every answer carries the pairwise "intersections". Fails with "INVALID_GEOMETRY_RADIUS"
// (radius not finite or outside 170 to 600 mm) and "Projection at infinity"; JSON errors of a
// missing or mistyped key that is read propagate.
json reconstructTipFromViews(const std::array<json, 3>& views,
                             const std::array<Homography, 3>& homographies, double radiusMm);

}  // namespace tarv
