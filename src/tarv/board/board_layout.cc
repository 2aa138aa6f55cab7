#include "tarv/board/board_layout.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <map>
#include <mutex>
#include <stdexcept>

namespace tarv {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kDegreesPerSector = 18.0;
constexpr double kHalfSector = 9.0;
constexpr int kMissRing = 6;

// Rows by ring index: inner bull, outer bull, inner single, treble, outer single, double, miss.
constexpr std::array<const char*, 7> kRingPrefix{"BULL", "25", "S", "T", "S", "D", "MISS"};
// For the bulls and the miss the whole score; for the sector rings the multiplier.
constexpr std::array<int, 7> kRingPoints{50, 25, 1, 3, 1, 2, 0};

bool hasSectorNumber(int ring) { return ring >= 2 && ring <= 5; }

// The table is read on every classification from several threads while an arming may replace
// it, so readers copy it whole under a lock held only for the copy.
struct RingRadiiTable {
  std::mutex mutex;
  std::array<double, 6> radii = BoardLayout::kDefaultRingRadii;
};

RingRadiiTable& ringRadiiTable() {
  static RingRadiiTable table;
  return table;
}

int nominalRingIndex(double r, const std::array<double, 6>& R) {
  if (r < R[0]) return 0;
  if (r < R[1]) return 1;
  if (r < R[2]) return 2;
  if (r < R[3]) return 3;
  if (r < R[4]) return 4;
  if (r <= R[5]) return 5;
  return kMissRing;
}

std::string fieldLabel(int ring, int sector) {
  if (hasSectorNumber(ring)) return kRingPrefix[ring] + std::to_string(sector);
  return kRingPrefix[ring];
}

int fieldPoints(int ring, int sector) {
  return hasSectorNumber(ring) ? kRingPoints[ring] * sector : kRingPoints[ring];
}

double distanceToRadialWire(double r, double a) {
  const double delta =
      kHalfSector - std::abs(std::fmod(a + kHalfSector, kDegreesPerSector) - kHalfSector);
  return r * std::sin(delta * kPi / 180.0);
}

}  // namespace

std::array<double, 6> ringRadii() {
  RingRadiiTable& table = ringRadiiTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  return table.radii;
}

void storeRingRadii(const std::array<double, 6>& radii) {
  RingRadiiTable& table = ringRadiiTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  table.radii = radii;
}

void setRingRadii(const json& value) { storeRingRadii(ringRadiiFrom(value)); }

std::array<double, 6> ringRadiiFrom(const json& value) {
  if (value.is_null()) return BoardLayout::kDefaultRingRadii;
  // Only a list of numbers can be meant as radii: a text, an object, an empty list or a
  // list holding anything but numbers is a mistake, never a request for the defaults.
  const auto isNumber = [](const json& element) { return element.is_number(); };
  if (!value.is_array() || value.empty() || !std::all_of(value.begin(), value.end(), isNumber)) {
    throw std::runtime_error("INVALID_RING_RADII");
  }
  if (value.size() != 6) return BoardLayout::kDefaultRingRadii;
  std::array<double, 6> radii{};
  for (std::size_t i = 0; i < radii.size(); ++i) {
    const json& element = value[i];
    if (!element.is_number()) throw std::runtime_error("INVALID_RING_RADII");
    const double radius = element.get<double>();
    const bool increasing = i == 0 || radius > radii[i - 1];
    if (!std::isfinite(radius) || !(radius > 0.0) || !increasing) {
      throw std::runtime_error("INVALID_RING_RADII");
    }
    radii[i] = radius;
  }
  return radii;
}

double boardAngleDegrees(Point2 point) {
  const double degrees = std::atan2(point.x, -point.y) * 180.0 / kPi;
  return std::fmod(degrees + 360.0, 360.0);
}

int sectorOfAngle(double degrees) {
  // A non-finite angle has no sector; the 20 keeps the conversion below defined.
  if (!std::isfinite(degrees)) return BoardLayout::kSectorOrder[0];
  const double index = std::floor((degrees + kHalfSector) / kDegreesPerSector);
  const int wrapped = static_cast<int>(std::fmod(index, 20.0));
  return BoardLayout::kSectorOrder[static_cast<std::size_t>((wrapped + 20) % 20)];
}

int sectorOfPoint(Point2 point) { return sectorOfAngle(boardAngleDegrees(point)); }

