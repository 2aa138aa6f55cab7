// The round's decision window (3.0 s to reach a reliable score) and the reply flags.
#pragma once

#include <nlohmann/json.hpp>

#include "tarv/core/round.h"

namespace tarv {

// "WAIT_DECISION" or "DECISION_REVIEW_REQUIRED" with the window; starts the review when the
// window ran out. Fails with "INVALID_DECISION_TIME" for a non-finite time.
json checkDecisionWindow(Round& round, double now);
// An empty round still inside the 2.5 s grace of a pending candidate.
bool isPendingWindowOpen(const Round& round, double now);
// The "engine_flags" object of every three-camera reply.
json buildEngineFlags(const Round& round);

}  // namespace tarv
