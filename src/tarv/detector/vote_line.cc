#include "tarv/detector/vote_line.h"

#include <algorithm>
#include <cmath>

#include "tarv/board/tip_solver.h"

namespace tarv {

namespace {

std::optional<cv::Point2d> readPair(const json& value) {
  if (!value.is_array() || value.size() != 2 || !value[0].is_number() || !value[1].is_number()) return std::nullopt;
  return cv::Point2d{value[0].get<double>(), value[1].get<double>()};
}

}  // namespace

std::optional<VoteLine> readVoteLine(const json& vote, const json& observations, int camera) {
  if (!vote.is_object() || !observations.is_array()) return std::nullopt;
  const json& line = vote.value("line", json());
  const json& index = vote.value("axis_index", json());
  if (!line.is_array() || line.size() != 3 || !line[0].is_number() || !line[1].is_number() || !line[2].is_number() ||
      !index.is_number_integer() || index.get<long>() < 0 || index.get<std::size_t>() >= observations.size()) {
    return std::nullopt;
  }
  const std::optional<cv::Point2d> direction =
      readPair(observations[index.get<std::size_t>()].value("direction_xy", json()));
  if (!direction) return std::nullopt;
  const double a = line[0].get<double>(), b = line[1].get<double>(), c = line[2].get<double>();
  const double n = std::hypot(a, b);
  if (!(n > 0.0) || !std::isfinite(c / n)) return std::nullopt;
  VoteLine l;
  l.camera = camera;
  l.a = a / n;
  l.b = b / n;
  l.c = c / n;
  l.direction = *direction;
  if (const std::optional<cv::Point2d> point = readPair(vote.value("point", json()))) l.point = Point2{point->x, point->y};
  l.pixel = readPair(vote.value("image_point", json()));
  return l;
}

bool isGoodTipVote(const json& vote) {
  return vote.is_object() && !vote.value("abstention", true) && vote.value("tip_valid", false) &&
         isGoodSingleTip(vote.value("error_mm", 1e9), vote.value("pixel_error", 1e9));
}

double lineAngleDeg(const VoteLine& p, const VoteLine& q) {
  return std::acos(std::min(1.0, std::abs(p.a * q.a + p.b * q.b))) * 180.0 / std::acos(-1.0);
}

}  // namespace tarv
