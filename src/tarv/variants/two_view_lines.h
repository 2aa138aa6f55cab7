// Candidate tip points from the shaft lines that two cameras see.
#pragma once

#include <array>

#include <nlohmann/json.hpp>

#include "tarv/core/board_geometry.h"

namespace tarv {

using json = nlohmann::json;

// Every pairing of a camera 1 line vote with a camera 2 line vote that crosses at a clear
// angle (condition number at most 20), meets within max(300 mm, miss radius) of the bull and
// within 15 mm of both votes' own points: {"point", "field", "distances", "indices",
// "uncertainty_mm"}, in camera-1-major pair order. A pair with a degenerate line, an
// "axis_index" outside its view's observations or a non-finite crossing is skipped.
json electTwoViewLines(const std::array<json, 3>& views, const std::array<Homography, 3>& homographies);

}  // namespace tarv
