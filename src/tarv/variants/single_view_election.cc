#include "tarv/variants/single_view_election.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "tarv/core/board_geometry.h"

namespace tarv {
namespace {

constexpr double kClusterReachMm = 6.0;

struct ViewVote {
  Point2 point;
  std::string field;
  std::string source;
  double weight = 0.0;
  bool line = false;
};

struct Cluster {
  std::vector<size_t> members;
  double score = 0.0;
  bool hasLine = false;
};

double distance(const ViewVote& a, const ViewVote& b) {
  return std::hypot(a.point.x - b.point.x, a.point.y - b.point.y);
}

std::vector<ViewVote> gatherVotes(const json& axis, const json& candidates) {
  std::vector<ViewVote> votes;
  for (const json& vote : axis.at("votes")) {
    if (vote.at("abstention").get<bool>()) continue;
    const double pixelError = vote.at("pixel_error").get<double>();
    votes.push_back({pointFromJson(vote.at("point")), vote.at("field").get<std::string>(), "line",
                     1.0 / (pixelError * 0.5 + 1.0), true});
  }
  if (!candidates.is_object()) return votes;
  for (const auto& [key, search] : candidates.items()) {
    if (!search.is_object()) continue;
    const auto field = search.find("field");
    if (search.value("status", std::string()) != "CANDIDATE" || search.value("quality", 0.0) < 0.5 ||
        !search.contains("point") || field == search.end() || !field->is_string()) {
      continue;
    }
    votes.push_back({pointFromJson(search.at("point")), field->get<std::string>(), key,
                     search.value("quality", 0.0), false});
  }
  return votes;
}

}  // namespace

json electSingleViewField(const json& axis, const json& candidates) {
  const std::vector<ViewVote> votes = gatherVotes(axis, candidates);
  const auto lines = std::count_if(votes.begin(), votes.end(), [](const ViewVote& v) { return v.line; });
  const json eyes = {{"lines", lines}, {"candidates", static_cast<long>(votes.size()) - lines}};
  if (votes.empty()) {
    return {{"method", "UNRESOLVED"}, {"reason", "NO_VIEW_VOTES"}, {"eyes", eyes}, {"clusters", json::array()}};
  }

  std::vector<Cluster> clusters;
  for (size_t i = 0; i < votes.size(); ++i) {
    Cluster* home = nullptr;
    for (Cluster& c : clusters) {
      if (votes[c.members.front()].field != votes[i].field) continue;
      const bool near = std::all_of(c.members.begin(), c.members.end(),
                                    [&](size_t m) { return distance(votes[m], votes[i]) <= kClusterReachMm; });
      if (near) {
        home = &c;
        break;
      }
    }
    if (home == nullptr) home = &clusters.emplace_back();
    home->members.push_back(i);
    home->score += votes[i].weight;
    home->hasLine = home->hasLine || votes[i].line;
  }
  std::stable_sort(clusters.begin(), clusters.end(), [](const Cluster& a, const Cluster& b) {
    if (a.members.size() != b.members.size()) return a.members.size() > b.members.size();
    return a.score > b.score;
  });

  json clusterList = json::array();
  for (const Cluster& c : clusters) {
    json members = json::array();
    for (size_t m : c.members) members.push_back(votes[m].source);
    clusterList.push_back({{"field", votes[c.members.front()].field}, {"members", members}, {"score", c.score}});
  }
  const Cluster& winner = clusters.front();
  if (clusters.size() >= 2 && clusters[1].members.size() == winner.members.size() &&
      votes[clusters[1].members.front()].field != votes[winner.members.front()].field &&
      !(winner.hasLine && !clusters[1].hasLine)) {
    return {{"method", "UNRESOLVED"}, {"reason", "TIED_FIELDS"}, {"eyes", eyes}, {"clusters", clusterList}};
  }

  size_t representative = winner.members.front();
  double best = 1e30;
  for (size_t m : winner.members) {
    double sum = 0.0;
    for (size_t other : winner.members) sum += distance(votes[m], votes[other]);
    if (votes[m].line) sum -= 0.001;
    if (sum < best) {
      best = sum;
      representative = m;
    }
  }
  double spread = 0.0;
  for (size_t m : winner.members) spread = std::max(spread, distance(votes[representative], votes[m]));
  const char* method = winner.members.size() == 1 ? "MONO_SINGLE_VIEW"
                       : winner.hasLine           ? "MONO_LINE_CONSENSUS"
                                                  : "MONO_POINT_CONSENSUS";
  const ViewVote& chosen = votes[representative];
  return {{"method", method},
          {"point", pointToJson(chosen.point)},
          {"field", chosen.field},
          {"members", static_cast<unsigned>(winner.members.size())},
          {"line_in_cluster", winner.hasLine},
          {"spread_mm", spread},
          {"eyes", eyes},
          {"clusters", clusterList}};
}

}  // namespace tarv
