#include "tarv/detector/line_confirmed_tip.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <stdexcept>
#include <vector>

#include "tarv/board/board_layout.h"
#include "tarv/core/engine_values.h"
#include "tarv/detector/vote_line.h"
#include "tarv/views/shaft_axis.h"

namespace tarv {

const char* const kPathLineConfirmedTip = "LINE_CONFIRMED_TIP";

namespace {

// Flatter crossings are the shared-line case: there the lines fix nothing across each other.
constexpr double kLeastCrossingDeg = 6.0;
// A line places the dart across it to about a pixel; a tip within two pixels' span lies on it.
constexpr double kReachPixels = 2.0;
constexpr double kLeastReachMm = 1.0;
// The line's own tip must lie clearly elsewhere along it, or the solver's pair would stand.
constexpr double kFarTipMm = 3.0;
// The crossing sharpens the confirmed tip, it does not move it elsewhere.
constexpr double kLargestShiftMm = 2.0;
// A third camera agrees when its tip or its line lies this close to the point.
constexpr double kThirdCameraMm = 3.0;
constexpr double kUncertaintyFloorMm = 1.0;

struct CameraLine : VoteLine {
  bool hasGoodTip = false;
  Point2 tip;
};

// The camera's good tip and the line it lies on; else its first line, without a tip.
std::optional<CameraLine> lineOf(const json& view, int camera) {
  const json votes = view.value("votes", json::array());
  const json observations = view.value("observations", json::array());
  if (!votes.is_array()) return std::nullopt;
  std::optional<CameraLine> firstLine;
  for (const json& vote : votes) {
    if (!vote.is_object() || !vote.value("axis_valid", false)) continue;
    const std::optional<VoteLine> line = readVoteLine(vote, observations, camera);
    if (!line) continue;
    CameraLine l;
    static_cast<VoteLine&>(l) = *line;
    if (isGoodTipVote(vote) && line->point) {
      l.hasGoodTip = true;
      l.tip = *line->point;
      return l;
    }
    if (!firstLine) firstLine = l;
  }
  return firstLine;
}

// How far across the line one image pixel moves a board point at p, in millimetres;
// infinity where the homography cannot map it.
double acrossPixelMm(const CameraLine& line, const Homography& h, Point2 p) {
  const double n = std::hypot(line.direction.x, line.direction.y);
  if (!(n > 0.0)) return std::numeric_limits<double>::infinity();
  try {
    const Point2 pixel = applyHomography(h, p);
    const cv::Point2d across{-line.direction.y / n, line.direction.x / n};
    const Point2 q = imageToBoard(h, cv::Point2d{pixel.x, pixel.y} + across);
    const double mm = std::abs((line.a * q.x + line.b * q.y + line.c) - (line.a * p.x + line.b * p.y + line.c));
    return std::isfinite(mm) ? mm : std::numeric_limits<double>::infinity();
  } catch (const std::exception&) {
    return std::numeric_limits<double>::infinity();
  }
}

std::optional<Point2> crossing(const CameraLine& p, const CameraLine& q) {
  const double det = p.a * q.b - p.b * q.a;
  if (std::abs(det) < 1e-9) return std::nullopt;
  return Point2{(p.b * q.c - q.b * p.c) / det, (q.a * p.c - p.a * q.c) / det};
}

}  // namespace

json tipConfirmedByAnotherLine(const std::array<json, 3>& views, const std::array<Homography, 3>& homographies) {
  std::vector<CameraLine> lines;
  for (int i = 0; i < 3; ++i) {
    if (std::optional<CameraLine> line = lineOf(views[i], i)) lines.push_back(*line);
  }
  json found = nullptr;
  for (const CameraLine& confirmed : lines) {
    if (!confirmed.hasGoodTip) continue;
    for (const CameraLine& line : lines) {
      if (line.camera == confirmed.camera || !line.hasGoodTip) continue;
      const double angle = lineAngleDeg(confirmed, line);
      if (angle < kLeastCrossingDeg) continue;
      const double across = line.distanceTo(confirmed.tip);
      const double reach = std::max(kLeastReachMm, kReachPixels * acrossPixelMm(line, homographies[line.camera], confirmed.tip));
      const double farTip = std::hypot(line.tip.x - confirmed.tip.x, line.tip.y - confirmed.tip.y);
      if (!(across <= reach) || !(farTip > kFarTipMm)) continue;
      const std::optional<Point2> point = crossing(confirmed, line);
      if (!point || std::hypot(point->x - confirmed.tip.x, point->y - confirmed.tip.y) > kLargestShiftMm) continue;
      // A third camera that saw the dart elsewhere makes it no confirmation.
      bool thirdAgrees = true;
      for (const CameraLine& third : lines) {
        if (third.camera == confirmed.camera || third.camera == line.camera || !third.hasGoodTip) continue;
        thirdAgrees = std::hypot(third.tip.x - point->x, third.tip.y - point->y) <= kThirdCameraMm ||
                      third.distanceTo(*point) <= kThirdCameraMm;
      }
      if (!thirdAgrees) continue;
      // Two confirmations of different points leave the dart to the other paths.
      if (!found.is_null()) {
        const Point2 first = pointFromJson(found["point"]);
        if (std::hypot(first.x - point->x, first.y - point->y) > kThirdCameraMm) return nullptr;
        continue;
      }
      found = {{"camera", cameraIds[confirmed.camera]},
               {"line_camera", cameraIds[line.camera]},
               {"point", pointToJson(*point)},
               {"field", nominalField(*point)},
               {"across_mm", roundToThousandths(across)},
               {"reach_mm", roundToThousandths(reach)},
               {"far_tip_mm", roundToThousandths(farTip)},
               {"angle_deg", roundToThousandths(angle)},
               {"uncertainty_mm", std::max(kUncertaintyFloorMm, reach)}};
    }
  }
  return found;
}

}  // namespace tarv
