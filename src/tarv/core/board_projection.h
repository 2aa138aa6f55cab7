// Where the board lies in a camera image.
#pragma once

#include "tarv/core/board_geometry.h"

namespace tarv {

// Vertical extent in pixels of the 170 mm board circle (360 samples) through the homography;
// fails with "Projection at infinity" like applyHomography.
double projectedBoardHeight(const Homography& boardToImage);

}  // namespace tarv
