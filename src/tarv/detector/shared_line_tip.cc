#include "tarv/detector/shared_line_tip.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <stdexcept>
#include <vector>

#include "tarv/board/board_layout.h"
#include "tarv/core/engine_values.h"
#include "tarv/views/shaft_axis.h"

namespace tarv {

namespace {

// A tip the solver itself would call good: a tight line fit and a tip close to its line.
constexpr double kGoodErrorMm = 1.5;
constexpr double kGoodPixelError = 2.0;
// Lines this close in direction cross too flatly for their crossing to mean anything (the
// solver refuses such a pair).
constexpr double kSharedLineDeg = 6.0;
// Both tips lie on the one line: close across it, and not far apart along it.
constexpr double kAcrossMm = 1.5;
constexpr double kAlongMm = 10.0;
// The sharper camera must resolve the line at least this much more finely.
constexpr double kSharpnessRatio = 2.0;
// A tip pixel is known to about a pixel; the claim never goes below the solver's floor.
constexpr double kTipPixelSigma = 1.0;
constexpr double kUncertaintyFloorMm = 1.0;

struct LineTip {
  int camera = -1;
  Point2 point;
  double a = 0.0, b = 0.0, c = 0.0;  // the board line, normalised: a² + b² = 1
  double mmPerPx = std::numeric_limits<double>::infinity();
  double spreadMm = 0.0;  // of the camera's own views along the line
  double sigmaMm() const { return std::max(kTipPixelSigma * mmPerPx, spreadMm); }
};

double distanceToLine(const LineTip& line, Point2 p) { return std::abs(line.a * p.x + line.b * p.y + line.c); }

// How far apart along the line the camera's own views put the tip: a camera whose views
// disagree knows the tip no better than that, however fine its pixels.
double spreadAlongLine(const LineTip& line, const json& measurements) {
  double lo = std::numeric_limits<double>::infinity(), hi = -lo;
  if (!measurements.is_array()) return 0.0;
  for (const json& m : measurements) {
    if (!m.is_object() || m.value("status", "") != "CANDIDATE" || !m.contains("point") || !m["point"].is_array()) continue;
    const Point2 p = pointFromJson(m["point"]);
    const double along = -line.b * p.x + line.a * p.y;
    lo = std::min(lo, along);
    hi = std::max(hi, along);
  }
  return hi >= lo ? hi - lo : 0.0;
}

std::optional<LineTip> goodTipOf(const json& view, const Homography& h, int camera) {
  const json votes = view.value("votes", json::array());
  const json observations = view.value("observations", json::array());
  if (!votes.is_array() || !observations.is_array()) return std::nullopt;
  for (const json& vote : votes) {
    if (!vote.is_object() || vote.value("abstention", true) || !vote.value("tip_valid", false)) continue;
    if (!(vote.value("error_mm", 1e9) <= kGoodErrorMm) || !(vote.value("pixel_error", 1e9) <= kGoodPixelError)) continue;
    const json& line = vote.value("line", json());
    const json& image = vote.value("image_point", json());
    const json& point = vote.value("point", json());
    const json& index = vote.value("axis_index", json());
    if (!line.is_array() || line.size() != 3 || !image.is_array() || !point.is_array() || !index.is_number_integer() ||
        index.get<long>() < 0 || index.get<std::size_t>() >= observations.size()) {
      continue;
    }
    const json& direction = observations[index.get<std::size_t>()].value("direction_xy", json());
    if (!direction.is_array() || direction.size() != 2) continue;
    LineTip tip;
    tip.camera = camera;
    tip.point = pointFromJson(point);
    const double a = line[0].get<double>(), b = line[1].get<double>(), c = line[2].get<double>();
    const double n = std::hypot(a, b);
    if (!(n > 0.0) || !std::isfinite(c)) continue;
    tip.a = a / n;
    tip.b = b / n;
    tip.c = c / n;
    const Point2 pixel = pointFromJson(image);
    tip.mmPerPx = boardMmPerPixel(h, {pixel.x, pixel.y}, {direction[0].get<double>(), direction[1].get<double>()});
    if (!std::isfinite(tip.mmPerPx)) continue;
    return tip;
  }
  return std::nullopt;
}

}  // namespace

double boardMmPerPixel(const Homography& boardToImage, cv::Point2d pixel, cv::Point2d direction) {
  const double n = std::hypot(direction.x, direction.y);
  if (!(n > 0.0)) return std::numeric_limits<double>::infinity();
  try {
    const Point2 a = imageToBoard(boardToImage, pixel);
    const Point2 b = imageToBoard(boardToImage, pixel + direction / n);
    const double mm = std::hypot(b.x - a.x, b.y - a.y);
    return std::isfinite(mm) ? mm : std::numeric_limits<double>::infinity();
  } catch (const std::exception&) {
    return std::numeric_limits<double>::infinity();
  }
}

json sharperTipAlongSharedLine(const std::array<json, 3>& views, const json& measurements,
                               const std::array<Homography, 3>& homographies) {
  std::vector<LineTip> tips;
  for (int i = 0; i < 3; ++i) {
    std::optional<LineTip> tip = goodTipOf(views[i], homographies[i], i);
    if (!tip) continue;
    if (measurements.is_array() && measurements.size() == 3) tip->spreadMm = spreadAlongLine(*tip, measurements[i]);
    tips.push_back(*tip);
  }
  if (tips.size() < 2) return nullptr;
  const double pi = std::acos(-1.0);
  for (std::size_t i = 0; i < tips.size(); ++i) {
    for (std::size_t j = i + 1; j < tips.size(); ++j) {
      const LineTip& p = tips[i];
      const LineTip& q = tips[j];
      const double angle = std::acos(std::min(1.0, std::abs(p.a * q.a + p.b * q.b))) * 180.0 / pi;
      if (angle > kSharedLineDeg) continue;
      const double across = std::max(distanceToLine(p, q.point), distanceToLine(q, p.point));
      const double gap = std::hypot(p.point.x - q.point.x, p.point.y - q.point.y);
      if (across > kAcrossMm || gap > kAlongMm) continue;
      const bool pSharper = p.sigmaMm() * kSharpnessRatio <= q.sigmaMm();
      const bool qSharper = q.sigmaMm() * kSharpnessRatio <= p.sigmaMm();
      if (!pSharper && !qSharper) continue;
      const LineTip& sharp = pSharper ? p : q;
      // A third good tip off the shared line is a camera that saw the dart elsewhere.
      for (const LineTip& other : tips) {
        if (other.camera != p.camera && other.camera != q.camera && distanceToLine(sharp, other.point) > kAcrossMm) {
          return nullptr;
        }
      }
      json perCamera = json::object();
      json spread = json::object();
      for (const LineTip* t : {&p, &q}) {
        perCamera[cameraIds[t->camera]] = roundToThousandths(t->mmPerPx);
        spread[cameraIds[t->camera]] = roundToThousandths(t->spreadMm);
      }
      return {{"camera", cameraIds[sharp.camera]},
              {"point", pointToJson(sharp.point)},
              {"field", classifyBoardPoint(sharp.point, 0.0)["nominal_field"]},
              {"cameras", json::array({cameraIds[p.camera], cameraIds[q.camera]})},
              {"mm_per_px", perCamera},
              {"view_spread_mm", spread},
              {"angle_deg", roundToThousandths(angle)},
              {"gap_mm", roundToThousandths(gap)},
              {"uncertainty_mm", std::max(kUncertaintyFloorMm, sharp.sigmaMm())}};
    }
  }
  return nullptr;
}

}  // namespace tarv
