#include "tarv/board/multiview_consensus.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tarv/board/camera_votes.h"
#include "tarv/core/engine_values.h"

namespace tarv {

namespace {

constexpr double kMinVoteQuality = 0.25;
constexpr double kClusterRadiusMm = 6.0;
constexpr int64_t kMinFieldVotes = 6;
constexpr std::size_t kMinCameras = 2;
constexpr int64_t kMinClusterVotes = 4;
constexpr double kTieQualityMargin = 0.15;
constexpr int64_t kSlots = 12;
constexpr int64_t kIndependentCameras = 3;
// Limits written as decimals ("exactly 6.0 mm joins") must not flip on the last bit of a
// subtraction.
constexpr double kTolerance = 1e-9;

struct Vote {
  json record;
  std::string field;
  Point2 point;
};

std::optional<Vote> voteFrom(const json& record, const std::string& camera) {
  if (!record.is_object()) return std::nullopt;
  const auto status = record.find("status");
  if (status == record.end() || !status->is_string() || *status != "CANDIDATE") {
    return std::nullopt;
  }
  const auto quality = record.find("quality");
  if (quality == record.end() || !quality->is_number()) return std::nullopt;
  const double q = quality->get<double>();
  if (!std::isfinite(q) || q < kMinVoteQuality) return std::nullopt;
  const auto field = record.find("field");
  const auto kind = record.find("kind");
  if (field == record.end() || !field->is_string()) return std::nullopt;
  if (kind == record.end() || !kind->is_string()) return std::nullopt;
  const auto point = record.find("point");
  if (point == record.end()) return std::nullopt;
  const std::optional<Point2> p = readVotePoint(*point);
  if (!p) return std::nullopt;

  Vote vote{record, field->get<std::string>(), *p};
  vote.record["camera"] = camera;
  return vote;
}

std::vector<Vote> collectVotes(const json& measurements) {
  std::vector<Vote> votes;
  if (!measurements.is_array()) return votes;
  for (std::size_t i = 0; i < cameraIds.size() && i < measurements.size(); ++i) {
    const json& entry = measurements[i];
    // Iterating a plain value would visit the value itself; only lists hold records.
    if (!entry.is_array() && !entry.is_object()) continue;
    for (const json& record : entry) {
      if (std::optional<Vote> vote = voteFrom(record, cameraIds[i])) votes.push_back(*vote);
    }
  }
  return votes;
}

bool withinRadius(Point2 a, Point2 b) {
  return std::hypot(a.x - b.x, a.y - b.y) <= kClusterRadiusMm + kTolerance;
}

// Greedy: a vote joins the first cluster of its field that it reaches from every member.
std::vector<std::vector<std::size_t>> spatialClusters(const std::vector<Vote>& votes) {
  std::vector<std::vector<std::size_t>> clusters;
  for (std::size_t v = 0; v < votes.size(); ++v) {
    bool joined = false;
    for (std::vector<std::size_t>& cluster : clusters) {
      if (votes[cluster.front()].field != votes[v].field) continue;
      const bool reaches = std::all_of(cluster.begin(), cluster.end(), [&](std::size_t m) {
        return withinRadius(votes[m].point, votes[v].point);
      });
      if (reaches) {
        cluster.push_back(v);
        joined = true;
        break;
      }
    }
    if (!joined) clusters.push_back({v});
  }
  return clusters;
}

std::vector<json> records(const std::vector<Vote>& votes, const std::vector<std::size_t>& which) {
  std::vector<json> out;
  out.reserve(which.size());
  for (std::size_t i : which) out.push_back(votes[i].record);
  return out;
}

int64_t votesOf(const json& summary) { return readVoteCount(summary.at("votes")).value_or(0); }

}  // namespace

json buildMultiviewConsensus(const json& measurements) {
  std::vector<Vote> votes = collectVotes(measurements);
  std::stable_sort(votes.begin(), votes.end(),
                   [](const Vote& a, const Vote& b) { return voteOrder(a.record, b.record); });

  std::vector<json> clusters;
  for (const std::vector<std::size_t>& cluster : spatialClusters(votes)) {
    clusters.push_back(summarizeVoteGroup(records(votes, cluster), true));
  }
  std::map<std::string, std::vector<std::size_t>> byField;
  for (std::size_t v = 0; v < votes.size(); ++v) byField[votes[v].field].push_back(v);
  std::vector<json> fields;
  for (const auto& entry : byField) {
    fields.push_back(summarizeVoteGroup(records(votes, entry.second), false));
  }
  std::stable_sort(clusters.begin(), clusters.end(), clusterOrder);
  std::stable_sort(fields.begin(), fields.end(), fieldGroupOrder);

  const int64_t valid = static_cast<int64_t>(votes.size());
  json result = json::object();
  result["status"] = "UNRESOLVED";
  result["reason"] = "INSUFFICIENT_CONSENSUS";
  result["slots"] = kSlots;
  result["valid"] = static_cast<uint64_t>(votes.size());
  // More than twelve candidates can only come from a malformed input; never report a
  // negative count of empty slots.
  result["abstentions"] = std::max<int64_t>(0, kSlots - valid);
  result["clusters"] = clusters;
  result["fields"] = fields;
  result["selected"] = nullptr;
  result["independent_cameras"] = kIndependentCameras;

  const auto selected = std::find_if(fields.begin(), fields.end(), [](const json& g) {
    return votesOf(g) >= kMinFieldVotes && g.at("cameras").size() >= kMinCameras;
  });
  if (selected == fields.end()) return result;
  const auto runnerUp =
      std::find_if(fields.begin(), fields.end(), [&](const json& g) { return &g != &*selected; });

  const int64_t selectedVotes = votesOf(*selected);
  std::string rule;
  if (runnerUp != fields.end() && votesOf(*runnerUp) > selectedVotes) return result;
  if (runnerUp != fields.end() && votesOf(*runnerUp) == selectedVotes) {
    const double gap =
        selected->at("quality").get<double>() - runnerUp->at("quality").get<double>();
    if (gap < kTieQualityMargin - kTolerance) {
      result["reason"] = "TIED_WITHOUT_CLEAR_QUALITY";
      return result;
    }
    rule = "TIE_RESOLVED_BY_CAMERA_BALANCED_QUALITY";
  } else {
    if (2 * selectedVotes <= valid) return result;
    rule = "SPATIAL_AND_FIELD_MAJORITY";
  }

  for (const json& cluster : clusters) {
    if (cluster.at("field") != selected->at("field")) continue;
    if (votesOf(cluster) < kMinClusterVotes || cluster.at("cameras").size() < kMinCameras) {
      continue;
    }
    json chosen = cluster;
    chosen["field_votes"] = selected->at("votes");
    chosen["field_quality"] = selected->at("quality");
    result["status"] = "CONSENSUS";
    result["reason"] = rule;
    result["selected"] = chosen;
    return result;
  }
  result["reason"] = "FIELD_AGREES_BUT_POINTS_DISAGREE";
  return result;
}

}  // namespace tarv
