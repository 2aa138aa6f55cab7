// Whether the double band shows where a camera puts it: the band between the double ring's
// wires differs from the beds inside it, whatever the board's colours.
#pragma once

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/autocal/camera_estimate.h"

namespace tarv {

using json = nlohmann::json;

// The camera's double band lies where the image shows none (its contrast against the beds
// inside it, and against itself a few mm in and out, in report["double_band"]); an image
// that cannot tell says it does not.
bool doubleBandMissing(const cv::Mat& grey, const CameraEstimate& camera, json& report);

}  // namespace tarv
