// Dart axis lines carried from the camera images onto the board plane: the image line of an
// axis, its board line, the three-camera intersection of one axis per camera, and the
// uncertainty of a point where two or more such lines meet.
#pragma once

#include <array>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "tarv/core/board_geometry.h"

namespace tarv {

// a·x + b·y + c = 0 with hypot(a, b) = 1: pixels for an image line, millimetres for a board
// line. The signed distance of a point is then a·x + b·y + c.
using Line = std::array<double, 3>;

// Fails with "INVALID_GEOMETRY_RADIUS" unless the search radius is finite and within 170 to
// 600 mm.
void checkGeometryRadius(double radiusMm);

// The image line through an axis record's "origin_px" along its "direction_xy". Nothing for a
// degenerate axis (zero or non-finite direction, non-finite origin): it has no line.
// JSON errors of a missing or mistyped key propagate.
std::optional<Line> imageLineFromAxis(const json& axis);

// Hᵀ·l, normalised: the board line seen as the image line through the board-to-image
// homography. Nothing when that line has no finite, non-zero normal.
std::optional<Line> boardLineFromImageLine(const Line& imageLine, const Homography& h);

// The board line of an axis record; nothing when the axis or its board line is degenerate.
std::optional<Line> transformImageLine(const json& axis, const Homography& h);

// One line entering an intersection: its board line and where it came from.
struct IntersectionLine {
  Line boardLine{};
  json axis;  // the axis record whose image line gave the board line
  Homography homography{};
  std::string cameraId;
};

// Covariance of the board point where the lines meet, each line weighted by how far a
// sigma_px shift of its image line moves it on the board. An IntersectionCovariance
// ({"covariance_mm2", "uncertainty_mm", "line_sigma_mm", "sigma_px_assumed"}), or both of the
// first two null when the lines do not fix a point (parallel lines, a single line, a
// degenerate axis). Fails with "Projection at infinity".
json estimateIntersectionCovariance(const std::vector<IntersectionLine>& lines, Point2 point,
                                    double sigmaPx);

// The three-view test: every triple of valid axes, one per camera, whose board lines meet in
// one point inside the search radius and whose reprojection lies on all three image lines.
// Answers a BoardIntersectionResult ({"status", "reason", "search_radius_mm", "hypotheses",
// "rejected"} and "selected" when one cluster of hypotheses remains). Fails with
// "INVALID_GEOMETRY_RADIUS" and "Projection at infinity"; JSON errors of a missing or
// mistyped key propagate.
json intersectAxesOnBoard(const std::array<json, 3>& views,
                          const std::array<Homography, 3>& homographies, double radiusMm);

}  // namespace tarv
