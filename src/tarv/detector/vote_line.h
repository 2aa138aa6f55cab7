// One camera's tip vote read together with the axis it was measured on: the board line of the
// dart, the axis direction in the image and, where the vote carries them, its board and image
// points. The rules that look again where the tip solver gave up all start from this.
#pragma once

#include <optional>

#include <nlohmann/json.hpp>

#include "tarv/core/board_geometry.h"

namespace tarv {

using json = nlohmann::json;

struct VoteLine {
  int camera = -1;
  double a = 0.0, b = 0.0, c = 0.0;  // the board line, normalised: a² + b² = 1
  cv::Point2d direction;             // of the axis in the camera's image, as recorded
  std::optional<Point2> point;       // the vote's board point
  std::optional<cv::Point2d> pixel;  // the vote's image point

  double distanceTo(Point2 p) const { return std::abs(a * p.x + b * p.y + c); }
};

// The vote's "line" with the "direction_xy" of the observation its "axis_index" names
// (in "observations", the view's); nothing where either is missing or unreadable.
std::optional<VoteLine> readVoteLine(const json& vote, const json& observations, int camera);

// The tip solver's bar for a camera's own tip: a vote that takes part, its tip valid, a tight
// line fit and the tip close to its line.
bool isGoodTipVote(const json& vote);

// The angle between two board lines, 0 to 90 degrees.
double lineAngleDeg(const VoteLine& p, const VoteLine& q);

}  // namespace tarv
