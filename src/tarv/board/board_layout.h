// The dartboard's scoring layout: ring radii, sector order, field labels, and the field,
// wire distance and boundary probability of a board point.
#pragma once

#include <array>
#include <nlohmann/json.hpp>
#include <string>

#include "tarv/core/board_geometry.h"

namespace tarv {

struct BoardLayout {
  // R0 inner bull, R1 outer bull, R2/R3 treble, R4/R5 double, in millimetres.
  static constexpr std::array<double, 6> kDefaultRingRadii{7.0, 17.0, 97.0, 107.0, 160.0, 170.0};
  // Clockwise from the top; sector k is centred on 18·k degrees.
  static constexpr std::array<int, 20> kSectorOrder{20, 1,  18, 4,  13, 6,  10, 15, 2,  17,
                                                    3,  19, 7,  16, 8,  11, 14, 9,  12, 5};
  static constexpr const char* kProfile = "LEGACY_ENGINE_RINGS_7_17_97_107_160_170";
};

// The process-wide ring radii, read as one consistent table.
std::array<double, 6> ringRadii();

// The ring radii an arm request's "ring_radii" asks for: null (no "ring_radii") and a list of
// numbers of another length than six mean the defaults; six numbers that are not all finite,
// positive and strictly increasing, an empty list, a list holding anything but numbers, and
// any other type fail with "INVALID_RING_RADII".
std::array<double, 6> ringRadiiFrom(const json& value);
// Replaces the table whole, never element by element.
void storeRingRadii(const std::array<double, 6>& radii);
// Both: a rejected value leaves the table as it was.
void setRingRadii(const json& value);

// Angle of a board point in degrees, [0, 360), 0 at the 20, clockwise.
double boardAngleDegrees(Point2 point);
// Sector number (from kSectorOrder) of a board angle in degrees; an angle on a radial wire
// belongs to the next sector clockwise.
int sectorOfAngle(double degrees);
// Sector number (from kSectorOrder) of a board point; a point on a radial wire belongs to
// the next sector clockwise.
int sectorOfPoint(Point2 point);

// The field a point lies in ("T20", "SB", "MISS"...): classifyBoardPoint's "nominal_field"
// without the rest of its record.
std::string nominalField(Point2 point);
// The field of the point and every field within the margin ({"nominal_field", "candidates",
// "label", "status", ...}).
json classifyBoardPoint(Point2 point, double marginMm);
// Distance in mm to the nearest ring or radial wire (radial wires only outside the outer bull).
double nearestWireDistance(Point2 point);
// Writes "nearest_wire_mm", "uncertainty_mm", "boundary_probability", "uncertain" and, with a
// positive numeric uncertainty, "uncertainty_model" into target.
void estimateBoundaryProbability(json& target, Point2 point, const json& uncertainty);

}  // namespace tarv
