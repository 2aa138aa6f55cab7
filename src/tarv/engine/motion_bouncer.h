// The "motion_bouncer" command: a dart that hit the board and fell off at once leaves no dart
// for the per-frame evaluation. Given three transient views that show it and three current
// frames of the settled board, the review scores it as a "MISS" bouncer of the round when the
// board is unchanged and two views show dart-like strokes whose board lines cross on the board.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/core/engine_values.h"
#include "tarv/core/round.h"

namespace tarv {

// Images 1..3: the transient views of cameras 1..3 (any size from 160 to 1280 px wide in the
// camera's aspect ratio); images 4..6: the current full-size frames. Answers "DART_CANDIDATE"
// ("DART_TRANSIENT_WITHOUT_REMAINING_SUPPORT") with the new entry, or
// "MOTION_BOUNCER_REJECTED" with a "reason" and the review's evidence. Only a success
// changes the round; a bounce already counted (by an earlier review or the transient
// confirmation) answers "ALREADY_COUNTED". Fails with the JSON library's errors when "times"
// or "current_times" is missing and with "INVALID_DETECTION_SCALE", leaving the round as it
// was.
json reviewMotionBouncer(Round& round, const json& request, const std::vector<cv::Mat>& images);

// Sets the reply's "reason" and returns a copy of the reply.
json setReplyReason(json& reply, const std::string& reason);

// max(1, trunc(scale·160/400)): remaining change of at least this many pixels is taken to be
// a new object on the board.
int remainingPixelLimit(const DetectionScale& scale);

}  // namespace tarv
