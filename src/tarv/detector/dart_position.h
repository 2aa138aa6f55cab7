// Where a dart's tip lies on the board, from the cameras' axis lines and tips.
#pragma once

#include <array>

#include <nlohmann/json.hpp>

#include "tarv/core/board_geometry.h"

namespace tarv {

using json = nlohmann::json;

// Fuses the three cameras' shaft records ({"observations", "votes"}): the weighted
// least-squares meeting point of the board lines of the subset of cameras that agree best
// (lines and their own tips), a single camera's tip when no two lines cross well.
// Answers {"point", "method" ("THREE_VIEW_LINES", "TWO_VIEW_LINES", "SINGLE_VIEW_TIP" or
// "UNRESOLVED"), "uncertainty_mm", "cameras" (those used), "residuals_mm"}.
json fuseDartPosition(const std::array<json, 3>& views);

}  // namespace tarv
