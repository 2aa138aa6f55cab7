// Calibrating the cameras on their frozen references: the automatic calibration with the
// click on the 20, the four-point editor, the result for the host, and saved calibrations.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "tarv/runtime/runtime.h"

namespace tarv {

json calibrateFromClick(Runtime& runtime, const json& request);
json editManualCalibration(Runtime& runtime, const json& request);
json buildCalibrationResult(const Runtime& runtime);
json editSavedCalibration(Runtime& runtime, const json& request);
// Loads the landmark model and checks that it rejects an all-black image.
json checkCalibrationModel(Runtime& runtime);

// How many overlay images of one kind and camera a calibration folder keeps: the newest,
// and the one before it that a host may still be showing.
constexpr size_t kOverlaysKept = 2;

// Writes the image as prefix + camera + "-" + steady-clock nanoseconds + ".png" into the folder
// and removes older files of the same prefix and camera beyond kOverlaysKept. Fails with
// "CALIBRATION_OVERLAY_SAVE_FAILED"; returns the path.
std::string writeOverlay(const std::string& folder, const std::string& prefix, int camera, const cv::Mat& image);

}  // namespace tarv
