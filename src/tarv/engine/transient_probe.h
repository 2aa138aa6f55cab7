// The "transient_probe" command: a frame triplet that may show a dart for only a frame or two
// (a bounce-out, a dart pulled at once) is evaluated on a separate probe round; an accepted
// observation becomes the round's pending transient record, and a second matching one (or
// one precise single observation, when the host allows it) confirms it.
#pragma once

#include <functional>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/core/board_geometry.h"
#include "tarv/core/round.h"

namespace tarv {

// The evaluation run on the probe round: (probe round, frames, now) -> evaluation reply.
using ProbeEvaluation =
    std::function<json(Round& round, const std::vector<cv::Mat>& frames, double now)>;

// Answers "TRANSIENT_PENDING", "TRANSIENT_CONFIRMED" (both with "positive_observations") or
// "TRANSIENT_REJECTED" (with a "reason" where one applies). Only the pending transient record
// and the probe change masks of the round change (and its incoming frames); every rejection
// clears the record. "INVALID_DETECTION_SCALE" and malformed earlier records are exceptions
// that leave the round as it was.
json probeTransient(Round& round, const json& request, const std::vector<cv::Mat>& images);
// The same with the evaluation given; the command runs evaluateRoundFrames.
json probeTransient(Round& round, const json& request, const std::vector<cv::Mat>& images,
                    const ProbeEvaluation& evaluate);

// Clears the round's pending transient record and makes the reply {"status":
// "TRANSIENT_REJECTED"}.
void rejectTransient(Round& round, json& reply);


}  // namespace tarv
