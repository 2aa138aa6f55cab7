// A host's "calibrate" request for one rendered camera, and how far a fitted board-to-image
// homography puts the board from where the camera really sees it.
#pragma once

#include <optional>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "scene/camera_rig.h"

namespace tarv::host {

using json = nlohmann::json;

// {"command":"calibrate","images":[frame]} with a click on the middle of the single 20 when
// one is given.
json calibrateRequest(const cv::Mat& frame, std::optional<cv::Point2d> clickPx = std::nullopt);

// Pixel where the camera sees the middle of the single 20 (lens distortion included).
cv::Point2d twentyClick(const scene::Camera& camera);

struct RingError {
  double meanPx = 0.0;  // over 72 points of the 170 mm ring
  double maxPx = 0.0;
  double bullPx = 0.0;
  // The largest over the ring points the camera sees in its image: for a board cut by the
  // image edge, what lies beyond it is extrapolated without evidence.
  double visibleMaxPx = 0.0;
};

// Distances between the fitted homography's 170 mm ring and bull and the camera's own view of
// them (lens distortion included).
RingError ringError(const cv::Matx33d& fitted, const scene::Camera& camera);

// "board_to_image" of a fit result, when it holds a 3x3 array of numbers.
std::optional<cv::Matx33d> fittedHomography(const json& result);

}  // namespace tarv::host
