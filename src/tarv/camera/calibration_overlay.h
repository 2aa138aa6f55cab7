// Calibrations drawn onto their camera images, and the "calibration_view" command.
#pragma once

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/camera/calibration_record.h"

namespace tarv {

// A copy of the BGR image with the record's board model (wire rings, radial wires, sector
// numbers) and a caption with its method and grade; just the caption without a geometry.
cv::Mat drawCalibrationOverlay(const cv::Mat& image, const CalibrationRecord& record);

// "calibration_view": draws a saved calibration onto its saved reference image.
// Request: "reference" (image path), "calibration" (a record, or a 3x3 board-to-image
// matrix with an optional "camera_model" beside it), "output" (PNG path to write).
// Reply: {"status": "CALIBRATION_VIEW_WRITTEN", "overlay", "width", "height", "points"
// (the four editor points), "bull_px", "twenty_px"}. Fails with "CALIBRATION_VIEW_REQUEST",
// "REFERENCE_UNREADABLE", "INVALID_CALIBRATION", "LENS_SIZE_MISMATCH", the camera model's
// codes, or "CALIBRATION_OVERLAY_SAVE_FAILED".
void applySavedView(json& reply, const json& request);

}  // namespace tarv
