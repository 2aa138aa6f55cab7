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
// "calibration_result": the result, handed to the host, which may keep the overlays its
// records name for as long as it keeps the calibration: they are never pruned afterwards.
json handOutCalibrationResult(Runtime& runtime);
json editSavedCalibration(Runtime& runtime, const json& request);
// "calibration_prepare_start": checks a saved start configuration against the calibration,
// the cameras and the references of this set-up, pixel for pixel, and confirms it for the
// next "start", which then begins frozen on those references.
json prepareSavedCalibrationStart(Runtime& runtime, const json& config);
// How long a prepared confirmation is honoured by "start".
constexpr double kConfirmedStartSeconds = 120.0;
// Loads the landmark model and checks that it rejects an all-black image.
json checkCalibrationModel(Runtime& runtime);

// How many overlay images of one kind and camera a calibration folder keeps: the newest,
// and the one before it that a host may still be showing.
constexpr size_t kOverlaysKept = 2;

// Writes the image as prefix + camera + "-" + steady-clock nanoseconds + ".png" into the
// workflow's folder and removes older overlays of the same prefix and camera beyond
// kOverlaysKept, among those this workflow wrote and has not handed out in a result only,
// and never one that a record, the editor's base or its pending preview names. Fails with "CALIBRATION_OVERLAY_SAVE_FAILED";
// returns the path.
std::string writeOverlay(CalibrationWorkflow& workflow, const std::string& prefix, int camera, const cv::Mat& image);

}  // namespace tarv
