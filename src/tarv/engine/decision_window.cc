#include "tarv/engine/decision_window.h"

#include <cmath>
#include <stdexcept>

#include "tarv/core/process_switches.h"
#include "tarv/engine/engine.h"

namespace tarv {
namespace {

// The evaluation has this long from the first undecided candidate to a reliable score.
constexpr double kDecisionWindowSeconds = 3.0;
// An empty round keeps a pending candidate alive this long, so a dart that is still being
// confirmed is not pushed into review just because the window opened before it landed.
constexpr double kPendingGraceSeconds = 2.5;

double windowDeadline(double start) {
  return start >= 0.0 ? start + kDecisionWindowSeconds : -1.0;
}

json windowRecord(const Round& round) {
  return json{{"active", round.decisionWindowStart >= 0.0 && !round.reviewRequired},
              {"started", round.decisionWindowStart},
              {"deadline", windowDeadline(round.decisionWindowStart)},
              {"review_required", round.reviewRequired}};
}

bool hasNoEntries(const json& entries) {
  return entries.is_null() || (entries.is_array() && entries.empty());
}

}  // namespace

bool isPendingWindowOpen(const Round& round, double now) {
  const double since = round.pendingSince;
  return hasNoEntries(round.entries) && since >= 0.0 && now >= since &&
         now - since < kPendingGraceSeconds;
}

json checkDecisionWindow(Round& round, double now) {
  if (!std::isfinite(now)) throw std::runtime_error("INVALID_DECISION_TIME");

  const double start = round.decisionWindowStart;
  if (start >= 0.0 && now >= windowDeadline(start) && !isPendingWindowOpen(round, now)) {
    round.reviewRequired = true;
    round.pendingCandidate = nullptr;
    round.pendingConfirmation = nullptr;
  }

  return json{{"status", round.reviewRequired ? "DECISION_REVIEW_REQUIRED" : "WAIT_DECISION"},
              {"reason", "NO_RELIABLE_SCORE_WITHIN_THREE_SECONDS"},
              {"entries", round.entries},
              {"round", round.roundNumber},
              {"state", nullptr},
              {"snapshot", round.state},
              {"engine_flags", buildEngineFlags(round)},
              {"decision_window", windowRecord(round)}};
}

json buildEngineFlags(const Round& round) {
  json inputTone = json::array();
  for (const cv::Mat& table : round.inputLut) inputTone.push_back(!table.empty());
  return json{{"recovery", round.recovery},
              {"takeout", round.takeout},
              {"unresolved", round.unresolved},
              {"allow_resume", round.allowResume},
              {"dart_3d", processSwitches().dart3d.load()},
              {"input_tone", inputTone},
              {"backend", executionBackendName("")}};
}

}  // namespace tarv
