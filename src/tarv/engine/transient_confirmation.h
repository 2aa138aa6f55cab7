// The second half of a bounce-out: a short-lived object that the transient probe recorded is
// entered as a "MISS" bouncer once fresh frames of all three cameras show it gone, nothing new
// arrived and the darts already in the board are still there.
#pragma once

#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/core/round.h"

namespace tarv {

// Consumes the round's pending transient record (a record serves one call). Null when nothing
// is confirmed; else {"status":"DART_CANDIDATE","entry","reason":
// "OBSERVED_DART_DISAPPEARED_WITHOUT_HAND"} with the bouncer entry appended to the round.
// A transient at or before the round's last counted bounce is not entered again. Exceptions
// of the image checks leave the round as it was, record included.
json confirmTransient(Round& round, const json& request, const std::vector<cv::Mat>& frames);

}  // namespace tarv
