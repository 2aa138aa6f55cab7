// The three reference images of the empty board that every calibration starts from.
#pragma once

#include <array>
#include <string>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/runtime/runtime.h"

namespace tarv {

// "calibration_snapshot": references from a quiet board in setup-only mode.
json captureCalibrationReferences(Runtime& runtime, const std::string& folder);
// "quick_snapshot": references from a scoring board the user called empty; switches the
// runtime to setup-only mode.
json quickCalibrate(Runtime& runtime, const std::string& folder, bool emptyConfirmed);
// The seed of "calibration_snapshot": saved matrices (and camera models) as unaccepted
// starting records; a camera whose seed does not fit is skipped.
void applyCalibrationSeed(Runtime& runtime, const json& request);
std::string formatQuietFramesWait(const Runtime& runtime);

// "CAM_1.png".."CAM_3.png" in folder (created with its parents). The set is written under
// temporary names first and renamed into place only when all three were written; a rename
// that fails part way puts the earlier references back, so a failure never leaves a folder
// holding references of two different moments. Fails with "CALIBRATION_SAVE_FAILED";
// returns the paths.
json writeReferenceSet(const std::string& folder, const std::array<cv::Mat, 3>& images);
std::string referencePath(const std::string& folder, int camera);

}  // namespace tarv
