// The host event document: what happened on the board and the segment of every dart.
#pragma once

#include <nlohmann/json.hpp>

namespace tarv {

using json = nlohmann::json;

// {"type":"state","data":{"status","event","numThrows","throws"}} for the reply's status, or
// null when the status calls for no event. Reads only "status", "entries" and "armed".
json buildHostEvent(const json& reply);

}  // namespace tarv
