// Two cameras that look along one board line: their board lines of the dart are nearly the
// same line, so their crossing fixes nothing, and each camera's own tip is a position along
// that line. Where a camera stands close to the board plane, one pixel along its image axis
// spans millimetres on the board; the camera nearer the dart spans far fewer, and its tip is
// the one to trust.
#pragma once

#include <array>

#include <nlohmann/json.hpp>

#include "tarv/core/board_geometry.h"

namespace tarv {

using json = nlohmann::json;

// The millimetres on the board that one image pixel along the image direction spans at the
// pixel; infinity where the homography cannot map it.
double boardMmPerPixel(const Homography& boardToImage, cv::Point2d pixel, cv::Point2d direction);

// The sharper of two cameras whose good tip votes lie on one board line (lines within 6
// degrees, tips within 10 mm along it and 1.5 mm across). A camera knows the tip along the
// line to the larger of one pixel's millimetres there and the spread of its own views'
// points ("measurements": per camera its view records); the sharper one must know it at
// least twice as well: {"camera", "point", "field", "cameras", "mm_per_px", "view_spread_mm",
// "angle_deg", "gap_mm", "uncertainty_mm"}; null otherwise (and when a third camera's good
// tip lies off that line).
json sharperTipAlongSharedLine(const std::array<json, 3>& views, const json& measurements,
                               const std::array<Homography, 3>& homographies);

}  // namespace tarv
