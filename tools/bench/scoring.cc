#include "bench/scoring.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "host/reply_reading.h"

namespace tarv::bench {

const char* callKindName(CallKind kind) {
  switch (kind) {
    case CallKind::kArm: return "arm";
    case CallKind::kError: return "error";
    case CallKind::kDeciding: return "deciding";
    case CallKind::kUnchanged: return "unchanged";
    case CallKind::kOther: return "other";
  }
  return "?";
}

CallKind classifyCall(const json& reply, size_t entriesBefore, size_t entriesAfter) {
  if (host::replyError(reply)) return CallKind::kError;
  if (entriesAfter > entriesBefore) return CallKind::kDeciding;
  if (reply.is_object()) {
    const auto unchanged = reply.find("unchanged");
    if (unchanged != reply.end() && unchanged->is_boolean() && unchanged->get<bool>()) {
      return CallKind::kUnchanged;
    }
    const auto status = reply.find("status");
    if (status != reply.end() && status->is_string() && status->get<std::string>() == "READY") {
      return CallKind::kUnchanged;
    }
  }
  return CallKind::kOther;
}

DartJudgement judgeDart(const json& entries, size_t entriesBefore, const scene::DartTruth& truth) {
  DartJudgement j;
  j.true_field = truth.field;
  const size_t count = entries.is_array() ? entries.size() : 0;
  j.new_entries = count > entriesBefore ? count - entriesBefore : 0;
  if (j.new_entries == 0) return j;
  const json& entry = entries[entriesBefore];
  j.scored_field = host::entryField(entry);
  j.scored_tip = host::entryPoint(entry);
  if (j.new_entries == 1 && j.scored_tip) j.tip_error_mm = cv::norm(*j.scored_tip - truth.tip_mm);
  j.correct = j.new_entries == 1 && j.scored_field == truth.field;
  return j;
}

void SetTally::addDart(const DartJudgement& judgement) {
  ++darts;
  if (judgement.correct) ++correct;
  if (judgement.new_entries == 0) ++(judgement.unresolved ? unresolved : missed);
  if (judgement.new_entries > 1) extra += static_cast<int>(judgement.new_entries - 1);
  if (judgement.new_entries == 1 && !judgement.correct) ++wrong_field;
  if (judgement.tip_error_mm) tip_errors_mm.push_back(*judgement.tip_error_mm);
}

bool isUnresolvedReply(const json& reply) {
  if (!reply.is_object()) return false;
  const std::string status = reply.value("status", "");
  return status == "POSITION_UNRESOLVED" || status == "DECISION_REVIEW_REQUIRED";
}

std::string decisionPath(const json& reply) {
  if (!reply.is_object()) return "(none)";
  const auto decision = reply.find("decision");
  if (decision == reply.end() || !decision->is_object()) return "(none)";
  const auto path = decision->find("path");
  return path != decision->end() && path->is_string() ? path->get<std::string>() : "(none)";
}

bool isSolverMethod(const json& method) {
  if (!method.is_string()) return false;
  const std::string m = method.get<std::string>();
  return m == "THREE_VIEW_LINES" || m == "UNANIMOUS_CAM" || m == "CAM_PLUS_ONE" || m == "BEST_CAM" ||
         m == "UNRESOLVED";
}

void SetTally::addFallenDart(const DartJudgement& judgement) {
  ++fallen;
  if (!judgement.correct) ++fallen_scored;
}

void SetTally::addCall(CallKind kind, double milliseconds, const json& reply) {
  call_ms[kind].push_back(milliseconds);
  if (kind == CallKind::kDeciding && reply.is_object()) {
    ++paths[decisionPath(reply)];
    const auto entry = reply.find("entry");
    if (entry != reply.end() && entry->is_object() && !entry->value("bouncer", false) &&
        !isSolverMethod(entry->value("method", json()))) {
      ++foreign_methods;
    }
  }
  if (const auto code = host::replyError(reply)) {
    ++error_replies;
    ++error_codes[*code];
  }
}

void SetTally::merge(const SetTally& other) {
  darts += other.darts;
  correct += other.correct;
  missed += other.missed;
  unresolved += other.unresolved;
  foreign_methods += other.foreign_methods;
  for (const auto& [path, n] : other.paths) paths[path] += n;
  extra += other.extra;
  wrong_field += other.wrong_field;
  error_replies += other.error_replies;
  fallen += other.fallen;
  fallen_scored += other.fallen_scored;
  rounds += other.rounds;
  rounds_waiting += other.rounds_waiting;
  tip_errors_mm.insert(tip_errors_mm.end(), other.tip_errors_mm.begin(), other.tip_errors_mm.end());
  for (const auto& [code, n] : other.error_codes) error_codes[code] += n;
  for (const auto& [kind, times] : other.call_ms) {
    call_ms[kind].insert(call_ms[kind].end(), times.begin(), times.end());
  }
}

double SetTally::correctPercent() const {
  return darts > 0 ? 100.0 * correct / darts : std::numeric_limits<double>::quiet_NaN();
}

double quantile(std::vector<double> values, double q) {
  if (values.empty()) return std::numeric_limits<double>::quiet_NaN();
  const double rank = std::ceil(std::clamp(q, 0.0, 1.0) * static_cast<double>(values.size()));
  const size_t index = rank < 1.0 ? 0 : static_cast<size_t>(rank) - 1;
  std::nth_element(values.begin(), values.begin() + index, values.end());
  return values[index];
}

double mean(const std::vector<double>& values) {
  if (values.empty()) return std::numeric_limits<double>::quiet_NaN();
  double sum = 0.0;
  for (double v : values) sum += v;
  return sum / static_cast<double>(values.size());
}

}  // namespace tarv::bench
