// The manual calibration editor's geometry: four wire crossings on the outer double wire
// (20/1, 6/10, 3/19, 11/14, clockwise) clicked in the camera's own image.
#pragma once

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/camera/calibration_record.h"

namespace tarv {

// [{"label": "20/1", "x", "y"}, ...]: projected from the record when it has a geometry,
// else a diamond around the image centre (0.32 of the width, 0.38 of the height out).
json proposeManualPoints(const CalibrationRecord& record, int width, int height);

// A "MANUAL_FOUR_POINTS" record from four points ([x, y] or {"x", "y"} each, in the order
// above). A base record with a geometry and a camera model lends its lens: the points are
// rectified first and the model is kept ("lens_preserved"). Fails with "Vier Punkte
// erforderlich", "Ungültiger Kalibrierpunkt", "Alle Punkte müssen im Kamerabild liegen",
// "Reihenfolge oder Abstand ungültig: 20/1, 6/10, 3/19, 11/14", "Ungültige
// Board-Perspektive", "Board-Perspektive zu steil oder Punkte falsch angeordnet" or
// "LENS_SIZE_MISMATCH".
CalibrationRecord calibrateFromFourPoints(const cv::Mat& image, const CalibrationRecord& base, const json& points);

}  // namespace tarv
