#include "tarv/recovery/recovery_core.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include <opencv2/imgproc.hpp>

#include "tarv/board/board_layout.h"
#include "tarv/core/board_geometry.h"
#include "tarv/core/camera_worker_pool.h"
#include "tarv/core/engine_values.h"
#include "tarv/core/process_switches.h"
#include "tarv/views/board_outline_mask.h"
#include "tarv/recovery/change_masks.h"
#include "tarv/recovery/thin_shaft_check.h"
#include "tarv/recovery/tone_matching.h"
#include "tarv/recovery/unchanged_view.h"
#include "tarv/recovery/view_verdicts.h"
#include "tarv/views/board_features.h"
#include "tarv/views/image_ops.h"

namespace tarv {
namespace {

constexpr double kLightLevelStep = 3.0;
constexpr double kRecentLightSeconds = 3.0;

// One confirmation slot: its time lives beside the kind text the round already keeps.
struct Slot {
  double& time;
  std::string& kind;
};

json guardWarning() {
  return {{"reason", "CAMERA_MOVED_OR_VIEW_OBSCURED"},
          {"auto_realign", processSwitches().autoRealign.load()}};
}

void clearHeldEvents(Round& round) {
  round.heldEventCount = 0;
  round.heldEventRecord = nullptr;
  round.pendingCandidate = nullptr;
}

double meanDifferenceOnBoard(const Camera& camera, const cv::Mat& grey) {
  const cv::Mat outline = buildBoardRegionMask(grey.size(), camera.boardToImage, 175.0, 360);
  return std::abs(meanInside(grey, outline) - meanInside(camera.dartReference, outline));
}

std::vector<cv::Mat> asVector(const ImageTriple& images) {
  return std::vector<cv::Mat>(images.begin(), images.end());
}

json supportsArray(const RecoveryEvidence& ev) {
  json out = json::array();
  for (const json& r : ev.supportsReports) out.push_back(r);
  return out;
}

// Resume on the previous board when every view still shows exactly its dart reference.
json resumeUnchanged(Round& round, const std::vector<cv::Mat>& frames, const ImageTriple& greys,
                     Slot slot, double now) {
  auto job = [&](int c) { return testViewUnchanged(round, greys, c); };
  const auto unchanged = runOnCameraWorkers(job);
  if (!std::all_of(unchanged.begin(), unchanged.end(), [](bool b) { return b; })) return nullptr;
  if (!camerasStillFixed(round, greys)) round.cameraGuardWarning = guardWarning();
  if (!confirmRepeatedDecision(slot.time, slot.kind, now, "RESUME")) {
    return {{"status", "RECOVERY_PENDING"}, {"reason", "CONFIRM_PREVIOUS_BOARD"}};
  }
  bool newLight = false;
  for (int c = 0; c < 3 && !newLight; ++c) {
    newLight = meanDifferenceOnBoard(round.cameras[c], greys[c]) >= kLightLevelStep;
  }
  if (newLight) {
    refreshCameraBackgrounds(round, frames, asVector(greys));
  } else {
    for (int c = 0; c < 3; ++c) {
      Camera& cam = round.cameras[c];
      cam.backgroundFrame = frames[c].clone();
      cam.dartReference = greys[c].clone();
      cam.referenceChangeMask = nativeDifferenceMask(cam.emptyReference, greys[c]);
    }
  }
  clearHeldEvents(round);
  round.takeout = false;
  slot.time = -1.0;
  return {{"status", "RECOVERY_RESUMED"}};
}

// Resume on the previous board when only the light changed since the darts were seen.
json resumeUnderNewLight(Round& round, const std::vector<cv::Mat>& frames,
                         const ImageTriple& greys, Slot slot, double now) {
  auto changeJob = [&](int c) { return nativeDifferenceMask(round.cameras[c].dartReference, greys[c]); };
  const ImageTriple change = runOnCameraWorkers(changeJob);
  bool lightChanged = false;
  for (int c = 0; c < 3 && !lightChanged; ++c) {
    lightChanged = isWidespreadChangeInView(change[c], round.cameras[c]);
  }
  for (int c = 0; c < 3 && !lightChanged; ++c) {
    lightChanged = cv::countNonZero(change[c]) >= recoveryChangeLimit(round.cameras[c]) &&
                   meanDifferenceOnBoard(round.cameras[c], greys[c]) >= kLightLevelStep;
  }
  const double light = round.lightEventTime;
  const bool recentLight = light >= 0.0 && light <= now && now - light < kRecentLightSeconds;
  if (!lightChanged && !recentLight) return nullptr;
  auto residualChangeJob = [&](int c) {
    const Camera& cam = round.cameras[c];
    const int limit = recoveryChangeLimit(cam);
    if (cv::countNonZero(change[c]) < limit) return true;
    const cv::Mat region = buildBoardRegionMask(greys[c].size(), cam.boardToImage,
                                                std::max(175.0, round.boardRadiusMm), 360);
    const cv::Mat lut = lutDifferenceMask(cam.dartReference, greys[c], region, 24);
    return !lut.empty() && cv::countNonZero(lut) < limit;
  };
  const auto quiet = runOnCameraWorkers(residualChangeJob);
  if (!std::all_of(quiet.begin(), quiet.end(), [](bool b) { return b; })) return nullptr;
  if (!confirmRepeatedDecision(slot.time, slot.kind, now, "RESUME")) {
    return {{"status", "RECOVERY_PENDING"}, {"reason", "CONFIRM_PREVIOUS_BOARD"}, {"light_changed", true}};
  }
  refreshCameraBackgrounds(round, frames, asVector(greys));
  clearHeldEvents(round);
  round.takeout = false;
  slot.time = -1.0;
  return {{"status", "RECOVERY_RESUMED"}, {"reason", "SAME_BOARD_NEW_LIGHT"}, {"light_adapted", true}};
}

json waitReply(Round& round, const RecoveryEvidence& ev, const ImageTriple& greys,
               bool skipRealign, double now) {
  json reply = {{"status", "RECOVERY_WAIT"},
                {"reason", "WAIT_FOR_EMPTY_BOARD"},
                {"empty_proof", supportsArray(ev)},
                {"remaining_pixels", countChangedPerCamera(ev.residual)}};
  if (!ev.toneCheck.is_null()) reply["tone_check"] = ev.toneCheck;
  if (!ev.staticShift.is_null()) reply["static_shift"] = ev.staticShift;
  if (!ev.stableFlow.is_null()) reply["stable_flow"] = ev.stableFlow;
  reply["occupancy_check"] = {{"known_darts", round.entries.size()},
                              {"checked_darts", ev.checkedDarts},
                              {"remaining_dart_evidence", ev.remainingDartEvidence},
                              {"scope", "BOARD_ANY_VIEW_OUTSIDE_TWO_VIEWS"},
                              {"darts", ev.darts}};
  if (skipRealign) return reply;
  for (int c = 0; c < 3; ++c) round.cameras[c].residualMask = ev.residual[c].clone();
  if (round.waitStart < 0.0) round.waitStart = now;
  static constexpr double kDiagnosticAfter[3] = {0.0, 5.0, 15.0};
  const int64_t count = round.waitDiagnosticCount;
  if (count < 3 && now - round.waitStart >= kDiagnosticAfter[count]) {
    round.waitDiagnosticCount = count + 1;
    json cameras = json::object();
    for (int c = 0; c < 3; ++c) {
      const Camera& cam = round.cameras[c];
      const cv::Mat& r = ev.residual[c];
      const int pixels = r.empty() ? 0 : cv::countNonZero(r);
      json record = {{"remaining_pixels", pixels},
                     {"remaining_fraction", r.empty() ? 0.0 : static_cast<double>(pixels) / r.total()},
                     {"camera_guard", checkFixedCameraToneMatched(cam.features, greys[c])}};
      record.update(measureBrightnessOffset(cam.emptyReference, greys[c]));
      cameras[cameraIds[c]] = record;
    }
    reply["recovery_diagnostic"] = {
        {"number", round.waitDiagnosticCount}, {"cameras", cameras}, {"decision_input", false}};
  }
  return reply;
}

// Start-up only: something thin standing in front of the board that the change masks miss.
json startupObjectWait(Round& round, const RecoveryEvidence& ev, const ImageTriple& greys,
                       Slot slot) {
  const double outer = ringRadii()[5];
  const bool accepted = ev.staticShiftAccepted || ev.stableFlowAccepted;
  for (int c = 0; c < 3; ++c) {
    const Camera& cam = round.cameras[c];
    int remaining = 0;
    if (!ev.toneTolerant) {
      const json& report = ev.supportsReports[c];
      remaining = report.is_object() ? report.value("board_remaining_pixels", 0) : 0;
    } else if (!ev.residual[c].empty()) {
      const cv::Mat outline = buildBoardRegionMask(ev.residual[c].size(), cam.boardToImage, outer, 360);
      remaining = cv::countNonZero(ev.residual[c] & outline);
    }
    if (!accepted && remaining >= 40) {
      slot.time = -1.0;
      return {{"status", "RECOVERY_WAIT"},
              {"reason", "STARTUP_THIN_OBJECT"},
              {"camera", cameraIds[c]},
              {"empty_proof", supportsArray(ev)}};
    }
    if (accepted || ev.toneTolerant) continue;
    double radius = missRadiusMm();
    if (round.boardOnlyScope) {
      radius = round.boardRadiusMm;
      if (!(radius > outer)) continue;
    }
    json found = json::object();
    const UprightShaftResult shaft = testThinUprightShaft(cam, greys[c], found, radius);
    if (shaft == UprightShaftResult::kObject) {
      slot.time = -1.0;
      return {{"status", "RECOVERY_WAIT"},
              {"reason", "STARTUP_SURROUND_OBJECT"},
              {"camera", cameraIds[c]},
              {"startup_object", found}};
    }
    if (shaft == UprightShaftResult::kLightChange) {
      // The view cannot be cleared while its exposure does not match; the report names no
      // object, and "exposure_matched" says why.
      slot.time = -1.0;
      return {{"status", "RECOVERY_WAIT"},
              {"reason", "STARTUP_SURROUND_OBJECT"},
              {"camera", cameraIds[c]},
              {"startup_object", found},
              {"exposure_matched", false}};
    }
  }
  return nullptr;
}

// The round's part of a reset: entries and dart masks gone, the next round when it advanced.
// Answers the reply's reason and whether the round advanced.
std::pair<std::string, bool> clearRoundForReset(Round& round, Slot slot) {
  const std::string reason =
      round.takeout ? "AUTOMATIC_TAKEOUT" : "AUTOMATIC_RECOVERY_AFTER_UNRESOLVED_EVENT";
  const bool advanced = !round.entries.empty() || round.takeout;
  round.staticShiftTime = -1.0;
  round.stableFlowTime = -1.0;
  round.entries = json::array();
  round.knownDartMasks.clear();
  if (advanced) ++round.roundNumber;
  clearHeldEvents(round);
  round.takeout = false;
  round.allowResume = true;
  slot.time = -1.0;
  return {reason, advanced};
}

// Every known dart is gone, but a new object stands on the board (a dart thrown while the
// takeout was being proven): the frames are no empty board, so the next round starts on the
// references of the empty board instead, and the object is judged by the evaluation as the
// next round's first dart.
// A camera whose references were realigned gets its board features from the new empty board.
void refreshRealignedFeatures(Camera& cam) {
  if (cam.referencesRealigned) {
    cam.referencesRealigned = false;
    cam.features = collectBoardFeatures(cam.emptyReference, cam.boardToImage);
  }
}

json resetReply(const std::string& reason, bool advanced, const RecoveryEvidence& ev, bool outsideNoise,
                bool staticShift, bool stableFlow) {
  return {{"status", advanced ? "EMPTY_RESET" : "BACKGROUND_REFRESH"},
          {"reason", reason},
          {"round_advanced", advanced},
          {"lighting_corrected", ev.lightingCorrected},
          {"tone_tolerant", ev.toneTolerant},
          {"surface_only", ev.surfaceOnly},
          {"empty_proof", supportsArray(ev)},
          {"outside_noise_tolerated", outsideNoise},
          {"static_shift_accepted", staticShift},
          {"stable_flow_accepted", stableFlow},
          {"surround_marks_tolerated", ev.surroundMarks}};
}

json resetBesideNewObject(Round& round, const RecoveryEvidence& ev, Slot slot) {
  const auto [reason, advanced] = clearRoundForReset(round, slot);
  for (int c = 0; c < 3; ++c) {
    Camera& cam = round.cameras[c];
    cam.backgroundFrame = cam.emptyReferenceColour.clone();
    cam.dartReference = cam.emptyReference.clone();
    cam.referenceChangeMask = freshZeroMask(cam.emptyReference.size());
    refreshRealignedFeatures(cam);
  }
  json reply = resetReply(reason, advanced, ev, false, false, false);
  reply["new_object_present"] = true;
  if (!ev.newObject.is_null()) reply["new_object"] = ev.newObject;
  return reply;
}

json resetToEmptyBoard(Round& round, const std::vector<cv::Mat>& frames, const ImageTriple& greys,
                       const RecoveryEvidence& ev, Slot slot, double now) {
  const auto [reason, advanced] = clearRoundForReset(round, slot);
  const bool accepted = ev.staticShiftAccepted || ev.stableFlowAccepted;
  for (int c = 0; c < 3; ++c) {
    Camera& cam = round.cameras[c];
    const bool plain = !ev.lightingCorrected && !ev.outsideNoiseTolerated && !round.boardOnlyScope &&
                       !accepted && !cam.referencesRealigned;
    if (plain) {
      // Deep copies: the frames of a call may be the host's own buffers.
      cam.backgroundFrame = frames[c].clone();
      cam.dartReference = greys[c].clone();
    } else {
      bool matched = false;
      const cv::Mat toned =
          toneMatchToReference(round, c, frames[c], cam.emptyReferenceColour, cv::Mat(), matched, false);
      cam.backgroundFrame = toned.clone();
      cam.dartReference = toGray(cam.backgroundFrame).clone();
    }
    cam.referenceChangeMask = (ev.lightingCorrected ? ev.residual[c] : ev.rawChange[c]).clone();
    if (!plain) {
      if (!cam.emptyReferenceColour.empty() && cam.emptyReferenceColour.size() == frames[c].size()) {
        round.previousReferences[c] = cam.emptyReferenceColour;
        round.lastRebaseTime = now;
      }
      if (round.boardOnlyScope) {
        cam.dartReference = toGray(cam.backgroundFrame).clone();
        round.scopeMasks[c] = freshZeroMask(greys[c].size());
      }
      cam.emptyReferenceColour = cam.backgroundFrame;
      cam.emptyReference = cam.dartReference;
      cam.referenceChangeMask = freshZeroMask(greys[c].size());
    }
    refreshRealignedFeatures(cam);
  }
  return resetReply(reason, advanced, ev, ev.outsideNoiseTolerated, ev.staticShiftAccepted && !ev.stableFlowAccepted,
                    ev.stableFlowAccepted);
}

}  // namespace

double meanInside(const cv::Mat& grey, const cv::Mat& mask) {
  if (grey.empty() || mask.empty() || mask.size() != grey.size() || cv::countNonZero(mask) == 0) return 0.0;
  return cv::mean(grey, mask)[0];
}

json measureBrightnessOffset(const cv::Mat& reference, const cv::Mat& grey) {
  cv::Mat a;
  cv::Mat b;
  cv::resize(reference, a, cv::Size(320, 180));
  cv::resize(grey, b, cv::Size(320, 180));
  a.convertTo(a, CV_32F);
  b.convertTo(b, CV_32F);
  const cv::Mat diff = b - a;
  std::vector<double> values(diff.begin<float>(), diff.end<float>());
  const double offset = percentile(values, 50.0);
  for (double& v : values) v = std::abs(v - offset);
  return {{"brightness_offset", offset}, {"brightness_residual_median", percentile(values, 50.0)}};
}

json Round::recoverCore(const std::vector<cv::Mat>& frames, double now, bool skipRealign,
                        bool startupCheck) {
  Round& round = *this;
  ImageTriple greys;
  for (int c = 0; c < 3; ++c) {
    greys[c] = toGray(frames.at(c));
    if (greys[c].size() != cameras[c].emptyReference.size()) {
      return {{"status", "CALIBRATION_REJECTED"}, {"reason", "CAMERA_RESOLUTION_CHANGED"}};
    }
  }
  for (int c = 0; c < 3; ++c) {
    if (!boardOnlyScope || scopeMasks[c].empty()) continue;
    cv::Mat mask = scopeMasks[c].clone();
    for (const ImageTriple& dart : knownDartMasks) {
      if (!dart[c].empty()) mask.setTo(0, dilateMask(dart[c], 5, false));
    }
    greys[c] = greys[c].clone();
    cameras[c].emptyReference.copyTo(greys[c], mask);
  }
  std::vector<int> zones;
  for (std::size_t d = 0; d < knownDartMasks.size(); ++d) zones.push_back(dartZone(entries, d));
  Slot slot = skipRealign ? Slot{confirmAfterEventTime, confirmSlotAfterEvent}
                              : Slot{confirmResumeTime, confirmSlotResume};

  if (!skipRealign && allowResume && !entries.empty()) {
    const json resumed = resumeUnchanged(round, frames, greys, slot, now);
    if (!resumed.is_null()) return resumed;
  }
  addPhaseTime(round, "resume");
  if (allowResume && !entries.empty()) {
    const json resumed = resumeUnderNewLight(round, frames, greys, slot, now);
    if (!resumed.is_null()) return resumed;
  }
  addPhaseTime(round, "same_light");

  VerdictCache verdicts(VerdictInputs{this, greys, zones});
  EvidenceCall call{frames, greys, zones, now, skipRealign, startupCheck};
  RecoveryEvidence ev = collectRecoveryEvidence(round, call, verdicts);

  // Whatever else is in view then (a hand leaving, a shadow) is judged by the evaluation
  // against the empty board, as in any round.
  const bool takeoutBesideNewObject = ev.newObjectStanding && !ev.remainingDartEvidence && !skipRealign &&
                                     (!entries.empty() || takeout);
  if (takeoutBesideNewObject) {
    if (!confirmRepeatedDecision(slot.time, slot.kind, now, "EMPTY_BESIDE_NEW_OBJECT")) {
      json pending = {{"status", "EMPTY_PENDING"},
                      {"reason", "RECOVERY_CONFIRM_FRESH_EMPTY_BOARD"},
                      {"new_object_present", true},
                      {"surface_only", ev.surfaceOnly}};
      if (!ev.newObject.is_null()) pending["new_object"] = ev.newObject;
      return pending;
    }
    return resetBesideNewObject(round, ev, slot);
  }
  if ((anyViewChanged(round, ev.residual) || ev.remainingDartEvidence) && !ev.outsideNoiseTolerated) {
    slot.time = -1.0;
    return waitReply(round, ev, greys, skipRealign, now);
  }
  if (!camerasStillFixed(round, greys)) cameraGuardWarning = guardWarning();
  if (startupCheck) {
    const json wait = startupObjectWait(round, ev, greys, slot);
    if (!wait.is_null()) return wait;
  }
  if (!confirmRepeatedDecision(slot.time, slot.kind, now, "EMPTY")) {
    return {{"status", entries.empty() && !takeout ? "BACKGROUND_PENDING" : "EMPTY_PENDING"},
            {"reason", "RECOVERY_CONFIRM_FRESH_EMPTY_BOARD"},
            {"surface_only", ev.surfaceOnly}};
  }
  return resetToEmptyBoard(round, frames, greys, ev, slot, now);
}

}  // namespace tarv
