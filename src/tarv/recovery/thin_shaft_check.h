// The start-up check for a thin upright structure, such as a shaft, that a camera sees but
// its empty-board reference does not have.
#pragma once

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/core/round.h"

namespace tarv {

enum class UprightShaftResult {
  kClear,        // no thin upright object, or nothing changed at all
  kObject,       // a thin upright object; the report describes it
  kLightChange,  // the frame's exposure could not be matched to the reference: a change of
                 // light, not an object; the view is not cleared, the report is untouched
};

// Looks for steep straight lines of strong difference and long thin clusters of novel edges
// inside the board plane of radiusMm (and 8 px inside the image), each confirmed by
// registering it against the emptyReference. On an object the report becomes
// {"reason": "THIN_UPRIGHT_SHAFT", "registered_edges", "registered_pixels"} for a line, or
// {"novel_edges", "registered_edges", "registered_pixels", "bounds", "length", "width",
// "exposure", "reference_mean", "current_mean"} for a cluster. Frames of another size than
// the reference fail with "CAMERA_RESOLUTION_CHANGED".
UprightShaftResult testThinUprightShaft(const Camera& camera, const cv::Mat& frame, json& report,
                                        double radiusMm);

}  // namespace tarv
