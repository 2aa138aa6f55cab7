#include "tarv/detector/throw_evaluation.h"

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <algorithm>
#include <optional>
#include <set>

#include <opencv2/imgproc.hpp>

#include "tarv/board/board_layout.h"
#include "tarv/core/camera_worker_pool.h"
#include "tarv/core/engine_values.h"
#include "tarv/core/process_switches.h"
#include "tarv/detector/dart_3d.h"
#include "tarv/detector/departed_darts.h"
#include "tarv/detector/end_on_view.h"
#include "tarv/detector/field_decision.h"
#include "tarv/detector/known_dart_change.h"
#include "tarv/detector/large_change.h"
#include "tarv/detector/light_change.h"
#include "tarv/detector/rod_foot.h"
#include "tarv/detector/line_confirmed_tip.h"
#include "tarv/detector/shared_line_tip.h"
#include "tarv/detector/tip_beyond_frame.h"
#include "tarv/detector/watched_change.h"
#include "tarv/views/board_features.h"
#include "tarv/views/camera_analysis.h"
#include "tarv/views/components.h"
#include "tarv/views/dart_pieces.h"
#include "tarv/views/image_ops.h"
#include "tarv/views/dart_views.h"
#include "tarv/views/several_darts.h"
#include "tarv/views/shaft_axis.h"
#include "tarv/views/surround_motion.h"
#include "tarv/views/tip_evidence.h"

namespace tarv {
namespace {

// Two consecutive triplets agree on a settled dart when their dart masks overlap this much.
constexpr double kSettledAgreement = 0.9;
constexpr double kWeakAgreement = 0.3;
// A change whose masks keep this much of themselves from triplet to triplet (sensor noise
// moving the edges of a faint dart) has stopped changing: after this many such triplets in a
// row it is decided all the same.
constexpr double kStillAgreement = 0.6;
constexpr int32_t kStillTripletsDecided = 3;
// A settled change the evaluation declined to enter on this many triplets in a row is left
// to the player instead of being waited on.
constexpr int32_t kStillTripletsExamined = 2;
// An unresolved change still the same on this many triplets in a row is taken into the
// working background: the next dart is measured on its own, and the unresolved one stays on
// the decision window until it is placed or the player is asked.
constexpr int32_t kStillTripletsTaken = 3;
// A camera's line or tip this far from the chosen point does not support it.
constexpr double kSupportLineMm = 3.0;
constexpr double kSupportTipMm = 8.0;
// The uncertainty of a point that no line intersection fixed (a single camera's tip).
constexpr double kNominalTipUncertaintyMm = 2.0;
// The refinement of a published dart: this many later triplets at most, samples within this
// distance of the published point, searched this far round the dart's mask.
constexpr int kRefinementAttempts = 1;
constexpr double kRefinementAgreementMm = 1.5;
constexpr int kRefinementMarginPx = 16;
// A pending confirmation is renewed by a decision on the same field within this distance.
constexpr double kConfirmationMm = 4.0;
// One camera's own tip this far beyond the double ring is in the surround, not on the board.
constexpr double kOutsideMissMarginMm = 8.0;
// A light patch taken into the working background takes its soft edge with it.
constexpr int kPatchGrowPx = 15;

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
                           {"max_dart_pixels", a.maxDartPixels},
                           {"change_level", roundToThousandths(a.level)}};
  }
  return stats;
}

json reply(const std::string& status, const std::string& reason, const json& stats) {
  json r = {{"status", status}, {"cameras", stats}};
  if (!reason.empty()) r["reason"] = reason;
  return r;
}

// A dart counts in a camera when its own change reaches the camera's pixel limit.

std::optional<cv::Point2d> normalPointOf(const Camera& c) {
  const auto& n = c.imageNormal;
  if (std::isfinite(n[0]) && std::isfinite(n[1]) && std::abs(n[2]) > 1e-12) {
    return cv::Point2d(n[0] / n[2], n[1] / n[2]);
  }
  return std::nullopt;
}

struct ShaftMeasurement {
  json record;        // the camera's shaft record (observations and votes)
  json measurements;  // its four ViewMeasurements
  cv::Mat dartMask;   // the measured dart's change at full size
  cv::Mat change;     // all the new change at full size (more than the dart when two landed)
  cv::Rect box;       // the crop both masks were measured in: nothing is set outside it
  LightPatchView light;  // the dart mask judged as a patch of light in this camera
};

ShaftView shaftViewOf(const Round& round, int camera, const CameraFrameAnalysis& a) {
  const Camera& c = round.cameras[camera];
  ShaftView view;
  view.boardToImage = c.boardToImage;
  view.minPixels = minPixelsForCamera(c);
  view.level = a.level;
  view.normalPoint = normalPointOf(c);
  return view;
}

// One camera's measurement of the view, whose change mask is the dart's, in the crop of the
// camera's whole new change; moreThanDart keeps that whole change as well (two darts landed).
ShaftMeasurement measureShaft(const cv::Mat& frame, const ShaftView& view, const cv::Mat& whole, bool moreThanDart,
                              const ChangePieces* pieces = nullptr) {
  ShaftMeasurement m;
  m.dartMask = freshZeroMask(frame.size());
  m.change = m.dartMask;
  if (!whole.empty()) {
    const cv::Rect box(view.offset, whole.size());
    m.box = box;
    if (moreThanDart) {
      m.change = freshZeroMask(frame.size());
      whole.copyTo(m.change(box));
    }
    view.changeMask.copyTo(m.dartMask(box));
  }
  DartViews measured = pieces ? measureDartViews(view, *pieces) : measureDartViews(view);
  m.record = std::move(measured.shaftRecord);
  m.measurements = std::move(measured.measurements);
  return m;
}

// The camera's record holds a tip vote with a valid axis and tip.
bool measuresTip(const json& record) {
  const json& votes = record.value("votes", json::array());
  if (!votes.is_array() || votes.empty()) return false;
  const json& vote = votes[0];
  return !vote.value("abstention", true) && vote.value("tip_valid", false) && vote.value("axis_valid", false);
}

// When the pieces over the region give no tip, the dart's point alone lies there, and the rest
// of it, beyond, carries the axis. The pieces are the view's change mask labelled.
ShaftMeasurement measureShaftOrContinued(const cv::Mat& frame, const ShaftView& view, const DartCrop& crop,
                                         const Homography& boardToImage, const ChangePieces& pieces) {
  ShaftMeasurement m = measureShaft(frame, view, view.changeMask, false, &pieces);
  if (measuresTip(m.record)) return m;
  const cv::Mat continued = continuedDartPieces(crop, boardToImage);
  if (continued.empty()) return m;
  ShaftView whole = view;
  whole.changeMask = continued;
  ShaftMeasurement again = measureShaft(frame, whole, continued, false);
  return measuresTip(again.record) ? again : m;
}

// Whether the measured dart is a patch of light is asked of every decided change: each camera
// judges its own view while its worker has it at hand.
void judgeAsLight(ShaftMeasurement& m, const cv::Mat& frame, const Camera& c) {
  m.light = lightPatchView(frame, c.backgroundFrame, m.dartMask, c.boardToImage);
}

