#include "tarv/detector/shared_line_tip.h"

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

namespace {

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

struct LineTip : VoteLine {
  double mmPerPx = std::numeric_limits<double>::infinity();
  double spreadMm = 0.0;  // of the camera's own views along the line
  Point2 tip() const { return *point; }
  double sigmaMm() const { return std::max(kTipPixelSigma * mmPerPx, spreadMm); }
};

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
  if (!votes.is_array()) return std::nullopt;
  for (const json& vote : votes) {
    if (!isGoodTipVote(vote)) continue;
    const std::optional<VoteLine> line = readVoteLine(vote, observations, camera);
    if (!line || !line->point || !line->pixel) continue;
    LineTip tip;
    static_cast<VoteLine&>(tip) = *line;
    tip.mmPerPx = boardMmPerPixel(h, *line->pixel, line->direction);
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
  for (std::size_t i = 0; i < tips.size(); ++i) {
    for (std::size_t j = i + 1; j < tips.size(); ++j) {
      const LineTip& p = tips[i];
      const LineTip& q = tips[j];
      const double angle = lineAngleDeg(p, q);
      if (angle > kSharedLineDeg) continue;
      const double across = std::max(p.distanceTo(q.tip()), q.distanceTo(p.tip()));
      const double gap = std::hypot(p.tip().x - q.tip().x, p.tip().y - q.tip().y);
      if (across > kAcrossMm || gap > kAlongMm) continue;
      const bool pSharper = p.sigmaMm() * kSharpnessRatio <= q.sigmaMm();
      const bool qSharper = q.sigmaMm() * kSharpnessRatio <= p.sigmaMm();
      if (!pSharper && !qSharper) continue;
      const LineTip& sharp = pSharper ? p : q;
      // A third good tip off the shared line is a camera that saw the dart elsewhere.
      for (const LineTip& other : tips) {
        if (other.camera != p.camera && other.camera != q.camera && sharp.distanceTo(other.tip()) > kAcrossMm) {
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
              {"point", pointToJson(sharp.tip())},
              {"field", nominalField(sharp.tip())},
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
