// The light of the board returned to what it was before the recovery last took new
// references: the references from before are taken back, rather than waiting for the board to
// be proven empty once more.
#pragma once

#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/core/round.h"

namespace tarv {

// Whether an evaluation's answer may be the former light: an empty round that waits on a large
// change less than 60 s after the last rebase, with no input tone table in use.
bool mayBeFormerLight(const Round& round, const json& evaluation, double now);

// When every camera's frame matches its former reference (at most 15 % of the image and 30 %
// of the board region within 175 mm changed), exchanges each camera's reference with its
// former one, makes the working background the reference again with an empty stored change,
// and makes now the last rebase time. False, and nothing changed, when a camera does not match.
bool restoreFormerLight(Round& round, const std::vector<cv::Mat>& frames, double now);

}  // namespace tarv
