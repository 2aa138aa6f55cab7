// Settling an unresolved dart position over time: the round keeps the position hypotheses of
// successive unresolved evaluations, and a hypothesis that has held its field and point long
// enough becomes a decision.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "tarv/core/board_geometry.h"

namespace tarv {

class Round;

// The new stable-hypothesis history after an evaluation with this status and reply:
// "POSITION_UNRESOLVED" appends {"time", "field", "point"} of reply.arbitration.hypothesis
// (newest 64 kept), "WAIT" keeps the history, any other status clears it.
json arbitratePosition(const json& history, const std::string& status, double now,
                       const json& reply);
// The same on the round's history, which it replaces.
void arbitratePosition(Round& round, const std::string& status, double now, const json& reply);

// Whether the hypothesis (a FieldVoteDecision or null) has kept its field and a point within
// 4.0 mm over at least two samples spanning at least 0.75 s: {"ready", "reason", "samples",
// "duration", ...}.
json checkStableHypothesis(const json& history, const json& hypothesis, double now);

}  // namespace tarv
