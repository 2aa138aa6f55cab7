#include "tarv/recovery/evidence_chain.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>

#include <opencv2/imgproc.hpp>

#include "tarv/core/board_projection.h"
#include "tarv/core/camera_worker_pool.h"
#include "tarv/core/engine_values.h"
#include "tarv/core/process_switches.h"
#include "tarv/views/association_points.h"
#include "tarv/views/board_outline_mask.h"
#include "tarv/recovery/change_masks.h"
#include "tarv/recovery/exposure_fit.h"
#include "tarv/recovery/registered_supports.h"
#include "tarv/recovery/unchanged_view.h"
#include "tarv/views/camera_analysis.h"
#include "tarv/views/image_ops.h"

namespace tarv {
namespace {

constexpr double kConfirmWindowSeconds = 2.5;
constexpr double kStandingSeconds = 1.5;
constexpr double kRecentLightSeconds = 3.0;

int setPixels(const cv::Mat& mask) { return mask.empty() ? 0 : cv::countNonZero(mask); }

bool allPresent(const ImageTriple& masks) {
  return std::all_of(masks.begin(), masks.end(), [](const cv::Mat& m) { return !m.empty(); });
}

cv::Mat outlineOf(const Camera& camera, cv::Size size, double radiusMm) {
  return buildBoardRegionMask(size, camera.boardToImage, radiusMm, 360);
}

// Two standing masks show the same picture when their grown outlines coincide to 80 %.
double grownOverlap(const cv::Mat& a, const cv::Mat& b, int& unionPixels) {
  const cv::Mat ga = dilateMask(a, 5, false);
  const cv::Mat gb = dilateMask(b, 5, false);
  unionPixels = cv::countNonZero(ga | gb);
  if (unionPixels == 0) return 1.0;
  return static_cast<double>(cv::countNonZero(ga & gb)) / unionPixels;
}

// Lazily evaluated: the fixed-camera checks cost a fan-out, and most calls never ask.
class FixedCameras {
 public:
  FixedCameras(const Round& round, const ImageTriple& greys) : round_(round), greys_(greys) {}
  bool operator()() {
    if (!known_) {
      value_ = camerasStillFixed(round_, greys_);
      known_ = true;
    }
    return value_;
  }

