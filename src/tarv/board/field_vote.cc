#include "tarv/board/field_vote.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <utility>

#include "tarv/board/board_layout.h"
#include "tarv/board/camera_votes.h"
#include "tarv/core/engine_values.h"

namespace tarv {

namespace {

constexpr const char* kMajorityRule =
    "FIELD_MAJORITY_7_OF_12_RUNNER_UP_HALF_OR_SAME_SECTOR_MINUS_2_OTHER_SECTOR_MAX_2";
constexpr int64_t kMajorityVotes = 7;
constexpr std::size_t kMajorityCameras = 2;
constexpr int64_t kMaxCompeting = 2;
constexpr double kDecisionMarginMm = 2.0;
constexpr double kDecisionSupportQuality = 10.0;
// A field group's votes count a quarter each: three cameras' worth over twelve slots.
constexpr double kGroupVoteWeight = 3.0 / 12.0;

const json& member(const json& record, const char* key) {
  static const json kNull;
  if (!record.is_object()) return kNull;
  const auto it = record.find(key);
  return it == record.end() ? kNull : *it;
}

double finiteOr(const json& value, double fallback) {
  if (!value.is_number()) return fallback;
  const double v = value.get<double>();
  return std::isfinite(v) ? v : fallback;
}

std::size_t entryCount(const json& value) { return value.is_array() ? value.size() : 0; }

int64_t votesOf(const json& group) { return readVoteCount(group.at("votes")).value_or(0); }

std::string fieldOf(const json& group) { return group.at("field").get<std::string>(); }

// Among the clusters of the field: more votes, then more cameras, then strictly higher quality.
const json* bestClusterOf(const json& consensus, const json& field) {
  const json& clusters = member(consensus, "clusters");
  if (!clusters.is_array()) return nullptr;
  const json* best = nullptr;
  for (const json& cluster : clusters) {
    if (member(cluster, "field") != field) continue;
    if (!readVoteCount(member(cluster, "votes")) || !readVotePoint(member(cluster, "point"))) {
      continue;
    }
    if (best == nullptr) {
      best = &cluster;
      continue;
    }
    const int64_t v = votesOf(cluster), bv = votesOf(*best);
    const std::size_t c = entryCount(cluster.at("cameras")), bc = entryCount(best->at("cameras"));
    const double q = finiteOr(member(cluster, "quality"), 0.0);
    const double bq = finiteOr(member(*best, "quality"), 0.0);
    if (v > bv || (v == bv && (c > bc || (c == bc && q > bq)))) best = &cluster;
  }
  return best;
}

struct Support {
  std::string source;
  json point;
  double quality = 0.0;
};

}  // namespace

int rankDecisionMethod(const std::string& method) {
  if (method == "THREE_VIEW_LINES" || method == "ROI_FEATURE_LINES") return 3;
  if (method == "UNANIMOUS_CAM" || method == "CAM_PLUS_ONE" ||
      method == "MULTIVIEW_POINT_CONSENSUS" || method == "OUTER_MISS_POINT_CONSENSUS") {
    return 2;
  }
  if (method == "BEST_CAM") return 1;
  return 0;
}

std::vector<json> readableFieldGroups(const json& consensus) {
  std::vector<json> groups;
  const json& fields = member(consensus, "fields");
  if (!fields.is_array()) return groups;
  for (const json& group : fields) {
    if (member(group, "field").is_string() && readVoteCount(member(group, "votes"))) {
      groups.push_back(group);
    }
  }
  return groups;
}

bool isFieldVoteTied(const json& consensus) {
  const std::vector<json> fields = readableFieldGroups(consensus);
  if (fields.size() < 2) return false;
  if (fieldOf(fields[0]) == "MISS") return false;
  const json& reason = member(consensus, "reason");
  if (reason.is_string() && reason == "TIED_WITHOUT_CLEAR_QUALITY") return true;
  const int64_t first = votesOf(fields[0]);
  return first >= 3 && votesOf(fields[1]) >= first - 1;
}

json applyFieldMajorityRule(const json& consensus) {
  const std::vector<json> fields = readableFieldGroups(consensus);
  if (fields.empty()) return nullptr;
  const json& leader = fields[0];
  const int64_t leaderVotes = votesOf(leader);
  const std::string field = fieldOf(leader);
  const std::string sector = fieldSectorKey(field);

  const int64_t runnerUp = fields.size() >= 2 ? votesOf(fields[1]) : 0;
  const bool sameSector = fields.size() >= 2 && fieldSectorKey(fieldOf(fields[1])) == sector;
  int64_t competing = 0;
  for (std::size_t i = 1; i < fields.size(); ++i) {
    const std::string other = fieldOf(fields[i]);
    if (other == "MISS") continue;
    if (fieldSectorKey(other) != sector) competing = std::max(competing, votesOf(fields[i]));
  }

  // A runner-up in the leader's own sector is the same dart read in a neighbouring ring, so it
  // only has to trail by two; any other runner-up must stay within half of the leader.
  const bool runnerUpBound = sameSector ? runnerUp <= leaderVotes - 2 : 2 * runnerUp <= leaderVotes;
  const bool holds = leaderVotes >= kMajorityVotes &&
                     entryCount(member(leader, "cameras")) >= kMajorityCameras && runnerUpBound &&
                     competing <= kMaxCompeting && field != "MISS";
  if (!holds) return nullptr;

  const json* cluster = bestClusterOf(consensus, leader.at("field"));
  if (cluster == nullptr) return nullptr;
  const json& clusterCameras = member(*cluster, "cameras");
  json record = json::object();
  record["field"] = field;
  record["votes"] = leaderVotes;
  record["runner_up"] = runnerUp;
  record["cameras"] = leader.at("cameras");
  record["point"] = cluster->at("point");
  record["spread_mm"] = finiteOr(member(*cluster, "spread_mm"), 0.0);
  record["cluster_votes"] = cluster->at("votes");
  record["cluster_cameras"] = clusterCameras.is_array() ? clusterCameras : json::array();
  record["competing"] = competing;
  record["same_sector_runner_up"] = sameSector;
  record["rule"] = kMajorityRule;
  return record;
}

json decideFieldVote(const json& decision, const json& views, const json& consensus,
                     const json& stats, const json& candidates) {
  const json votes = collectCameraVotes(views, stats, candidates);
  std::map<std::string, double> score;
  std::map<std::string, std::vector<Support>> supports;
  std::map<std::string, std::set<std::string>> cameras;

  for (const std::string& id : cameraIds) {
    const json& vote = votes.at(id);
    if (!vote.at("vote_field").is_string()) continue;
    const std::string field = vote.at("vote_field").get<std::string>();
    const double quality = vote.at("quality").get<double>();
    score[field] += quality;
    supports[field].push_back(Support{id, vote.at("vote_point"), quality});
    cameras[field].insert(id);
  }

  for (const json& group : readableFieldGroups(consensus)) {
    const std::string field = fieldOf(group);
    score[field] += static_cast<double>(votesOf(group)) * kGroupVoteWeight;
    const json& groupCameras = member(group, "cameras");
    if (!groupCameras.is_array()) continue;
    for (const json& camera : groupCameras) {
      if (camera.is_string()) cameras[field].insert(camera.get<std::string>());
    }
  }

  const json& methodValue = member(decision, "method");
  const std::string method =
      methodValue.is_string() ? methodValue.get<std::string>() : std::string("UNRESOLVED");
  if (method != "UNRESOLVED") {
    if (const std::optional<Point2> p = readVotePoint(member(decision, "point"))) {
      const json nominal = classifyBoardPoint(*p, kDecisionMarginMm).value("nominal_field", json());
      if (nominal.is_string()) {
        const std::string field = nominal.get<std::string>();
        score[field] += std::max(1, rankDecisionMethod(method));
        std::vector<Support>& list = supports[field];
        list.insert(list.begin(), Support{"DECISION", pointToJson(*p), kDecisionSupportQuality});
      }
    }
  }
  if (score.empty()) return nullptr;

  std::vector<std::pair<std::string, double>> ranking(score.begin(), score.end());
  std::sort(ranking.begin(), ranking.end(), [](const auto& a, const auto& b) {
    if (a.second != b.second) return a.second > b.second;
    return a.first < b.first;
  });
  const std::string best = ranking[0].first;
  const double bestScore = ranking[0].second;
  const double runner = ranking.size() > 1 ? ranking[1].second : 0.0;

  std::optional<Point2> point;
  std::string source;
  double threshold = -1.0;
  for (const Support& s : supports[best]) {
    if (s.quality > threshold) {
      point = readVotePoint(s.point);
      source = s.source;
      threshold = s.quality;
    }
  }
  if (!point) {
    const json& clusters = member(consensus, "clusters");
    if (!clusters.is_array()) return nullptr;
    const auto cluster = std::find_if(clusters.begin(), clusters.end(), [&](const json& c) {
      return member(c, "field") == json(best);
    });
    if (cluster == clusters.end()) return nullptr;
    point = readVotePoint(member(*cluster, "point"));
    source = "CLUSTER";
  }
  if (!point) return nullptr;

  json rankingJson = json::array();
  for (std::size_t i = 0; i < ranking.size() && i < 3; ++i) {
    rankingJson.push_back(json::array({ranking[i].first, roundToThousandths(ranking[i].second)}));
  }
  json supportCameras = json::array();
  for (const std::string& camera : cameras[best]) supportCameras.push_back(camera);

  json result = json::object();
  result["field"] = best;
  result["point"] = pointToJson(*point);
  result["score"] = roundToThousandths(bestScore);
  result["runner_up"] = roundToThousandths(runner);
  result["margin"] = roundToThousandths(bestScore - runner);
  result["source"] = source;
  result["method"] = method;
  result["ranking"] = rankingJson;
  result["support_cameras"] = supportCameras;
  result["eligible"] = supportCameras.size() >= 2 && best != "MISS";
  result["camera_quality"] = votes;
  return result;
}

}  // namespace tarv
