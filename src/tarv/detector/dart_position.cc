#include "tarv/detector/dart_position.h"

#include <cmath>
#include <optional>
#include <vector>

#include <opencv2/core.hpp>

#include "tarv/core/engine_values.h"

namespace tarv {
namespace {

// A line that would need a shift of more than this many of its own sigmas to pass through
// the point of the others is left out rather than bent to.
constexpr double kExcludedLineCost = 9.0;
// The per-view tip only confirms: it is coarse next to the lines (a point the camera cannot
// see well moves it by millimetres).
constexpr double kTipSigmaMm = 2.5;
// Two board lines closer to parallel than this do not fix a point.
constexpr double kMinCrossingDeg = 8.0;

struct ViewLine {
  bool lineValid = false;
  std::array<double, 3> line{};  // a·x + b·y + c = 0, hypot(a, b) = 1, mm
  double sigmaMm = 1.0;
  bool tipValid = false;
  Point2 tip;
};

std::optional<ViewLine> readView(const json& view) {
  const auto votes = view.find("votes");
  if (votes == view.end() || !votes->is_array() || votes->empty()) return std::nullopt;
  const json& vote = (*votes)[0];
  if (vote.value("abstention", true)) return std::nullopt;
  ViewLine v;
  const auto line = vote.find("line");
  if (vote.value("axis_valid", false) && line != vote.end() && line->is_array() && line->size() == 3) {
    for (int i = 0; i < 3; ++i) v.line[i] = (*line)[i].get<double>();
    v.lineValid = std::isfinite(v.line[0]) && std::isfinite(v.line[1]) && std::isfinite(v.line[2]) &&
                  std::hypot(v.line[0], v.line[1]) > 0.5;
  }
  v.sigmaMm = std::max(0.05, vote.value("error_mm", 1.0));
  if (vote.value("tip_valid", false)) {
    v.tip = pointFromJson(vote.at("point"));
    v.tipValid = std::isfinite(v.tip.x) && std::isfinite(v.tip.y);
  }
  return v;
}

struct Solution {
  Point2 point;
  cv::Matx22d covariance;
};

std::optional<Solution> meetLines(const std::vector<const ViewLine*>& lines) {
  cv::Matx22d a = cv::Matx22d::zeros();
  cv::Vec2d b(0, 0);
  for (const ViewLine* v : lines) {
    const double w = 1.0 / (v->sigmaMm * v->sigmaMm);
    const cv::Vec2d n(v->line[0], v->line[1]);
    a += w * n * n.t();
    b += -w * v->line[2] * n;
  }
  if (std::abs(cv::determinant(a)) < 1e-12) return std::nullopt;
  const cv::Matx22d inverse = a.inv();
  const cv::Vec2d p = inverse * b;
  if (!std::isfinite(p[0]) || !std::isfinite(p[1])) return std::nullopt;
  return Solution{{p[0], p[1]}, inverse};
}

double crossingDeg(const ViewLine& a, const ViewLine& b) {
  const double sine = std::abs(a.line[0] * b.line[1] - a.line[1] * b.line[0]);
  return std::asin(std::min(1.0, sine)) * 180.0 / CV_PI;
}

double residual(const ViewLine& v, Point2 p) { return v.line[0] * p.x + v.line[1] * p.y + v.line[2]; }

}  // namespace

json fuseDartPosition(const std::array<json, 3>& views) {
  std::array<std::optional<ViewLine>, 3> seen;
  for (int i = 0; i < 3; ++i) seen[i] = readView(views[i]);

  // Every subset of two or three lines that cross well, scored by how far its lines and its
  // cameras' tips are from its point, plus a fixed cost for each line left out.
  double bestCost = 1e300;
  std::optional<Solution> best;
  std::vector<int> bestCameras;
  for (int subset = 3; subset < 8; ++subset) {
    std::vector<const ViewLine*> lines;
    std::vector<int> cameras;
    for (int i = 0; i < 3; ++i) {
      if ((subset >> i & 1) && seen[i] && seen[i]->lineValid) {
        lines.push_back(&*seen[i]);
        cameras.push_back(i);
      }
    }
    if (lines.size() < 2 || static_cast<int>(lines.size()) != __builtin_popcount(subset)) continue;
    double widest = 0.0;
    for (size_t i = 0; i < lines.size(); ++i) {
      for (size_t j = i + 1; j < lines.size(); ++j) widest = std::max(widest, crossingDeg(*lines[i], *lines[j]));
    }
    if (widest < kMinCrossingDeg) continue;
    const auto solution = meetLines(lines);
    if (!solution) continue;
    double cost = 0.0;
    for (int i = 0; i < 3; ++i) {
      if (!seen[i]) continue;
      const bool used = subset >> i & 1;
      if (used) {
        cost += std::pow(residual(*seen[i], solution->point) / seen[i]->sigmaMm, 2);
        if (seen[i]->tipValid) {
          const double d = std::hypot(seen[i]->tip.x - solution->point.x, seen[i]->tip.y - solution->point.y);
          cost += std::pow(d / kTipSigmaMm, 2);
        }
      } else if (seen[i]->lineValid) {
        cost += kExcludedLineCost;
      }
    }
    if (cost < bestCost) {
      bestCost = cost;
      best = solution;
      bestCameras = cameras;
    }
  }

  json result;
  if (best) {
    const double largest = std::max(best->covariance(0, 0), best->covariance(1, 1));
    result["point"] = pointToJson(best->point);
    result["method"] = bestCameras.size() == 3 ? "THREE_VIEW_LINES" : "TWO_VIEW_LINES";
    result["uncertainty_mm"] = roundToThousandths(std::sqrt(std::max(0.0, largest)));
    result["cameras"] = json::array();
    result["residuals_mm"] = json::object();
    for (int i : bestCameras) result["cameras"].push_back(cameraIds[i]);
    for (int i = 0; i < 3; ++i) {
      if (seen[i] && seen[i]->lineValid) {
        result["residuals_mm"][cameraIds[i]] = roundToThousandths(std::abs(residual(*seen[i], best->point)));
      }
    }
    result["fit_cost"] = roundTo(bestCost, 2);
    return result;
  }
  // No two lines cross well: the most precise camera's own tip.
  int chosen = -1;
  for (int i = 0; i < 3; ++i) {
    if (seen[i] && seen[i]->tipValid && (chosen < 0 || seen[i]->sigmaMm < seen[chosen]->sigmaMm)) chosen = i;
  }
  if (chosen >= 0) {
    result["point"] = pointToJson(seen[chosen]->tip);
    result["method"] = "SINGLE_VIEW_TIP";
    result["uncertainty_mm"] = kTipSigmaMm;
    result["cameras"] = {cameraIds[chosen]};
    return result;
  }
  return {{"method", "UNRESOLVED"}, {"point", nullptr}};
}

}  // namespace tarv
