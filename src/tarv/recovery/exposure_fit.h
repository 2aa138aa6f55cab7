// Whether the difference between a reference and a current grey image of one camera is one
// global change of light (gain and offset), and the current image brought back to the
// reference's exposure when it is, so that difference masks see only real objects.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

namespace tarv {

using json = nlohmann::json;

struct Exposure {
  // Applied: a new image, the current one corrected to the reference's exposure; otherwise
  // the caller's current image itself (sharing its pixels).
  cv::Mat image;
  // {"applied", "gain", "offset", "residual_median", "reason"}; see fitExposure.
  json report;
  bool applied = false;
};

// Fits current = gain·reference + offset on a grid of every fourth row and column (pairs with
// both levels in 13..242, where the mask is non-zero or the mask is empty), robustly over
// three passes. Too few samples or a degenerate fit report "INSUFFICIENT_CONTEXT"; a gain
// outside 0.8..1.25, |offset| above 25 or a median residual above 3 (4 when smoothed) report
// "NON_GLOBAL_OR_EXCESSIVE_CHANGE"; otherwise the correction is applied. Different image
// sizes fail with "CAMERA_RESOLUTION_CHANGED".
Exposure fitExposure(const cv::Mat& reference, const cv::Mat& current, const cv::Mat& mask,
                     bool smooth, std::size_t minimumSamples);

}  // namespace tarv