 private:
  const Round& round_;
  const ImageTriple& greys_;
  bool known_ = false;
  bool value_ = false;
};

void phaseDifference(Round& round, const EvidenceCall& call, RecoveryEvidence& ev) {
  auto job = [&](int c) { return nativeDifferenceMask(round.cameras[c].emptyReference, call.greys[c]); };
  ev.residual = runOnCameraWorkers(job);
  ev.rawChange = ev.residual;  // same pixels: the tolerated marks leave both
  ev.surroundMarks = measureToleratedPixels(ev.residual, round.entries, round.knownDartMasks);
}

void phaseProof(Round& round, const EvidenceCall& call, RecoveryEvidence& ev) {
  if (!anyViewChanged(round, ev.residual) && round.entries.empty()) return;
  std::array<json, 3> reports;
  auto job = [&](int c) {
    const Camera& cam = round.cameras[c];
    return findRegisteredDartSupports(cam.emptyReference, call.greys[c], cam.boardToImage,
                                      collectDartRegions(round, call.greys, c), call.zones,
                                      reports[c], round.boardRadiusMm);
  };
  const auto results = runOnCameraWorkers(job);
  ev.supportsReports = reports;
  if (std::all_of(results.begin(), results.end(),
                  [](const auto& r) { return r.first && !r.second.empty(); })) {
    for (int c = 0; c < 3; ++c) ev.residual[c] = results[c].second;
    measureToleratedPixels(ev.residual, round.entries, round.knownDartMasks);
    ev.lightingCorrected = true;
  }
}

void phaseExposure(Round& round, const EvidenceCall& call, RecoveryEvidence& ev) {
  if (!anyViewChanged(round, ev.residual)) return;
  auto fitJob = [&](int c) {
    return fitExposure(round.cameras[c].emptyReference, call.greys[c], cv::Mat(), false, 1000);
  };
  const auto exposures = runOnCameraWorkers(fitJob);
  auto diffJob = [&](int c) {
    return nativeDifferenceMask(round.cameras[c].emptyReference, exposures[c].image);
  };
  ImageTriple e = runOnCameraWorkers(diffJob);
  if (allViewsQuiet(round, e)) {
    ev.residual = e;
    ev.lightingCorrected = true;
    return;
  }
  const bool allApplied =
      std::all_of(exposures.begin(), exposures.end(), [](const Exposure& x) { return x.applied; });
  if (allApplied) {
    auto registrationJob = [&](int c) {
      const Camera& cam = round.cameras[c];
      return refineSurroundChange(cam.emptyReference, exposures[c].image, e[c], cam.boardToImage,
                                  collectDartRegions(round, call.greys, c));
    };
    e = runOnCameraWorkers(registrationJob);
    if (allViewsQuiet(round, e)) {
      ev.residual = e;
      ev.lightingCorrected = true;
      return;
    }
  }
  measureToleratedPixels(e, round.entries, round.knownDartMasks);
  if (allViewsQuiet(round, e)) {
    ev.residual = e;
    ev.lightingCorrected = true;
  } else if (allApplied) {
    ev.exposureMasks = e;
  }
}

void phaseTone(Round& round, const EvidenceCall& call, RecoveryEvidence& ev,
               VerdictCache& verdicts) {
  if (!anyViewChanged(round, ev.residual)) return;
  if (call.skipRealign && !round.entries.empty() && !verdicts.provesKnownDartsGone()) return;
  auto toneJob = [&](int c) {
    const Camera& cam = round.cameras[c];
    const cv::Mat region =
        outlineOf(cam, call.greys[c].size(), std::max(175.0, round.boardRadiusMm));
    return lutDifferenceMask(cam.emptyReference, call.greys[c], region, 24);
  };
  ImageTriple t = runOnCameraWorkers(toneJob);
  if (!allPresent(t)) return;
  const double light = round.lightEventTime;
  const bool recentLight = light >= 0.0 && light <= call.now && call.now - light < kRecentLightSeconds;
  for (int c = 0; c < 3; ++c) ev.toneMasks[c] = t[c].clone();
  if (!recentLight) {
    for (int c = 0; c < 3; ++c) {
      const cv::Mat& r = ev.residual[c];
      if (!r.empty() && setPixels(r) < 0.01 * static_cast<double>(r.total())) t[c] = r.clone();
    }
  }
  measureToleratedPixels(t, round.entries, round.knownDartMasks);
  const bool widespread = isWidespreadChange(round, ev.rawChange);
  ev.toneCheck = {{"board_and_ring", countChangedPerCamera(t)},
                  {"widespread", widespread},
                  {"light_patch", recentLight}};
  if (allViewsQuiet(round, t)) {
    ev.residual = t;
    ev.lightingCorrected = true;
    ev.toneTolerant = true;
    return;
  }
  if (!round.entries.empty() || !widespread) return;
  auto surfaceJob = [&](int c) { return emptyReferenceChangeMask(call.frames, round, c); };
  const ImageTriple s = runOnCameraWorkers(surfaceJob);
  if (!allPresent(s)) return;
  ev.toneCheck["surface"] = countChangedPerCamera(s);
  if (allViewsQuiet(round, s)) {
    ev.residual = s;
    ev.lightingCorrected = true;
    ev.toneTolerant = true;
    ev.surfaceOnly = true;
  }
}

// What the three views say of one known dart: the supports' records where a camera has one,
// else its tone-matched verdict.
struct DartViews {
  int present = 0;
  int residual = 0;
  json overruled = json::array();    // supports the empty-view verdict overrules
  json toneMatched = json::array();  // the verdicts of cameras without a support record
  int empty = 0;
  int dart = 0;
  int stillNotDart = 0;
  bool clearlyGone = false;
};

// The camera's support records of the dart; false when it has none.
bool countSupportRecords(const json& report, VerdictCache& verdicts, std::size_t d, int c,
                         DartViews& views) {
  if (!report.is_object() || !report.contains("supports") || !report["supports"].is_array()) {
    return false;
  }
  bool hasRecord = false;
  for (const json& record : report["supports"]) {
    if (record.value("index", -1) != static_cast<int>(d)) continue;
    hasRecord = true;
    bool present = record.value("present", false);
    if (present) {
      json detail;
      verdicts.lookupVerdict(d, c, detail);
      if (detail.is_object() && detail.value("verdict", "") == "EMPTY_VIEW") {
        present = false;
        views.overruled.push_back(cameraIds[c]);
      }
    }
    views.present += present;
    views.residual += present && record.value("strong", false);
  }
  return hasRecord;
}

void countToneMatchedVerdict(VerdictCache& verdicts, std::size_t d, int c, DartViews& views) {
  json detail;
  const bool flag = verdicts.lookupVerdict(d, c, detail);
  views.present += flag;
  views.residual += flag;
  if (detail.is_null()) return;
  const std::string verdict = detail.is_object() ? detail.value("verdict", "") : "";
  if (verdict == "EMPTY_VIEW") ++views.empty;
  if (verdict == "DART_VIEW") ++views.dart;
  if (flag && verdict != "DART_VIEW") ++views.stillNotDart;
  detail["camera"] = cameraIds[c];
  detail["still"] = flag;
  views.toneMatched.push_back(detail);
}

// Two views say empty and none says dart: the views still changed without a dart do not count.
DartViews countDartViews(const RecoveryEvidence& ev, VerdictCache& verdicts, std::size_t d) {
  DartViews views;
  for (int c = 0; c < 3; ++c) {
    if (!countSupportRecords(ev.supportsReports[c], verdicts, d, c, views)) {
      countToneMatchedVerdict(verdicts, d, c, views);
    }
  }
  views.clearlyGone = static_cast<int>(views.overruled.size()) + views.empty >= 2 &&
                      views.dart == 0 && views.stillNotDart >= 1;
  if (views.clearlyGone) {
    views.present -= views.stillNotDart;
    views.residual -= views.stillNotDart;
  }
  return views;
}

// Distance of the entered dart from the bull, 0 when the entry has no point.
double entryRadiusMm(const Round& round, std::size_t d) {
  if (d >= round.entries.size() || !round.entries[d].is_object() ||
      !round.entries[d].contains("board_xy_nominal_mm")) {
    return 0.0;
  }
  const json& p = round.entries[d]["board_xy_nominal_mm"];
  return std::hypot(p.at(0).get<double>(), p.at(1).get<double>());
}

// The smallest share of a camera's dart mask that no longer changed; null without a mask.
json removedCoverage(const ImageTriple& masks, const ImageTriple& residual) {
  double cover = 1.0;
  bool any = false;
  for (int c = 0; c < 3; ++c) {
    const int maskPixels = setPixels(masks[c]);
    if (maskPixels < 80) continue;
    any = true;
    int still = 0;
    if (!residual[c].empty() && residual[c].size() == masks[c].size()) {
      still = cv::countNonZero(masks[c] & residual[c]);
    }
    cover = std::min(cover, 1.0 - static_cast<double>(still) / maskPixels);
  }
  return any ? json(cover) : json();
}

json judgeKnownDart(Round& round, const EvidenceCall& call, RecoveryEvidence& ev,
                    VerdictCache& verdicts, std::size_t d) {
  const ImageTriple& masks = round.knownDartMasks[d];
  const int zone = d < call.zones.size() ? call.zones[d] : -1;
  const bool onBoard = zone == 1;
  const DartViews views = countDartViews(ev, verdicts, d);
  int supportViews = 0;
  for (const cv::Mat& m : masks) supportViews += setPixels(m) >= 80;
  if (supportViews > 0) ++ev.checkedDarts;
  const bool plantSurround =
      processSwitches().plantMode.load() && !onBoard && entryRadiusMm(round, d) > round.boardRadiusMm;
  bool present = false;
  if (plantSurround) {
    present = views.present >= 2;
  } else if (onBoard) {
    present = views.present >= 1;
  } else {
    present = views.residual >= 1 || views.present >= 2 || (views.present == 1 && supportViews <= 1);
  }
  const json coverage = onBoard ? json() : removedCoverage(masks, ev.residual);
  const bool coverageRemoved = coverage.is_number() && coverage.get<double>() >= 0.8;
  ev.remainingDartEvidence = ev.remainingDartEvidence || present;
  return {{"dart", d},
          {"present_views", views.present},
          {"residual_views", views.residual},
          {"support_views", supportViews},
          {"on_board", onBoard},
          {"present", present},
          {"plant_surround", plantSurround},
          {"coverage", coverage},
          {"coverage_removed", coverageRemoved},
          {"tone_matched_views", views.toneMatched},
          {"proof_overruled", views.overruled},
          {"clearly_gone", views.clearlyGone}};
}

void phaseOutsideNoise(Round& round, const EvidenceCall& call, RecoveryEvidence& ev) {
  if (ev.remainingDartEvidence || call.skipRealign || !round.takeout) return;
  ev.outsideNoiseTolerated =
      projectAssociationPoints(ev.residual, round.cameras, round.knownDartMasks, round.entries);
  if (ev.outsideNoiseTolerated || !allPresent(ev.exposureMasks)) return;
  if (projectAssociationPoints(ev.exposureMasks, round.cameras, round.knownDartMasks,
                               round.entries)) {
    ev.residual = ev.exposureMasks;
    ev.outsideNoiseTolerated = true;
  }
}

void phaseStaticShift(Round& round, const EvidenceCall& call, RecoveryEvidence& ev,
                      FixedCameras& fixed) {
  const bool keepState = call.skipRealign && !round.entries.empty();
  const bool runs = anyViewChanged(round, ev.residual) && !ev.remainingDartEvidence &&
                    !ev.outsideNoiseTolerated && (!call.skipRealign || round.entries.empty());
  if (!runs) {
    if (!keepState) round.staticShiftTime = -1.0;
    return;
  }
  ImageTriple standing;
  json report = json::object();
  bool allStatic = true;
  for (int c = 0; c < 3; ++c) {
    const Camera& cam = round.cameras[c];
    cv::Mat r = !ev.exposureMasks[c].empty() ? ev.exposureMasks[c] : ev.residual[c];
    const cv::Mat& tone = ev.toneMasks[c];
    if (!tone.empty() && tone.size() == r.size()) {
      const cv::Mat outline = outlineOf(cam, r.size(), std::max(175.0, round.boardRadiusMm));
      r = (r & ~outline) | tone;
    }
    standing[c] = r;
    const json measured = measureStaticResidual(r, cam.emptyReference, recoveryChangeLimit(cam));
    allStatic = allStatic && measured.value("static", false);
    report[cameraIds[c]] = measured;
  }
  if (allStatic) {
    bool samePicture = round.staticShiftTime >= 0.0;
    for (int c = 0; c < 3 && samePicture; ++c) {
      const cv::Mat& stored = round.staticShiftMasks[c];
      int unionPixels = 0;
      samePicture = !stored.empty() && stored.size() == standing[c].size() &&
                    grownOverlap(stored, standing[c], unionPixels) >= 0.8;
    }
    bool framesChanged = round.staticShiftTime < 0.0;
    if (!samePicture && round.staticShiftTime >= 0.0) {
      json pictureChange = json::array();
      for (int c = 0; c < 3; ++c) {
        const cv::Mat& storedGrey = round.staticShiftGreys[c];
        if (storedGrey.empty() || storedGrey.size() != call.greys[c].size()) {
          framesChanged = true;
          pictureChange.push_back(nullptr);
          continue;
        }
        const int n = setPixels(nativeDifferenceMask(storedGrey, call.greys[c]));
        pictureChange.push_back(n);
        framesChanged = framesChanged || n >= recoveryChangeLimit(round.cameras[c]);
      }
      report["picture_change"] = pictureChange;
    }
    if (!samePicture && framesChanged) {
      round.staticShiftTime = call.now;
      for (int c = 0; c < 3; ++c) {
        round.staticShiftMasks[c] = standing[c].clone();
        round.staticShiftGreys[c] = call.greys[c].clone();
      }
    }
    // Change on the board's own edges lies flat on the board; a dart standing out of it does
    // not, however still it stands.
    const json plane = measureBoardPlaneAgreement(round, standing);
    report["board_plane"] = plane;
    const bool flat = plane.value("flat", true);
    ev.newObjectStanding = ev.newObjectStanding || !flat;
    ev.staticShiftAccepted = flat && round.staticShiftTime >= 0.0 &&
                             call.now - round.staticShiftTime >= kStandingSeconds && fixed();
  } else {
    round.staticShiftTime = -1.0;
  }
  report["stable_seconds"] =
      round.staticShiftTime >= 0.0 ? call.now - round.staticShiftTime : 0.0;
  report["accepted"] = ev.staticShiftAccepted;
  ev.staticShift = report;
}

void phaseStableFlow(Round& round, const EvidenceCall& call, RecoveryEvidence& ev,
                     FixedCameras& fixed) {
  const bool keepState = call.skipRealign && !round.entries.empty();
  bool wanted = false;
  if (!call.skipRealign) {
    wanted = round.takeout || !round.entries.empty() ||
             (round.recovery && !hasFreshChangeInTwoCameras(round, call.frames));
  } else {
    wanted = round.entries.empty() && isWidespreadChange(round, ev.rawChange);
  }
  const bool runs = !ev.staticShiftAccepted && anyViewChanged(round, ev.residual) &&
                    !ev.remainingDartEvidence && !ev.outsideNoiseTolerated && !call.startupCheck &&
                    wanted;
  if (!runs) {
    if (!keepState) round.stableFlowTime = -1.0;
    return;
  }
  ImageTriple flow;
  ImageTriple outlines;
  for (int c = 0; c < 3; ++c) {
    outlines[c] = outlineOf(round.cameras[c], ev.residual[c].size(), 175.0);
    flow[c] = ev.residual[c] & outlines[c];
  }
  bool same = round.stableFlowTime >= 0.0;
  for (int c = 0; c < 3 && same; ++c) {
    const cv::Mat& stored = round.stableFlowMasks[c];
    int unionPixels = 0;
    const double overlap =
        stored.empty() || stored.size() != flow[c].size() ? -1.0 : grownOverlap(stored, flow[c], unionPixels);
    same = overlap >= 0.0 &&
           (unionPixels < recoveryChangeLimit(round.cameras[c]) || overlap >= 0.8);
  }
  bool framesChanged = round.stableFlowTime < 0.0;
  if (!same && round.stableFlowTime >= 0.0) {
    for (int c = 0; c < 3; ++c) {
      const cv::Mat& storedGrey = round.stableFlowGreys[c];
      if (storedGrey.empty() || storedGrey.size() != call.greys[c].size()) {
        framesChanged = true;
        continue;
      }
      const cv::Mat moved = nativeDifferenceMask(storedGrey, call.greys[c]) & outlines[c];
      framesChanged = framesChanged || setPixels(moved) >= recoveryChangeLimit(round.cameras[c]);
    }
  }
  if (!same && framesChanged) {
    round.stableFlowTime = call.now;
    for (int c = 0; c < 3; ++c) {
      round.stableFlowMasks[c] = flow[c].clone();
      round.stableFlowGreys[c] = call.greys[c].clone();
    }
  }
  // A knocked camera whose realignment failed also leaves a standing change: it must not be
  // taken as the new empty board.
  // A dart thrown while the board is being proven empty stands as still as a mark on the
  // board: only a change lying flat on the board may become part of the empty board.
  const json plane = measureBoardPlaneAgreement(round, flow);
  const bool flat = plane.value("flat", true);
  ev.newObjectStanding = ev.newObjectStanding || !flat;
  ev.stableFlowAccepted = flat && round.stableFlowTime >= 0.0 &&
                          call.now - round.stableFlowTime >= kStandingSeconds && fixed();
  ev.stableFlow = {{"stable_seconds",
                    round.stableFlowTime >= 0.0 ? call.now - round.stableFlowTime : 0.0},
                   {"accepted", ev.stableFlowAccepted},
                   {"board_plane", plane}};
}

// After a takeout whose known darts are all proven gone, what is left in view may be the next
// round's first dart. It need not stand still for the stable-flow time to be told from a mark
// on the board: a change that does not lie flat on the board plane is an object, and the next
// round starts beside it (a hand or a body, too large for this, waits as before).
void phaseNewObject(Round& round, const EvidenceCall& call, RecoveryEvidence& ev) {
  if (ev.newObjectStanding || call.skipRealign || !round.takeout || ev.checkedDarts < 1 ||
      ev.remainingDartEvidence || !anyViewChanged(round, ev.residual) ||
      isWidespreadChange(round, ev.residual)) {
    return;
  }
  const json plane = measureBoardPlaneAgreement(round, ev.residual);
  ev.newObjectStanding = !plane.value("flat", true);
  ev.newObject = plane;
}

// The mask laid on the board plane, one millimetre a pixel, 200 mm to each side of the bull.
constexpr int kPlaneHalfMm = 200;
cv::Mat maskOnBoardPlane(const cv::Mat& mask, const Homography& boardToImage) {
  const cv::Matx33d h(boardToImage[0], boardToImage[1], boardToImage[2], boardToImage[3], boardToImage[4],
                      boardToImage[5], boardToImage[6], boardToImage[7], boardToImage[8]);
  const cv::Matx33d gridToBoard(1, 0, -kPlaneHalfMm + 0.5, 0, 1, -kPlaneHalfMm + 0.5, 0, 0, 1);
  // Thin shafts must survive the sampling.
  const cv::Mat grown = dilateMask(mask, 3, false);
  cv::Mat plane;
  cv::warpPerspective(grown, plane, cv::Mat(h * gridToBoard), cv::Size(2 * kPlaneHalfMm, 2 * kPlaneHalfMm),
                      cv::INTER_NEAREST | cv::WARP_INVERSE_MAP, cv::BORDER_CONSTANT, 0);
  return plane;
}

}  // namespace

int recoveryChangeLimit(const Camera& camera) {
  const double h = projectedBoardHeight(camera.boardToImage);
  if (!std::isfinite(h) || h <= 0.0) throw std::runtime_error("INVALID_DETECTION_SCALE");
  return std::max(static_cast<int>(std::trunc(h * 80.0 / 720.0)), 80);
}

bool allViewsQuiet(const Round& round, const ImageTriple& masks) {
  for (int c = 0; c < 3; ++c) {
    if (setPixels(masks[c]) >= recoveryChangeLimit(round.cameras[c])) return false;
  }
  return true;
}

bool anyViewChanged(const Round& round, const ImageTriple& masks) {
  return !allViewsQuiet(round, masks);
}

json countChangedPerCamera(const ImageTriple& masks) {
  json counts = json::object();
  for (int c = 0; c < 3; ++c) counts[cameraIds[c]] = setPixels(masks[c]);
  return counts;
}

bool isWidespreadChangeInView(const cv::Mat& mask, const Camera& camera) {
  if (mask.empty()) return false;
  const int pixels = cv::countNonZero(mask);
  if (pixels > 0.15 * static_cast<double>(mask.total())) return true;
  const cv::Mat outline = outlineOf(camera, mask.size(), 175.0);
  const int inside = cv::countNonZero(outline);
  return inside > 0 && cv::countNonZero(mask & outline) > 0.30 * inside;
}

bool isWidespreadChange(const Round& round, const ImageTriple& masks) {
  for (int c = 0; c < 3; ++c) {
    if (isWidespreadChangeInView(masks[c], round.cameras[c])) return true;
  }
  return false;
}

bool confirmRepeatedDecision(double& slotTime, std::string& slotKind, double now,
                             const std::string& kind) {
  const bool confirmed = slotTime >= 0.0 && now > slotTime &&
                         now - slotTime <= kConfirmWindowSeconds && slotKind == kind;
  slotTime = now;
  slotKind = kind;
  return confirmed;
}

bool camerasStillFixed(const Round& round, const ImageTriple& greys) {
  auto job = [&](int c) { return checkCameraFixedWithExposure(round, greys, c); };
  const auto results = runOnCameraWorkers(job);
  bool fixed = true;
  for (const json& r : results) fixed = r.at("ok").get<bool>() && fixed;
  return fixed;
}

void addPhaseTime(Round& round, const std::string& key) {
  const double now = monotonicMilliseconds();
  if (!round.timing.is_object()) round.timing = json::object();
  const double before = round.timing.contains(key) ? round.timing[key].get<double>() : 0.0;
  round.timing[key] = before + (now - round.timingMark);
  round.timingMark = now;
}

int dartZone(const json& entries, std::size_t dart) {
  if (!entries.is_array() || dart >= entries.size()) return -1;
  const json& entry = entries[dart];
  if (!entry.is_object() || !entry.contains("board_xy_nominal_mm")) return -1;
  const json& p = entry["board_xy_nominal_mm"];
  if (!p.is_array() || p.size() < 2) return -1;
  const double r = std::hypot(p[0].get<double>(), p[1].get<double>());
  if (r <= 170.0) return 1;
  return r <= 220.0 ? 0 : 2;
}

json measureStaticResidual(const cv::Mat& residual, const cv::Mat& emptyReference, int limit) {
  const int pixels = setPixels(residual);
  int onEdges = 0;
  int thick = 0;
  int largest = 0;
  if (pixels > 0) {
    cv::Mat edges;
    cv::Canny(emptyReference, edges, 40, 100, 3);
    const cv::Mat grown = dilateMask(edges, 5, false);
    onEdges = cv::countNonZero(residual & grown);
    cv::Mat opened;
    cv::morphologyEx(residual, opened, cv::MORPH_OPEN,
                     cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(7, 7)), cv::Point(-1, -1),
                     1, cv::BORDER_CONSTANT);
    thick = cv::countNonZero(opened);
    const cv::Mat novel = residual & ~grown;
    if (cv::countNonZero(novel) > 23) {
      cv::Mat labels;
      cv::Mat stats;
      cv::Mat centroids;
      const int n = cv::connectedComponentsWithStats(novel, labels, stats, centroids, 8);
      for (int i = 1; i < n; ++i) largest = std::max(largest, stats.at<int>(i, cv::CC_STAT_AREA));
    }
  }
  const bool isStatic =
      pixels == 0 || (onEdges >= 0.85 * pixels &&
                      pixels <= 0.06 * static_cast<double>(residual.total()) && largest < limit);
  return {{"pixels", pixels},
          {"on_reference_edges", onEdges},
          {"thick_pixels", thick},
          {"largest_new_piece", largest},
          {"static", isStatic}};
}