// `alsoForCamera` runs once for each camera while the shafts are measured: the calling thread
// runs it for one camera after another while the workers measure, and a camera's job that
// finds its camera not yet taken up runs it itself, so neither waits for the other.
std::array<ShaftMeasurement, 3> measureShafts(const Round& round, const std::vector<cv::Mat>& frames,
                                              const std::array<CameraFrameAnalysis, 3>& analyses,
                                              const std::function<void(int)>& alsoForCamera) {
  std::array<std::atomic<bool>, 3> claimed{};
  const auto alsoOnce = [&](int camera) {
    if (!claimed[camera].exchange(true)) alsoForCamera(camera);
  };
  struct Looked {
    ShaftView view;
    ChangeGroups groups;        // fitted only where they may tell two darts apart
    ShaftMeasurement measured;  // of the whole change, as one dart
    bool fitted = false;        // its groups' tips fitted in its own job
  };
  // Each camera tells as soon as it knows whether its change falls into groups (-1: not yet).
  // A job whose camera holds groups, finding two cameras that do once its measurement is done,
  // fits their tips there and then, rather than in a fan-out of their own after every job.
  std::array<std::atomic<int>, 3> holdsGroups{};
  for (std::atomic<int>& h : holdsGroups) h.store(-1);
  const auto twoCamerasHoldGroups = [&holdsGroups] {
    int known = 0, holding = 0;
    for (const std::atomic<int>& h : holdsGroups) {
      const int v = h.load(std::memory_order_acquire);
      known += v >= 0;
      holding += v > 0;
    }
    return known == 3 && holding >= 2;
  };
  // Each camera's whole new change, in groups when it falls apart, and measured as one dart:
  // that is what it holds nearly always, and the measurement then needs no fan-out of its own.
  auto look = [&](int camera) {
    const Camera& c = round.cameras[camera];
    ShaftView view = shaftViewOf(round, camera, analyses[camera]);
    DartCrop crop;
    if (seesDart(analyses[camera])) {
      crop = fullSizeDartChange(round, camera, frames[camera], analyses[camera]);
      if (crop.box.area() > 0) {
        view.frame = frames[camera](crop.box);
        view.background = c.backgroundFrame(crop.box);
        view.changeMask = crop.mask;
        view.offset = crop.box.tl();
        view.difference = crop.difference;
      }
    }
    // One labelling of the change serves its groups and its measurement.
    const ChangePieces pieces = labelChangePieces(view.changeMask);
    ChangeGroups groups = groupChangeUnfitted(view, &pieces);
    holdsGroups[camera].store(groups.groups.empty() ? 0 : 1, std::memory_order_release);
    ShaftMeasurement measured = measureShaftOrContinued(frames[camera], view, crop, c.boardToImage, pieces);
    judgeAsLight(measured, frames[camera], c);
    const bool fitted = !groups.groups.empty() && twoCamerasHoldGroups();
    if (fitted) fitGroupTips(view, groups);
    alsoOnce(camera);
    return Looked{std::move(view), std::move(groups), std::move(measured), fitted};
  };
  auto looked = runOnCameraWorkers(look, [&] {
    for (int camera = 2; camera >= 0; --camera) alsoOnce(camera);
  });
  std::vector<ShaftView> views;
  std::vector<ChangeGroups> groups;
  for (Looked& l : looked) {
    views.push_back(std::move(l.view));
    groups.push_back(std::move(l.groups));
  }
  // A job that finished before every camera had told left its groups to be fitted here.
  const auto unfitted = [&](int camera) { return !looked[camera].fitted && !groups[camera].groups.empty(); };
  if (groupsTellDarts(groups) && (unfitted(0) || unfitted(1) || unfitted(2))) {
    auto fit = [&](int camera) {
      if (unfitted(camera)) fitGroupTips(views[camera], groups[camera]);
      return 0;
    };
    (void)runOnCameraWorkers(fit);
  }
  // Two darts that landed between two triplets: one of them is measured now, the other on a
  // later triplet.
  const std::vector<std::optional<cv::Mat>> oneDart = piecesOfOneDart(views, groups);
  std::array<ShaftMeasurement, 3> shafts;
  for (int i = 0; i < 3; ++i) shafts[i] = std::move(looked[i].measured);
  if (!oneDart[0] && !oneDart[1] && !oneDart[2]) return shafts;
  auto job = [&](int camera) {
    if (!oneDart[camera] || views[camera].changeMask.empty()) return shafts[camera];
    // The call counts the searches of the measurements it keeps: the whole change's one, which
    // ran a search when it found an axis, is set aside.
    if (!shafts[camera].record["votes"][0].value("abstention", true)) processSwitches().measuredSearches.fetch_sub(1);
    ShaftView view = views[camera];
    view.changeMask = *oneDart[camera];
    ShaftMeasurement measured = measureShaft(frames[camera], view, views[camera].changeMask, true);
    judgeAsLight(measured, frames[camera], round.cameras[camera]);
    return measured;
  };
  return runOnCameraWorkers(job);
}

