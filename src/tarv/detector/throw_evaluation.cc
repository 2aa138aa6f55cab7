#include "tarv/detector/throw_evaluation.h"

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <set>
#include <sstream>

#include <opencv2/imgproc.hpp>

#include "tarv/board/board_layout.h"
#include "tarv/board/multiview_consensus.h"
#include "tarv/board/tip_solver.h"
#include "tarv/detector/camera_analysis.h"
#include "tarv/detector/dart_position.h"
#include "tarv/engine/camera_worker_pool.h"
#include "tarv/engine/engine_values.h"
#include "tarv/views/shaft_axis.h"

namespace tarv {
namespace {

std::atomic<double> gMissRadiusMm{240.0};

// More than this share of a camera's board region changed: a hand, a body or the light.
constexpr double kLargeChangeFraction = 0.15;
// A stored dart whose change shrank by more than this share in a camera is leaving it.
constexpr double kRemovedFraction = 0.25;
// Two consecutive triplets agree on a settled dart when their dart masks overlap this much.
constexpr double kSettledAgreement = 0.9;
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
                           {"min_pixels", a.minPixels}};
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

std::array<json, 3> measureShafts(const Round& round, const std::vector<cv::Mat>& frames,
                                  const std::array<CameraFrameAnalysis, 3>& analyses) {
  auto job = [&](int camera) {
    const CameraFrameAnalysis& a = analyses[camera];
    const Camera& c = round.cameras[camera];
    ShaftView view;
    view.frame = frames[camera];
    view.background = c.backgroundFrame;
    view.changeMask = seesDart(a) ? a.dartMask : cv::Mat();
    view.boardToImage = c.boardToImage;
    const auto& n = c.imageNormal;
    if (std::isfinite(n[0]) && std::isfinite(n[1]) && std::abs(n[2]) > 1e-12) {
      view.normalPoint = cv::Point2d(n[0] / n[2], n[1] / n[2]);
    }
    view.minPixels = a.minPixels;
    view.level = a.level;
    return estimateShaftAxis(view);
  };
  return runOnCameraWorkers(job);
}

json viewChecks(const std::array<json, 3>& views, Point2 point, json& crosscheck) {
  json checks = json::object();
  crosscheck = {{"cameras", json::object()}, {"agreeing_cameras", json::array()}};
  for (int i = 0; i < 3; ++i) {
    const json& vote = views[i]["votes"][0];
    bool lineAgrees = false;
    bool tipConfirmed = false;
    if (!vote.value("abstention", true)) {
      if (vote.contains("line")) {
        const json& l = vote["line"];
        lineAgrees = std::abs(l[0].get<double>() * point.x + l[1].get<double>() * point.y + l[2].get<double>()) <= kSupportLineMm;
      }
      if (vote.value("tip_valid", false)) {
        const Point2 tip = pointFromJson(vote["point"]);
        tipConfirmed = std::hypot(tip.x - point.x, tip.y - point.y) <= kSupportTipMm;
      }
    }
    const bool supported = lineAgrees || tipConfirmed;
    checks[cameraIds[i]] = {{"supported", supported}};
    crosscheck["cameras"][cameraIds[i]] = {{"detail", {{"tip_confirmed", tipConfirmed}, {"agrees", lineAgrees}}}};
    if (lineAgrees) crosscheck["agreeing_cameras"].push_back(cameraIds[i]);
  }
  return checks;
}

// The cameras' own readings as view measurements, for the consensus record.
json viewMeasurements(const std::array<json, 3>& views) {
  json measurements = json::array();
  for (int i = 0; i < 3; ++i) {
    json list = json::array();
    const json& vote = views[i]["votes"][0];
    if (!vote.value("abstention", true) && vote.value("tip_valid", false)) {
      const double error = vote.value("error_mm", 1.0);
      list.push_back({{"status", "CANDIDATE"},
                      {"quality", roundTo(1.0 / (1.0 + error), 2)},
                      {"field", vote.value("field", "MISS")},
                      {"point", vote["point"]},
                      {"kind", viewKinds[0]}});
    } else {
      list.push_back({{"status", "ABSTAIN"}, {"quality", 0.0}, {"kind", viewKinds[0]}});
    }
    measurements.push_back(list);
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

// The dart is entered: its masks join the stored change, and the working background takes
// the frame so that the next dart is measured against a board that holds this one.
void enterDart(Round& round, const std::vector<cv::Mat>& frames,
               const std::array<CameraFrameAnalysis, 3>& analyses, const json& entry) {
  ImageTriple dartMasks;
  for (int i = 0; i < 3; ++i) {
    Camera& c = round.cameras[i];
    const CameraFrameAnalysis& a = analyses[i];
    dartMasks[i] = a.dartMask.clone();
    // The stored change is measured the way every later frame is: grey, against the empty
    // board, so that what stays on the board is never taken for something removed.
    cv::Mat stored;
    cv::bitwise_or(c.referenceChangeMask, a.change, stored);
    c.referenceChangeMask = stored;
    c.backgroundFrame = frames[i].clone();
    c.dartReference = a.grey.data == frames[i].data ? a.grey.clone() : a.grey;
  }
  round.knownDartMasks.push_back(dartMasks);
  round.entries.push_back(entry);
  round.eventNumber += 1;
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

json evaluateRoundFrames(Round& round, const std::vector<cv::Mat>& frames, double now) {
  if (frames.size() < 3) throw std::runtime_error("THREE_CAMERAS_REQUIRED");
  const std::array<CameraFrameAnalysis, 3> analyses = analyseFrames(round, frames);
  const json stats = cameraStats(analyses);

  int large = 0, removing = 0, seeing = 0;
  for (const CameraFrameAnalysis& a : analyses) {
    large += a.changedFraction > kLargeChangeFraction;
    removing += a.masks.removedPixels() >= a.minPixels &&
                a.masks.stats.value("removed_fraction", 0.0) > kRemovedFraction;
    seeing += seesDart(a);
  }
  if (large > 0) {
    clearSettling(round);
    return reply("WAIT", "LARGE_INTERACTION_OR_LIGHTING", stats);
  }
  if (removing > 0 && !round.entries.empty()) {
    clearSettling(round);
    if (removing >= 2) {
      // A takeout has begun: the darts on the board go on being shown until it is over.
      round.takeout = true;
      round.recovery = true;
      round.allowResume = false;
      round.heldEventRecord = nullptr;
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
    clearSettling(round);
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
    const double overlap = maskAgreement(round.evaluationMasks[i], analyses[i].dartMask);
    agreement[cameraIds[i]] = roundToThousandths(overlap);
    if (seesDart(analyses[i]) && overlap < kSettledAgreement) settled = false;
  }
  for (int i = 0; i < 3; ++i) round.evaluationMasks[i] = analyses[i].dartMask.clone();
  if (!settled) {
    json r = reply("SETTLING", "WAITING_FOR_STABLE_FRAMES", stats);
    r["agreement"] = agreement;
    return r;
  }

  const std::array<json, 3> views = measureShafts(round, frames, analyses);
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
  const json checks = viewChecks(views, point, crosscheck);
  const json entry = buildEntry(round, point, position, views);

  json r = reply("DART_CANDIDATE", "DART_ENTERED", stats);
  r["entry"] = entry;
  r["decision"] = {{"point", pointToJson(point)}, {"method", method}, {"position", position},
                   {"tip_solver", solver}};
  r["view_checks"] = checks;
  r["crosscheck"] = crosscheck;
  r["arbitration"] = {{"consensus", buildMultiviewConsensus(viewMeasurements(views))},
                      {"hypothesis", {{"field", entry["selected_field"]},
                                      {"point", entry["board_xy_nominal_mm"]},
                                      {"method", method}}}};
  r["views"] = views;
  enterDart(round, frames, analyses, entry);
  clearSettling(round);
  round.pendingCandidate = nullptr;
  round.pendingConfirmation = nullptr;
  round.pendingSince = -1.0;
  return r;
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
