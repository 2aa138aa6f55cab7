#include "tarv/board/camera_votes.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <map>
#include <string>

#include "tarv/core/engine_values.h"

namespace tarv {

namespace {

const json& member(const json& record, const char* key) {
  static const json kNull;
  if (!record.is_object()) return kNull;
  const auto it = record.find(key);
  return it == record.end() ? kNull : *it;
}

std::optional<double> finiteNumber(const json& value) {
  if (!value.is_number()) return std::nullopt;
  const double v = value.get<double>();
  if (!std::isfinite(v)) return std::nullopt;
  return v;
}

double numberOr(const json& record, const char* key, double fallback) {
  return finiteNumber(member(record, key)).value_or(fallback);
}

std::string textOr(const json& record, const char* key) {
  const json& value = member(record, key);
  return value.is_string() ? value.get<std::string>() : std::string();
}

// A pixel count below zero means nothing; it reads as no pixels, which also keeps the clean
// ratio inside 0..1.
double pixelCount(const json& record, const char* key) {
  return std::max(0.0, numberOr(record, key, 0.0));
}

double cleanRatio(double fresh, double moved) {
  double total = fresh + moved;
  if (!(total > 0.0)) return 0.0;
  if (!std::isfinite(total)) {
    fresh *= 0.5;
    moved *= 0.5;
    total = fresh + moved;
  }
  return fresh / total;
}

const json* bestTipVote(const json& view) {
  const json& votes = member(view, "votes");
  if (!votes.is_array()) return nullptr;
  const json* best = nullptr;
  double bestPixel = 0.0;
  double bestMm = 0.0;
  for (const json& vote : votes) {
    if (!isUsableTipVote(vote)) continue;
    const double pixel = vote.at("pixel_error").get<double>();
    const double mm = vote.at("error_mm").get<double>();
    if (best == nullptr || pixel < bestPixel || (pixel == bestPixel && mm < bestMm)) {
      best = &vote;
      bestPixel = pixel;
      bestMm = mm;
    }
  }
  return best;
}

json candidateTally(const json& cameraCandidates) {
  json tally = json::object();
  if (!cameraCandidates.is_object()) return tally;
  for (const json& candidate : cameraCandidates) {
    if (textOr(candidate, "status") != "CANDIDATE") continue;
    const json& field = member(candidate, "field");
    if (!field.is_string()) continue;
    const std::string key = field.get<std::string>();
    tally[key] = tally.value(key, int64_t{0}) + 1;
  }
  return tally;
}

json cameraVote(const json& view, const json& cameraStats, const json& cameraCandidates) {
  const double clean =
      cleanRatio(pixelCount(cameraStats, "new"), pixelCount(cameraStats, "moved_support"));
  const json* best = bestTipVote(view);
  double sharpness = 0.0;
  json vote = json::object();
  if (best != nullptr) {
    const double pixel = best->at("pixel_error").get<double>();
    sharpness = 1.0 / (1.0 + 0.5 * pixel);
    vote["vote_field"] = best->at("field");
    vote["vote_point"] = best->at("point");
    vote["pixel_error"] = roundTo(pixel, 2);
  } else {
    vote["vote_field"] = nullptr;
    vote["vote_point"] = nullptr;
    vote["pixel_error"] = nullptr;
  }
  vote["quality"] = roundToThousandths((0.5 + 0.5 * clean) * sharpness);
  vote["clean_ratio"] = roundToThousandths(clean);
  vote["occluded"] = best == nullptr;
  vote["candidate_fields"] = candidateTally(cameraCandidates);
  return vote;
}

const json& atIndex(const json& list, std::size_t i) {
  static const json kNull;
  return list.is_array() && i < list.size() ? list[i] : kNull;
}

struct OrderPoint {
  double x = 0.0;
  double y = 0.0;
};

OrderPoint orderPoint(const json& record) {
  const std::optional<Point2> p = readVotePoint(member(record, "point"));
  return p ? OrderPoint{p->x, p->y} : OrderPoint{};
}

int64_t countOr0(const json& record, const char* key) {
  return readVoteCount(member(record, key)).value_or(0);
}

std::size_t cameraCount(const json& record) {
  const json& cameras = member(record, "cameras");
  return cameras.is_array() ? cameras.size() : 0;
}

}  // namespace

std::optional<Point2> readVotePoint(const json& value) {
  if (!value.is_array() || value.size() != 2) return std::nullopt;
  const std::optional<double> x = finiteNumber(value[0]);
  const std::optional<double> y = finiteNumber(value[1]);
  if (!x || !y) return std::nullopt;
  return Point2{*x, *y};
}

std::optional<int64_t> readVoteCount(const json& value) {
  if (value.is_number_unsigned()) {
    const uint64_t v = value.get<uint64_t>();
    if (v > 2147483647u) return std::nullopt;
    return static_cast<int64_t>(v);
  }
  const std::optional<double> v = finiteNumber(value);
  if (!v || *v < 0.0 || *v >= 2147483648.0) return std::nullopt;
  return static_cast<int64_t>(*v);
}

bool isUsableTipVote(const json& vote) {
  const json& abstention = member(vote, "abstention");
  if (!abstention.is_boolean() || abstention.get<bool>()) return false;
  const std::optional<double> pixel = finiteNumber(member(vote, "pixel_error"));
  if (!pixel || *pixel < 0.0) return false;
  if (!finiteNumber(member(vote, "error_mm"))) return false;
  return member(vote, "field").is_string() && readVotePoint(member(vote, "point")).has_value();
}

json collectCameraVotes(const json& views, const json& stats, const json& candidates) {
  json result = json::object();
  for (std::size_t i = 0; i < cameraIds.size(); ++i) {
    const std::string& id = cameraIds[i];
    result[id] = cameraVote(atIndex(views, i), member(stats, id.c_str()), atIndex(candidates, i));
  }
  return result;
}

json summarizeVoteGroup(const std::vector<json>& members, bool withPoint) {
  std::map<std::string, double> best;
  for (const json& m : members) {
    const json& camera = member(m, "camera");
    if (!camera.is_string()) continue;
    double& b = best.emplace(camera.get<std::string>(), 0.0).first->second;
    b = std::max(b, numberOr(m, "quality", 0.0));
  }
  json cameras = json::array();
  double sum = 0.0;
  for (const auto& [camera, quality] : best) {
    cameras.push_back(camera);
    sum += quality;
  }

  json summary = json::object();
  summary["field"] = members.empty() ? json() : member(members.front(), "field");
  summary["votes"] = static_cast<uint64_t>(members.size());
  summary["cameras"] = cameras;
  summary["quality"] = best.empty() ? 0.0 : sum / static_cast<double>(best.size());
  if (!withPoint) return summary;

  // A member without a readable point can neither be the medoid nor widen the spread.
  std::vector<Point2> points;
  std::vector<std::size_t> owners;
  json names = json::array();
  for (std::size_t i = 0; i < members.size(); ++i) {
    names.push_back(textOr(members[i], "camera") + "/" + textOr(members[i], "kind"));
    if (const std::optional<Point2> p = readVotePoint(member(members[i], "point"))) {
      points.push_back(*p);
      owners.push_back(i);
    }
  }
  summary["members"] = names;
  if (points.empty()) {
    summary["point"] = nullptr;
    summary["spread_mm"] = 0.0;
    return summary;
  }

  std::size_t medoid = 0;
  double smallest = 1e30;
  for (std::size_t i = 0; i < points.size(); ++i) {
    double total = 0.0;
    for (const Point2& q : points) total += std::hypot(points[i].x - q.x, points[i].y - q.y);
    if (total < smallest) {
      smallest = total;
      medoid = i;
    }
  }
  double squares = 0.0;
  for (const Point2& q : points) {
    const double d = std::hypot(points[medoid].x - q.x, points[medoid].y - q.y);
    squares += d * d;
  }
  summary["point"] = members[owners[medoid]].at("point");
  summary["spread_mm"] = std::sqrt(squares / static_cast<double>(points.size()));
  return summary;
}

bool voteOrder(const json& a, const json& b) {
  const std::string fa = textOr(a, "field"), fb = textOr(b, "field");
  if (fa != fb) return fa < fb;
  const OrderPoint pa = orderPoint(a), pb = orderPoint(b);
  if (pa.x != pb.x) return pa.x < pb.x;
  if (pa.y != pb.y) return pa.y < pb.y;
  const std::string ca = textOr(a, "camera"), cb = textOr(b, "camera");
  if (ca != cb) return ca < cb;
  return textOr(a, "kind") < textOr(b, "kind");
}

bool fieldGroupOrder(const json& a, const json& b) {
  const int64_t va = countOr0(a, "votes"), vb = countOr0(b, "votes");
  if (va != vb) return va > vb;
  const double qa = numberOr(a, "quality", 0.0), qb = numberOr(b, "quality", 0.0);
  if (qa != qb) return qa > qb;
  return textOr(a, "field") < textOr(b, "field");
}

bool clusterOrder(const json& a, const json& b) {
  const int64_t va = countOr0(a, "votes"), vb = countOr0(b, "votes");
  if (va != vb) return va > vb;
  const std::size_t ca = cameraCount(a), cb = cameraCount(b);
  if (ca != cb) return ca > cb;
  const double qa = numberOr(a, "quality", 0.0), qb = numberOr(b, "quality", 0.0);
  if (qa != qb) return qa > qb;
  return textOr(a, "field") < textOr(b, "field");
}

}  // namespace tarv
