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

// When the last entered dart is gone from the cameras that saw it, its point too (no camera
// still sees its point's change against the empty board), and the other darts stay:
// its entry is marked "bounceout" and "departed" and scores nothing ("selected_field"
// "MISS"), its change leaves the stored change and the working background, and the answer is
// {"status":"DART_REFINED","reason":"DART_DEPARTED_WITHOUT_HAND","entry"}. Null otherwise.
json departLastDart(Round& round, const std::vector<cv::Mat>& frames,
                    const std::array<CameraFrameAnalysis, 3>& analyses);

// The last dart, entered at most a second ago, whose point stays while part of it moved (all
// the new change within its swing round it) or it turned within its own place, or whose view
// arrives late in a camera that held too little of it (the change there one dart's worth, in
// pieces that reach its point): the dart quivers about its point. The references take the
// frame round it, its stored change follows it, and the answer is
// {"status":"SETTLING","reason":"ENTERED_DART_MOVING"}. Null otherwise.
json followMovingDart(Round& round, const std::vector<cv::Mat>& frames,
                      const std::array<CameraFrameAnalysis, 3>& analyses, double now);

// When the change of the previous triplet (at most 0.25 s before), still settling, was a
// thin, dart-like stroke in at least two cameras whose board lines cross on the board, away
// from the tip of every dart still standing (whose quiver it would be), was no patch of light
// on the frames that showed it (a glint seen at a grazing angle draws such strokes), and is
// gone again: one MISS bouncer entry at the crossing is appended, the bounce counts as
// reviewed up to `now`, and the answer is
// {"status":"BOUNCER_CANDIDATE","reason":"DART_TRANSIENT_WITHOUT_REMAINING_SUPPORT","entry"}.
// Null otherwise. Reads the settling masks, which the caller clears afterwards.
json enterVanishedTransient(Round& round, const std::array<CameraFrameAnalysis, 3>& analyses, double now);

}  // namespace tarv
