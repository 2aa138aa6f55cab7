// The board, or a circle somewhat larger than it, as one camera sees it: most image tests of
// recovery and realignment are restricted to this region.
#pragma once

#include <opencv2/core.hpp>

#include "tarv/core/board_geometry.h"

namespace tarv {

// A new 8-bit mask of the size: 255 inside the circle of radiusMm round the board centre,
// projected with the board-to-image homography through pointCount vertices and filled as a
// polygon (clipped to the image), 0 elsewhere. Fails with "Projection at infinity" when a
// vertex projects to infinity. Counts below 3 give an empty (all-zero) mask.
cv::Mat buildBoardRegionMask(cv::Size size, const Homography& h, double radiusMm,
                             int pointCount);

}  // namespace tarv
