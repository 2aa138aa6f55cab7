// The board model of a camera solve drawn onto its image.
#pragma once

#include <functional>

#include <opencv2/core.hpp>

#include "tarv/autocal/landmark_detection.h"

namespace tarv {

// Landmark-frame board point (mm) -> pixel.
using BoardProjector = std::function<std::vector<cv::Point2d>(const std::vector<cv::Point3d>&)>;

// Wire rings, radial wires and sector numbers projected through the solution's camera (lens
// included), drawn in place on a BGR image; nothing when the solution has no camera.
void drawLandmarkOverlay(cv::Mat& image, const LandmarkSolution& solution);
// The same drawing through any projection of board points.
void drawBoardModel(cv::Mat& image, const BoardProjector& project);

}  // namespace tarv
