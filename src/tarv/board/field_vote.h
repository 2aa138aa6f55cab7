// Weighing the opinions on a dart's field: the throw evaluation's own decision, each camera's
// best tip and the multiview consensus; the field majority rule and the tie test of a
// consensus; and the rank of a decision method.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tarv/core/board_geometry.h"

namespace tarv {

// 3 for the three-view methods, 2 for the multi-camera ones, 1 for "BEST_CAM", else 0. The
// comparison is exact and case-sensitive.
int rankDecisionMethod(const std::string& method);

// The consensus's field groups, in its order, that can be read: objects with a text "field"
// and a vote count. A group that cannot be read abstains.
std::vector<json> readableFieldGroups(const json& consensus);

// Whether the consensus is a tie between its two leading field groups.
bool isFieldVoteTied(const json& consensus);

// The majority record of "FIELD_MAJORITY_7_OF_12_RUNNER_UP_HALF_OR_SAME_SECTOR_MINUS_2_OTHER_
// SECTOR_MAX_2" with the point of the leading field's best cluster, or null when the rule does
// not hold or the field has no cluster with a readable point.
json applyFieldMajorityRule(const json& consensus);

// The FieldVoteDecision of the decision ({"method", "point"}), the cameras' votes (views,
// stats and candidates as for collectCameraVotes) and the consensus; null when no field is
// scored or the winning field has no point.
json decideFieldVote(const json& decision, const json& views, const json& consensus,
                     const json& stats, const json& candidates);

}  // namespace tarv