std::string nominalField(Point2 point) {
  return fieldLabel(nominalRingIndex(std::hypot(point.x, point.y), ringRadii()), sectorOfPoint(point));
}

json classifyBoardPoint(Point2 point, double marginMm) {
  const std::array<double, 6> R = ringRadii();
  const double r = std::hypot(point.x, point.y);
  const double a = boardAngleDegrees(point);
  const std::string nominal = nominalField(point);

  // A negative margin would shrink the search below the point's own field; the reported
  // margin stays the one given.
  const double m = marginMm > 0.0 ? marginMm : 0.0;
  const double rmin = std::max(0.0, r - m);
  const double rmax = r + m;
  const double reach =
      (r == 0.0 ? 180.0 : std::asin(std::min(m / r, 1.0)) * 180.0 / kPi) + kHalfSector + 1e-9;

  std::vector<int> sectors;
  for (std::size_t k = 0; k < BoardLayout::kSectorOrder.size(); ++k) {
    const double centre = kDegreesPerSector * static_cast<double>(k);
    const double distance = std::abs(std::fmod(a - centre + 540.0, 360.0) - 180.0);
    if (distance <= reach) sectors.push_back(BoardLayout::kSectorOrder[k]);
  }

  const std::array<double, 8> bounds{0.0,  R[0], R[1], R[2],
                                     R[3], R[4], R[5], std::numeric_limits<double>::infinity()};
  std::map<std::string, int> fields;
  for (int ring = 0; ring <= kMissRing; ++ring) {
    if (!(rmax >= bounds[ring] && bounds[ring + 1] >= rmin)) continue;
    if (!hasSectorNumber(ring)) {
      fields.emplace(fieldLabel(ring, 0), fieldPoints(ring, 0));
      continue;
    }
    for (const int sector : sectors)
      fields.emplace(fieldLabel(ring, sector), fieldPoints(ring, sector));
  }

  json candidates = json::array();
  std::string label;
  for (const auto& field : fields) {
    if (!label.empty()) label += " / ";
    label += field.first;
    candidates.push_back(field.first);
  }
  const bool single = fields.size() == 1;

  json result = json::object();
  result["profile"] = BoardLayout::kProfile;
  result["ring_radii_mm"] = R;
  result["status"] = single ? "EXPERIMENTAL_FIELD" : "NEAR_BOUNDARY";
  result["label"] = label;
  result["candidates"] = candidates;
  result["nominal_field"] = nominal;
  result["suggested_points"] = single ? json(fields.begin()->second) : json(nullptr);
  result["radius_nominal_mm"] = r;
  result["boundary_margin_nominal_mm"] = marginMm;
  result["margin_is_measured_accuracy"] = false;
  result["scoring_enabled"] = false;
  return result;
}

namespace {

double wireDistance(Point2 point, const std::array<double, 6>& R) {
  const double r = std::hypot(point.x, point.y);
  double d = 1e30;
  for (const double radius : R) d = std::min(d, std::abs(r - radius));
  // The radial wires end at the outer bull.
  if (r > R[1]) d = std::min(d, distanceToRadialWire(r, boardAngleDegrees(point)));
  return d;
}

}  // namespace

double nearestWireDistance(Point2 point) { return wireDistance(point, ringRadii()); }

void estimateBoundaryProbability(json& target, Point2 point, const json& uncertainty) {
  const double d = nearestWireDistance(point);
  target["nearest_wire_mm"] = d;
  const auto status = target.find("status");
  const bool near = status != target.end() && status->is_string() &&
                    status->get<std::string>() == "NEAR_BOUNDARY";

  if (uncertainty.is_number() && uncertainty.get<double>() > 0.0) {
    const double sigma = uncertainty.get<double>();
    const double p = 0.5 * std::erfc(d / (std::sqrt(2.0) * sigma));
    target["uncertainty_mm"] = sigma;
    target["boundary_probability"] = p;
    target["uncertain"] = near || p > 0.1;
    target["uncertainty_model"] = "ONE_SIDED_GAUSSIAN_TO_NEAREST_WIRE; sigma from image-line error";
    return;
  }
  target["uncertainty_mm"] = nullptr;
  target["boundary_probability"] = nullptr;
  target["uncertain"] = near;
}

}  // namespace tarv
