// The field one camera's view supports when there is no second view to triangulate with.
#pragma once

#include <nlohmann/json.hpp>

namespace tarv {

using json = nlohmann::json;

// Clusters the view's line votes (axis "votes") and point candidates (members of the
// candidate object with "status" "CANDIDATE" and "quality" of at least 0.5) by field within
// 6 mm, orders the clusters by members, then score, and answers the winner's representative:
// "method" ("MONO_SINGLE_VIEW", "MONO_LINE_CONSENSUS", "MONO_POINT_CONSENSUS"), "point",
// "field", "members", "line_in_cluster", "spread_mm", "eyes" and "clusters"; or "method"
// "UNRESOLVED" with "reason" "NO_VIEW_VOTES" or "TIED_FIELDS". Malformed votes raise the JSON
// library's errors.
json electSingleViewField(const json& axis, const json& candidates);

}  // namespace tarv
