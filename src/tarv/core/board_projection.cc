#include "tarv/core/board_projection.h"

#include <algorithm>
#include <limits>

namespace tarv {

double projectedBoardHeight(const Homography& boardToImage) {
  double top = std::numeric_limits<double>::infinity();
  double bottom = -std::numeric_limits<double>::infinity();
  for (const Point2& p : circlePoints(170.0, 360)) {
    const double y = applyHomography(boardToImage, p).y;
    top = std::min(top, y);
    bottom = std::max(bottom, y);
  }
  return bottom - top;
}

}  // namespace tarv