json measureBoardPlaneAgreement(const Round& round, const ImageTriple& masks) {
  // A body standing out of the board leaves, in each view, a piece of board plane that no
  // other view's change covers: tens of square millimetres along its shaft and flight. A
  // mark or a shadow lying on the board leaves only thin fringes.
  constexpr int kObjectPieceMm2 = 200;
  std::vector<int> changed;
  for (int c = 0; c < 3; ++c) {
    if (setPixels(masks[c]) >= recoveryChangeLimit(round.cameras[c])) changed.push_back(c);
  }
  int standingViews = 0;
  json perCamera = json::object();
  if (changed.size() >= 2) {
    ImageTriple planes;
    for (int c : changed) planes[c] = maskOnBoardPlane(masks[c], round.cameras[c].boardToImage);
    for (int c : changed) {
      cv::Mat others = cv::Mat::zeros(planes[c].size(), CV_8UC1);
      for (int o : changed) {
        if (o != c) others |= planes[o];
      }
      const cv::Mat alone = planes[c] & ~dilateMask(others, 7, false);
      int largest = 0;
      if (cv::countNonZero(alone) >= kObjectPieceMm2) {
        cv::Mat labels, stats, centroids;
        const int n = cv::connectedComponentsWithStats(alone, labels, stats, centroids, 8);
        for (int i = 1; i < n; ++i) largest = std::max(largest, stats.at<int>(i, cv::CC_STAT_AREA));
      }
      perCamera[cameraIds[c]] = largest;
      standingViews += largest >= kObjectPieceMm2;
    }
  }
  return {{"changed_cameras", changed.size()},
          {"largest_piece_alone_mm2", perCamera},
          {"flat", standingViews < 1}};
}

