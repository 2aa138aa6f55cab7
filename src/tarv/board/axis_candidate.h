// A dart seen by one camera as a straight axis line in the image, and the two small rules
// the tip solver applies to tip votes and to pairwise line intersections.
#pragma once

#include <nlohmann/json.hpp>
#include <vector>

#include "tarv/core/board_geometry.h"

namespace tarv {

// Fits the axis of one elongated change component from the centres of its narrow
// cross-sections. Answers an AxisCandidate record ("status" "AXIS_CANDIDATE", "origin_px",
// "direction_xy", "support_endpoints_px", "support_span_px", "center_residual_rms_px",
// "narrow_sections", "component_elongation", ...) or null when the component is too small,
// too round, too wide or too short. Never throws for any list of points.
json fitAxisCandidate(const std::vector<Point2>& pixels);

// True when a tip vote's board "line" may be intersected: the vote's axis is valid
// ("axis_valid", by default the negation of "abstention", which by default is true) and the
// line is three finite numbers whose normal is not zero.
bool isUsableAxisVote(const json& vote);

// Ordering key of a pairwise intersection, smaller is better: its "uncertainty_mm" (1e6 when
// that is not a number) plus both of its "distances".
double rankPairIntersection(const json& intersection);

}  // namespace tarv
