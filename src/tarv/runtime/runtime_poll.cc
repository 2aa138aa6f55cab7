// One tick of the scoring run: the newest frame triplet, motion per camera, whether the board
// settled and whether the engine must look now; then the engine call, the review of darts
// that bounced out between calls, and the evidence of what was decided.
#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <stdexcept>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "tarv/core/board_geometry.h"
#include "tarv/core/json_fields.h"
#include "tarv/runtime/runtime.h"
#include "tarv/runtime/transient_views.h"
#include "tarv/tarv.h"
#include "tarv/views/image_ops.h"

namespace tarv {

namespace {

bool isEmptyResult(const json& j) {
  return j.is_null() || ((j.is_object() || j.is_array()) && j.empty());
}

json objectMember(const json& j, const char* key) {
  if (!j.is_object()) return json::object();
  const auto it = j.find(key);
  return it != j.end() && it->is_object() ? *it : json::object();
}

double numberOr(const json& j, const char* key, double fallback) {
  if (!j.is_object()) return fallback;
  const auto it = j.find(key);
  return it != j.end() && it->is_number() ? it->get<double>() : fallback;
}

bool optionFlag(const Runtime& rt, const char* key, bool fallback) {
  if (!rt.options.is_object()) return fallback;
  const auto it = rt.options.find(key);
  return it != rt.options.end() && it->is_boolean() ? it->get<bool>() : fallback;
}

int32_t entryCount(const json& result) {
  if (!result.is_object()) return 0;
  const auto it = result.find("entries");
  return it != result.end() && it->is_array() ? static_cast<int32_t>(it->size()) : 0;
}

json framesTimes(const std::array<double, 3>& t) { return json(t); }

struct Tick {
  double now = 0.0;
  double newest = 0.0;
  double oldest = 0.0;
  int32_t settleFrames = 1;
  bool early = false;
  bool recoveryProbe = false;
  bool confirmationProbe = false;
  bool discoveryProbe = false;
  bool recovery = false;
  bool confirmation = false;
  bool pending = false;
  int32_t quietCameras = 0;
  json motionCameras = json::object();
  json motionState;
  std::vector<cv::Mat> full;
  std::vector<cv::Mat> half;
};

json startCheck(Runtime& rt, Tick& t) {
  const json reply = callEngine(
      *rt.engines, rt.engine, rt.restartCheck ? "restart_empty_check" : "startup_check", t.full,
      {{"times", framesTimes(rt.frameTimes)},
       {"auto_realign", optionFlag(rt, "auto_realign", true)},
       {"adaptive_threshold", optionFlag(rt, "adaptive_threshold", false)}});
  rt.lastResult = reply;
  if (reply.contains("camera_realigned")) takeEngineCalibrations(rt, reply);
  if (textOf(reply, "status") == "STARTUP_READY" || flagOf(reply, "restart_reference_refreshed")) {
    takeEngineCalibrations(rt, reply);
    rt.startupPending = false;
    rt.restartCheck = false;
    // A user reset ends when its new run has proved the board empty.
    rt.resetPending = false;
    clearMotionHistory(rt.history);
    MotionSample sample;
    sample.captureTimes = rt.frameTimes;
    sample.sequences = rt.frameNumbers;
    for (size_t i = 0; i < 3; ++i) sample.frames[i] = t.half[i];
    pushMotionSampleLocked(rt.history, std::move(sample));
    rt.historyWindowStart = t.oldest - 1e-6;
    rt.historyWindowEnd = t.newest;
    rt.handFlag = false;
  }
  for (size_t i = 0; i < 3; ++i) rt.idleReferences[i] = t.half[i];
  enqueueReportEvent(rt.recorder,
                     {{"status", "STARTUP"},
                      {"result", rt.lastResult},
                      {"capture_times", rt.frameTimes},
                      {"sequences", rt.frameNumbers}},
                     t.full, t.now, {});
  return {{"status", "DETECTION"}, {"result", rt.lastResult}, {"frame_age_ms", (t.now - t.oldest) * 1000.0}};
}

std::vector<cv::Mat> regionMasks(Runtime& rt, const MotionSample& first, double radius) {
  std::vector<cv::Mat> masks;
  const json calibrations = rt.options.value("calibrations", json());
  for (size_t i = 0; i < 3; ++i) {
    Homography h{};
    if (!calibrations.is_array() || calibrations.size() != 3 || !readCalibration(calibrations[i], h)) {
      return {};
    }
    const cv::Size size = first.frames[i].size();
    masks.push_back(getBoardRegionMask(
        size, scaleHomography(h, static_cast<double>(size.width) / rt.width,
                              static_cast<double>(size.height) / rt.height),
        radius));
  }
  return masks;
}

json detect(Runtime& rt, Tick& t) {
  const double t0 = tarv_monotonic_seconds();
  const json& o = rt.options;
  rt.lastResult = callEngine(*rt.engines, rt.engine, "detect", t.full,
                             {{"times", framesTimes(rt.frameTimes)},
                              {"epoch", rt.epoch},
                              {"hand_seen", rt.handFlag},
                              {"confirm_transient", false},
                              {"early", t.early},
                              {"miss_radius_mm", o.value("miss_radius_mm", 300.0)},
                              {"dart_3d", optionFlag(rt, "dart_3d", true)},
                              {"auto_realign", optionFlag(rt, "auto_realign", true)},
                              {"plant_mode", optionFlag(rt, "plant_mode", false)},
                              {"adaptive_threshold", optionFlag(rt, "adaptive_threshold", false)}});
  const double t1 = tarv_monotonic_seconds();
  if (rt.lastResult.contains("camera_realigned")) takeEngineCalibrations(rt, rt.lastResult);

  const json scope = buildScoringScope(rt);
  json reviews = json::array();
  std::vector<MotionSample> reportSequence;
  const std::string status = textOf(rt.lastResult, "status");
  if (!t.early && (status == "READY" || status == "BOUNCER_CANDIDATE") &&
      textOf(rt.lastResult, "reason") != "SURROUND_IGNORED" && t.quietCameras >= 2 &&
      !rt.handFlag && !t.recovery && !t.confirmation) {
    const std::vector<MotionSample> samples =
        queryMotionHistory(rt.history, rt.historyWindowEnd, rt.historyWindowStart, t.newest);
    if (!samples.empty()) {
      const std::vector<cv::Mat> masks = regionMasks(rt, samples.front(), scope.value("radius", 300.0));
      const double window = std::max(0.15, 2.5 * frameInterval(rt.frameRate.load()));
      const std::vector<MotionSample> views = findTransientViews(samples, masks, window);
      reportSequence = pickReportSequence(samples, views);
      for (const MotionSample& view : views) {
        std::vector<cv::Mat> images(view.frames.begin(), view.frames.end());
        images.insert(images.end(), t.full.begin(), t.full.end());
        const json reply = callEngine(*rt.engines, rt.engine, "motion_bouncer", images,
                                      {{"times", view.captureTimes},
                                       {"current_times", rt.frameTimes},
                                       {"epoch", rt.epoch},
                                       {"hand_seen", view.handSeen || rt.handFlag},
                                       {"frame_interval", frameInterval(rt.frameRate.load())}});
        const json review = reply.is_object() && reply.contains("motion_bouncer") ? reply.at("motion_bouncer") : reply;
        reviews.push_back({{"status", textOf(reply, "status")},
                           {"reason", textOf(review, "reason")},
                           {"times", view.captureTimes},
                           {"transient_views", review.is_object() ? review.value("transient_views", json()) : json()},
                           {"after", review.is_object() ? review.value("after", json()) : json()}});
        if (textOf(reply, "status") == "DART_CANDIDATE") {
          rt.lastResult = reply;
          break;
        }
      }
    }
  }
  json& result = rt.lastResult;
  if (!result.is_object()) result = json::object();
  result["motion_cameras"] = t.motionCameras;
  json motionState = t.motionState;
  motionState["darts"] = entryCount(result);
  result["motion_state"] = motionState;
  result["motion_history"] = motionHistoryStats(rt.history);
  result["scoring_scope"] = scope;
  result["recovery_confirmation_probe"] = t.recoveryProbe && t.pending;
  rt.coreCalls += 1;
  const double coreMs = (t1 - t0) * 1000.0;
  rt.coreMs += coreMs;
  const double after = tarv_monotonic_seconds();
  result["runtime_timing"] = {{"transient_review_ms", (after - t1) * 1000.0},
                              {"core_call_ms", coreMs},
                              {"capture_to_result_ms", (after - t.oldest) * 1000.0},
                              {"confirmation_probe", t.confirmationProbe},
                              {"discovery_probe", t.discoveryProbe},
                              {"early_probe", t.early}};
  if (!reviews.empty()) result["transient_review"] = reviews;
  const std::string final = textOf(result, "status");
  if (!(t.early && final == "DART_CANDIDATE")) rt.historyWindowEnd = t.newest;
  if (final == "EMPTY_RESET" || final == "RECOVERY_RESUMED" || final == "BACKGROUND_REFRESH") {
    rt.historyWindowStart = t.newest;
    clearMotionHistory(rt.history);
  }
  for (size_t i = 0; i < 3; ++i) rt.idleReferences[i] = t.half[i];
  const double settle = rt.settleSeconds.load();
  enqueueReportEvent(rt.recorder,
                     {{"status", "DETECTION"},
                      {"result", result},
                      {"capture_times", rt.frameTimes},
                      {"sequences", rt.frameNumbers},
                      {"hand_seen", rt.handFlag},
                      {"epoch", rt.epoch},
                      {"quiet_frames", rt.quietFrames},
                      {"motion_pixels", rt.motionPixels},
                      {"settle_ms", static_cast<int64_t>(std::round(settle * 1000.0))},
                      {"settle_frames", t.settleFrames},
                      {"frame_rate", rt.frameRate.load()},
                      {"early_probe", t.early}},
                     t.full, t.now, reportSequence);
  rt.handFlag = false;
  return {{"status", "DETECTION"},
          {"result", result},
          {"capture_times", rt.frameTimes},
          {"sequences", rt.frameNumbers},
          {"timestamp_source", "host_receive_monotonic"},
          {"frame_age_ms", (t.now - t.oldest) * 1000.0}};
}

json previewOnly(Runtime& rt) {
  bool strict = true, relaxed = true;
  for (size_t i = 0; i < 3; ++i) {
    const double pixels = static_cast<double>(std::max<size_t>(rt.previewImages[i].total(), 1));
    rt.motionFractions[i] = cv::countNonZero(rt.previewMasks[i]) / pixels;
    strict = strict && rt.motionFractions[i] < 0.002;
    relaxed = relaxed && rt.motionFractions[i] < 0.02;
  }
  rt.quietFrames = strict ? rt.quietFrames + 1 : 0;
  rt.relaxedQuietFrames = relaxed ? rt.relaxedQuietFrames + 1 : 0;
  const bool reached = rt.quietFrames >= 3 || rt.relaxedQuietFrames >= 8;
  return {{"status", "PREVIEW_ONLY"},
          {"quiet_frames", reached ? std::max(3, rt.quietFrames) : rt.quietFrames},
          {"strict_quiet_frames", rt.quietFrames},
          {"relaxed_quiet_frames", rt.relaxedQuietFrames},
          {"spread_ms", rt.spread * 1000.0},
          {"motion_fraction", rt.motionFractions},
          {"scoring", false}};
}

double idleRecheckInterval(const Runtime& rt, double now) {
  return now - rt.lastActivityTime > 5.0 ? 0.4 : 0.2;
}

using Reply = std::optional<json>;

// What one tick found out so far beyond the Tick handed to the engine phase.
struct TickFlags {
  int32_t handCameras = 0;
  bool historyMotion = false;
  bool waiting = false;
  bool anyProbe = false;
  bool justSettled = false;
  bool fast = false;
  bool idleCandidate = false;
  std::string status;
};

// Steps 1 to 3: a stopped runtime, the saved-calibration editor, a result left for this poll.
Reply earlyReply(Runtime& rt) {
  if (!rt.running) return json{{"status", "STOPPED"}};
  if (rt.savedCalibrationEditing) return json{{"status", "SAVED_CALIBRATION_EDITING"}, {"scoring", false}};
  if (!isEmptyResult(rt.pendingResult)) {
    json reply = {{"status", "DETECTION"}, {"result", rt.pendingResult}};
    rt.pendingResult = json::object();
    return reply;
  }
  return std::nullopt;
}

// Step 4: the engine's decision window has run out.
Reply decisionWindowTimeout(Runtime& rt) {
  const json window = objectMember(rt.lastResult, "decision_window");
  const double now0 = tarv_monotonic_seconds();
  if (rt.setupOnly || rt.startupPending || !flagOf(window, "active") || numberOr(window, "deadline", 1e30) > now0) {
    return std::nullopt;
  }
  rt.lastResult = callEngine(*rt.engines, rt.engine, "decision_timeout", {}, {{"captured", now0}});
  enqueueReportEvent(rt.recorder, {{"status", "DETECTION"}, {"result", rt.lastResult}}, {}, now0, {});
  return json{{"status", "DETECTION"}, {"result", rt.lastResult}};
}

// Step 5: the newest quarter-size frame and motion mask of each camera.
Reply frameIntake(Runtime& rt) {
  for (uint32_t i = 0; i < 3; ++i) {
    cv::Mat& image = rt.previewImages[i];
    cv::Mat& mask = rt.previewMasks[i];
    uint32_t sequence = 0;
    double readMs = 0.0;
    int32_t maskPixels = 0, motionPixels = 0;
    const int32_t r = tarv_capture_wait_stats(i, 0, image.data, image.total() * 3, mask.data,
                                              mask.total(), &sequence, &readMs, &maskPixels,
                                              &motionPixels);
    if (r == 1) {
      rt.frameNumbers[i] = static_cast<int32_t>(sequence);
      rt.frameTimes[i] = tarv_capture_received(i, static_cast<int32_t>(sequence));
      rt.motionPixels[i] = maskPixels;
      estimateFrameRate(rt.estimator, static_cast<int>(i), static_cast<int32_t>(sequence),
                        rt.frameTimes[i], rt.frameRate);
    } else if (r != 0 && r != -3 && r != -4) {
      return json{{"status", "CAPTURE_ERROR"}, {"camera", i}, {"code", r}};
    }
  }
  return std::nullopt;
}

// Steps 6 and 7: frames too old or too far apart start settling from zero.
Reply frameFreshness(Runtime& rt, Tick& t) {
  t.now = tarv_monotonic_seconds();
  t.oldest = *std::min_element(rt.frameTimes.begin(), rt.frameTimes.end());
  t.newest = *std::max_element(rt.frameTimes.begin(), rt.frameTimes.end());
  const double spread = t.newest - t.oldest;
  if (rt.setupOnly) rt.spread = t.oldest <= 0.0 ? -1.0 : spread;
  const double fps = rt.frameRate.load();
  const double syncLimit = rt.setupOnly ? std::max(0.4, shortFrameAgeLimit(fps)) : shortFrameAgeLimit(fps);
  if (t.oldest > 0.0 && t.now - t.oldest <= frameFreshnessLimit(fps) && spread <= syncLimit) return std::nullopt;
  rt.quietFrames = 0;
  rt.relaxedQuietFrames = 0;
  resetRoundState(rt.motion);
  return json{{"status", "STALE_OR_UNSYNCED"}, {"spread_ms", t.oldest > 0.0 ? spread * 1000.0 : -1.0}};
}

// Step 8: every camera must have a frame newer than the last poll's.
Reply newFrames(Runtime& rt) {
  for (size_t i = 0; i < 3; ++i) {
    if (rt.frameNumbers[i] <= rt.previousFrameNumbers[i]) return json{{"status", "WAIT_NEW_FRAMES"}};
  }
  rt.previousFrameNumbers = rt.frameNumbers;
  return std::nullopt;
}

// Step 9: a user reset scores nothing until the user confirms the empty board.
Reply resetPending(const Runtime& rt) {
  if (!rt.resetPending) return std::nullopt;
  return json{{"status", "RESETTING"}};
}

// Step 11: motion per camera, its classification and the motion the history saw.
void scoringSetUp(Runtime& rt, Tick& t, TickFlags& f) {
  const double fps = rt.frameRate.load();
  setMotionHistoryInterval(rt.history, std::max(0.06, 1.1 * frameInterval(fps)));
  t.settleFrames = framesForDuration(fps, rt.settleSeconds.load());
  const int32_t handFrames = std::max(2, framesForDuration(fps, 0.1));
  const bool takeout = flagOf(objectMember(rt.lastResult, "engine_flags"), "takeout") || rt.handFlag;
  for (size_t i = 0; i < 3; ++i) {
    MotionMeasure m = measureMotion(rt.previewMasks[i], rt.boardMasks[i], rt.watchMasks[i],
                                    rt.detectionHeights[i]);
    t.motionCameras["CAM_" + std::to_string(i + 1)] = describeMotionMeasure(m);
    if (rt.motionPixels[i] < 0) m.quiet = false;
    updateCameraMotionState(rt.motion.cameras[i], rt.frameNumbers[i], rt.frameTimes[i], m,
                            t.settleFrames, takeout, handFrames);
  }
  classifyMotion(rt.motion, takeout);
  f.handCameras = rt.motion.handCameras;
  t.quietCameras = rt.motion.quietCameras;
  rt.handFlag = rt.handFlag || rt.motion.confirmedHandCameras >= 2;
  for (const MotionSample& s :
       queryMotionHistory(rt.history, rt.historyWindowEnd, rt.historyWindowStart, t.newest)) {
    rt.handFlag = rt.handFlag || s.handConfirmed;
    f.historyMotion = f.historyMotion || s.handSeen || s.moving;
  }
  rt.quietFrames = std::min({rt.motion.cameras[0].stableFrames, rt.motion.cameras[1].stableFrames,
                             rt.motion.cameras[2].stableFrames});
  t.motionState = describeMotionState(rt.motion, entryCount(rt.lastResult));
}

// Step 12: which probe is due, from the engine's last status and the motion of this tick.
void decisionFlags(Runtime& rt, Tick& t, TickFlags& f) {
  const std::string& S = f.status = textOf(rt.lastResult, "status");
  const std::string R = textOf(rt.lastResult, "reason");
  t.pending = S == "EMPTY_PENDING" || S == "BACKGROUND_PENDING" || S == "RECOVERY_PENDING";
  t.recovery = S == "RECOVERY_WAIT" || t.pending || S == "DECISION_REVIEW_REQUIRED" ||
               (rt.handFlag && !rt.startupPending);
  const json bestCamera = objectMember(rt.lastResult, "best_camera");
  t.confirmation = R == "CAMERA_VOTE_NEEDS_FRESH_CONFIRMATION" ||
                   R == "OUTSIDE_MISS_NEEDS_FRESH_CONFIRMATION" ||
                   flagOf(objectMember(rt.lastResult, "unassigned_support"), "preserved") ||
                   (bestCamera.contains("selected") && bestCamera.at("selected").is_object() &&
                    !flagOf(bestCamera, "applied"));
  if (rt.startupPending) rt.startupPolls += 1;
  f.waiting = S == "RECOVERY_WAIT" || S == "DECISION_REVIEW_REQUIRED" || S == "STARTUP_WAIT_EMPTY";
  if (f.waiting && rt.waitStart < 0.0) rt.waitStart = t.now;
  if (!f.waiting) rt.waitStart = -1.0;
  const double probeInterval =
      t.pending ? 0.075
      : (f.waiting && t.now - rt.waitStart > 5.0 && t.quietCameras >= 3 && f.handCameras == 0) ? 0.6
                                                                                               : 0.2;
  const double since = t.now - rt.lastDetectTime;
  t.recoveryProbe = (t.recovery || (rt.startupPending && rt.startupPolls >= 3)) && f.handCameras <= 1 &&
                    since >= probeInterval;
  t.confirmationProbe = t.confirmation && !rt.handFlag && f.handCameras <= 1 && since >= 0.075;
  t.discoveryProbe = !rt.startupPending && !t.recovery && !t.confirmation && f.handCameras <= 1 &&
                     t.quietCameras >= 2 && since >= 0.2;
  bool earlyShape = f.handCameras == 0 && t.quietCameras < 2;
  for (size_t i = 0; i < 3 && earlyShape; ++i) {
    const MotionMeasure& m = rt.motion.cameras[i].motion;
    earlyShape = m.quiet || m.board_pixels <= 6 * dartPixelThreshold(rt.detectionHeights[i]);
  }
  t.early = !rt.startupPending && !t.recovery && !t.confirmation && !t.discoveryProbe && earlyShape &&
            optionFlag(rt, "early_tip", true) && rt.settleSeconds.load() < 0.15 && since >= 0.03;
  f.anyProbe = t.recoveryProbe || t.confirmationProbe || t.discoveryProbe;
}

// Step 13: an unsettled board with nothing due.
Reply settling(Runtime& rt, const Tick& t, const TickFlags& f) {
  if (rt.quietFrames >= t.settleFrames || f.anyProbe || t.early) return std::nullopt;
  if (rt.settled) rt.epoch += 1;
  rt.settled = false;
  return json{{"status", f.handCameras > 1 ? "HAND_OR_MOTION" : "SETTLING"},
              {"quiet_frames", rt.quietFrames},
              {"motion_cameras", t.motionCameras},
              {"motion_state", t.motionState},
              {"recovery_pending", t.recovery},
              {"confirmation_pending", t.confirmation},
              {"hand_confirmed", rt.handFlag && !rt.startupPending && !rt.setupOnly}};
}

// Steps 14 and 15: settled now, and whether the engine was called too recently.
Reply engineInterval(Runtime& rt, const Tick& t, TickFlags& f) {
  f.justSettled = !f.anyProbe && !t.early && rt.quietFrames >= t.settleFrames && !rt.settled;
  rt.settled = t.settleFrames <= rt.quietFrames;
  f.fast = t.confirmation || f.status == "REMOVAL_PENDING" || t.pending;
  const double since = t.now - rt.lastDetectTime;
  if (!f.justSettled && !t.early && since < (f.fast ? 0.075 : 0.2)) return json{{"status", "WAIT_INTERVAL"}};
  return std::nullopt;
}

// Step 16: a quiet board the engine saw a moment ago is compared cheaply instead.
Reply idleCandidate(Runtime& rt, const Tick& t, TickFlags& f) {
  const double since = t.now - rt.lastDetectTime;
  f.idleCandidate = !f.historyMotion && t.quietCameras == 3 && t.discoveryProbe && !f.justSettled && !t.early &&
                    !t.recoveryProbe && !t.confirmationProbe && !f.fast && !rt.startupPending &&
                    (f.status == "READY" || f.status == "ROUND_FULL") && !flagOf(rt.lastResult, "unresolved") &&
                    since < 2.0;
  if (!f.idleCandidate) {
    rt.idleUnchanged = false;
    rt.lastActivityTime = t.now;
    return std::nullopt;
  }
  if (f.handCameras > 0) rt.lastActivityTime = t.now;
  if (rt.idleUnchanged && t.now - rt.lastIdleCheck < idleRecheckInterval(rt, t.now)) {
    return json{{"status", "WAIT_INTERVAL"}, {"reason", "IDLE_UNCHANGED"}};
  }
  return std::nullopt;
}

// Step 17: half-size rectified frames, kept as this tick's motion-history sample.
Reply halfFramesAndHistorySample(Runtime& rt, Tick& t, const TickFlags& f) {
  for (uint32_t i = 0; i < 3; ++i) {
    cv::Mat half(rt.height / 2, rt.width / 2, CV_8UC3);
    if (tarv_capture_copy_reduced(i, rt.frameNumbers[i], 2, half.data, half.total() * 3) != 1) {
      return json{{"status", "FRAME_EVICTED"}};
    }
    t.half.push_back(rt.lensMaps[i] ? undistortFrame(*rt.lensMaps[i], half, true) : half);
  }
  MotionSample sample;
  sample.captureTimes = rt.frameTimes;
  sample.sequences = rt.frameNumbers;
  for (size_t i = 0; i < 3; ++i) sample.frames[i] = t.half[i];
  sample.handSeen = f.handCameras > 1;
  pushMotionSampleLocked(rt.history, std::move(sample));
  return std::nullopt;
}

// Step 18: the idle comparison against the frames of the last engine call.
Reply idleComparison(Runtime& rt, const Tick& t, const TickFlags& f) {
  if (f.justSettled || rt.idleReferences[0].empty() || t.now - rt.lastIdleCheck < idleRecheckInterval(rt, t.now)) {
    return std::nullopt;
  }
  rt.lastIdleCheck = t.now;
  rt.idleChecks += 1;
  bool changed = false;
  const bool plant = optionFlag(rt, "plant_mode", false);
  for (size_t i = 0; i < 3; ++i) {
    const cv::Mat& reference = rt.idleReferences[i];
    if (reference.size() != t.half[i].size() || cv::norm(t.half[i], reference, cv::NORM_INF) <= 16.0) continue;
    cv::Mat a, b;
    cv::cvtColor(reference, a, cv::COLOR_BGR2GRAY);
    cv::cvtColor(t.half[i], b, cv::COLOR_BGR2GRAY);
    cv::Mat mask = nativeDifferenceMask(a, b);
    if (plant && mask.size() == rt.surroundMasks[i].size()) mask &= rt.surroundMasks[i];
    changed = changed || cv::countNonZero(mask) >= 20;
  }
  if (changed) {
    rt.epoch += 1;
    rt.idleChanged += 1;
    return std::nullopt;
  }
  rt.idleUnchanged = true;
  if (f.idleCandidate) return json{{"status", "WAIT_INTERVAL"}, {"reason", "IDLE_UNCHANGED"}};
  return std::nullopt;
}

// Step 19: the full-size rectified frames the engine is called with.
Reply fullFrames(Runtime& rt, Tick& t) {
  rt.idleUnchanged = false;
  for (uint32_t i = 0; i < 3; ++i) {
    cv::Mat frame(rt.height, rt.width, CV_8UC3);
    if (tarv_capture_copy(i, rt.frameNumbers[i], frame.data, frame.total() * 3) != 1) {
      return json{{"status", "FRAME_EVICTED"}};
    }
    t.full.push_back(rt.lensMaps[i] ? undistortFrame(*rt.lensMaps[i], frame, false) : frame);
  }
  rt.lastDetectTime = t.now;
  return std::nullopt;
}

}  // namespace

json pollRuntime(Runtime& rt) {
  if (Reply r = earlyReply(rt)) return *r;
  if (Reply r = decisionWindowTimeout(rt)) return *r;
  if (Reply r = frameIntake(rt)) return *r;
  Tick t;
  if (Reply r = frameFreshness(rt, t)) return *r;
  if (Reply r = newFrames(rt)) return *r;
  if (Reply r = resetPending(rt)) return *r;
  if (rt.setupOnly) return previewOnly(rt);

  TickFlags f;
  scoringSetUp(rt, t, f);
  decisionFlags(rt, t, f);
  if (Reply r = settling(rt, t, f)) return *r;
  if (Reply r = engineInterval(rt, t, f)) return *r;
  if (Reply r = idleCandidate(rt, t, f)) return *r;
  if (Reply r = halfFramesAndHistorySample(rt, t, f)) return *r;
  if (Reply r = idleComparison(rt, t, f)) return *r;
  if (Reply r = fullFrames(rt, t)) return *r;
  // Step 20: the engine phase; the start check while it is pending, else "detect".
  return rt.startupPending ? startCheck(rt, t) : detect(rt, t);
}

}  // namespace tarv
