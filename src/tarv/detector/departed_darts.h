// Darts that leave the board on their own: a dart that falls out after it was entered, while
// no hand is seen and the other darts stay, and a dart seen too briefly to settle that is gone
// again. Neither scores; neither ends the round.
#pragma once

#include <array>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/views/camera_analysis.h"
#include "tarv/core/round.h"

namespace tarv {

// A dart entered this long ago or less may still fall out on its own; later, its leaving is
// taken for a takeout.
constexpr double kDepartureWindowS = 3.0;

// Remembers when the last dart was entered.
void noteEnteredDart(Round& round, double now);
// Remembers when a change was last seen settling.
void noteSettlingChange(Round& round, double now);

// When the last entered dart is gone from every camera that saw it and the other darts stay:
// its entry is marked "bounceout" and "departed" and scores nothing ("selected_field"
// "MISS"), its change leaves the stored change and the working background, and the answer is
// {"status":"DART_REFINED","reason":"DART_DEPARTED_WITHOUT_HAND","entry"}. Null otherwise.
json departLastDart(Round& round, const std::vector<cv::Mat>& frames,
                    const std::array<CameraFrameAnalysis, 3>& analyses);

// When the change of the previous triplet (at most 0.25 s before), still settling, was a
// dart-sized change in at least two cameras and is gone again: one MISS bouncer entry is appended and the answer is
// {"status":"BOUNCER_CANDIDATE","reason":"DART_TRANSIENT_WITHOUT_REMAINING_SUPPORT","entry"}.
// Null otherwise. Reads the settling masks, which the caller clears afterwards.
json enterVanishedTransient(Round& round, const std::array<CameraFrameAnalysis, 3>& analyses, double now);

}  // namespace tarv
