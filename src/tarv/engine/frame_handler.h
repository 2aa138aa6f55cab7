// The three-camera per-frame command: the round's state machine around the throw evaluation.
#pragma once

#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/core/round.h"

namespace tarv {

// Checks that the triplet is fresh and synchronised, runs the evaluation or the recovery,
// applies the guards that span calls (decision window, transient confirmation, passive
// empty-board proof, takeout without a seen hand) and answers with the round's entries, the
// host event ("state", null when nothing new happened), the engine flags and the timings.
// A failure leaves the round as it was before the call.
json processRoundFrames(Round& round, const json& request, const std::vector<cv::Mat>& frames);

// Stores now − last lap under the lap name and starts the next lap.
void recordTimingLap(json& laps, double& lastLapMs, const char* name);
// Every entry is a bouncer, a bounce-out or departed (an empty list counts).
bool allEntriesGone(const json& entries);
bool allToneTablesEmpty(const ImageTriple& tables);

}  // namespace tarv
