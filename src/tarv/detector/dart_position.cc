#include "tarv/detector/dart_position.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include <opencv2/core.hpp>

#include "tarv/core/engine_values.h"

namespace tarv {
namespace {

// A line farther than this from the solver's point saw something else.
constexpr double kAgreeingLineMm = 2.0;
// Two board lines closer to parallel than this do not fix a point.
constexpr double kMinCrossingDeg = 8.0;
// A line whose thin part carries this share of its support or more is carried well: noise and
// the barrel's own taper move the share of an unhidden shaft between it and one.
constexpr double kFullThinShare = 0.8;
// A line carried by less of its shaft than this (relative to the full share) counts as if
// carried by this much.
constexpr double kLeastThinShare = 0.1;
// The spread of n cross-sections one pixel apart along the shaft is n / sqrt(12) pixels.
const double kSectionSpreadPerSection = 1.0 / std::sqrt(12.0);

struct ViewLine {
  std::array<double, 3> line{};  // a·x + b·y + c = 0, hypot(a, b) = 1, mm
  double sigmaMm = 1.0;
  // How far the line may turn per unit length (its centres' scatter over their spread), and
  // the view's own tip: a line is placed worse the farther from its tip it is read.
  double slope = 0.0;
  std::optional<Point2> tip;
  int camera = 0;
};

double directionError(const json& view, const json& vote) {
  const auto observations = view.find("observations");
  const auto index = vote.find("axis_index");
  if (observations == view.end() || !observations->is_array() || index == vote.end() ||
      !index->is_number_integer() || index->get<std::int64_t>() < 0 ||
      index->get<std::uint64_t>() >= observations->size()) {
    return 0.0;
  }
  const json& axis = (*observations)[index->get<std::size_t>()];
  const auto sections = axis.find("narrow_sections");
  if (sections == axis.end() || !sections->is_number() || sections->get<double>() < 1.0) return 0.0;
  const double slope = vote.value("pixel_error", 0.0) / (sections->get<double>() * kSectionSpreadPerSection);
  return std::isfinite(slope) ? slope : 0.0;
}

// The share of a shaft's support that the thin part (point and barrel) carries. Where a wide
// flight hides the rest, the line rests on a short stretch and its residual alone overstates
// how well it is placed at the tip.
double thinShare(const json& view, const json& vote) {
  const auto observations = view.find("observations");
  const auto index = vote.find("axis_index");
  if (observations == view.end() || !observations->is_array() || index == vote.end() ||
      !index->is_number_integer() || index->get<std::int64_t>() < 0 ||
      index->get<std::uint64_t>() >= observations->size()) {
    return 1.0;
  }
  const json& axis = (*observations)[index->get<std::size_t>()];
  const auto sections = axis.find("narrow_sections");
  const auto span = axis.find("support_span_px");
  if (sections == axis.end() || span == axis.end() || !sections->is_number() || !span->is_number()) return 1.0;
  const double share = sections->get<double>() / span->get<double>() / kFullThinShare;
  if (!std::isfinite(share)) return 1.0;
  return std::clamp(share, kLeastThinShare, 1.0);
}

std::optional<ViewLine> readLine(const json& view, int camera) {
  const auto votes = view.find("votes");
  if (votes == view.end() || !votes->is_array() || votes->empty()) return std::nullopt;
  const json& vote = (*votes)[0];
  if (vote.value("abstention", true) || !vote.value("axis_valid", false)) return std::nullopt;
  const auto line = vote.find("line");
  if (line == vote.end() || !line->is_array() || line->size() != 3) return std::nullopt;
  ViewLine v;
  v.camera = camera;
  for (int i = 0; i < 3; ++i) {
    if (!(*line)[i].is_number()) return std::nullopt;
    v.line[i] = (*line)[i].get<double>();
  }
  if (!std::isfinite(v.line[0]) || !std::isfinite(v.line[1]) || !std::isfinite(v.line[2]) ||
      std::hypot(v.line[0], v.line[1]) < 0.5) {
    return std::nullopt;
  }
  v.sigmaMm = std::max(0.05, vote.value("error_mm", 1.0)) / std::sqrt(thinShare(view, vote));
  v.slope = directionError(view, vote);
  const auto tip = vote.find("point");
  if (tip != vote.end() && tip->is_array() && tip->size() == 2 && (*tip)[0].is_number() && (*tip)[1].is_number() &&
      vote.value("tip_valid", false)) {
    v.tip = Point2{(*tip)[0].get<double>(), (*tip)[1].get<double>()};
  }
  return v;
}

double residual(const ViewLine& v, Point2 p) { return v.line[0] * p.x + v.line[1] * p.y + v.line[2]; }

double crossingDeg(const ViewLine& a, const ViewLine& b) {
  const double sine = std::abs(a.line[0] * b.line[1] - a.line[1] * b.line[0]);
  return std::asin(std::min(1.0, sine)) * 180.0 / CV_PI;
}

}  // namespace

json refineAgreeingLines(const std::array<json, 3>& views, Point2 solverPoint) {
  std::vector<ViewLine> lines;
  for (int i = 0; i < 3; ++i) {
    const auto v = readLine(views[i], i);
    if (v && std::abs(residual(*v, solverPoint)) <= kAgreeingLineMm) lines.push_back(*v);
  }
  // A flight that hides the point leaves a short stretch far up the shaft: its line is read
  // at the board a long way beyond what carries it, and its small scatter overstates how well
  // it is placed there.
  for (ViewLine& v : lines) {
    if (!v.tip) continue;
    const double reach = std::hypot(v.tip->x - solverPoint.x, v.tip->y - solverPoint.y);
    v.sigmaMm = std::hypot(v.sigmaMm, v.slope * reach);
  }
  if (lines.size() < 2) return nullptr;
  double widest = 0.0;
  for (size_t i = 0; i < lines.size(); ++i) {
    for (size_t j = i + 1; j < lines.size(); ++j) widest = std::max(widest, crossingDeg(lines[i], lines[j]));
  }
  if (widest < kMinCrossingDeg) return nullptr;

  cv::Matx22d a = cv::Matx22d::zeros();
  cv::Vec2d b(0, 0);
  for (const ViewLine& v : lines) {
    const double w = 1.0 / (v.sigmaMm * v.sigmaMm);
    const cv::Vec2d n(v.line[0], v.line[1]);
    a += w * n * n.t();
    b += -w * v.line[2] * n;
  }
  if (std::abs(cv::determinant(a)) < 1e-12) return nullptr;
  const cv::Matx22d covariance = a.inv();
  const cv::Vec2d p = covariance * b;
  if (!std::isfinite(p[0]) || !std::isfinite(p[1])) return nullptr;
  const Point2 point{p[0], p[1]};

  json result = {{"point", pointToJson(point)},
                 {"uncertainty_mm", roundToThousandths(std::sqrt(std::max(
                                        0.0, std::max(covariance(0, 0), covariance(1, 1)))))},
                 {"shift_mm", roundToThousandths(std::hypot(point.x - solverPoint.x, point.y - solverPoint.y))},
                 {"cameras", json::array()},
                 {"residuals_mm", json::object()}};
  for (const ViewLine& v : lines) {
    result["cameras"].push_back(cameraIds[v.camera]);
    result["residuals_mm"][cameraIds[v.camera]] = roundToThousandths(std::abs(residual(v, point)));
  }
  return result;
}

}  // namespace tarv
