// A dart that lands right in front of a camera close to the board plane can reach out of that
// camera's frame: the camera sees the shaft and barrel run off the image edge and never sees
// the point. The tip still lies on the camera's board line of the dart, beyond the frame edge.
// Where every point of the board line beyond the edge lies outside the scoring area, the dart
// missed whatever its exact tip.
#pragma once

#include <array>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/core/board_geometry.h"

namespace tarv {

using json = nlohmann::json;

// The one camera whose dart runs off its frame toward the tip (its tip vote on the image
// border, the axis pointing out of the frame there) while no other camera has an axis, when
// the board ray from that vote's point onward stays at least limitMm from the bull:
// {"camera", "point" (where the dart leaves the frame), "nearest_mm" (the ray's closest
// approach to the bull), "edge_px"}; null otherwise.
json tipBeyondFrameEdge(const std::array<json, 3>& views, const std::array<Homography, 3>& homographies,
                        const std::array<cv::Size, 3>& imageSizes, double limitMm);

}  // namespace tarv
