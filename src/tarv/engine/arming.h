// Arming the three-camera round from calibrations and empty-board references.
#pragma once

#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/core/round.h"

namespace tarv {

// The "arm" command: reads "calibrations", "camera_models", "ring_radii", "miss_radius_mm",
// "board_radius_mm" and "ignore_surround"; the first three images become the references.
// Answers {"status":"READY","armed":true,"state","tip_geometry"}; fails with
// "THREE_CAMERAS_REQUIRED", "INVALID_BOARD_RADIUS" or
// "CAMERA_REFERENCE_FEATURES_INSUFFICIENT: CAM_n", leaving the round unarmed. Arming starts
// a new round: no control state of an earlier arming survives.
json armRound(Round& round, const json& config, const std::vector<cv::Mat>& images);

// One camera of an arm configuration (a fan-out job): references, homography, camera model,
// board-normal point, board features and its camera guard.
Camera buildCamera(const json& config, const std::vector<cv::Mat>& images, double boardRadiusMm,
                   int camera);

}  // namespace tarv
