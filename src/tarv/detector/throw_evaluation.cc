#include "tarv/detector/throw_evaluation.h"

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <set>

#include <opencv2/imgproc.hpp>

#include "tarv/board/board_layout.h"
#include "tarv/board/multiview_consensus.h"
#include "tarv/board/tip_solver.h"
#include "tarv/detector/camera_analysis.h"
#include "tarv/detector/dart_position.h"
#include "tarv/detector/departed_darts.h"
#include "tarv/detector/large_change.h"
#include "tarv/detector/light_change.h"
#include "tarv/engine/camera_worker_pool.h"
#include "tarv/engine/engine_values.h"
#include "tarv/engine/process_switches.h"
#include "tarv/views/board_features.h"
#include "tarv/views/image_ops.h"
#include "tarv/views/shaft_axis.h"
#include "tarv/views/tip_evidence.h"

namespace tarv {
namespace {

std::atomic<double> gMissRadiusMm{240.0};

// A stored dart whose change shrank by more than this share in a camera is leaving it.
constexpr double kRemovedFraction = 0.25;
// Two consecutive triplets agree on a settled dart when their dart masks overlap this much.
constexpr double kSettledAgreement = 0.9;
constexpr double kWeakAgreement = 0.3;
// A camera's line or tip this far from the chosen point does not support it.
constexpr double kSupportLineMm = 3.0;
constexpr double kSupportTipMm = 8.0;

std::array<CameraFrameAnalysis, 3> analyseFrames(const Round& round, const std::vector<cv::Mat>& frames) {
  auto job = [&](int camera) { return analyseCameraFrame(round, camera, frames[camera]); };
  return runOnCameraWorkers(job);
}

json cameraStats(const std::array<CameraFrameAnalysis, 3>& analyses) {
  json stats = json::object();
  for (int i = 0; i < 3; ++i) {
    const CameraFrameAnalysis& a = analyses[i];
    stats[cameraIds[i]] = {{"changed_fraction", roundToThousandths(a.changedFraction)},
                           {"new_pixels", a.masks.addedPixels()},
                           {"removed_pixels", a.masks.removedPixels()},
                           {"removed_fraction", a.masks.stats.value("removed_fraction", 0.0)},
                           {"dart_pixels", a.dartPixels},
                           {"min_pixels", a.minPixels},
                           {"max_dart_pixels", a.maxDartPixels}};
  }
  return stats;
}

json reply(const std::string& status, const std::string& reason, const json& stats) {
  json r = {{"status", status}, {"cameras", stats}};
  if (!reason.empty()) r["reason"] = reason;
  return r;
}

// A dart counts in a camera when its own change reaches the camera's pixel limit.
bool seesDart(const CameraFrameAnalysis& a) { return a.dartPixels >= a.minPixels; }

struct ShaftMeasurement {
  json record;       // the camera's shaft record (observations and votes)
  cv::Mat dartMask;  // the dart's change at full size
};

std::array<ShaftMeasurement, 3> measureShafts(const Round& round, const std::vector<cv::Mat>& frames,
                                              const std::array<CameraFrameAnalysis, 3>& analyses) {
  auto job = [&](int camera) {
    const CameraFrameAnalysis& a = analyses[camera];
    const Camera& c = round.cameras[camera];
    ShaftMeasurement m;
    m.dartMask = cv::Mat::zeros(frames[camera].size(), CV_8UC1);
    ShaftView view;
    view.boardToImage = c.boardToImage;
    view.minPixels = minPixelsForCamera(c);
    view.level = a.level;
    const auto& n = c.imageNormal;
    if (std::isfinite(n[0]) && std::isfinite(n[1]) && std::abs(n[2]) > 1e-12) {
      view.normalPoint = cv::Point2d(n[0] / n[2], n[1] / n[2]);
    }
    if (seesDart(a)) {
      const DartCrop crop = fullSizeDartChange(round, camera, frames[camera], a);
      if (crop.box.area() > 0) {
        crop.mask.copyTo(m.dartMask(crop.box));
        view.frame = frames[camera](crop.box);
        view.background = c.backgroundFrame(crop.box);
        view.changeMask = crop.mask;
        view.offset = crop.box.tl();
      }
    }
    m.record = estimateShaftAxis(view);
    return m;
  };
  return runOnCameraWorkers(job);
}

// Each camera's view of the chosen point: its local evidence and where its axis passes it.
json viewChecks(const Round& round, const std::array<ShaftMeasurement, 3>& shafts, Point2 point,
                json& crosscheck) {
  auto job = [&](int camera) {
    return json{{"local", checkLocalTipEvidence(shafts[camera].dartMask, round.cameras[camera].boardToImage,
                                                shafts[camera].record, point)},
                {"common", findCommonBoardPoint(shafts[camera].record, point)}};
  };
  const auto evidence = runOnCameraWorkers(job);
  json checks = json::object();
  crosscheck = {{"cameras", json::object()}, {"agreeing_cameras", json::array()}};
  for (int i = 0; i < 3; ++i) {
    const json& local = evidence[i]["local"];
    const json& vote = shafts[i].record["votes"][0];
    bool tipConfirmed = false;
    if (!vote.value("abstention", true) && vote.value("tip_valid", false)) {
      const Point2 tip = pointFromJson(vote["point"]);
      tipConfirmed = std::hypot(tip.x - point.x, tip.y - point.y) <= kSupportTipMm;
    }
    const json& lineError = local["line_error_mm"];
    const bool agrees = lineError.is_number() && lineError.get<double>() <= kSupportLineMm;
    checks[cameraIds[i]] = local;
    crosscheck["cameras"][cameraIds[i]] = {{"detail", {{"tip_confirmed", tipConfirmed}, {"agrees", agrees}}},
                                           {"common_point", evidence[i]["common"]}};
    if (agrees) crosscheck["agreeing_cameras"].push_back(cameraIds[i]);
  }
  return checks;
}

// The cameras' own candidates, for the consensus record.
json viewMeasurements(const std::array<CameraFrameAnalysis, 3>& analyses,
                      const std::array<ShaftMeasurement, 3>& shafts) {
  json measurements = json::array();
  for (int i = 0; i < 3; ++i) {
    measurements.push_back({locateCameraCandidate(analyses[i].dartPixels, analyses[i].changedFraction,
                                                  shafts[i].record, kLargeChangeFraction)});
  }
  return measurements;
}

json buildEntry(const Round& round, Point2 point, const json& position, const std::array<json, 3>& views) {
  json field = classifyBoardPoint(point, 2.0);
  const std::string nominal = field["nominal_field"];
  field["selected_field"] = nominal;
  json association = json::object();
  for (int i = 0; i < 3; ++i) {
    const json& vote = views[i]["votes"][0];
    if (!vote.value("abstention", true) && vote.value("tip_valid", false)) {
      association[cameraIds[i]] = vote["point"];
    }
  }
  json entry = {{"id", round.entries.size() + 1},
                {"event", round.eventNumber + 1},
                {"round", round.roundNumber},
                {"board_xy_nominal_mm", {roundToThousandths(point.x), roundToThousandths(point.y)}},
                {"field", field},
                {"nominal_field", nominal},
                {"selected_field", nominal},
                {"method", position["method"]},
                {"uncertainty_mm", position.value("uncertainty_mm", 0.0)},
                {"association_points", association},
                {"bouncer", false}};
  estimateBoundaryProbability(entry["field"], point, entry["uncertainty_mm"]);
  return entry;
}

// The dart is entered: its change joins the stored change, and the working background takes
// the frame so that the next dart is measured against a board that holds this one.
void enterDart(Round& round, const std::vector<cv::Mat>& frames,
               const std::array<CameraFrameAnalysis, 3>& analyses,
               const std::array<ShaftMeasurement, 3>& shafts, const json& entry) {
  auto job = [&](int camera) {
    // Measured the way every later frame is: grey, against the empty board, so that what
    // stays on the board is never taken for something removed.
    const Camera& c = round.cameras[camera];
    const cv::Mat grey = toGray(frames[camera]);
    cv::Mat change = nativeDifferenceMask(c.emptyReference, grey);
    cv::bitwise_and(change, getBoardRegionMask(change.size(), c.boardToImage, scoringRadiusMm(round)), change);
    cv::bitwise_or(change, c.referenceChangeMask, change);
    return std::make_pair(change, grey.data == frames[camera].data ? grey.clone() : grey);
  };
  const auto updated = runOnCameraWorkers(job);
  ImageTriple dartMasks;
  for (int i = 0; i < 3; ++i) {
    Camera& c = round.cameras[i];
    dartMasks[i] = shafts[i].dartMask;
    // The reduced stored change is the union of the reduced changes the analysis saw, so a
    // later frame is compared with what the same analysis measures.
    cv::Mat reducedStored = analyses[i].change.clone();
    const ReducedImage& before = c.reducedReferences[2];
    if (before.source.data == c.referenceChangeMask.data && before.reduced.size() == reducedStored.size()) {
      cv::bitwise_or(reducedStored, before.reduced, reducedStored);
    }
    c.referenceChangeMask = updated[i].first;
    c.reducedReferences[2] = {c.referenceChangeMask, reducedStored};
    c.dartReference = updated[i].second;
    c.backgroundFrame = frames[i].clone();
  }
  round.knownDartMasks.push_back(dartMasks);
  round.entries.push_back(entry);
  round.eventNumber += 1;
}

// A camera whose whole view changed may have been knocked rather than covered or relit: its
// board features tell. A moved camera is measured and, within the limits, its calibration and
// references follow the board; beyond them it is refused with the measurement's reason. Null
// when no camera moved.
json realignMovedCameras(Round& round, const std::vector<cv::Mat>& frames,
                         const std::array<CameraFrameAnalysis, 3>& analyses, double now) {
  if (!processSwitches().autoRealign) return nullptr;
  auto guardJob = [&](int camera) -> json {
    const CameraFrameAnalysis& a = analyses[camera];
    if (a.changedFraction <= kLargeChangeFraction && a.dartPixels <= a.maxDartPixels) return nullptr;
    return checkFixedCameraToneMatched(round.cameras[camera].features, toGray(frames[camera]));
  };
  const std::array<json, 3> guards = runOnCameraWorkers(guardJob);
  std::array<bool, 3> moved{false, false, false};
  json guardReport = json::object();
  for (int i = 0; i < 3; ++i) {
    if (guards[i].is_null()) continue;
    guardReport[cameraIds[i]] = guards[i];
    // Lost features are a hand or a body in front of the board, not a moved camera.
    moved[i] = !guards[i].value("ok", false) && guards[i].value("reason", "") == "BOARD_MOVED";
  }
  if (!moved[0] && !moved[1] && !moved[2]) return nullptr;
  const std::array<json, 3> measured = round.realignCameras(moved, frames, now);
  json realigned = json::object();
  json refused = json::object();
  for (int i = 0; i < 3; ++i) {
    if (!moved[i]) continue;
    (measured[i].value("accepted", false) ? realigned : refused)[cameraIds[i]] = measured[i];
  }
  // The board must be examined again before scoring resumes: the recovery proves what is on
  // it and takes its references anew in the new geometry.
  round.recovery = true;
  round.lastRecoveryReply = nullptr;
  json r = {{"status", "WAIT"}, {"camera_guard", guardReport}};
  if (!refused.empty()) {
    round.cameraGuardWarning = {{"reason", "CAMERA_MOVED"}, {"cameras", refused}};
    r["reason"] = "CAMERA_MOVED";
    r["camera_refused"] = refused;
  } else {
    r["reason"] = "CAMERA_REALIGNED";
  }
  if (!realigned.empty()) r["camera_realigned"] = realigned;
  return r;
}

void clearSettling(Round& round) {
  for (cv::Mat& m : round.evaluationMasks) m.release();
}

}  // namespace

void setMissRadius(const json& request) {
  double radius = 240.0;
  if (request.is_object()) {
    const auto it = request.find("miss_radius_mm");
    if (it != request.end() && it->is_number()) {
      const double value = it->get<double>();
      if (std::isfinite(value) && value >= 170.0 && value <= 600.0) radius = value;
    }
  }
  gMissRadiusMm = radius;
}

double missRadiusMm() { return gMissRadiusMm; }

bool isPathEnabled(const std::string& path) {
  static const std::set<std::string> disabled = [] {
    std::set<std::string> names;
    if (const char* text = std::getenv("TARV_DISABLE_PATHS")) {
      std::string name;
      for (const char* p = text;; ++p) {
        if (*p == '\0' || *p == ',' || *p == ';' || *p == ' ' || *p == '\t') {
          if (!name.empty()) names.insert(name);
          name.clear();
          if (*p == '\0') break;
        } else {
          name += *p;
        }
      }
    }
    return names;
  }();
  return disabled.count(path) == 0;
}

bool hasFreshChangeInTwoCameras(const Round& round, const std::vector<cv::Mat>& frames) {
  if (round.entries.size() >= 3 || frames.size() < 3) return false;
  const auto analyses = analyseFrames(round, frames);
  int fresh = 0;
  for (const CameraFrameAnalysis& a : analyses) {
    if (a.changedFraction > kLargeChangeFraction) return false;
    if (a.masks.stats.value("removed_fraction", 0.0) > kRemovedFraction) return false;
    fresh += seesDart(a);
  }
  return fresh >= 2;
}

std::pair<json, json> analyseWarmupCamera(const std::array<Camera, 3>& cameras, int camera) {
  Round round;
  round.cameras = cameras;
  const Camera& c = cameras[camera];
  const CameraFrameAnalysis a = analyseCameraFrame(round, camera, c.emptyReferenceColour);
  ShaftView view;
  view.frame = c.emptyReferenceColour;
  view.background = c.backgroundFrame;
  view.changeMask = c.referenceChangeMask;
  view.boardToImage = c.boardToImage;
  view.minPixels = minPixelsForCamera(c);
  json record = estimateShaftAxis(view);
  json candidate = locateCameraCandidate(a.dartPixels, a.changedFraction, record, kLargeChangeFraction);
  return {std::move(record), std::move(candidate)};
}

namespace {

// Each evaluation works on surround-motion records of its own: a what-if copy of the round
// shares its cameras' records with the round, and must not write into them.
void ownSurroundMotion(Round& round) {
  for (Camera& c : round.cameras) {
    c.surroundMotion = c.surroundMotion ? std::make_shared<SurroundMotion>(*c.surroundMotion)
                                        : std::make_shared<SurroundMotion>();
  }
}

json evaluateTriplet(Round& round, const std::vector<cv::Mat>& frames, double now) {
  std::array<CameraFrameAnalysis, 3> analyses = analyseFrames(round, frames);
  LargeChange largeChange = classifyLargeChange(analyses);
  json light = nullptr;
  if (largeChange.any() && !largeChange.closeDart()) {
    light = matchChangedLight(round, frames, analyses, largeChange, now);
    if (!light.is_null()) {
      analyses = analyseFrames(round, frames);
      largeChange = classifyLargeChange(analyses);
    }
  }
  const json stats = cameraStats(analyses);
  const bool large = largeChange.any() && !largeChange.closeDart();
  int removing = 0, seeing = 0;
  for (const CameraFrameAnalysis& a : analyses) {
    removing += a.masks.removedPixels() >= a.minPixels &&
                a.masks.stats.value("removed_fraction", 0.0) > kRemovedFraction;
    seeing += seesDart(a);
  }
  if (large) {
    clearSettling(round);
    if (json moved = realignMovedCameras(round, frames, analyses, now); !moved.is_null()) {
      moved["cameras"] = stats;
      return moved;
    }
    json r = reply("WAIT", "LARGE_INTERACTION_OR_LIGHTING", stats);
    r["large_change"] = largeChange.toJson();
    if (!light.is_null()) r["light_change"] = light;
    return r;
  }
  if (json departed = departLastDart(round, frames, analyses); !departed.is_null()) {
    clearSettling(round);
    departed["cameras"] = stats;
    return departed;
  }
  if (removing > 0 && !round.entries.empty()) {
    clearSettling(round);
    if (removing >= 2) {
      // A takeout has begun: the darts on the board go on being shown until it is over.
      beginTakeout(round);
      return reply("DART_REMOVED", "DART_REMOVED", stats);
    }
    return reply("WAIT", "OLD_OBJECT_MOVED_OR_PARTLY_REMOVED", stats);
  }
  if (round.entries.size() >= 3) {
    clearSettling(round);
    json r = reply("ROUND_FULL", "", stats);
    r["unchanged"] = seeing == 0;
    return r;
  }
  if (seeing == 0) {
    json vanished = enterVanishedTransient(round, analyses, now);
    clearSettling(round);
    if (!vanished.is_null()) {
      vanished["cameras"] = stats;
      return vanished;
    }
    json r = reply("READY", "", stats);
    bool quiet = true;
    for (const CameraFrameAnalysis& a : analyses) quiet = quiet && a.masks.addedPixels() < a.minPixels;
    r["unchanged"] = quiet;
    return r;
  }

  // A dart is decided on two consecutive triplets that show the same change: a dart still
  // moving, a hand or a shadow does not stay put.
  bool settled = true;
  json agreement = json::object();
  for (int i = 0; i < 3; ++i) {
    if (!seesDart(analyses[i])) continue;
    const double overlap = maskAgreement(round.evaluationMasks[i], analyses[i].dartMask);
    agreement[cameraIds[i]] = roundToThousandths(overlap);
    // A camera that sees only a sliver of the dart flickers with the sensor noise; the
    // cameras that see it well decide whether it has come to rest, the others need only
    // have seen it before.
    const bool seenWell = analyses[i].dartPixels >= 3 * analyses[i].minPixels;
    if (overlap < (seenWell ? kSettledAgreement : kWeakAgreement)) settled = false;
  }
  for (int i = 0; i < 3; ++i) round.evaluationMasks[i] = analyses[i].dartMask.clone();
  // A probe round sees its transient once: there is no second triplet to wait for.
  if (!settled && !round.probe) {
    noteSettlingChange(round, now);
    json r = reply("SETTLING", "WAITING_FOR_STABLE_FRAMES", stats);
    r["agreement"] = agreement;
    return r;
  }

  const std::array<ShaftMeasurement, 3> shafts = measureShafts(round, frames, analyses);
  const std::array<json, 3> views{shafts[0].record, shafts[1].record, shafts[2].record};
  const json position = fuseDartPosition(views);
  std::array<Homography, 3> homographies;
  for (int i = 0; i < 3; ++i) homographies[i] = round.cameras[i].boardToImage;
  json solver = reconstructTipFromViews(views, homographies, missRadiusMm());
  solver.erase("geometry");

  const std::string method = position.value("method", "UNRESOLVED");
  if (method == "UNRESOLVED" || !isPathEnabled(method)) {
    if (round.decisionWindowStart < 0.0) round.decisionWindowStart = now;
    if (round.pendingSince < 0.0) round.pendingSince = now;
    round.pendingCandidate = {{"time", now}, {"point", nullptr}};
    json r = reply("POSITION_UNRESOLVED", "NO_TIP_FROM_THE_CAMERAS", stats);
    r["views"] = views;
    return r;
  }
  const Point2 point = pointFromJson(position["point"]);
  json crosscheck;
  const json checks = viewChecks(round, shafts, point, crosscheck);
  const json entry = buildEntry(round, point, position, views);

  json r = reply("DART_CANDIDATE", "DART_ENTERED", stats);
  r["entry"] = entry;
  r["decision"] = {{"point", pointToJson(point)}, {"method", method}, {"position", position},
                   {"tip_solver", solver}};
  r["view_checks"] = checks;
  r["crosscheck"] = crosscheck;
  r["arbitration"] = {{"consensus", buildMultiviewConsensus(viewMeasurements(analyses, shafts))},
                      {"hypothesis", {{"field", entry["selected_field"]},
                                      {"point", entry["board_xy_nominal_mm"]},
                                      {"method", method}}}};
  r["views"] = views;
  enterDart(round, frames, analyses, shafts, entry);
  noteEnteredDart(round, now);
  clearSettling(round);
  round.pendingCandidate = nullptr;
  round.pendingConfirmation = nullptr;
  round.pendingSince = -1.0;
  return r;
}

}  // namespace

json evaluateRoundFrames(Round& round, const std::vector<cv::Mat>& frames, double now) {
  if (frames.size() < 3) throw std::runtime_error("THREE_CAMERAS_REQUIRED");
  ownSurroundMotion(round);
  json result = evaluateTriplet(round, frames, now);
  // What an early what-if found stays with the round even when the what-if is dropped.
  if (round.earlyEvaluation) {
    round.earlyRecord = {{"time", now}, {"status", result.value("status", "")},
                         {"reason", result.value("reason", "")}};
    if (result.contains("entry")) round.earlyRecord["entry"] = result["entry"];
  }
  return result;
}

json refinePublishedDart(Round& round, const std::vector<cv::Mat>&, int) {
  // Later frames of a settled dart add nothing the settled decision did not already see.
  round.tipSampling = nullptr;
  return nullptr;
}

void beginTipSampling(Round& round, const json& reply, int epoch) {
  round.tipSampling = {{"entry_id", reply["entry"].value("id", 0)}, {"epoch", epoch}};
}

}  // namespace tarv