// Each camera's view of the chosen point: its local evidence and where its axis passes it.
// The checks look only at a small window round the point, whatever the frame's size: on the
// calling thread they cost less than waking the workers.
json viewChecks(const Round& round, const std::array<ShaftMeasurement, 3>& shafts, Point2 point,
                json& crosscheck) {
  std::array<json, 3> evidence;
  for (int camera = 0; camera < 3; ++camera) {
    evidence[camera] = {{"local", checkLocalTipEvidence(shafts[camera].dartMask, round.cameras[camera].boardToImage,
                                                        shafts[camera].record, point)},
                        {"common", findCommonBoardPoint(shafts[camera].record, point)}};
  }
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

// What the camera votes read of each camera's change: the dart's new pixels and the stored
// change that moved.
json voteStats(const std::array<CameraFrameAnalysis, 3>& analyses) {
  json stats = json::object();
  for (int i = 0; i < 3; ++i) {
    stats[cameraIds[i]] = {{"new", analyses[i].dartPixels}, {"moved_support", analyses[i].masks.removedPixels()}};
  }
  return stats;
}

json buildEntry(const Round& round, const TipLocation& tip, const FieldDecision& decision,
                const std::array<json, 3>& views) {
  const Point2 point = *decision.point;
  json field = classifyBoardPoint(point, 2.0);
  const std::string nominal = field["nominal_field"];
  field["selected_field"] = decision.field;
  json association = json::object();
  for (int i = 0; i < 3; ++i) {
    const json& vote = views[i]["votes"][0];
    if (!vote.value("abstention", true) && vote.value("tip_valid", false)) {
      association[cameraIds[i]] = vote["point"];
    }
  }
  const double uncertainty = tip.uncertainty.is_number() ? tip.uncertainty.get<double>() : kNominalTipUncertaintyMm;
  json entry = {{"id", round.entries.size() + 1},
                {"event", round.eventNumber + 1},
                {"round", round.roundNumber},
                {"board_xy_nominal_mm", {roundToThousandths(point.x), roundToThousandths(point.y)}},
                {"field", field},
                {"nominal_field", nominal},
                {"selected_field", decision.field},
                {"method", tip.method},
                {"uncertainty_mm", roundToThousandths(uncertainty)},
                {"association_points", association},
                {"bouncer", false}};
  estimateBoundaryProbability(entry["field"], point, entry["uncertainty_mm"]);
  // A camera outvoted by two that agree is named, so that a drifted calibration shows.
  if (tip.solver.contains("set_aside")) entry["set_aside"] = tip.solver["set_aside"];
  return entry;
}

void dropParkedChange(Round& round) {
  for (int i = 0; i < 3; ++i) {
    round.parkedFrames[i].release();
    round.parkedChanges[i].release();
  }
}

// Per camera, where an entered dart lies when the change holds more than the dart (a second
// dart that landed between two triplets): the dart's own pieces, grown. Empty where the dart is
// all the change there, and everywhere when the rest is no dart.
using CameraRegions = std::array<cv::Mat, 3>;
cv::Mat enteredDartRegionOf(const Round& round, int camera, const ShaftMeasurement& shaft, Point2 point) {
  const Camera& c = round.cameras[camera];
  return enteredDartRegion(shaft.change, c.boardToImage, point, minPixelsForCamera(c), shaft.box);
}

// Another dart is seen by two cameras at least; a piece of the entered dart that one camera
// alone keeps (its pieces did not line up there) is no dart, and goes with it. A camera sees
// another dart only where its dart change outside the region holds a piece of a dart's worth:
// grey change left beside the dart (its shadow, a light step's edge) is no dart in that
// camera, and neither are specks of sensor noise strewn over dark beds, however many.
CameraRegions keptRegions(CameraRegions regions, const std::array<CameraFrameAnalysis, 3>& analyses) {
  for (int i = 0; i < 3; ++i) {
    if (regions[i].empty()) continue;
    const cv::Mat& seen = analyses[i].dartMask;
    if (seen.empty() || largestPiecePixels(maskAndNot(seen, reducedMask(regions[i], seen.size()))) < analyses[i].minPixels) {
      regions[i].release();
    }
  }
  if (!regions[0].empty() + !regions[1].empty() + !regions[2].empty() < 2) regions = {};
  return regions;
}

// Each camera's region of the entered dart, looked for at a point before the entry was made.
struct RegionsAtPoint {
  std::optional<Point2> point;
  CameraRegions regions;
};

bool anyRegion(const CameraRegions& regions) {
  return !regions[0].empty() || !regions[1].empty() || !regions[2].empty();
}

// One camera's frame taken into its references: the change against the empty board joins the
// stored change, and the working background takes the frame so that the next dart is measured
// against a board that holds this one. With a region, only the region is taken: what lies
// outside it stays change for the next triplet to judge. Its full-size copies are costly: it
// runs while the shafts are measured.
struct Taken {
  cv::Mat change;
  cv::Mat dartReference;
  cv::Mat background;
};
Taken takenFrame(const Round& round, int camera, const cv::Mat& frame, const cv::Mat& only) {
  // Measured the way every later frame is: grey, against the empty board, so that what
  // stays on the board is never taken for something removed.
  const Camera& c = round.cameras[camera];
  const cv::Mat grey = toGray(frame);
  cv::Mat change = nativeDifferenceMask(c.emptyReference, grey);
  cv::bitwise_and(change, sharedBoardRegionMask(change.size(), c.boardToImage, scoringRadiusMm(round)), change);
  if (!only.empty()) cv::bitwise_and(change, only, change);
  cv::bitwise_or(change, c.referenceChangeMask, change);
  if (!only.empty()) {
    return Taken{change, copiedInside(c.dartReference, grey, only), copiedInside(c.backgroundFrame, frame, only)};
  }
  return Taken{change, grey.data == frame.data ? grey.clone() : grey, frame.clone()};
}

// The cameras take what takenFrame measured.
void applyTaken(Round& round, const std::array<Taken, 3>& updated, const ImageTriple& reducedChanges,
                const CameraRegions& only) {
  for (int i = 0; i < 3; ++i) {
    Camera& c = round.cameras[i];
    // The reduced stored change is the union of the reduced changes the analysis saw, so a
    // later frame is compared with what the same analysis measures.
    cv::Mat reducedStored = reducedChanges[i].clone();
    if (!only[i].empty()) reducedStored = maskAnd(reducedStored, reducedMask(only[i], reducedStored.size()));
    const ReducedImage& before = c.reducedReferences[2];
    if (before.source.data == c.referenceChangeMask.data && before.reduced.size() == reducedStored.size()) {
      cv::bitwise_or(reducedStored, before.reduced, reducedStored);
    }
    c.referenceChangeMask = updated[i].change;
    c.reducedReferences[2] = {c.referenceChangeMask, reducedStored};
    c.dartReference = updated[i].dartReference;
    c.backgroundFrame = updated[i].background;
  }
}

void takeIntoBackground(Round& round, const std::vector<cv::Mat>& frames, const ImageTriple& reducedChanges) {
  auto job = [&](int camera) { return takenFrame(round, camera, frames[camera], cv::Mat()); };
  applyTaken(round, runOnCameraWorkers(job), reducedChanges, {});
}

// The dart is entered: its change is taken into the working background. Answers the regions
// the references took where more than the dart changed (see enteredDartRegionOf).
// The whole frames' takes were measured while the shafts were: the dart is nearly always all
// the change, and then no camera keeps a region. Regions `found` at the entry's own point
// while the dart was decided are not looked for again.
CameraRegions enterDart(Round& round, const std::vector<cv::Mat>& frames,
                        const std::array<CameraFrameAnalysis, 3>& analyses,
                        const std::array<ShaftMeasurement, 3>& shafts, const std::array<Taken, 3>& wholeTakes,
                        const RegionsAtPoint& found, const json& entry) {
  const Point2 point = pointFromJson(entry["board_xy_nominal_mm"]);
  auto look = [&](int camera) { return enteredDartRegionOf(round, camera, shafts[camera], point); };
  const bool foundHere = found.point && found.point->x == point.x && found.point->y == point.y;
  const CameraRegions own = keptRegions(foundHere ? found.regions : runOnCameraWorkers(look), analyses);
  std::array<Taken, 3> taken = wholeTakes;
  if (anyRegion(own)) {
    auto job = [&](int camera) {
      return own[camera].empty() ? taken[camera] : takenFrame(round, camera, frames[camera], own[camera]);
    };
    taken = runOnCameraWorkers(job);
  }
  applyTaken(round, taken, {analyses[0].change, analyses[1].change, analyses[2].change}, own);
  dropParkedChange(round);
  ImageTriple dartMasks;
  for (int i = 0; i < 3; ++i) dartMasks[i] = own[i].empty() ? shafts[i].dartMask : maskAnd(shafts[i].change, own[i]);
  round.knownDartMasks.push_back(dartMasks);
  round.entries.push_back(entry);
  round.eventNumber += 1;
  return own;
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
  round.stillTriplets = 0;
  round.heldByTwoTriplets = 0;
}

// The settling masks of this triplet, the next one compares with them.
void keepSettlingMasks(Round& round, const std::array<CameraFrameAnalysis, 3>& analyses) {
  for (int i = 0; i < 3; ++i) round.evaluationMasks[i] = analyses[i].dartMask.clone();
}

// The oversized change of the one camera that sees it lies where it lay on the triplet before.
bool oversizedChangeHeldStill(const Round& round, const std::array<CameraFrameAnalysis, 3>& analyses,
                              const LargeChange& change) {
  if (!change.oversizedInOneCamera()) return false;
  for (int i = 0; i < 3; ++i) {
    if (change.oversized[i]) return maskAgreement(round.evaluationMasks[i], analyses[i].dartMask) >= kSettledAgreement;
  }
  return false;
}

// A large change that may be a dart lies where it lay on the triplet before, in every camera
// that sees it.
bool largeChangeLiesStill(const Round& round, const std::array<CameraFrameAnalysis, 3>& analyses,
                          const LargeChange& change) {
  if (!change.mayBeStillDart()) return false;
  for (int i = 0; i < 3; ++i) {
    if (!change.widespread[i] && !change.oversized[i] && !change.dartSized[i]) continue;
    if (maskAgreement(round.evaluationMasks[i], analyses[i].dartMask) < kSettledAgreement) return false;
  }
  return true;
}

std::array<json, 3> shaftRecords(const std::array<ShaftMeasurement, 3>& shafts) {
  return {shafts[0].record, shafts[1].record, shafts[2].record};
}

std::array<cv::Mat, 3> dartMasksOf(const std::array<ShaftMeasurement, 3>& shafts) {
  return {shafts[0].dartMask, shafts[1].dartMask, shafts[2].dartMask};
}

json measurementsOf(const std::array<ShaftMeasurement, 3>& shafts) {
  return json::array({shafts[0].measurements, shafts[1].measurements, shafts[2].measurements});
}

// Without a point no camera can support one.
json unsupportedChecks(json& crosscheck) {
  json checks = json::object();
  crosscheck = {{"cameras", json::object()}, {"agreeing_cameras", json::array()}};
  for (const std::string& id : cameraIds) {
    checks[id] = {{"supported", false}, {"evidence", "INSUFFICIENT_LOCAL_EVIDENCE"}};
    crosscheck["cameras"][id] = {{"detail", {{"tip_confirmed", false}, {"agrees", false}}}};
  }
  return checks;
}

json decisionRecord(const TipLocation& tip, const FieldDecision& decision) {
  // Undecided, the point is still the solver's: plant mode and the review read it.
  const std::optional<Point2> point = decision.point ? decision.point : tip.point;
  return {{"point", point ? pointToJson(*point) : json(nullptr)},
          {"method", tip.method},
          {"path", decision.path.empty() ? json(nullptr) : json(decision.path)},
          {"field", decision.path.empty() ? json(nullptr) : json(decision.field)},
          {"uncertainty_mm", tip.uncertainty},
          {"tip_solver", tip.solver},
          {"refinement", tip.refinement}};
}

// An undecided dart: the decision window opens, and what the chain saw is kept for the next
// frames (the pending candidate with its point, the fallback point, the carried record).
json leaveUnresolved(Round& round, const TipLocation& tip, const FieldDecision& decision, json r, double now) {
  if (round.decisionWindowStart < 0.0) round.decisionWindowStart = now;
  if (round.pendingSince < 0.0) round.pendingSince = now;
  const json& hypothesis = decision.hypothesis;
  json point = tip.point ? pointToJson(*tip.point) : json(nullptr);
  if (point.is_null() && hypothesis.is_object()) point = hypothesis["point"];
  round.pendingCandidate = {{"time", now}, {"point", point},
                            {"field", hypothesis.is_object() ? hypothesis["field"] : json(nullptr)}};
  if (!point.is_null()) round.fallbackPoint = point;
  round.heldEventCount += 1;
  round.heldEventRecord = {{"time", now}, {"method", tip.method}, {"point", point}, {"hypothesis", hypothesis},
                           {"count", round.heldEventCount}};
  r["status"] = "POSITION_UNRESOLVED";
  r["reason"] = tip.point ? "FIELD_NOT_DECIDED" : "NO_TIP_FROM_THE_CAMERAS";
  return r;
}

int camerasSeeingDart(const std::array<CameraFrameAnalysis, 3>& analyses) {
  int seeing = 0;
  for (const CameraFrameAnalysis& a : analyses) seeing += seesDart(a);
  return seeing;
}

// A dart that lands is new change in a camera that sees it: its dart change outside the
// change the references already hold is a dart's worth there.
bool anyCameraSawDartArrive(const std::array<CameraFrameAnalysis, 3>& analyses) {
  for (const CameraFrameAnalysis& a : analyses) {
    if (!seesDart(a)) continue;
    if (a.masks.added.empty() || a.masks.added.size() != a.dartMask.size()) return true;
    if (cv::countNonZero(maskAnd(a.dartMask, a.masks.added)) >= a.minPixels) return true;
  }
  return false;
}

// The dart masks of the cameras that see a dart lie where they lay on the triplet before, on
// enough triplets in a row; the masks are kept for the next triplet.
bool newDartHeldStill(Round& round, const std::array<CameraFrameAnalysis, 3>& analyses) {
  bool still = true;
  for (int i = 0; i < 3; ++i) {
    if (seesDart(analyses[i])) still = still && maskAgreement(round.evaluationMasks[i], analyses[i].dartMask) >= kSettledAgreement;
  }
  keepSettlingMasks(round, analyses);
  round.stillTriplets = still ? round.stillTriplets + 1 : 0;
  return round.stillTriplets >= kStillTripletsExamined;
}

// The marks round far-outside darts that the gates let pass are named in the reply.
void noteToleratedMarks(json& r, const KnownDartChange& known) {
  if (!known.tolerated.empty()) r["surround_marks_tolerated"] = known.tolerated;
}

// The answers before a dart is looked at: a change too large for a dart (or a moved camera),
// darts leaving the board, a full round, nothing new.
std::optional<json> answerGates(Round& round, const std::vector<cv::Mat>& frames,
                                const std::array<CameraFrameAnalysis, 3>& analyses,
                                const LargeChange& largeChange, const json& light, const json& stats,
                                double now) {
  // A dart close to one camera fills much of its view while the others see an ordinary dart:
  // it is decided like any dart.
  const bool large = largeChange.notADart();
  const int seeing = camerasSeeingDart(analyses);
  if (large) {
    // An oversized change in one camera alone is watched: once it holds still it is a dart.
    if (largeChange.oversizedInOneCamera()) {
      keepSettlingMasks(round, analyses);
      round.stillTriplets = 0;
    } else if (largeChange.mayBeStillDart()) {
      // Counted until it has held still long enough to be decided as a dart.
      round.stillTriplets = largeChangeLiesStill(round, analyses, largeChange) ? round.stillTriplets + 1 : 0;
      keepSettlingMasks(round, analyses);
    } else {
      clearSettling(round);
    }
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
  if (json moving = followMovingDart(round, frames, analyses, now); !moving.is_null()) {
    clearSettling(round);
    moving["cameras"] = stats;
    return moving;
  }
  KnownDartChange known = measureKnownDartChange(round, analyses);
  int removing = 0;
  for (int i = 0; i < 3; ++i) {
    removing += known.removedPixels[i] >= analyses[i].minPixels && known.removedFraction[i] > kRemovedFraction;
  }
  if (removing > 0 && !round.entries.empty()) {
    if (removing >= 2) {
      clearSettling(round);
      // A takeout has begun: the darts on the board go on being shown until it is over.
      beginTakeout(round);
      return reply("DART_REMOVED", "DART_REMOVED", stats);
    }
    // One camera misses part of an earlier dart while two see a new one: the new dart may
    // hide it. A scene that holds still is no hand at the darts: the new dart is decided.
    if (seeing < 2 || !newDartHeldStill(round, analyses)) {
      if (seeing < 2) clearSettling(round);
      return reply("WAIT", "OLD_OBJECT_MOVED_OR_PARTLY_REMOVED", stats);
    }
  }
  if (round.entries.size() >= 3) {
    clearSettling(round);
    json r = reply("ROUND_FULL", "", stats);
    r["unchanged"] = seeing == 0 && knownDartViewsQuiet(round, analyses, known);
    noteToleratedMarks(r, known);
    return r;
  }
  if (seeing == 0) {
    dropParkedChange(round);
    json vanished = enterVanishedTransient(round, analyses, now);
    clearSettling(round);
    if (!vanished.is_null()) {
      vanished["cameras"] = stats;
      return vanished;
    }
    json r = reply("READY", "", stats);
    bool quiet = true;
    for (const CameraFrameAnalysis& a : analyses) quiet = quiet && a.masks.addedPixels() < a.minPixels;
    // Below a dart's size in every camera is not yet unchanged: a known dart's region that
    // moved, or change on the board itself, keeps the round from counting the frame as still.
    r["unchanged"] = quiet && knownDartViewsQuiet(round, analyses, known);
    noteToleratedMarks(r, known);
    return r;
  }
  return std::nullopt;
}

// A dart is decided on two consecutive triplets that show the same change: a dart still
// moving, a hand or a shadow does not stay put.
std::optional<json> waitUntilSettled(Round& round, const std::array<CameraFrameAnalysis, 3>& analyses,
                                     const json& stats, double now) {
  bool still = true;
  int heldWell = 0;
  int unsettled = 0;
  json agreement = json::object();
  for (int i = 0; i < 3; ++i) {
    if (!seesDart(analyses[i])) continue;
    const double overlap = maskAgreement(round.evaluationMasks[i], analyses[i].dartMask);
    agreement[cameraIds[i]] = roundToThousandths(overlap);
    // A camera that sees only a sliver of the dart flickers with the sensor noise; the
    // cameras that see it well decide whether it has come to rest, the others need only
    // have seen it before.
    const bool seenWell = analyses[i].dartPixels >= 3 * analyses[i].minPixels;
    if (overlap < (seenWell ? kSettledAgreement : kWeakAgreement)) {
      ++unsettled;
    } else if (seenWell) {
      ++heldWell;
    }
    // A part of the dart as faint as its bed comes and goes with the noise: the mask then
    // gains or loses that part from one triplet to the next, but it does not move.
    const bool samePlace = overlap >= (seenWell ? kStillAgreement : kWeakAgreement) ||
                           maskContainment(round.evaluationMasks[i], analyses[i].dartMask) >= kSettledAgreement;
    if (!samePlace) still = false;
  }
  keepSettlingMasks(round, analyses);
  bool settled = unsettled == 0;
  // Two cameras that see the dart well and have held it in place on two triplets have seen
  // it come to rest: a third whose dart mask jumps between pieces of a change behind an
  // earlier dart does not hold the dart back (a hand or a dart still moving moves in every
  // view that sees it). One such triplet is not enough: the third camera's view usually
  // settles on the next, and the dart is then decided on all three.
  round.heldByTwoTriplets = heldWell >= 2 && unsettled <= 1 ? round.heldByTwoTriplets + 1 : 0;
  if (unsettled == 1 && round.heldByTwoTriplets >= 2) settled = true;
  // A faint dart whose mask edges or parts come and go with the noise never reaches the
  // settled agreement while it stands still: a few triplets in the same place decide it all
  // the same.
  round.stillTriplets = settled || still ? round.stillTriplets + 1 : 0;
  // A change that moved has arrived since the last entry.
  if (!settled && !still) round.residueOfEntry = false;
  if (!settled && still && round.stillTriplets >= kStillTripletsDecided) settled = true;
  // A probe round sees its transient once: there is no second triplet to wait for.
  if (settled || round.probe) return std::nullopt;
  noteSettlingChange(round, now);
  json r = reply("SETTLING", "WAITING_FOR_STABLE_FRAMES", stats);
  r["agreement"] = agreement;
  r["still_triplets"] = round.stillTriplets;
  return r;
}

// A dart that one camera saw is searched again in the other two at a lower level; the ones
// that find it take the lower level's dart mask.
void retryCloseDart(const Round& round, std::array<CameraFrameAnalysis, 3>& analyses) {
  auto job = [&](int camera) -> std::pair<int, int> {
    if (seesDart(analyses[camera])) return {analyses[camera].dartPixels, analyses[camera].minPixels};
    return retryDartAtLowerLevel(round, camera, analyses[camera]);
  };
  (void)runOnCameraWorkers(job);
}

// A decision that rests on one camera's own view (a single camera's tip, or the best view
// breaking a tie) or on the rod that the views of fewer cameras span waits for a later triplet
// to say the same.
bool needsFreshConfirmation(const TipLocation& tip, const FieldDecision& decision) {
  return tip.method == "BEST_CAM" || decision.path == kPathTieBestCamera || decision.path == kPathOutsideMiss ||
         decision.path == kPathRodFoot;
}

bool confirmsPending(const Round& round, const FieldDecision& decision) {
  const json& pending = round.pendingConfirmation;
  if (!pending.is_object() || pending.value("field", "") != decision.field || !pending["point"].is_array()) {
    return false;
  }
  const Point2 p = pointFromJson(pending["point"]);
  return std::hypot(p.x - decision.point->x, p.y - decision.point->y) <= kConfirmationMm;
}

// The dart is decided: its entry is appended and its change joins the stored change.
void acceptDecision(Round& round, const std::vector<cv::Mat>& frames,
                    const std::array<CameraFrameAnalysis, 3>& analyses,
                    const std::array<ShaftMeasurement, 3>& shafts, const std::array<Taken, 3>& wholeTakes,
                    const RegionsAtPoint& found, const json& entry, bool stableFieldAlone, double now) {
  const CameraRegions own = enterDart(round, frames, analyses, shafts, wholeTakes, found, entry);
  clearSettling(round);
  // A dart entered on its stable field alone was placed by no camera's tip: what it left
  // beside it in a camera is that dart's own change its point missed, not a second dart.
  round.residueOfEntry = stableFieldAlone && anyRegion(own);
  if (anyRegion(own)) {
    // What the dart does not explain stays change, and it held still with the dart: the next
    // triplet compares with it rather than waiting a triplet more.
    for (int i = 0; i < 3; ++i) {
      const cv::Mat& seen = analyses[i].dartMask;
      round.evaluationMasks[i] =
          own[i].empty() ? freshZeroMask(seen.size()) : maskAndNot(seen, reducedMask(own[i], seen.size()));
    }
  }
  round.pendingCandidate = nullptr;
  round.pendingConfirmation = nullptr;
  round.fallbackPoint = nullptr;
  round.heldEventRecord = nullptr;
  round.heldEventCount = 0;
  round.pendingSince = -1.0;
  // A dart that leaves soon after is judged against the time it was entered.
  noteEnteredDart(round, now);
}

// A change that is a patch of light or shadow in every camera that sees it, flat or soft.
bool isLightPatch(const std::array<ShaftMeasurement, 3>& shafts) {
  const std::array<LightPatchView, 3> views{shafts[0].light, shafts[1].light, shafts[2].light};
  return isLightPatch(views);
}

// A patch of light that stays is taken into the working background where it lies, as an entered
// dart's change is: the next dart is measured on its own, and nothing of the patch is entered.
void takeLightPatch(Round& round, const std::vector<cv::Mat>& frames, const std::array<CameraFrameAnalysis, 3>& analyses,
                    const std::array<ShaftMeasurement, 3>& shafts) {
  CameraRegions where;
  for (int i = 0; i < 3; ++i) {
    const cv::Mat& mask = shafts[i].dartMask;
    where[i] = mask.empty() || cv::countNonZero(mask) == 0 ? freshZeroMask(frames[i].size())
                                                            : dilateMask(mask, kPatchGrowPx, true);
  }
  auto job = [&](int camera) { return takenFrame(round, camera, frames[camera], where[camera]); };
  applyTaken(round, runOnCameraWorkers(job), {analyses[0].change, analyses[1].change, analyses[2].change}, where);
  clearSettling(round);
  round.lastSettlingTime = -1.0;
}

// The masks of an undecided dart kept in the frame history: per camera the whole components
// at the solver's point, or the dart's whole change without a point.
std::array<cv::Mat, 3> watchedMasks(const Round& round, const std::array<ShaftMeasurement, 3>& shafts, const json& reply) {
  std::array<cv::Mat, 3> masks = dartMasksOf(shafts);
  const json& decision = reply.value("decision", json());
  const json point = decision.is_object() ? decision.value("point", json()) : json();
  if (!point.is_array()) return masks;
  for (int i = 0; i < 3; ++i) {
    if (masks[i].empty()) continue;
    try {
      masks[i] = isolateComponentsAtBoardPoint(masks[i], round.cameras[i].boardToImage, pointFromJson(point), true);
    } catch (const std::runtime_error&) {
      // The point does not project into this camera: its whole change is kept.
    }
  }
  return masks;
}

// An unresolved change that has stopped changing is parked: when a new change comes on top
// of it, the working background takes it first, so that the new dart is measured on its own.
// Until then it stays in view, for the stable hypothesis to settle it.
void parkStillUnresolvedChange(Round& round, const std::vector<cv::Mat>& frames,
                               const std::array<CameraFrameAnalysis, 3>& analyses) {
  if (round.earlyEvaluation || round.probe || round.stillTriplets < kStillTripletsTaken) return;
  for (int i = 0; i < 3; ++i) {
    round.parkedFrames[i] = frames[i].clone();
    round.parkedChanges[i] = analyses[i].change.clone();
  }
}

// Whether a later triplet may still decide the unresolved dart: only the stable hypothesis
// can, and only for an open field whose run has not yet lasted long enough.
bool stableRunMaySettle(const json& r) {
  const std::string reason = r.value("reason", "");
  if (reason != "FIELD_NOT_DECIDED" && reason != "NO_TIP_FROM_THE_CAMERAS") return false;
  const json arbitration = r.value("arbitration", json::object());
  const json stable = arbitration.is_object() ? arbitration.value("stable", json()) : json();
  return stable.is_object() && stable.value("reason", "") == "WAITING_FOR_STABLE_RUN";
}

// A parked unresolved change that was left undecided on the triplet before too, and that no
// later triplet can decide, is handed to the player now rather than waited on: the working
// background takes it, so the round is ready for the next dart, and the dart stays on the
// decision window (the reply says it went into the background). True when it was handed over.
bool handParkedChangeToPlayer(Round& round, json& r) {
  if (round.parkedFrames[0].empty() || round.recovery || round.earlyEvaluation || round.probe ||
      round.stableHypothesisHistory.empty() || stableRunMaySettle(r)) {
    return false;
  }
  takeIntoBackground(round, {round.parkedFrames[0], round.parkedFrames[1], round.parkedFrames[2]}, round.parkedChanges);
  dropParkedChange(round);
  clearSettling(round);
  // Gone from the change now, it is no dart that vanished.
  round.lastSettlingTime = -1.0;
  r["status"] = "READY";
  if (round.residueOfEntry) {
    // Nothing landed after the dart was entered: what stayed beside it undecided is that
    // dart's (its change in a camera the entered point missed, a light step's grain), not a
    // dart the player threw.
    round.residueOfEntry = false;
    r["reason"] = "ENTRY_RESIDUE_TAKEN";
    return true;
  }
  r["reason"] = "UNRESOLVED_DART_LEFT_TO_PLAYER";
  r["unresolved_in_background"] = true;
  return true;
}

// A parked unresolved change with a new change on top of it (a camera's dart mask no longer
// where it lay) goes into the working background; true when it did.
bool takeParkedChange(Round& round, const std::array<CameraFrameAnalysis, 3>& analyses) {
  if (round.parkedFrames[0].empty()) return false;
  bool moved = false;
  for (int i = 0; i < 3; ++i) {
    if (seesDart(analyses[i]) && maskAgreement(round.evaluationMasks[i], analyses[i].dartMask) < kStillAgreement) moved = true;
  }
  if (!moved) return false;
  round.residueOfEntry = false;
  takeIntoBackground(round, {round.parkedFrames[0], round.parkedFrames[1], round.parkedFrames[2]}, round.parkedChanges);
  dropParkedChange(round);
  clearSettling(round);
  // Gone from the change now, it is no dart that vanished.
  round.lastSettlingTime = -1.0;
  return true;
}

// A dart in the surround right in front of one camera: the other cameras do not watch that
// part of the surround and find nothing at the point. The one camera's own tip, with new
// edges at it, well beyond the double ring is a miss the field votes of one view cannot
// settle; it still waits for a later triplet to say the same.
bool isOutsideMissOfOneCamera(const Round& round, const TipLocation& tip, const json& checks) {
  if (tip.method != "BEST_CAM" || !tip.point ||
      std::hypot(tip.point->x, tip.point->y) < round.boardRadiusMm + kOutsideMissMarginMm) {
    return false;
  }
  int supporting = 0;
  for (const std::string& id : cameraIds) supporting += checks[id].value("supported", false);
  return supporting == 1;
}

// A tip found after the solver gave up answers as the solver would have, with the record of
// the rule that found it kept under its own key.
void adoptRescuedTip(const json& found, const char* method, const char* source, const char* key, TipLocation& tip) {
  tip.method = method;
  tip.point = pointFromJson(found["point"]);
  tip.uncertainty = found["uncertainty_mm"];
  tip.solver["method"] = tip.method;
  tip.solver["point"] = found["point"];
  tip.solver["camera"] = found["camera"];
  tip.solver["uncertainty_mm"] = found["uncertainty_mm"];
  tip.solver["uncertainty_source"] = source;
  tip.solver[key] = found;
}

// Two cameras that look along one board line name fields on both sides of a wire, and the
// solver finds neither a crossing nor an unrivalled camera: the camera that knows the tip
// along that line far better holds it, as one camera's tip.
void takeSharperTipAlongSharedLine(const std::array<json, 3>& views, const json& measurements,
                                   const std::array<Homography, 3>& homographies, TipLocation& tip) {
  const json shared = sharperTipAlongSharedLine(views, measurements, homographies);
  if (shared.is_object()) adoptRescuedTip(shared, "BEST_CAM", "SHARED_LINE_SHARPER_CAMERA", "shared_line", tip);
}

// A camera's tip on another camera's line, whose own tip lies far off along it: the solver
// dropped that pair for the far tip and held the far tip up as a rival. The line is the firmer
// measure, so the pair stands after all: the tip with the other camera's line through it.
void takeTipConfirmedByAnotherLine(const std::array<json, 3>& views, const std::array<Homography, 3>& homographies,
                                   TipLocation& tip) {
  const json confirmed = tipConfirmedByAnotherLine(views, homographies);
  if (confirmed.is_object()) adoptRescuedTip(confirmed, "CAM_PLUS_ONE", "TIP_ON_ANOTHER_CAMERAS_LINE", "line_confirmed", tip);
}

// A dart that runs out of the one camera that sees it: where the board beyond the frame edge
// is all outside the scoring area, the point where it leaves the frame stands for its tip, as
// that camera's own tip; the outside miss then asks for its edges and a later triplet.
void takeTipBeyondFrameEdge(const Round& round, const std::vector<cv::Mat>& frames, const std::array<json, 3>& views,
                            const std::array<Homography, 3>& homographies, TipLocation& tip) {
  std::array<cv::Size, 3> sizes;
  for (int i = 0; i < 3; ++i) sizes[i] = frames[i].size();
  const json beyond = tipBeyondFrameEdge(views, homographies, sizes, round.boardRadiusMm + kOutsideMissMarginMm);
  if (!beyond.is_object()) return;
  tip.method = "BEST_CAM";
  tip.point = pointFromJson(beyond["point"]);
  tip.uncertainty = nullptr;
  tip.solver["method"] = tip.method;
  tip.solver["point"] = beyond["point"];
  tip.solver["camera"] = beyond["camera"];
  tip.solver["uncertainty_source"] = "TIP_BEYOND_FRAME_EDGE";
  tip.solver["beyond_frame_edge"] = beyond;
}

// A dart the chain left open whose point every camera that sees it places in one field, clear
// of the wires, on the rod the cameras span: the cameras whose tips end far up the rod do not
// see the point, and their fields are not the point's.
void decideAtRodFoot(const std::array<json, 3>& views, const std::array<std::optional<CameraPose>, 3>& poses,
                     const TipLocation& tip, FieldDecision& decision) {
  if (!tip.point || !isPathEnabled(kPathRodFoot)) return;
  const double uncertainty = tip.uncertainty.is_number() ? tip.uncertainty.get<double>() : kNominalTipUncertaintyMm;
  decision.rodFoot = fieldAtRodFoot(views, poses, *tip.point, uncertainty);
  if (!decision.rodFoot.is_object()) return;
  decision.path = kPathRodFoot;
  decision.field = decision.rodFoot["field"].get<std::string>();
  decision.point = tip.point;
}

// The field voting of one settled dart: the tip, the cameras' checks of it, the chain of
// field decisions, and then the entry, a wait for confirmation or an unresolved position.
json decideDart(Round& round, const std::vector<cv::Mat>& frames, const std::array<CameraFrameAnalysis, 3>& analyses,
                const std::array<ShaftMeasurement, 3>& shafts, const std::array<Taken, 3>& wholeTakes,
                const json& stats, double now) {
  std::array<json, 3> views = shaftRecords(shafts);
  std::array<Homography, 3> homographies;
  for (int i = 0; i < 3; ++i) homographies[i] = round.cameras[i].boardToImage;
  const std::array<std::optional<CameraPose>, 3> poses = cameraPosesOf(round);
  const json endOnViews = leaveOutEndOnViews(views, poses);
  TipLocation tip = locateTip(views, homographies, missRadiusMm(), isPathEnabled);
  if (tip.method == "UNRESOLVED" && isPathEnabled(kPathSharedLineTip)) {
    takeSharperTipAlongSharedLine(views, measurementsOf(shafts), homographies, tip);
  }
  if (tip.method == "UNRESOLVED" && isPathEnabled(kPathLineConfirmedTip)) {
    takeTipConfirmedByAnotherLine(views, homographies, tip);
  }
  if (tip.method == "UNRESOLVED" && isPathEnabled(kPathOutsideMiss)) takeTipBeyondFrameEdge(round, frames, views, homographies, tip);

  json crosscheck;
  json checks;
  FieldEvidence evidence;
  FieldDecision decision;
  Dart3dJudgement judged;
  const auto decide = [&] {
    checks = tip.point ? viewChecks(round, shafts, *tip.point, crosscheck) : unsupportedChecks(crosscheck);
    evidence = FieldEvidence{views, measurementsOf(shafts), voteStats(analyses), checks};
    decision = decideField(tip, evidence, round.cameras, round.stableHypothesisHistory, now, isPathEnabled);
    if (decision.path.empty() && isPathEnabled(kPathOutsideMiss) && isOutsideMissOfOneCamera(round, tip, checks)) {
      decision.path = kPathOutsideMiss;
      decision.field = "MISS";
      decision.point = tip.point;
    }
    judged = judgeDart3d(round, poses, views, dartMasksOf(shafts), crosscheck, tip);
    if (decision.path.empty() && judged.reason.empty()) decideAtRodFoot(views, poses, tip, decision);
  };
  // The entry's point is nearly always the tip's: each camera's region of the entered dart is
  // looked for there while the dart is decided.
  RegionsAtPoint atTip;
  if (tip.point) {
    atTip.point = Point2{roundToThousandths(tip.point->x), roundToThousandths(tip.point->y)};
    auto look = [&](int camera) { return enteredDartRegionOf(round, camera, shafts[camera], *atTip.point); };
    atTip.regions = runOnCameraWorkers(look, decide);
  } else {
    decide();
  }

  json r = reply("DART_CANDIDATE", "DART_ENTERED", stats);
  r["decision"] = decisionRecord(tip, decision);
  r["view_checks"] = checks;
  r["crosscheck"] = crosscheck;
  r["arbitration"] = decision.arbitration();
  r["views"] = views;
  if (!endOnViews.empty()) r["end_on_views"] = endOnViews;
  r["view_measurements"] = evidence.measurements;
  if (!judged.document.is_null()) r["dart_3d"] = judged.document;
  // Whatever the chain made of it, a patch of light is no dart: nothing is entered, and the
  // passive proof renews the background once the board is proven empty.
  if (isLightPatch(shafts)) {
    // A glint comes and goes; a patch that stays is taken.
    if (round.stillTriplets >= kStillTripletsTaken) takeLightPatch(round, frames, analyses, shafts);
    r["status"] = "WAIT";
    r["reason"] = "LIGHT_PATCH_NOT_A_DART";
    return r;
  }
  if (judged.reason == "DART_3D_TIP_ABOVE_BOARD") {
    // A dart in the air or an object in a hand: nothing is entered. A dart in the air does
    // not stay put: one that stands still on the next triplets too (a dart whose point is
    // hidden, a dart stuck in another) is left to the player, never waited on.
    if (round.stillTriplets >= kStillTripletsExamined) {
      r = leaveUnresolved(round, tip, decision, std::move(r), now);
    } else {
      r["status"] = "WAIT";
    }
    r["reason"] = judged.reason;
    return r;
  }
  if (decision.path.empty() || !decision.point) return leaveUnresolved(round, tip, decision, std::move(r), now);
  // A miss in front of one camera is that camera's tip inside its own change and off every
  // other camera's by its nature: the surround there is watched by that camera alone, and the
  // others see no dart at all. The outside miss already asks for that camera's new edges at
  // the tip, well beyond the double ring, and a later triplet saying the same. A dart that
  // other cameras see elsewhere (its point hidden, one camera's tip far off) stays for review.
  const bool outsideMissOfOneView = decision.path == kPathOutsideMiss &&
                                    judged.reason == "SINGLE_VIEW_TIP_INSIDE_CHANGE" &&
                                    camerasSeeingDart(analyses) <= 1;
  if (!judged.reason.empty() && !outsideMissOfOneView) {
    r = leaveUnresolved(round, tip, decision, std::move(r), now);
    r["reason"] = judged.reason;
    return r;
  }
  if (needsFreshConfirmation(tip, decision) && !confirmsPending(round, decision)) {
    round.pendingConfirmation = {{"time", now}, {"field", decision.field}, {"point", pointToJson(*decision.point)},
                                 {"path", decision.path}};
    r["status"] = "WAIT";
    r["reason"] = "CAMERA_VOTE_NEEDS_FRESH_CONFIRMATION";
    return r;
  }
  r["entry"] = buildEntry(round, tip, decision, views);
  acceptDecision(round, frames, analyses, shafts, wholeTakes, atTip, r["entry"], decision.path == kPathStable, now);
  return r;
}

}  // namespace

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

std::pair<json, json> analyseWarmupCamera(const std::array<Camera, 3>& cameras, int camera) {
  Round round;
  round.cameras = cameras;
  const Camera& c = cameras[camera];
  (void)analyseCameraFrame(round, camera, c.emptyReferenceColour);
  // A dark synthetic shaft from near the bull, so that the search, its four views and the
  // tip refinement all run as they will on the first real dart.
  cv::Mat withDart = c.emptyReferenceColour.clone();
  const Point2 from = applyHomography(c.boardToImage, {0.0, 0.0});
  const Point2 to = applyHomography(c.boardToImage, {30.0, 60.0});
  cv::line(withDart, cv::Point(static_cast<int>(from.x), static_cast<int>(from.y)),
           cv::Point(static_cast<int>(to.x), static_cast<int>(to.y)), cv::Scalar(10, 10, 10), 5, cv::LINE_AA);
  ShaftView view;
  view.frame = withDart;
  view.background = c.backgroundFrame;
  view.changeMask = dartChangeMask(colourDifference(withDart, c.backgroundFrame), kDartChangeLevel);
  view.boardToImage = c.boardToImage;
  view.minPixels = minPixelsForCamera(c);
  DartViews measured = measureDartViews(view);
  return {std::move(measured.shaftRecord), std::move(measured.measurements)};
}

namespace {

// Each evaluation works on surround-motion records of its own: a what-if copy of the round
// shares its cameras' records with the round, and must not write into them.
std::shared_ptr<SurroundMotion> ownRecordOf(const Camera& c) {
  return c.surroundMotion ? std::make_shared<SurroundMotion>(*c.surroundMotion) : std::make_shared<SurroundMotion>();
}

// One camera's frame analysed, and its reduced frame joined to a copy of the camera's record
// of the motion round the board. The record only reads the reduced frame, which a second
// analysis of the same frame would give again.
std::pair<CameraFrameAnalysis, std::shared_ptr<SurroundMotion>> analyseAndRecord(const Round& round, int camera,
                                                                                 const cv::Mat& frame, double now) {
  CameraFrameAnalysis a = analyseCameraFrame(round, camera, frame);
  const Camera& c = round.cameras[camera];
  std::shared_ptr<SurroundMotion> motion = ownRecordOf(c);
  recordSurroundMotion(*motion, a.frame, scaleHomography(c.boardToImage, a.scale, a.scale), now);
  return {std::move(a), std::move(motion)};
}

bool sameImage(const cv::Mat& a, const cv::Mat& b) {
  return a.data == b.data && a.size() == b.size() && a.type() == b.type() && a.step == b.step;
}

// The analysis made ahead read what the evaluation would read now.
bool fits(const AnalysisAhead& ahead, const Round& round, int camera, const cv::Mat& frame, double now) {
  const Camera& c = round.cameras[camera];
  return ahead.made && ahead.now == now && sameImage(ahead.frame, frame) &&
         sameImage(ahead.emptyReferenceColour, c.emptyReferenceColour) &&
         sameImage(ahead.emptyReference, c.emptyReference) && sameImage(ahead.background, c.backgroundFrame) &&
         sameImage(ahead.storedChange, c.referenceChangeMask) && ahead.boardToImage == c.boardToImage &&
         ahead.scoringRadius == scoringRadiusMm(round) &&
         ahead.adaptiveThreshold == processSwitches().adaptiveThreshold.load() &&
         ahead.ownChangeLevel == c.ownChangeLevel &&
         ahead.motionBefore == c.surroundMotion;
}

// Each camera's frame is analysed and its reduced frame joins the camera's record of the
// motion round the board. An analysis made ahead that still fits is taken as it is; the
// others are made in one fan-out, none when every camera has one.
std::array<CameraFrameAnalysis, 3> analyseAndRecordSurround(Round& round, const std::vector<cv::Mat>& frames,
                                                            double now, const AnalysesAhead* ahead) {
  std::array<bool, 3> taken{false, false, false};
  std::array<CameraFrameAnalysis, 3> analyses;
  std::array<std::shared_ptr<SurroundMotion>, 3> motions;
  for (int i = 0; i < 3; ++i) {
    if (ahead == nullptr || !fits((*ahead)[i], round, i, frames[i], now)) continue;
    taken[i] = true;
    analyses[i] = (*ahead)[i].analysis;
    // A record of this evaluation's own: another evaluation may take the same analysis.
    motions[i] = std::make_shared<SurroundMotion>(*(*ahead)[i].motion);
  }
  if (!taken[0] || !taken[1] || !taken[2]) {
    auto job = [&](int camera) {
      if (taken[camera]) return std::make_pair(CameraFrameAnalysis(), std::shared_ptr<SurroundMotion>());
      return analyseAndRecord(round, camera, frames[camera], now);
    };
    auto made = runOnCameraWorkers(job);
    for (int i = 0; i < 3; ++i) {
      if (taken[i]) continue;
      analyses[i] = std::move(made[i].first);
      motions[i] = std::move(made[i].second);
    }
  }
  for (int i = 0; i < 3; ++i) {
    Camera& c = round.cameras[i];
    c.surroundMotion = std::move(motions[i]);
    // Measured once: the camera's noise is its own, not the frame's.
    if (c.ownChangeLevel <= 0.0 && analyses[i].measuredOwnLevel > 0.0) c.ownChangeLevel = analyses[i].measuredOwnLevel;
  }
  return analyses;
}

json evaluateWith(Round& round, const std::vector<cv::Mat>& frames, double now, const AnalysesAhead* ahead) {
  if (frames.size() < 3) throw std::runtime_error("THREE_CAMERAS_REQUIRED");
  std::array<CameraFrameAnalysis, 3> analyses = analyseAndRecordSurround(round, frames, now, ahead);
  const bool parkedTaken = takeParkedChange(round, analyses);
  if (parkedTaken) analyses = analyseFrames(round, frames);
  LargeChange largeChange = classifyLargeChange(analyses);
  json light = nullptr;
  // One camera filled while another sees a dart is mostly a dart right in front of it, but
  // a light that changed since the references fills the brightest view first: the light is
  // tried there too, and a view it explains is measured again.
  if (largeChange.notADart() || largeChange.filledOneCamera()) {
    light = matchChangedLight(round, frames, analyses, largeChange, now);
    if (!light.is_null()) {
      analyses = analyseFrames(round, frames);
      largeChange = classifyLargeChange(analyses);
    }
  }
  largeChange.stillInOneCamera = oversizedChangeHeldStill(round, analyses, largeChange);
  // A change that has stopped changing never keeps the round waiting: a dart near the rim
  // between two cameras is decided with the cameras that see it as a dart.
  largeChange.heldStill = round.stillTriplets + 1 >= kStillTripletsExamined &&
                          largeChangeLiesStill(round, analyses, largeChange);
  const json stats = cameraStats(analyses);
  // The reply tells the round that the unresolved dart went into the working background.
  const auto told = [parkedTaken](json r) {
    if (parkedTaken) r["unresolved_in_background"] = true;
    return r;
  };
  if (std::optional<json> gate = answerGates(round, frames, analyses, largeChange, light, stats, now)) {
    return told(*gate);
  }
  setAsideFilledCamera(largeChange, analyses);
  // Judged at the dart's own change level: the lower level of the retry below also finds the
  // edges a light step moves.
  const bool arrived = anyCameraSawDartArrive(analyses);
  if (camerasSeeingDart(analyses) == 1) {
    retryCloseDart(round, analyses);
    setAsideFilledCamera(largeChange, analyses);
  }
  if (std::optional<json> settling = waitUntilSettled(round, analyses, stats, now)) {
    recordWatchedChange(round, frames, {analyses[0].dartMask, analyses[1].dartMask, analyses[2].dartMask}, *settling,
                        now);
    return told(*settling);
  }
  if (!round.probe && !round.earlyEvaluation && !arrived) {
    // What the change holds was there when the references last took the board (the rest of
    // an entered dart, its edges redrawn by a light step): nothing landed, and nothing is
    // left to the player. The working background takes it, in the light of this frame; a
    // recovery under way takes the board itself.
    if (!round.recovery) {
      takeIntoBackground(round, frames, {analyses[0].change, analyses[1].change, analyses[2].change});
      dropParkedChange(round);
    }
    clearSettling(round);
    round.lastSettlingTime = -1.0;
    return told(reply("READY", "INSUFFICIENT_FRESH_EVENT_PIXELS", stats));
  }
  // The whole frames are taken meanwhile, as the references of a dart entered now take them.
  std::array<Taken, 3> wholeTakes;
  const std::array<ShaftMeasurement, 3> shafts = measureShafts(round, frames, analyses, [&](int camera) {
    wholeTakes[camera] = takenFrame(round, camera, frames[camera], cv::Mat());
  });
  json r = decideDart(round, frames, analyses, shafts, wholeTakes, stats, now);
  if (r.value("status", "") == "POSITION_UNRESOLVED") {
    recordWatchedChange(round, frames, watchedMasks(round, shafts, r), r, now);
    parkStillUnresolvedChange(round, frames, analyses);
    handParkedChangeToPlayer(round, r);
  }
  if (round.earlyEvaluation) {
    round.earlyRecord = {{"time", now}, {"status", r["status"]}, {"reason", r.value("reason", "")},
                         {"decision", r["decision"]}};
    if (r.contains("entry")) round.earlyRecord["entry"] = r["entry"];
  }
  return told(std::move(r));
}

}  // namespace

AnalysisAhead analyseAhead(const Round& round, int camera, const cv::Mat& frame, double now) {
  AnalysisAhead ahead;
  const Camera& c = round.cameras[camera];
  try {
    std::tie(ahead.analysis, ahead.motion) = analyseAndRecord(round, camera, frame, now);
  } catch (const std::exception&) {
    return AnalysisAhead();
  }
  ahead.made = true;
  ahead.frame = frame;
  ahead.emptyReferenceColour = c.emptyReferenceColour;
  ahead.emptyReference = c.emptyReference;
  ahead.background = c.backgroundFrame;
  ahead.storedChange = c.referenceChangeMask;
  ahead.boardToImage = c.boardToImage;
  ahead.scoringRadius = scoringRadiusMm(round);
  ahead.adaptiveThreshold = processSwitches().adaptiveThreshold.load();
  ahead.ownChangeLevel = c.ownChangeLevel;
  ahead.motionBefore = c.surroundMotion;
  ahead.now = now;
  return ahead;
}

json evaluateRoundFrames(Round& round, const std::vector<cv::Mat>& frames, double now) {
  return evaluateWith(round, frames, now, nullptr);
}

json evaluateRoundFramesWith(Round& round, const std::vector<cv::Mat>& frames, double now, const AnalysesAhead& ahead) {
  return evaluateWith(round, frames, now, &ahead);
}

json collectRefinementEvidence(const Round& round, int camera, const cv::Mat& frame) {
  const Camera& c = round.cameras[camera];
  json evidence = {{"abstention", true}, {"pixels", 0}, {"line", nullptr}, {"observations", json::array()},
                   {"votes", json::array({{{"abstention", true}, {"tip_valid", false}, {"axis_valid", false},
                                           {"point", {0.0, 0.0}}, {"field", "MISS"}}})}};
  if (round.knownDartMasks.empty()) return evidence;
  const cv::Mat& dartMask = round.knownDartMasks.back()[camera];
  if (dartMask.empty() || frame.size() != dartMask.size()) return evidence;
  const cv::Rect found = cv::boundingRect(dartMask);
  if (found.area() == 0) return evidence;
  const cv::Rect box = cv::Rect(found.x - kRefinementMarginPx, found.y - kRefinementMarginPx,
                                found.width + 2 * kRefinementMarginPx, found.height + 2 * kRefinementMarginPx) &
                       cv::Rect(0, 0, frame.cols, frame.rows);
  // The dart against the board before it: where the dart was entered, the sampled frame's
  // change against the empty board, kept to the dart's own mask.
  const cv::Mat background = c.emptyReferenceColour(box);
  const cv::Mat difference = colourDifference(frame(box), background);
  cv::Mat change = dartChangeMask(difference, dartChangeLevelOf(c));
  cv::bitwise_and(change, dilateMask(dartMask(box), 5, false), change);
  ShaftView view;
  view.frame = frame(box);
  view.background = background;
  view.changeMask = change;
  view.offset = box.tl();
  view.boardToImage = c.boardToImage;
  view.minPixels = minPixelsForCamera(c);
  view.normalPoint = normalPointOf(c);
  json record = estimateShaftAxis(view);
  const json& vote = record["votes"][0];
  evidence = record;
  evidence["abstention"] = vote.value("abstention", true);
  evidence["line"] = vote.contains("line") ? vote["line"] : json(nullptr);
  return evidence;
}

json refinePublishedDart(Round& round, const std::vector<cv::Mat>& frames, int epoch) {
  json& sampling = round.tipSampling;
  if (!sampling.is_object() || sampling.value("epoch", -1) != epoch || round.entries.empty() || frames.size() < 3 ||
      round.entries.back().value("id", 0) != sampling.value("entry_id", -1)) {
    round.tipSampling = nullptr;
    return nullptr;
  }
  auto job = [&](int camera) { return collectRefinementEvidence(round, camera, frames[camera]); };
  const std::array<json, 3> views = runOnCameraWorkers(job);
  sampling["attempts"] = sampling.value("attempts", 0) + 1;
  const bool lastAttempt = sampling["attempts"].get<int>() >= kRefinementAttempts;

  std::array<Homography, 3> homographies;
  for (int i = 0; i < 3; ++i) homographies[i] = round.cameras[i].boardToImage;
  const TipLocation tip = locateTip(views, homographies, missRadiusMm(), isPathEnabled);
  json& entry = round.entries.back();
  const Point2 published = pointFromJson(sampling["points"][0]);
  if (!tip.point || std::hypot(tip.point->x - published.x, tip.point->y - published.y) > kRefinementAgreementMm) {
    if (lastAttempt) round.tipSampling = nullptr;
    return nullptr;
  }
  // The published point and every agreeing sample weigh alike: sensor noise averages out.
  sampling["points"].push_back(pointToJson(*tip.point));
  Point2 mean;
  for (const json& p : sampling["points"]) {
    mean.x += p[0].get<double>();
    mean.y += p[1].get<double>();
  }
  mean.x /= sampling["points"].size();
  mean.y /= sampling["points"].size();
  // The field stays the one the decision chose; the point and its own field follow the samples.
  json field = classifyBoardPoint(mean, 2.0);
  field["selected_field"] = entry["selected_field"];
  estimateBoundaryProbability(field, mean, entry["uncertainty_mm"]);
  entry["board_xy_nominal_mm"] = {roundToThousandths(mean.x), roundToThousandths(mean.y)};
  entry["nominal_field"] = field["nominal_field"];
  entry["field"] = field;
  entry["refined_samples"] = sampling["points"].size();
  if (lastAttempt) round.tipSampling = nullptr;
  // Not an unchanged frame: it moved a published dart.
  return {{"status", "DART_REFINED"},
          {"reason", "TIP_SAMPLES_AGREE"},
          {"unchanged", false},
          {"entry", entry},
          {"refinement", {{"samples", sampling.is_object() ? sampling["points"] : json(nullptr)},
                          {"method", tip.method},
                          {"evidence", views}}}};
}

void beginTipSampling(Round& round, const json& reply, int epoch) {
  const json& entry = reply["entry"];
  // The frames the dart was decided on; the working background holds them since the entry.
  for (int i = 0; i < 3; ++i) round.tipSamplingFrames[i] = round.cameras[i].backgroundFrame;
  round.tipSampling = {{"entry_id", entry.value("id", 0)},
                       {"epoch", epoch},
                       {"attempts", 0},
                       {"points", json::array({entry["board_xy_nominal_mm"]})}};
}

}  // namespace tarv
