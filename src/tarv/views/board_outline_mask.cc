#include "tarv/views/board_outline_mask.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>
#include <stdexcept>
#include <vector>

namespace tarv {

namespace {

// nearbyint keeps the default rounding mode: halves go to the even neighbour. Far-off
// vertices are pulled in so the integer conversion stays defined; at that distance the
// clipped polygon is the same inside any real image.
int vertexCoordinate(double v) {
  if (!std::isfinite(v)) throw std::runtime_error("Projection at infinity");
  constexpr double kLimit = 1e9;
  return static_cast<int>(std::nearbyint(std::clamp(v, -kLimit, kLimit)));
}

}  // namespace

cv::Mat buildBoardRegionMask(cv::Size size, const Homography& h, double radiusMm,
                             int pointCount) {
  cv::Mat mask = cv::Mat::zeros(std::max(size.height, 0), std::max(size.width, 0), CV_8UC1);
  if (pointCount < 3) return mask;

  std::vector<cv::Point> polygon;
  polygon.reserve(static_cast<std::size_t>(pointCount));
  for (const Point2& p : circlePoints(radiusMm, pointCount)) {
    const double X = h[0] * p.x + h[1] * p.y + h[2];
    const double Y = h[3] * p.x + h[4] * p.y + h[5];
    const double w = h[6] * p.x + h[7] * p.y + h[8];
    if (!std::isfinite(w) || std::abs(w) < 1e-10) throw std::runtime_error("Projection at infinity");
    polygon.emplace_back(vertexCoordinate(X / w), vertexCoordinate(Y / w));
  }
  if (mask.empty()) return mask;
  const std::vector<std::vector<cv::Point>> contours{polygon};
  cv::fillPoly(mask, contours, cv::Scalar(255), cv::LINE_8, 0);
  return mask;
}

}  // namespace tarv
