// Commands of the three-camera round that the dispatcher hands on: per-frame processing,
// the transient probe and the motion-bouncer review, and the engine's warm-up.
#pragma once

#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/engine/round.h"

namespace tarv {

json probeTransient(Round& round, const json& request, const std::vector<cv::Mat>& images);
json reviewMotionBouncer(Round& round, const json& request, const std::vector<cv::Mat>& images);

}  // namespace tarv
