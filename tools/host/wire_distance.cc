#include "host/wire_distance.h"

#include <algorithm>
#include <cmath>

#include "scene/board_texture.h"

namespace tarv::host {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kRadialInnerMm = 17.0;
constexpr double kRadialOuterMm = 170.0;

double segmentDistance(cv::Point2d p, cv::Point2d a, cv::Point2d b) {
  const cv::Point2d ab = b - a;
  const double t = std::clamp((p - a).dot(ab) / ab.dot(ab), 0.0, 1.0);
  return cv::norm(p - (a + t * ab));
}

}  // namespace

double wireDistanceMm(cv::Point2d point) {
  const double r = std::hypot(point.x, point.y);
  double best = 1e300;
  for (double ring : scene::kRingRadii) best = std::min(best, std::abs(r - ring));
  for (int k = 0; k < 20; ++k) {
    // Board angles run clockwise from the 20, which lies at negative y.
    const double a = (9.0 + 18.0 * k) * kPi / 180.0;
    const cv::Point2d direction(std::sin(a), -std::cos(a));
    best = std::min(best, segmentDistance(point, kRadialInnerMm * direction,
                                          kRadialOuterMm * direction));
  }
  return best;
}

}  // namespace tarv::host
