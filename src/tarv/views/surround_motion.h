// Motion round the board, recorded per camera from frame to frame: what moved beyond the
// board (a player, a hand reaching) is no dart, and the reviews that look for a dart's short
// stroke leave those pixels out.
#pragma once

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/core/board_geometry.h"
#include "tarv/core/round.h"

namespace tarv {

// Beyond this radius a change is round the board, not on it.
constexpr double kSurroundRadiusMm = 175.0;
// Frames further apart than this start the record afresh.
constexpr double kSurroundMotionGapS = 0.5;

// Records one frame (any size; a reduced copy does) with the board-to-image homography of
// that size, captured at `now`. The images become: [0] the grey frame, [1] the motion round
// the board since the previous frame, [2] and [3] the motion of the two steps before, [4]
// their union, the motion of the last three steps. `time` becomes now. A first frame, one of
// another size, or one after a gap (or not after the last) clears the motion.
void recordSurroundMotion(SurroundMotion& motion, const cv::Mat& frame, const Homography& boardToImage,
                          double now);

}  // namespace tarv
