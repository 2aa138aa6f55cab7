// A camera that sees a dart nearly end-on: its rod shrinks to a few pixels, and what it fits a
// line to is a flight wing standing across the dart, whose line runs anywhere through the tip
// region and whose end is no tip.
#pragma once

#include <array>
#include <optional>

#include <nlohmann/json.hpp>

#include "tarv/camera/camera_pose.h"
#include "tarv/detector/dart_rod.h"

namespace tarv {

// For each camera, whether it sees the dart end-on: the rod the other two cameras' planes span
// (a dart's tilt) projects into it, over a whole dart's length, to well under the support its
// own fit spans (supportSpanPx, image pixels), and its own line misses where that rod meets the
// board by more than a shaft's line could. The rod counts only where one of the other two saw
// its own tip at the rod's foot. A camera whose fit is the rod itself sees that rod
// about as long as its support, and its line runs through the rod's foot. At most one camera
// is end-on: two would leave the third alone to vouch for a rod that condemns them both.
std::array<bool, 3> findEndOnViews(const std::array<RodView, 3>& views, const std::array<double, 3>& supportSpanPx);

// Leaves the end-on cameras' lines and tips out of their shaft records (vote and axis
// "axis_valid" false, vote "tip_valid" false, "end_on" true), so the tip is solved from the
// cameras that see the shaft. Answers the ids of the cameras left out (an array).
nlohmann::json leaveOutEndOnViews(std::array<nlohmann::json, 3>& shaftRecords,
                                  const std::array<std::optional<CameraPose>, 3>& poses);

}  // namespace tarv