RecoveryEvidence collectRecoveryEvidence(Round& round, const EvidenceCall& call,
                                         VerdictCache& verdicts) {
  RecoveryEvidence ev;
  FixedCameras fixed(round, call.greys);
  phaseDifference(round, call, ev);
  addPhaseTime(round, "difference");
  phaseProof(round, call, ev);
  addPhaseTime(round, "proof");
  phaseExposure(round, call, ev);
  addPhaseTime(round, "exposure");
  phaseTone(round, call, ev, verdicts);
  addPhaseTime(round, "tone");
  for (std::size_t d = 0; d < round.knownDartMasks.size(); ++d) {
    ev.darts.push_back(judgeKnownDart(round, call, ev, verdicts, d));
  }
  addPhaseTime(round, "darts");
  phaseOutsideNoise(round, call, ev);
  phaseStaticShift(round, call, ev, fixed);
  phaseStableFlow(round, call, ev, fixed);
  phaseNewObject(round, call, ev);
  if (ev.staticShiftAccepted || ev.stableFlowAccepted) {
    for (int c = 0; c < 3; ++c) {
      const cv::Mat zeros = cv::Mat::zeros(ev.residual[c].size(), CV_8UC1);
      ev.residual[c] = zeros;
      ev.rawChange[c] = zeros.clone();
    }
  }
  addPhaseTime(round, "static_flow");
  return ev;
}

}  // namespace tarv
