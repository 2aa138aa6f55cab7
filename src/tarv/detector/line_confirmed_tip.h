// A camera's tip that lies on another camera's board line of the dart, while that camera's own
// tip lies far off along its line. A camera finds its tip by walking along the shaft it sees,
// so it errs along its line, seldom across it: the line is the firmer measure. The tip on the
// line is confirmed by it, and the far tip is no rival to it.
#pragma once

#include <array>

#include <nlohmann/json.hpp>

#include "tarv/core/board_geometry.h"

namespace tarv {

using json = nlohmann::json;

// The decision path of this rule (the point, not the field).
extern const char* const kPathLineConfirmedTip;  // "LINE_CONFIRMED_TIP"

// The one good tip vote ("error_mm" ≤ 1.5, "pixel_error" ≤ 2) that lies on another camera's
// good line within that line's reach (twice what one image pixel across the line spans on the
// board there, at least 1 mm), where the lines cross at 6 degrees or more and the line's own
// tip lies more than 3 mm away. The point is where the two lines cross. A third camera with a
// good tip must have its tip or its line at that point. {"camera", "line_camera", "point",
// "field", "across_mm", "reach_mm", "far_tip_mm", "angle_deg", "uncertainty_mm"}; null when
// no tip, or more than one, is confirmed so.
json tipConfirmedByAnotherLine(const std::array<json, 3>& views, const std::array<Homography, 3>& homographies);

}  // namespace tarv
