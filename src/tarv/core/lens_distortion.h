// The lens model the cameras are calibrated with, applied point by point.
#pragma once

#include <array>

#include <opencv2/core/types.hpp>

namespace tarv {

// A normalised image point (x/z, y/z) bent by a lens of up to five coefficients in OpenCV's
// order (k1, k2, p1, p2, k3): the arithmetic of cv::projectPoints, for loops that project many
// points and cannot afford its general path.
inline cv::Point2d distortNormalised(double x, double y, const std::array<double, 5>& d) {
  const double r2 = x * x + y * y;
  const double radial = 1.0 + d[0] * r2 + d[1] * r2 * r2 + d[4] * r2 * r2 * r2;
  return {x * radial + 2.0 * d[2] * x * y + d[3] * (r2 + 2.0 * x * x),
          y * radial + d[2] * (r2 + 2.0 * y * y) + 2.0 * d[3] * x * y};
}

}  // namespace tarv
