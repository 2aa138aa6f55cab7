#include "tarv/autocal/edge_points.h"

#include <array>
#include <cmath>

namespace tarv {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr std::array<double, 2> kRingRadii{107.0, 170.0};

// A wire is searched across itself, round the board; seen low, the board's round direction is
// foreshortened where the wires run across the image, and near the bull the next wire (18
// degrees on, a third of the radius away) falls into a search of a few pixels: its edge was taken
// for this one's, a true camera's wires agreed only 0.86 within 1.5 px and it was refused. The
// search stays within kOtherEdgeShare of this many board mm per mm of radius, a quarter of the
// way to the next wire.
constexpr double kWireReachPerRadius = 0.2;

// The board fit's edge points in the landmark frame: the rings every 1.5 degrees, the wires
// (at 81 − 18·i degrees) every 15 mm from 30 to 150 mm, and the beds' inner edges (99 and
// 162 mm on a regulation board), which join the fit but not the judgement.
std::vector<EdgePoint> makeEdgePoints(double bedMm) {
  std::vector<EdgePoint> points;
  for (int ring = 0; ring < 2; ++ring) {
    for (int i = 0; i < 240; ++i) {
      const double a = 1.5 * i * kPi / 180.0;
      const cv::Point3d dir(std::cos(a), std::sin(a), 0.0);
      points.push_back({kRingRadii[static_cast<size_t>(ring)] * dir, dir, ring, -bedMm});
    }
  }
  for (const double radius : {kRingRadii[0] - bedMm, kRingRadii[1] - bedMm}) {
    for (int i = 0; i < 240; ++i) {
      const double a = 1.5 * i * kPi / 180.0;
      const cv::Point3d dir(std::cos(a), std::sin(a), 0.0);
      points.push_back({radius * dir, dir, 3, bedMm});
    }
  }
  for (int k = 0; k < 20; ++k) {
    const double a = (81.0 - 18.0 * k) * kPi / 180.0;
    const cv::Point3d dir(std::cos(a), std::sin(a), 0.0);
    for (int r = 30; r <= 150; r += 15) {
      points.push_back({r * dir, cv::Point3d(-dir.y, dir.x, 0.0), 2, kWireReachPerRadius * r});
    }
  }
  return points;
}

}  // namespace

const std::vector<EdgePoint>& edgePoints(bool wideBeds) {
  static const std::vector<EdgePoint> regulation = makeEdgePoints(kRegulationBedMm);
  static const std::vector<EdgePoint> wide = makeEdgePoints(kWideBedMm);
  return wideBeds ? wide : regulation;
}

size_t octantOf(cv::Point2f b) {
  const int octant = static_cast<int>(std::floor((std::atan2(b.y, b.x) + static_cast<float>(kPi)) / (kPi / 4.0)));
  return static_cast<size_t>(((octant % 8) + 8) % 8);
}

int wireParity(cv::Point2f b) {
  const double degrees = std::atan2(b.y, b.x) * 180.0 / kPi;
  const long k = std::lround((81.0 - degrees) / 18.0);
  return static_cast<int>(((k % 2) + 2) % 2);
}

}  // namespace tarv
