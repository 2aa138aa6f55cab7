// The multiview consensus: a dart's field and board point decided from the view measurements
// of all three cameras together, or the reason why they do not agree.
#pragma once

#include <nlohmann/json.hpp>

#include "tarv/core/board_geometry.h"

namespace tarv {

// measurements: three entries in camera order, each a camera's ViewMeasurement records as a
// JSON array or as the member values of an object (null or empty when it has none). Returns
// the consensus document: "status" "CONSENSUS" or "UNRESOLVED" with its "reason", the vote
// counts, the spatial "clusters" and "fields" groups and the "selected" cluster. A record
// that cannot be read (not an object, a field that is not text, a point that is not two
// finite numbers) does not vote.
json buildMultiviewConsensus(const json& measurements);

}  // namespace tarv
