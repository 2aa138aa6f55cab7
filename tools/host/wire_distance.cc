#include "host/wire_distance.h"

#include <algorithm>
#include <cmath>

#include "scene/board_texture.h"

namespace tarv::host {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kRadialInnerMm = 17.0;
constexpr double kRadialOuterMm = 170.0;

cv::Point2d segmentPoint(cv::Point2d p, cv::Point2d a, cv::Point2d b) {
  const cv::Point2d ab = b - a;
  const double t = std::clamp((p - a).dot(ab) / ab.dot(ab), 0.0, 1.0);
  return a + t * ab;
}

cv::Point2d nearestWirePoint(cv::Point2d point) {
  const double r = std::hypot(point.x, point.y);
  const cv::Point2d outward = r > 0.0 ? point / r : cv::Point2d(0.0, -1.0);
  cv::Point2d best = outward * scene::kRingRadii[0];
  for (double ring : scene::kRingRadii) {
    if (std::abs(r - ring) < cv::norm(point - best)) best = outward * ring;
  }
  for (int k = 0; k < 20; ++k) {
    // Board angles run clockwise from the 20, which lies at negative y.
    const double a = (9.0 + 18.0 * k) * kPi / 180.0;
    const cv::Point2d direction(std::sin(a), -std::cos(a));
    const cv::Point2d near = segmentPoint(point, kRadialInnerMm * direction, kRadialOuterMm * direction);
    if (cv::norm(point - near) < cv::norm(point - best)) best = near;
  }
  return best;
}

}  // namespace

double wireDistanceMm(cv::Point2d point) { return cv::norm(point - nearestWirePoint(point)); }

cv::Point2d clearOfWireMetal(cv::Point2d point) {
  constexpr double kClearanceMm = scene::kWireWidth / 2 + 0.01;
  // Near a junction, leaving one wire can land in the other's metal: a second turn clears it.
  for (int turn = 0; turn < 3; ++turn) {
    const cv::Point2d wire = nearestWirePoint(point);
    const double distance = cv::norm(point - wire);
    if (distance >= kClearanceMm) break;
    const cv::Point2d away = distance > 1e-9 ? (point - wire) / distance : cv::Point2d(1.0, 0.0);
    point = wire + kClearanceMm * away;
  }
  return point;
}

}  // namespace tarv::host
