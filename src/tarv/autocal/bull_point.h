// The bull in the image from the network's detections: its own bull detection where it has
// one, else where the wires through the crossings meet, else the middle of the crossings
// crowded closest together.
#pragma once

#include <optional>
#include <vector>

#include <opencv2/core.hpp>

#include "tarv/autocal/pose_hypotheses.h"

namespace tarv {

// (-1, -1) where the detections place no bull.
cv::Point2d findBullPoint(const LandmarkDetections& kept);
// The point the most lines through the crossings (the wires) pass near; none for fewer than 20.
std::optional<cv::Point2d> bullFromWireLines(const std::vector<cv::Point2d>& points);

}  // namespace tarv
