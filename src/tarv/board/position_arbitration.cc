#include "tarv/board/position_arbitration.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "tarv/board/camera_votes.h"
#include "tarv/core/round.h"

namespace tarv {

namespace {

constexpr std::size_t kHistoryLimit = 64;
constexpr double kAgreementRadiusMm = 4.0;
constexpr int64_t kMinSamples = 2;
constexpr double kMinDurationSeconds = 0.75;
// Limits written as decimals ("exactly 4.0 mm agrees") must not flip on the last bit of a
// subtraction; far below the millisecond that durations are reported in.
constexpr double kTolerance = 1e-9;

const json& member(const json& record, const char* key) {
  static const json kNull;
  if (!record.is_object()) return kNull;
  const auto it = record.find(key);
  return it == record.end() ? kNull : *it;
}

const json& hypothesisOf(const json& reply) {
  return member(member(reply, "arbitration"), "hypothesis");
}

// An entry keeps only what a later comparison can read, so the history never carries a field
// that is not text or a point that is not two finite numbers.
json historyEntry(double now, const json& hypothesis) {
  const json& field = member(hypothesis, "field");
  const std::optional<Point2> point = readVotePoint(member(hypothesis, "point"));
  json entry = json::object();
  entry["time"] = now;
  entry["field"] = field.is_string() ? field : json();
  entry["point"] = point ? pointToJson(*point) : json();
  return entry;
}

bool agrees(const json& entry, const std::string& field, Point2 point) {
  const json& entryField = member(entry, "field");
  if (!entryField.is_string() || entryField != field) return false;
  const std::optional<Point2> p = readVotePoint(member(entry, "point"));
  if (!p) return false;
  return std::hypot(p->x - point.x, p->y - point.y) <= kAgreementRadiusMm + kTolerance;
}

json notReady(const char* reason) {
  return json{{"ready", false}, {"reason", reason}, {"samples", 0}, {"duration", 0.0}};
}

}  // namespace

json arbitratePosition(const json& history, const std::string& status, double now,
                       const json& reply) {
  json kept = history.is_array() ? history : json::array();
  if (status == "POSITION_UNRESOLVED") {
    // A sample without a time could never be placed in a run.
    if (!std::isfinite(now)) return kept;
    kept.push_back(historyEntry(now, hypothesisOf(reply)));
    if (kept.size() > kHistoryLimit) {
      kept.erase(kept.begin(),
                 kept.begin() + static_cast<std::ptrdiff_t>(kept.size() - kHistoryLimit));
    }
    return kept;
  }
  if (status == "WAIT") return kept;
  return json::array();
}

void arbitratePosition(Round& round, const std::string& status, double now, const json& reply) {
  round.stableHypothesisHistory =
      arbitratePosition(round.stableHypothesisHistory, status, now, reply);
}

json checkStableHypothesis(const json& history, const json& hypothesis, double now) {
  if (!hypothesis.is_object()) return notReady("NO_HYPOTHESIS");
  const json& eligible = member(hypothesis, "eligible");
  // Only an absent flag means eligible; a flag of another type is not a yes.
  if (!eligible.is_null() && !(eligible.is_boolean() && eligible.get<bool>())) {
    json answer = notReady("HYPOTHESIS_NOT_ELIGIBLE");
    const json& cameras = member(hypothesis, "support_cameras");
    answer["support_cameras"] = cameras.is_null() ? json::array() : cameras;
    return answer;
  }
  const json& field = member(hypothesis, "field");
  const std::optional<Point2> point = readVotePoint(member(hypothesis, "point"));
  if (!field.is_string() || !point) return notReady("NO_HYPOTHESIS");

  int64_t run = 1;
  double start = now;
  if (history.is_array()) {
    const std::string text = field.get<std::string>();
    for (auto it = history.rbegin(); it != history.rend(); ++it) {
      const json& time = member(*it, "time");
      if (!time.is_number() || !std::isfinite(time.get<double>())) break;
      if (!agrees(*it, text, *point)) break;
      ++run;
      start = std::min(start, time.get<double>());
    }
  }
  const double duration = std::isfinite(now) ? now - start : 0.0;
  const bool ready = run >= kMinSamples && duration >= kMinDurationSeconds - kTolerance;
  json answer = json::object();
  answer["ready"] = ready;
  answer["reason"] = ready ? "STABLE_HYPOTHESIS_TIMEOUT" : "WAITING_FOR_STABLE_RUN";
  answer["samples"] = run;
  answer["duration"] = roundTo(duration, 3);
  answer["seconds"] = kMinDurationSeconds;
  answer["min_samples"] = kMinSamples;
  return answer;
}

}  // namespace tarv
