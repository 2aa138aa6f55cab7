#include "tarv/detector/tip_beyond_frame.h"

#include <cmath>
#include <optional>
#include <stdexcept>

#include "tarv/core/engine_values.h"
#include "tarv/views/shaft_axis.h"

namespace tarv {

namespace {

// The tip pixel lies on the border: the change ran on to the last row or column.
constexpr double kBorderPx = 2.0;
// The step along the image axis that gives the board direction beyond the edge.
constexpr double kStepPx = 4.0;

// The camera's first vote with an axis and a tip, and its axis's direction (flight to tip).
struct AxisTip {
  Point2 point;
  cv::Point2d pixel;
  cv::Point2d direction;
};

std::optional<AxisTip> axisTipOf(const json& view) {
  const json votes = view.value("votes", json::array());
  const json observations = view.value("observations", json::array());
  if (!votes.is_array() || !observations.is_array()) return std::nullopt;
  for (const json& vote : votes) {
    if (!vote.is_object() || vote.value("abstention", true) || !vote.value("axis_valid", false) ||
        !vote.value("tip_valid", false)) {
      continue;
    }
    const json& index = vote.value("axis_index", json());
    const json& image = vote.value("image_point", json());
    const json& point = vote.value("point", json());
    if (!index.is_number_integer() || index.get<long>() < 0 || index.get<std::size_t>() >= observations.size() ||
        !image.is_array() || !point.is_array()) {
      continue;
    }
    const json& direction = observations[index.get<std::size_t>()].value("direction_xy", json());
    if (!direction.is_array() || direction.size() != 2) continue;
    const Point2 pixel = pointFromJson(image);
    const cv::Point2d d{direction[0].get<double>(), direction[1].get<double>()};
    const double n = std::hypot(d.x, d.y);
    if (!(n > 0.0)) continue;
    return AxisTip{pointFromJson(point), {pixel.x, pixel.y}, d / n};
  }
  return std::nullopt;
}

// The axis leaves the frame at the tip: the tip pixel on a border and the axis heading out
// through that border.
bool leavesFrame(const AxisTip& tip, cv::Size size) {
  const double right = size.width - 1.0, bottom = size.height - 1.0;
  return (tip.pixel.x <= kBorderPx && tip.direction.x < 0.0) ||
         (tip.pixel.x >= right - kBorderPx && tip.direction.x > 0.0) ||
         (tip.pixel.y <= kBorderPx && tip.direction.y < 0.0) ||
         (tip.pixel.y >= bottom - kBorderPx && tip.direction.y > 0.0);
}

// The closest approach to the bull of the board ray from p along d.
double nearestOnRay(Point2 p, Point2 d) {
  const double n = std::hypot(d.x, d.y);
  if (!(n > 0.0)) return std::hypot(p.x, p.y);
  const double along = (p.x * d.x + p.y * d.y) / n;
  if (along >= 0.0) return std::hypot(p.x, p.y);
  return std::abs(p.x * d.y - p.y * d.x) / n;
}

}  // namespace

json tipBeyondFrameEdge(const std::array<json, 3>& views, const std::array<Homography, 3>& homographies,
                        const std::array<cv::Size, 3>& imageSizes, double limitMm) {
  int camera = -1;
  std::optional<AxisTip> found;
  for (int i = 0; i < 3; ++i) {
    const std::optional<AxisTip> tip = axisTipOf(views[i]);
    if (!tip) continue;
    if (found) return nullptr;  // a second camera's axis: the cameras' own lines decide
    camera = i;
    found = tip;
  }
  if (!found || !leavesFrame(*found, imageSizes[camera])) return nullptr;
  try {
    const Point2 edge = imageToBoard(homographies[camera], found->pixel);
    const Point2 beyond = imageToBoard(homographies[camera], found->pixel + kStepPx * found->direction);
    const double nearest = nearestOnRay(edge, {beyond.x - edge.x, beyond.y - edge.y});
    if (!std::isfinite(nearest) || nearest < limitMm) return nullptr;
    return {{"camera", cameraIds[camera]},
            {"point", pointToJson(found->point)},
            {"nearest_mm", roundToThousandths(nearest)},
            {"edge_px", {roundToThousandths(found->pixel.x), roundToThousandths(found->pixel.y)}}};
  } catch (const std::exception&) {
    // Beyond the edge the view no longer maps onto the board: nothing is claimed.
    return nullptr;
  }
}

}  // namespace tarv
