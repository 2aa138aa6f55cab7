// Arming the three-camera round from calibrations and empty-board references.
#pragma once

#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/core/round.h"

namespace tarv {

// The "arm" command: reads "calibrations", "camera_models", "ring_radii", "miss_radius_mm",
// "board_radius_mm" and "ignore_surround"; the first three images become the references.
// Answers {"status":"READY","armed":true,"state","tip_geometry","board_rings"} (the six ring
// radii as armed), with "calibration_transfer" when calibrations made on the previous
// references were carried onto the new ones; fails with
// "THREE_CAMERAS_REQUIRED", "INVALID_BOARD_RADIUS" or
// "CAMERA_REFERENCE_FEATURES_INSUFFICIENT: CAM_n", leaving the round unarmed. Arming starts
// a new round: no control state of an earlier arming survives.
json armRound(Round& round, const json& config, const std::vector<cv::Mat>& images);

// One camera of an arm configuration (a fan-out job): references, homography, camera model,
// board-normal point, board features and its camera guard. With the camera of the previous
// arming, a calibration that is that camera's own is carried onto the new reference (the
// camera may have shifted a few pixels since); the record's "calibration_transfer" says how.
Camera buildCamera(const json& config, const std::vector<cv::Mat>& images, double boardRadiusMm,
                   int camera, const Camera* previous = nullptr);

// The calibration for a new reference: the given homography, or, when it is the previous
// camera's own and that camera has a reference of the same size, the homography moved by the
// translation between the two references. The report is null when nothing was carried, else
// {"accepted", "shift_px"} or {"accepted": false, "reason"} (the given homography stays).
Homography carryCalibration(const Camera* previous, const Homography& given, const cv::Mat& newReference,
                            json& report);

}  // namespace tarv
