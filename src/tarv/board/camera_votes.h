// The building blocks of the field voting: each camera's own vote on a dart, the summary of a
// group of view votes, and the orders in which votes, field groups and clusters are kept.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

#include "tarv/core/board_geometry.h"

namespace tarv {

// Vote records come from several producers and may arrive incomplete or mistyped. These
// readers answer "nothing" instead of failing, so a malformed record simply does not vote.

// A board point written as exactly two finite numbers.
std::optional<Point2> readVotePoint(const json& value);
// A vote count: a finite number from 0 to 2^31 - 1, a fraction truncated toward zero.
std::optional<int64_t> readVoteCount(const json& value);
// A TipVote that takes part: "abstention" false, finite non-negative "pixel_error", finite
// "error_mm", a text "field" and a readable "point". Anything else counts as an abstention.
bool isUsableTipVote(const json& vote);

// {"CAM_1": CameraVote, "CAM_2": ..., "CAM_3": ...} from the three cameras' ViewTipRecords
// (views, an array in camera order), their change statistics (stats, keyed by camera id) and
// their candidate records (candidates, an array in camera order). A camera without a usable
// tip vote is occluded, never an error.
json collectCameraVotes(const json& views, const json& stats, const json& candidates);

// The VoteGroupSummary of a group of vote records; withPoint adds the medoid "point",
// "members" and "spread_mm" of a spatial cluster.
json summarizeVoteGroup(const std::vector<json>& members, bool withPoint);

// Strict orders for a stable sort: vote records; field-group summaries; cluster summaries.
bool voteOrder(const json& a, const json& b);
bool fieldGroupOrder(const json& a, const json& b);
bool clusterOrder(const json& a, const json& b);

}  // namespace tarv
