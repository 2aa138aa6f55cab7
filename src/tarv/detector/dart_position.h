// The least-squares refinement of a solved tip: the board lines that agree with the solver's
// point, each weighted by its own precision, meet in one sharper point.
#pragma once

#include <array>

#include <nlohmann/json.hpp>

#include "tarv/core/board_geometry.h"

namespace tarv {

using json = nlohmann::json;

// The weighted least-squares meeting point of the cameras' board lines ("votes"[0]."line" of
// each shaft record, weighted by "error_mm") that pass within 2 mm of the solver's point and
// cross at least 8 degrees: {"point", "uncertainty_mm", "cameras", "residuals_mm",
// "shift_mm"}; null when fewer than two such lines remain or they do not fix a point.
json refineAgreeingLines(const std::array<json, 3>& views, Point2 solverPoint);

}  // namespace tarv
