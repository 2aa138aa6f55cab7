#include "tarv/engine/frame_handler.h"

#include <cmath>
#include <string>

#include <opencv2/core.hpp>

#include "tarv/board/position_arbitration.h"
#include "tarv/core/board_geometry.h"
#include "tarv/core/camera_worker_pool.h"
#include "tarv/core/engine_values.h"
#include "tarv/core/json_fields.h"
#include "tarv/core/process_switches.h"
#include "tarv/detector/throw_evaluation.h"
#include "tarv/engine/decision_window.h"
#include "tarv/board/host_event.h"
#include "tarv/engine/former_light.h"
#include "tarv/engine/request_intake.h"
#include "tarv/engine/transient_confirmation.h"
#include "tarv/engine/unresolved_darts.h"
#include "tarv/recovery/frame_tone.h"
#include "tarv/views/camera_analysis.h"
#include "tarv/views/components.h"
#include "tarv/views/image_ops.h"
#include "tarv/views/reference_refresh.h"

namespace tarv {
namespace {

constexpr double kSyncSpread = 0.1;
constexpr double kFrameGap = 0.75;
constexpr double kLongGap = 2.5;
constexpr double kDecisionWindow = 3.0;
constexpr double kRecoveryThrottle = 0.2;
constexpr double kPlantModeAge = 2.5;
constexpr double kPlantModeMarginMm = 5.0;

std::string statusOf(const json& result) { return textOf(result, "status"); }
std::string reasonOf(const json& result) { return textOf(result, "reason"); }

bool isOneOf(const std::string& s, std::initializer_list<const char*> options) {
  for (const char* o : options) {
    if (s == o) return true;
  }
  return false;
}

// An entry of the evaluation: a dart, or a bouncer it saw vanish. Each ends the round's wait as
// an entry does, whatever its status says.
bool entersThrow(const json& result) {
  const std::string status = statusOf(result);
  return status == "DART_CANDIDATE" ||
         (status == "BOUNCER_CANDIDATE" && result.contains("entry") && result["entry"].is_object());
}

json waitFreshTriplet() { return {{"status", "WAIT"}, {"reason", "WAIT_FRESH_TRIPLET"}}; }

void endRecovery(Round& round) {
  round.recovery = false;
  round.lastRecoveryReply = nullptr;
  round.recoveryRetryTime = -1.0;
  round.recoveryRetryCount = 0;
  // The next wait is a wait of its own: its diagnostics start again.
  round.waitStart = -1.0;
  round.waitDiagnosticCount = 0;
}

void takeCallStartSnapshots(Round& round) {
  for (int i = 0; i < 3; ++i) {
    round.callStartFrames[i] = round.cameras[i].dartReference;
    round.callStartGreys[i] = round.cameras[i].referenceChangeMask;
  }
}

// The per-camera change of the frame against the working background, recomputed for a
// camera whose background was just patched.
void recomputeStoredChange(Camera& c) {
  c.dartReference = toGray(c.backgroundFrame);
  c.referenceChangeMask = nativeDifferenceMask(c.emptyReference, c.dartReference);
}

// The last dart entered by an early what-if is absorbed into the background with the frame
// that follows it.
void absorbEarlyDart(Round& round, const std::vector<cv::Mat>& frames) {
  if (round.knownDartMasks.empty() || round.entries.empty()) return;
  const Point2 point = pointFromJson(round.entries.back().at("board_xy_nominal_mm"));
  ImageTriple& newest = round.knownDartMasks.back();
  for (int i = 0; i < 3; ++i) {
    if (newest[i].empty() || cv::countNonZero(newest[i]) == 0) continue;
    Camera& c = round.cameras[i];
    const cv::Mat grown = dilateMask(newest[i], 41, true);
    c.backgroundFrame = c.backgroundFrame.clone();
    frames[i].copyTo(c.backgroundFrame, grown);
    recomputeStoredChange(c);
    cv::Mat kept;
    cv::bitwise_and(c.referenceChangeMask, grown, kept);
    newest[i] = isolateComponentsAtBoardPoint(kept, c.boardToImage, point, true);
  }
}

json settlingReply(const Round& round, const std::string& reason) {
  return {{"status", "SETTLING"}, {"reason", reason}, {"early", true},
          {"entries", round.entries}, {"round", round.roundNumber},
          {"engine_flags", buildEngineFlags(round)}};
}

// Plant mode: a change outside the board after the window has run 2.5 s is absorbed into the
// background instead of keeping the round waiting.
void applyPlantMode(Round& round, const std::vector<cv::Mat>& frames, double now, json& result) {
  const std::string status = statusOf(result);
  if (!processSwitches().plantMode || round.recovery || round.reviewRequired || entersThrow(result) ||
      round.decisionWindowStart < 0.0 || now - round.decisionWindowStart < kPlantModeAge ||
      !isOneOf(status, {"POSITION_UNRESOLVED", "BOUNCER_CANDIDATE", "READY", "WAIT"})) {
    return;
  }
  json point = nullptr;
  if (result.contains("decision") && result["decision"].is_object()) point = result["decision"].value("point", json());
  if (!point.is_array()) {
    point = !round.pendingCandidate.is_null() ? round.pendingCandidate.value("point", json()) : round.fallbackPoint;
  }
  const double radius = round.boardRadiusMm + kPlantModeMarginMm;
  json boardChange = nullptr;
  bool outside = false;
  if (point.is_array() && point.size() >= 2 && point[0].is_number() && point[1].is_number()) {
    outside = std::hypot(point[0].get<double>(), point[1].get<double>()) > radius;
  } else {
    outside = true;
    boardChange = json::object();
    for (int i = 0; i < 3; ++i) {
      const Camera& c = round.cameras[i];
      cv::Mat changed = nativeDifferenceMask(c.dartReference, toGray(frames[i]));
      cv::bitwise_and(changed, getBoardRegionMask(changed.size(), c.boardToImage, radius), changed);
      const int count = cv::countNonZero(changed);
      boardChange[cameraIds[i]] = count;
      outside = outside && count < minPixelsForCamera(c);
    }
  }
  if (!outside) return;
  json absorbed = json::object();
  for (int i = 0; i < 3; ++i) {
    Camera& c = round.cameras[i];
    const cv::Mat region = getBoardRegionMask(frames[i].size(), c.boardToImage, radius);
    const cv::Mat outsideMask = dilateMask(~region, 9, false);
    cv::Mat moved;
    cv::bitwise_and(nativeDifferenceMask(c.dartReference, toGray(frames[i])), outsideMask, moved);
    for (const ImageTriple& set : round.knownDartMasks) {
      if (!set[i].empty()) cv::bitwise_and(moved, ~set[i], moved);
    }
    moved = dilateMask(moved, 9, false);
    c.backgroundFrame = c.backgroundFrame.clone();
    frames[i].copyTo(c.backgroundFrame, moved);
    recomputeStoredChange(c);
    absorbed[cameraIds[i]] = cv::countNonZero(moved);
  }
  round.pendingCandidate = nullptr;
  round.pendingConfirmation = nullptr;
  round.fallbackPoint = nullptr;
  round.stableHypothesisHistory = json::array();
  resetFrameHistory(round);
  round.decisionWindowStart = -1.0;
  round.reviewRequired = false;
  round.unresolved = false;
  result = {{"status", round.entries.size() >= 3 ? "ROUND_FULL" : "READY"},
            {"reason", "PLANT_MODE_OUTSIDE_IGNORED"},
            {"point", point},
            {"absorbed_pixels", absorbed},
            {"board_change", boardChange},
            {"entries", round.entries},
            {"round", round.roundNumber}};
}

bool proofWanted(Round& round, const json& result, double now) {
  const std::string status = statusOf(result);
  const std::string reason = reasonOf(result);
  bool wanted = isOneOf(status, {"WAIT", "POSITION_UNRESOLVED", "ROUND_FULL"}) ||
                (round.unresolved && status == "READY");
  const bool changedEmpty = !round.recovery && status == "READY" && round.entries.empty() &&
                            !result.value("unchanged", false);
  if (changedEmpty) {
    if (round.changedEmptySince < 0.0) round.changedEmptySince = now;
    if (now - round.changedEmptySince >= 1.0) wanted = true;
  } else {
    round.changedEmptySince = -1.0;
  }
  if (reason == "LIGHT_PATCH_NOT_A_DART") wanted = true;
  if (reason == "CAMERA_VOTE_NEEDS_FRESH_CONFIRMATION" || !round.pendingConfirmation.is_null()) wanted = false;
  if (!round.entries.empty()) {
    bool allBouncers = true;
    for (const json& e : round.entries) allBouncers = allBouncers && e.value("bouncer", false);
    if (allBouncers) wanted = round.entries.size() >= 3 && !entersThrow(result);
  }
  return wanted;
}

void runPassiveProof(Round& round, const std::vector<cv::Mat>& frames, double now, json& result) {
  const std::string status = statusOf(result);
  const bool empty = round.entries.empty();
  double interval = 0.2;
  if (empty && round.emptyProofTime < 0.0) {
    interval = (status == "POSITION_UNRESOLVED" || round.pendingSince >= 0.0) ? 0.5 : 2.0;
  } else if (status == "ROUND_FULL" && round.emptyProofTime < 0.0) {
    interval = 0.5;
  }
  if (now - round.passiveProofGateTime < interval) return;
  round.passiveProofGateTime = now;
  // A proof under way follows itself up quickly until no proof is wanted any more.
  if (round.emptyProofTime < 0.0) round.emptyProofTime = now;
  const json proof = round.recover(frames, now, kSkipRealign, kInPlay);
  const std::string proofStatus = statusOf(proof);
  if (isOneOf(proofStatus, {"EMPTY_PENDING", "EMPTY_RESET", "BACKGROUND_PENDING", "BACKGROUND_REFRESH",
                            "CALIBRATION_REJECTED", "RECOVERY_PENDING", "RECOVERY_RESUMED"})) {
    result = proof;
    return;
  }
  const json occupancy = proof.value("occupancy_check", json());
  if (proofStatus == "RECOVERY_WAIT" && status == "WAIT" &&
      isOneOf(reasonOf(result), {"LARGE_INTERACTION_OR_LIGHTING", "OLD_OBJECT_MOVED_OR_PARTLY_REMOVED"}) &&
      !round.entries.empty() && occupancy.is_object() && occupancy.value("checked_darts", 0) >= 1 &&
      !occupancy.value("remaining_dart_evidence", true)) {
    if (now - round.takeoutRunLast > 0.6) round.takeoutRunStart = now;
    round.takeoutRunLast = now;
    if (now - round.takeoutRunStart >= 0.4) {
      beginTakeout(round);
      round.takeoutRunStart = -1.0;
      round.takeoutRunLast = -1.0;
      result = {{"status", "RECOVERY_WAIT"}, {"reason", "TAKEOUT_WITHOUT_SEEN_HAND"}, {"light_changed", true}};
    }
  }
}

json decisionWindowJson(const Round& round) {
  const double start = round.decisionWindowStart;
  return {{"active", start >= 0.0 && !round.reviewRequired},
          {"started", start},
          {"deadline", start >= 0.0 ? start + kDecisionWindow : -1.0},
          {"review_required", round.reviewRequired}};
}

// One call's frames, capture times and timing laps.
struct FrameCall {
  std::vector<cv::Mat> frames;  // tone-mapped
  std::array<double, 3> times{};
  double now = 0.0;             // the newest capture time
  int32_t epoch = 0;
  bool handSeen = false;
  double entryMs = 0.0;
  json laps = json::object();
  double lastLapMs = 0.0;
  AnalysesAhead ahead;          // made with the tone matching, for the evaluation
};

FrameCall readCall(Round& round, const json& request, const std::vector<cv::Mat>& input) {
  FrameCall call;
  call.entryMs = monotonicMilliseconds();
  call.lastLapMs = call.entryMs;
  if (!round.armed) throw std::runtime_error("ENGINE_NOT_ARMED");
  call.frames = intakeFrames(round, input);
  if (request.contains("miss_radius_mm")) setMissRadius(request);
  call.times = readCaptureTimes(request, TimeFloor::kAnyFinite);
  call.epoch = readEpoch(request);
  call.now = std::max({call.times[0], call.times[1], call.times[2]});
  call.handSeen = request.value("hand_seen", false);
  return call;
}

bool isFreshTriplet(const Round& round, const FrameCall& call) {
  const std::array<double, 3>& t = call.times;
  if (call.now - std::min({t[0], t[1], t[2]}) > kSyncSpread) return false;
  for (int i = 0; i < 3; ++i) {
    if (!(t[i] > round.lastCaptureTimes[i])) return false;
  }
  return true;
}

// A new epoch or a gap in the frames ends the recovery's timer; a long gap also drops what
// was pending.
void acceptTriplet(Round& round, const FrameCall& call) {
  const bool gap = round.lastFrameTime >= 0.0 && call.now - round.lastFrameTime > kFrameGap;
  if (call.epoch != round.lastEpoch || gap) {
    const bool longGap = round.lastFrameTime >= 0.0 && call.now - round.lastFrameTime > kLongGap;
    if (longGap) {
      round.pendingCandidate = nullptr;
      round.heldEventRecord = nullptr;
      round.heldEventCount = 0;
    }
    if (!round.recovery || longGap) round.recoveryTimer = -1.0;
  }
  round.lastCaptureTimes = call.times;
  round.lastFrameTime = call.now;
  round.lastEpoch = call.epoch;
}

// A seen hand drops everything pending and starts the recovery; a round whose darts are all
// gone starts the takeout.
void startRecoveryWhenCalledFor(Round& round, bool handSeen) {
  if (handSeen) {
    resetFrameHistory(round);
    round.pendingCandidate = nullptr;
    round.pendingConfirmation = nullptr;
    round.fallbackPoint = nullptr;
    round.earlyRecord = nullptr;
    round.decisionWindowStart = -1.0;
    round.reviewRequired = false;
    round.earlyAccepted = false;
    round.recovery = true;
    if (!round.entries.empty()) round.takeout = true;
  }
  if (!round.recovery && round.entries.size() >= 3 && allEntriesGone(round.entries)) {
    const json carried = round.heldEventRecord;
    beginTakeout(round);
    round.heldEventRecord = carried;
  }
}

void startCallTiming(Round& round) {
  takeCallStartSnapshots(round);
  round.cameraGuardWarning = nullptr;
}

// The recovery (throttled while it waits); while it waits, a fresh dart seen by two cameras
// is still scored with the earlier darts kept.
json recoverOrScoreThrow(Round& round, const FrameCall& call) {
  json result;
  const json& last = round.lastRecoveryReply;
  if (!last.is_null() && statusOf(last) == "RECOVERY_WAIT" &&
      call.now - round.lastRecoveryTime < kRecoveryThrottle) {
    result = last;
    result["throttled"] = true;
  } else {
    result = round.recover(call.frames, call.now, kRealign, kInPlay);
    round.lastRecoveryReply = result;
    round.lastRecoveryTime = call.now;
  }
  if (!round.reviewRequired && statusOf(result) == "RECOVERY_WAIT" &&
      hasFreshChangeInTwoCameras(round, call.frames)) {
    const bool takeout = round.takeout;
    round.takeout = false;
    json thrown = evaluateRoundFrames(round, call.frames, call.now);
    const std::string s = statusOf(thrown);
    if (isOneOf(s, {"DART_CANDIDATE", "POSITION_UNRESOLVED", "BOUNCER_CANDIDATE"})) {
      thrown["recovery_fallback"] = "THROW_WITH_ALL_DARTS_RETAINED";
      thrown["remaining_pixels"] = result.value("remaining_pixels", json::object());
      result = thrown;
    }
    if (!entersThrow(thrown)) round.takeout = takeout;
  }
  return result;
}

// The early tip: evaluated on a what-if copy of the round, adopted only with a dart; every
// other answer is a "SETTLING" reply that ends the call.
json evaluateEarlyTip(Round& round, const FrameCall& call) {
  if (round.earlyAccepted || round.entries.size() >= 3) {
    return settlingReply(round, "PREVIOUS_EARLY_DART_SETTLING");
  }
  Round whatIf = round;
  whatIf.earlyEvaluation = true;
  json answer = evaluateRoundFramesWith(whatIf, call.frames, call.now, call.ahead);
  round.earlyRecord = whatIf.earlyRecord;
  if (statusOf(answer) != "DART_CANDIDATE") {
    const std::string reason = reasonOf(answer);
    return settlingReply(round, reason.empty() ? "EARLY_NO_DECISION" : reason);
  }
  whatIf.earlyEvaluation = false;
  whatIf.earlyRecord = nullptr;
  whatIf.earlyAccepted = true;
  round = std::move(whatIf);
  answer["early_acceptance"] = true;
  return answer;
}

// Each camera's frame brought to its working background's light before the change masks, so
// that a light change between the empty board and a dart leaves only the dart. The record of
// the cameras whose light was looked at, null when none.
// When the evaluation follows, the same fan-out analyses each matched frame for it: on small
// frames waking the workers costs about as much as the analysis. A brighter frame re-lights
// the camera's references first, so its camera is analysed by the evaluation itself.
json matchFrameTones(Round& round, FrameCall& call, bool analyse) {
  auto job = [&](int camera) {
    FrameToneMatch match = toneMatchFrameToBackground(round, camera, call.frames[camera]);
    AnalysisAhead ahead;
    if (analyse && !match.brighter) ahead = analyseAhead(round, camera, match.frame, call.now);
    return std::make_pair(std::move(match), std::move(ahead));
  };
  auto made = runOnCameraWorkers(job);
  std::array<FrameToneMatch, 3> matches;
  for (int i = 0; i < 3; ++i) {
    matches[i] = std::move(made[i].first);
    call.ahead[i] = std::move(made[i].second);
  }
  json record = nullptr;
  for (int i = 0; i < 3; ++i) {
    call.frames[i] = matches[i].frame;
    json seen = matches[i].record;
    bool lightChanged = matches[i].matched && !round.inputLut[i].empty();
    if (matches[i].brighter) {
      seen["relit"] = relightToBrighterFrame(round, i, call.frames[i], call.now);
      lightChanged = !seen["relit"].is_null();
    }
    // A change of light the recovery should know of.
    if (lightChanged) round.lightEventTime = call.now;
    if (seen.is_null()) continue;
    if (record.is_null()) record = json::object();
    record[cameraIds[i]] = seen;
  }
  return record;
}

json evaluateSettledFrames(Round& round, const FrameCall& call) {
  round.earlyRecord = nullptr;
  if (round.earlyAccepted) {
    round.earlyAccepted = false;
    absorbEarlyDart(round, call.frames);
  }
  json result = evaluateRoundFramesWith(round, call.frames, call.now, call.ahead);
  if (mayBeFormerLight(round, result, call.now) && restoreFormerLight(round, call.frames, call.now)) {
    takeCallStartSnapshots(round);
    result = evaluateRoundFrames(round, call.frames, call.now);
    result["former_light"] = true;
  }
  return result;
}

// What a later throw tells the host while a review is pending: a dart, one left undecided,
// the darts leaving.
bool isThrowNews(const json& result) {
  return entersThrow(result) || isOneOf(statusOf(result), {"POSITION_UNRESOLVED", "DART_REMOVED"});
}

// The plant mode and, while a review is required, the decision window's verdict unless a later
// throw has news.
void applyCallGuards(Round& round, FrameCall& call, json& result) {
  applyPlantMode(round, call.frames, call.now, result);
  if (round.reviewRequired && !isThrowNews(result) &&
      !isOneOf(statusOf(result), {"EMPTY_PENDING", "EMPTY_RESET", "BACKGROUND_PENDING", "BACKGROUND_REFRESH"})) {
    const bool absorbed = result.value("unresolved_in_background", false);
    result = checkDecisionWindow(round, call.now);
    // The kept darts follow what the evaluation did with them.
    if (absorbed) result["unresolved_in_background"] = true;
  }
  recordTimingLap(call.laps, call.lastLapMs, "core");
  if (!round.cameraGuardWarning.is_null()) result["camera_guard_warning"] = round.cameraGuardWarning;
}

void confirmOrDropTransient(Round& round, const json& request, const FrameCall& call, json& result) {
  if (isOneOf(statusOf(result), {"READY", "WAIT", "POSITION_UNRESOLVED"})) {
    json confirmed = confirmTransient(round, request, call.frames);
    if (!confirmed.is_null()) result = confirmed;
  } else {
    round.pendingTransient = nullptr;
  }
  if (entersThrow(result) && round.recovery) endRecovery(round);
}

// A new dart opens its tip sampling; later quiet frames refine the last one.
void sampleOrRefineTip(Round& round, FrameCall& call, json& result) {
  const std::string published = statusOf(result);
  if (published == "DART_CANDIDATE" && !result["entry"].value("bouncer", false)) {
    beginTipSampling(round, result, call.epoch);
  } else if (isOneOf(published, {"READY", "ROUND_FULL"}) && !round.tipSampling.is_null() && !round.recovery) {
    const json refined = refinePublishedDart(round, call.frames, call.epoch);
    if (refined.is_object()) {
      for (auto it = refined.begin(); it != refined.end(); ++it) result[it.key()] = it.value();
      result["status"] = "DART_REFINED";
    }
  } else {
    round.tipSampling = nullptr;
  }
  recordTimingLap(call.laps, call.lastLapMs, "transient_refine");
}

void adaptBackgroundWhenQuiet(Round& round, FrameCall& call, json& result) {
  if (statusOf(result) == "READY" && result.value("unchanged", false) && round.entries.empty() &&
      !round.recovery && !round.unresolved) {
    result["background_adapted"] = refreshReferenceFrames(round, call.frames, call.now);
  }
  recordTimingLap(call.laps, call.lastLapMs, "background_adapt");
}

void provePassivelyWhenWanted(Round& round, FrameCall& call, json& result) {
  const bool wanted = proofWanted(round, result, call.now);
  if (!round.recovery && wanted) {
    runPassiveProof(round, call.frames, call.now, result);
  } else if (!wanted && !(round.reviewRequired && isOneOf(statusOf(result), {"EMPTY_PENDING", "BACKGROUND_PENDING"}))) {
    round.emptyProofTime = -1.0;
  }
  recordTimingLap(call.laps, call.lastLapMs, "passive_proof");
}

// The recovery and unresolved flags follow the published status; the position arbitration
// sees it.
void followStatus(Round& round, const FrameCall& call, json& result) {
  const std::string status = statusOf(result);
  if (isOneOf(status, {"EMPTY_RESET", "RECOVERY_RESUMED", "BACKGROUND_REFRESH"})) endRecovery(round);
  if (status == "DART_REMOVED") {
    round.lastRecoveryReply = nullptr;
    round.recoveryRetryTime = -1.0;
    round.recoveryRetryCount = 0;
  }
  if (status == "POSITION_UNRESOLVED") round.unresolved = true;
  if (entersThrow(result) || isOneOf(status, {"EMPTY_RESET", "RECOVERY_RESUMED", "BACKGROUND_REFRESH"})) {
    round.unresolved = false;
  }
  followUnresolvedDarts(round, result, call.handSeen, call.now);
  if (holdsUnresolvedDarts(round)) round.unresolved = true;
  arbitratePosition(round, status, call.now, result);
}

// Three seconds without a reliable score turn into a review; a decision or a quiet board
// closes the window.
// An unresolved dart that a later entry did not place keeps the window open from the time it
// was first left undecided.
void keepWindowForUnresolvedDarts(Round& round) {
  for (const UnresolvedDart& dart : round.unresolvedDarts) {
    const double since = dart.record.value("since", -1.0);
    if (since >= 0.0 && (round.decisionWindowStart < 0.0 || since < round.decisionWindowStart)) {
      round.decisionWindowStart = since;
    }
  }
}

void runDecisionWindow(Round& round, const FrameCall& call, json& result) {
  keepWindowForUnresolvedDarts(round);
  const std::string status = statusOf(result);
  const bool pending = isOneOf(status, {"BACKGROUND_PENDING", "EMPTY_PENDING", "RECOVERY_PENDING"}) ||
                       isPendingWindowOpen(round, call.now);
  if (!round.recovery && !round.reviewRequired && !pending && round.decisionWindowStart >= 0.0 &&
      !entersThrow(result) && !isOneOf(status, {"EMPTY_RESET", "BACKGROUND_REFRESH"})) {
    const double age = call.now + (monotonicMilliseconds() - call.entryMs) / 1000.0 - round.decisionWindowStart;
    if (age >= kDecisionWindow) {
      result["status"] = "DECISION_REVIEW_REQUIRED";
      result["reason"] = "NO_RELIABLE_SCORE_WITHIN_THREE_SECONDS";
      round.reviewRequired = true;
      round.pendingCandidate = nullptr;
      round.pendingConfirmation = nullptr;
    }
  }
  result["decision_window"] = decisionWindowJson(round);
  const std::string final = statusOf(result);
  if (entersThrow(result) || isOneOf(final, {"EMPTY_RESET", "BACKGROUND_REFRESH"}) ||
      (final == "READY" && result.value("unchanged", false))) {
    resetFrameHistory(round);
    round.pendingConfirmation = nullptr;
    round.fallbackPoint = nullptr;
    if (!holdsUnresolvedDarts(round)) {
      round.decisionWindowStart = -1.0;
      round.reviewRequired = false;
      result["decision_window"]["active"] = false;
      result["decision_window"]["review_required"] = false;
    }
  }
  if (holdsUnresolvedDarts(round)) result["decision_window"]["unresolved_darts"] = unresolvedDartsJson(round);
}

// The host event when something new happened (a removal keeps the darts of the last one).
json newHostEvent(Round& round, const json& result) {
  // A bouncer the evaluation entered is a throw like every other entry.
  const bool bouncerEntered = statusOf(result) == "BOUNCER_CANDIDATE" && entersThrow(result);
  json event = bouncerEntered ? buildHostEvent(json{{"status", "DART_CANDIDATE"}, {"entries", result["entries"]}})
                              : buildHostEvent(result);
  if (statusOf(result) == "DART_REMOVED" && !round.state.is_null() && event.is_object()) {
    event["data"]["throws"] = round.state["data"]["throws"];
    event["data"]["numThrows"] = round.state["data"]["numThrows"];
  }
  if (!event.is_null()) {
    if (event == round.state) return nullptr;
    round.state = event;
  }
  return event;
}

void composeReply(Round& round, FrameCall& call, json& result) {
  const std::string final = statusOf(result);
  result["entries"] = round.entries;
  // The workers are idle between fan-outs, so the records are read here rather than through
  // a fan-out of its own, whose thread wake-ups cost more than the copies.
  result["surround_filter"] =
      json::array({round.cameras[0].record, round.cameras[1].record, round.cameras[2].record});
  result["state"] = newHostEvent(round, result);
  result["snapshot"] = round.state;
  result["round"] = round.roundNumber;
  result["engine_flags"] = buildEngineFlags(round);
  recordTimingLap(call.laps, call.lastLapMs, "contract_state");
  result["timing"] = {{"detect_ms", call.laps}};
  if (!round.timing.empty()) result["timing"]["recovery_ms"] = round.timing;
  // The recovery's phase times grow over the calls of one recovery; a finished one leaves
  // them to the next.
  if (!round.recovery) round.timing = json::object();
  result["processMs"] = monotonicMilliseconds() - call.entryMs;
  result["rebase"] = isOneOf(final, {"EMPTY_RESET", "RECOVERY_RESUMED", "BACKGROUND_REFRESH"}) ? json(call.now) : json(nullptr);
}

json processOn(Round& round, const json& request, const std::vector<cv::Mat>& input) {
  FrameCall call = readCall(round, request, input);
  if (!isFreshTriplet(round, call)) return waitFreshTriplet();
  acceptTriplet(round, call);
  startRecoveryWhenCalledFor(round, call.handSeen);
  startCallTiming(round);

  json result;
  json tone = nullptr;
  // A review of darts the working background holds leaves the board in play: a later dart is a
  // throw of its own, and nothing says it must wait for the player's answer.
  const bool reviewInPlay = !round.recovery && round.reviewRequired && unresolvedDartsInBackground(round) &&
                            round.parkedFrames[0].empty();
  const bool inPlay = !round.recovery && (!round.reviewRequired || reviewInPlay);
  // "early" is read only for a triplet in play: a recovery ignores it, whatever its type.
  const bool early = inPlay && !round.reviewRequired && request.value("early", false) && isPathEnabled("EARLY_TIP");
  if (inPlay) {
    // An early call that only answers that the last early dart is settling evaluates nothing.
    tone = matchFrameTones(round, call, !early || !(round.earlyAccepted || round.entries.size() >= 3));
  }
  if (round.recovery) {
    result = recoverOrScoreThrow(round, call);
  } else if (round.reviewRequired) {
    result = reviewInPlay ? evaluateSettledFrames(round, call) : json();
    // Without news of a throw the review looks for the takeout, as it always has.
    if (!isThrowNews(result)) {
      const bool absorbed = result.is_object() && result.value("unresolved_in_background", false);
      result = round.recover(call.frames, call.now, kSkipRealign, kInPlay);
      if (absorbed) result["unresolved_in_background"] = true;
    }
  } else if (early) {
    result = evaluateEarlyTip(round, call);
    if (statusOf(result) == "SETTLING") return result;
  } else {
    result = evaluateSettledFrames(round, call);
  }

  if (!tone.is_null() && result.is_object()) result["tone_matched"] = tone;
  applyCallGuards(round, call, result);
  confirmOrDropTransient(round, request, call, result);
  sampleOrRefineTip(round, call, result);
  adaptBackgroundWhenQuiet(round, call, result);
  provePassivelyWhenWanted(round, call, result);
  followStatus(round, call, result);
  runDecisionWindow(round, call, result);
  composeReply(round, call, result);
  return result;
}

}  // namespace

void recordTimingLap(json& laps, double& lastLapMs, const char* name) {
  const double now = monotonicMilliseconds();
  laps[name] = now - lastLapMs;
  lastLapMs = now;
}

bool allEntriesGone(const json& entries) {
  for (const json& e : entries) {
    if (!(e.value("bouncer", false) || e.value("bounceout", false) || e.value("departed", false))) return false;
  }
  return true;
}

bool allToneTablesEmpty(const ImageTriple& tables) {
  return tables[0].empty() && tables[1].empty() && tables[2].empty();
}

json processRoundFrames(Round& round, const json& request, const std::vector<cv::Mat>& frames) {
  // Work on a copy (pixels are shared, never written in place): a failure anywhere leaves the
  // round as it was, so a dart is never entered without the host hearing of it.
  Round working = round;
  const CameraWorkersInCall inCall;
  json result = processOn(working, request, frames);
  round = std::move(working);
  return result;
}

}  // namespace tarv

