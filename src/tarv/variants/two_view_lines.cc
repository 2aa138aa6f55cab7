#include "tarv/variants/two_view_lines.h"

#include <algorithm>
#include <cmath>
#include <optional>

#include <opencv2/core.hpp>

#include "tarv/board/axis_intersection.h"
#include "tarv/board/board_layout.h"
#include "tarv/detector/throw_evaluation.h"
#include "tarv/core/engine_values.h"

namespace tarv {
namespace {

constexpr double kMaxCondition = 20.0;
// Both cameras' own tips must lie this close to the crossing.
constexpr double kMaxVoteDistanceMm = 15.0;

struct LineVote {
  cv::Vec3d line;
  Point2 point;
  const json* observation = nullptr;
  size_t axisIndex = 0;
};

// A vote that can enter a pair: not abstaining, a finite line with a direction, a finite
// point and an index into its view's observations.
std::optional<LineVote> readVote(const json& vote, const json& observations) {
  if (vote.at("abstention").get<bool>()) return std::nullopt;
  const json& line = vote.at("line");
  if (!line.is_array() || line.size() < 3) return std::nullopt;
  LineVote v;
  for (int i = 0; i < 3; ++i) v.line[i] = line.at(i).get<double>();
  if (!std::isfinite(v.line[0]) || !std::isfinite(v.line[1]) || !std::isfinite(v.line[2]) ||
      std::hypot(v.line[0], v.line[1]) == 0.0) {
    return std::nullopt;
  }
  v.point = pointFromJson(vote.at("point"));
  if (!std::isfinite(v.point.x) || !std::isfinite(v.point.y)) return std::nullopt;
  const json& index = vote.at("axis_index");
  if (!index.is_number_integer() || index.get<long long>() < 0 || !observations.is_array() ||
      static_cast<unsigned long long>(index.get<long long>()) >= observations.size()) {
    return std::nullopt;
  }
  v.axisIndex = index.get<size_t>();
  v.observation = &observations[v.axisIndex];
  return v;
}

std::optional<Point2> crossing(const LineVote& p, const LineVote& q) {
  const cv::Matx22d a(p.line[0], p.line[1], q.line[0], q.line[1]);
  cv::Matx21d w;
  cv::SVD::compute(a, w);
  if (w(0) / std::max(w(1), 1e-30) > kMaxCondition) return std::nullopt;
  cv::Matx21d x;
  if (!cv::solve(a, cv::Matx21d(-p.line[2], -q.line[2]), x, cv::DECOMP_LU)) return std::nullopt;
  if (!std::isfinite(x(0)) || !std::isfinite(x(1))) return std::nullopt;
  return Point2{x(0), x(1)};
}

}  // namespace

json electTwoViewLines(const std::array<json, 3>& views, const std::array<Homography, 3>& homographies) {
  json result = json::array();
  const double limit = std::max(300.0, missRadiusMm());
  const json& obs1 = views[0].at("observations");
  const json& obs2 = views[1].at("observations");
  for (const json& vote1 : views[0].at("votes")) {
    const auto p = readVote(vote1, obs1);
    for (const json& vote2 : views[1].at("votes")) {
      const auto q = readVote(vote2, obs2);
      if (!p || !q) continue;
      const auto point = crossing(*p, *q);
      if (!point) continue;
      const double d1 = std::hypot(point->x - p->point.x, point->y - p->point.y);
      const double d2 = std::hypot(point->x - q->point.x, point->y - q->point.y);
      if (std::hypot(point->x, point->y) > limit || std::max(d1, d2) > kMaxVoteDistanceMm) continue;
      std::vector<IntersectionLine> lines;
      for (int camera = 0; camera < 2; ++camera) {
        const LineVote& v = camera == 0 ? *p : *q;
        const auto boardLine = transformImageLine(*v.observation, homographies[camera]);
        if (boardLine) lines.push_back({*boardLine, *v.observation, homographies[camera], duoCameraIds[camera]});
      }
      const json covariance = estimateIntersectionCovariance(lines, *point, 1.0);
      const json& u = covariance.contains("uncertainty_mm") ? covariance["uncertainty_mm"] : json();
      result.push_back({{"point", pointToJson(*point)},
                        {"field", classifyBoardPoint(*point, 2.0)["nominal_field"]},
                        {"distances", {d1, d2}},
                        {"indices", {p->axisIndex, q->axisIndex}},
                        {"uncertainty_mm", u.is_number() ? json(std::max(1.0, u.get<double>())) : json()}});
    }
  }
  return result;
}

}  // namespace tarv
