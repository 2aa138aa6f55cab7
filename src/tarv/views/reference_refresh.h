// Slow adaptation of the references of an empty, unchanged board to the light.
#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "tarv/core/round.h"

namespace tarv {

// Blends each camera's colour reference a quarter of the way towards its frame, at most once
// a second; the working background follows the reference. True when it adapted.
bool refreshReferenceFrames(Round& round, const std::vector<cv::Mat>& frames, double now);

}  // namespace tarv
