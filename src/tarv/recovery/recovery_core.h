// The decision of one recovery call: back to play on the previous board, keep waiting, wait
// for a second look, or take the empty board as the new background (closing a takeout).
// Round::recoverCore is declared with the Round.
#pragma once

#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/core/round.h"
#include "tarv/recovery/evidence_chain.h"

namespace tarv {

// Median brightness offset of the frame against the reference (both reduced to 320 x 180)
// and the median distance from it: {"brightness_offset", "brightness_residual_median"}.
json measureBrightnessOffset(const cv::Mat& reference, const cv::Mat& grey);

// Mean grey level of the image inside the mask (0 when the mask is empty).
double meanInside(const cv::Mat& grey, const cv::Mat& mask);

}  // namespace tarv
