// The two-camera engine: arming, the per-frame command, the event difference of each view and
// the frame evaluation (gates, empty board and takeout, tip election, acceptance).
#include "tarv/variants/duo_engine.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>

#include <opencv2/imgproc.hpp>

#include "tarv/board/board_layout.h"
#include "tarv/board/multiview_consensus.h"
#include "tarv/board/tip_solver.h"
#include "tarv/detector/throw_evaluation.h"
#include "tarv/core/engine_values.h"
#include "tarv/board/host_event.h"
#include "tarv/core/json_fields.h"
#include "tarv/views/board_features.h"
#include "tarv/views/components.h"
#include "tarv/views/image_ops.h"
#include "tarv/views/dart_pieces.h"
#include "tarv/views/several_darts.h"
#include "tarv/views/tip_evidence.h"
#include "tarv/variants/single_view_election.h"
#include "tarv/variants/two_view_lines.h"
#include "tarv/variants/variant_views.h"

namespace tarv {
namespace {

constexpr const char* kBackend = "CPP_DUO_TWO_CAMERAS";
constexpr const char* kByline = "tarv two-camera engine";
constexpr const char* kPolicy = "TWO_CAMERAS_EIGHT_EYES; LINES_OR_POINT_CONSENSUS; ONE_CAMERA_NEEDS_FRESH_SAMPLE";
constexpr double kGlobalChangeShare = 0.15;
constexpr double kAgreementMm = 6.0;
// A line decision and the searches' consensus this close name one place: where they name two
// fields, a wire runs between them.
constexpr double kWireStraddleMm = 2.0;

// A camera's tip that the other camera's shaft line misses by more than this is not where
// that camera sees the dart: a line is good to a few millimetres even where it is short.
constexpr double kOtherLineMm = 10.0;
// Missed by this much, the tip belongs to no dart the other camera sees, and stays so.
constexpr double kFarOffOtherLineMm = 2.0 * kOtherLineMm;
// Where two cameras name different fields, the other camera's line passing this close to a
// camera's point witnesses it, and this far from the other point leaves that one alone.
constexpr double kWitnessedMm = 1.5;
constexpr double kUnwitnessedMm = 3.0;
// Two lines crossing at less than this say little of where along either the tip lies.
constexpr double kCrossingAngleDeg = 25.0;
constexpr double kPi = 3.14159265358979323846;
// A dart seen nearly end-on shows no length: its change is a blob (the flight seen head-on)
// whose line runs anywhere and whose far end is no tip, while the other camera sees a shaft.
constexpr double kEndOnElongation = 3.0;
constexpr double kShaftElongation = 8.0;

int pixels(const cv::Mat& mask) { return mask.empty() ? 0 : cv::countNonZero(mask); }
double since(double startMs) { return monotonicMilliseconds() - startMs; }
double distanceMm(Point2 a, Point2 b) { return std::hypot(a.x - b.x, a.y - b.y); }
const std::string& name(int camera) { return duoCameraIds[camera]; }

json positionUnresolved(json record, const std::string& reason) {
  record["status"] = "POSITION_UNRESOLVED";
  record["reason"] = reason;
  return record;
}

void clearRound(DuoEngine& e) {
  e.entries = json::array();
  e.gainsaidTips.clear();
  e.undecidedSupport = {};
  e.supportMasks.clear();
  e.roundNumber += 1;
  e.emptyCount = 0;
  e.pendingRemoval = nullptr;
  e.takeoutLatch = false;
}

cv::Mat zeroMaskOf(const Camera& c) { return cv::Mat::zeros(c.emptyReference.size(), CV_8UC1); }

struct DuoFrame {
  DuoFrame(const std::vector<cv::Mat>& f, double t) : frames(f), time(t) {}
  const std::vector<cv::Mat>& frames;
  double time;
  std::array<DuoViewAnalysis, 2> views;
  json stages = json::object();
  json guards;
  json bouncer;
  json previousCandidate;
};

// Two empty views, a disagreement on emptiness, or darts that disappeared; null lets the
// evaluation go on.
json emptyBoardAndTakeout(DuoEngine& e, DuoFrame& f) {
  const std::array<bool, 2> empty{isViewEmpty(f.views, e.cameras, 0), isViewEmpty(f.views, e.cameras, 1)};
  if (empty[0] && empty[1]) {
    if (e.entries.empty()) return {{"status", "READY"}};
    e.emptyCount += 1;
    const bool tolerated = f.views[0].quietUnderTakeout || f.views[1].quietUnderTakeout;
    if (e.emptyCount < 2) {
      for (int i = 0; i < 2; ++i) {
        e.backgroundImages[i] = f.frames[i].clone();
        e.backgroundGreys[i] = f.views[i].grey.empty() ? toGray(f.frames[i]).clone() : f.views[i].grey.clone();
      }
      e.backgroundTime = f.time;
      return {{"status", "EMPTY_PENDING"}, {"outside_noise_tolerated", tolerated}};
    }
    clearRound(e);
    for (int i = 0; i < 2; ++i) {
      Camera& c = e.cameras[i];
      // Seen empty twice in a row: events are judged against this frame; the empty
      // references stay (a frame that merely looks empty never becomes the empty board).
      c.backgroundFrame = f.frames[i].clone();
      c.dartReference = f.views[i].grey.clone();
      c.referenceChangeMask = zeroMaskOf(c);
    }
    return {{"status", "EMPTY_RESET"}, {"outside_noise_tolerated", tolerated}};
  }
  e.emptyCount = 0;
  if (empty[0] != empty[1]) {
    DuoViewAnalysis& other = f.views[empty[0] ? 1 : 0];
    if (!other.changed || other.newPixels < kVariantEventPixels) {
      return {{"status", "WAIT"},
              {"reason", "CAMERAS_DISAGREE_ON_EMPTY_BOARD"},
              {"empty", {{name(0), empty[0]}, {name(1), empty[1]}}}};
    }
    DuoViewAnalysis& quiet = f.views[empty[0] ? 0 : 1];
    quiet.oldSupportDisplaced = false;
  }
  if (!f.views[0].oldSupportDisplaced && !f.views[1].oldSupportDisplaced) return nullptr;

  json missing = json::array();
  int visible = 0, gone = 0;
  for (size_t k = 0; k < e.supportMasks.size(); ++k) {
    bool seen = false, missingEverywhere = true;
    for (int i = 0; i < 2; ++i) {
      if (pixels(e.supportMasks[k][i]) < kVariantEventPixels) continue;
      seen = true;
      const auto& displaced = f.views[i].displacedEntries;
      missingEverywhere = missingEverywhere && std::find(displaced.begin(), displaced.end(), k) != displaced.end();
    }
    if (!seen) continue;
    ++visible;
    if (missingEverywhere) {
      ++gone;
      missing.push_back(k);
    }
  }
  const int newPixels = std::max(f.views[0].newPixels, f.views[1].newPixels);
  const int minPixels = std::max(f.views[0].minimumPixels, f.views[1].minimumPixels);
  // Whether or not a takeout is latched: every dart gone with something new on the board
  // ends the round, so a dart thrown before the board was seen empty cannot stall it.
  if (visible > 0 && gone == visible && newPixels >= minPixels) {
    clearRound(e);
    e.pendingCandidate = nullptr;
    bool fresh = true;
    for (int i = 0; i < 2; ++i) {
      fresh = fresh && pendingReferenceUsable(e.backgroundGreys[i], e.backgroundTime, e.cameras[i].emptyReference, f.time) &&
              e.backgroundImages[i].size() == e.backgroundGreys[i].size();
    }
    for (int i = 0; i < 2; ++i) {
      Camera& c = e.cameras[i];
      if (fresh) {
        c.emptyReferenceColour = e.backgroundImages[i];
        c.emptyReference = e.backgroundGreys[i];
      }
      c.backgroundFrame = c.emptyReferenceColour;
      c.dartReference = c.emptyReference;
      c.referenceChangeMask = zeroMaskOf(c);
    }
    return {{"status", "EMPTY_RESET"},
            {"reason", fresh ? "ALL_DARTS_GONE_NEW_OBJECT_PRESENT" : "ALL_DARTS_GONE_NEW_OBJECT_PRESENT_OLD_REFERENCE"},
            {"round_advanced", true}};
  }

  // Once a takeout is latched, single removals stop: the round ends by a reset.
  if (e.takeoutLatch) missing = json::array();
  const json previous = e.pendingRemoval;
  e.pendingRemoval = missing.empty() ? json() : json{{"missing", missing}, {"time", f.time}};
  if (missing.size() != 1) {
    return {{"status", "WAIT"}, {"reason", "OLD_OBJECT_MOVED_OR_PARTLY_REMOVED"},
            {"takeout", {{"visible", visible}, {"gone", gone}, {"new_pixels", newPixels}, {"min_pixels", minPixels},
                         {"displaced", {{name(0), f.views[0].displacedEntries}, {name(1), f.views[1].displacedEntries}}}}}};
  }
  if (!confirmsMissing(previous, missing, f.time)) {
    return {{"status", "REMOVAL_PENDING"}, {"reason", "CONFIRM_MISSING_DART_SUPPORT"}};
  }
  const size_t k = missing[0].get<size_t>();
  e.entries.erase(k);
  e.supportMasks.erase(e.supportMasks.begin() + static_cast<long>(k));
  for (size_t i = 0; i < e.entries.size(); ++i) e.entries[i]["id"] = i + 1;
  for (int i = 0; i < 2; ++i) {
    Camera& c = e.cameras[i];
    cv::Mat occupancy = zeroMaskOf(c);
    for (const ImagePair& pair : e.supportMasks) orMaskInPlace(occupancy, pair[i]);
    c.referenceChangeMask = occupancy;
    if (f.views[i].changed && f.views[i].newPixels < kVariantEventPixels) {
      c.backgroundFrame = f.frames[i].clone();
      c.dartReference = f.views[i].grey.clone();
    }
  }
  e.pendingRemoval = nullptr;
  e.takeoutLatch = true;
  return {{"status", "DART_REMOVED"}, {"reason", "CONFIRMED_DISAPPEARANCE_WITHOUT_HAND"}};
}

// Two darts that landed between two frames share the new support: both views are searched
// again on the pieces of one of them, and the other is left for a later frame.
void measureOneOfTwoDarts(DuoEngine& e, DuoFrame& f, const std::vector<cv::Mat>& frames) {
  std::vector<ShaftView> views(2);
  std::vector<ChangeGroups> groups(2);
  for (int i = 0; i < 2; ++i) {
    const DuoViewAnalysis& v = f.views[i];
    if (v.axis.is_null() || v.newSupport.empty()) continue;
    const Camera& c = e.cameras[i];
    views[i].frame = frames[i];
    views[i].background = c.backgroundFrame;
    views[i].changeMask = v.newSupport;
    views[i].boardToImage = c.boardToImage;
    views[i].minPixels = minPixelsForCamera(c);
    const auto& n = c.imageNormal;
    if (std::isfinite(n[0]) && std::isfinite(n[1]) && std::abs(n[2]) > 1e-12) {
      views[i].normalPoint = cv::Point2d(n[0] / n[2], n[1] / n[2]);
    }
    groups[i] = groupChangeUnfitted(views[i], nullptr);
  }
  if (groupsTellDarts(groups)) {
    for (int i = 0; i < 2; ++i) fitGroupTips(views[i], groups[i]);
  }
  const std::vector<std::optional<cv::Mat>> oneDart = piecesOfOneDart(views, groups);
  for (int i = 0; i < 2; ++i) {
    if (!oneDart[i]) continue;
    DuoViewAnalysis& v = f.views[i];
    v.wholeSupport = v.newSupport;
    v.newSupport = *oneDart[i];
    const double changed = static_cast<double>(pixels(v.eventDifference)) / std::max(1, pixels(e.missMasks[i]));
    const NewDartView view = searchNewDart(e.cameras[i], frames[i], v.newSupport, changed, e.tipMode);
    v.axis = view.axis;
    v.candidate = view.candidates;
  }
}

// A dart that stays undecided keeps its change new. When the next dart lands, each view's new
// change holds both, and each camera may measure a different one of them: the two then
// gainsay each other, or the old dart is entered in the new one's place and the new one is
// lost. A view whose new change reaches beyond the undecided one by a dart's size is measured
// on that fresh part alone; a view where the fresh dart hides in the undecided change gives
// no view of it. The undecided change stays change for later frames.
void separateFromUndecidedDart(DuoEngine& e, DuoFrame& f, const std::vector<cv::Mat>& frames) {
  if (e.undecidedSupport[0].empty() || e.undecidedSupport[1].empty()) return;
  std::array<cv::Mat, 2> fresh;
  bool landed = false;
  for (int i = 0; i < 2; ++i) {
    const DuoViewAnalysis& v = f.views[i];
    if (v.newSupport.empty()) continue;
    // A piece that touches the undecided change may be that dart grown or a dart crossing it
    // in the image, which no view can part: only the pieces apart from it are the new dart's.
    fresh[i] = maskAndNot(v.newSupport != 0, componentsTouching(v.newSupport, dilateMask(e.undecidedSupport[i], 7, false)));
    landed = landed || (!v.axis.is_null() && pixels(fresh[i]) >= v.minimumPixels);
  }
  if (!landed) return;
  for (int i = 0; i < 2; ++i) {
    DuoViewAnalysis& v = f.views[i];
    if (v.axis.is_null()) continue;
    v.difference["beside_undecided_pixels"] = pixels(fresh[i]);
    if (pixels(fresh[i]) < v.minimumPixels) {
      v.axis = nullptr;
      v.candidate = json::object();
      continue;
    }
    if (v.wholeSupport.empty()) v.wholeSupport = v.newSupport;
    v.newSupport = fresh[i];
    const double changed = static_cast<double>(pixels(v.eventDifference)) / std::max(1, pixels(e.missMasks[i]));
    const NewDartView view = searchNewDart(e.cameras[i], frames[i], v.newSupport, changed, e.tipMode);
    v.axis = view.axis;
    v.candidate = view.candidates;
  }
}

json decideNewDart(DuoEngine& e, DuoFrame& f);

// A dart over a bed of its own grey (a black barrel over the black surround, a flight over
// the wall) changes too few grey pixels in one camera to count there, while the other camera
// sees it plainly. The faint view still holds fresh change where the dart is: its colour search
// grows that change over the whole dart, and the election weighs what it finds against the
// other camera.
void searchFaintView(DuoEngine& e, DuoFrame& f, const std::vector<cv::Mat>& frames) {
  for (int i = 0; i < 2; ++i) {
    DuoViewAnalysis& v = f.views[i];
    const DuoViewAnalysis& other = f.views[1 - i];
    if (!v.rejected || v.oldSupportDisplaced || v.newSupportPixels < kVariantEventPixels || other.axis.is_null()) {
      continue;
    }
    const double changed = static_cast<double>(pixels(v.eventDifference)) / std::max(1, pixels(e.missMasks[i]));
    const NewDartView view = searchNewDart(e.cameras[i], frames[i], v.newSupport, changed, e.tipMode);
    if (pixels(view.dartMask) < v.minimumPixels) continue;
    v.axis = view.axis;
    v.candidate = view.candidates;
    v.difference["faint_search_pixels"] = pixels(view.dartMask);
  }
}

struct Election {
  DuoTipElection tip;
  json record;
};

// The board point of the new dart from the two views, and the record every later reply of
// the evaluation carries.
Election electTip(DuoEngine& e, DuoFrame& f) {
  const double startMs = monotonicMilliseconds();
  Election el;
  el.tip = electDuoTip({f.views[0].axis, f.views[1].axis}, {f.views[0].candidate, f.views[1].candidate},
                       {e.cameras[0].boardToImage, e.cameras[1].boardToImage});
  f.stages["election"] = since(startMs);
  json diagnostics = json::object();
  for (int i = 0; i < 2; ++i) {
    diagnostics[name(i)] = {{"votes", el.tip.views[i]["votes"]},
                            {"observations", el.tip.views[i]["observations"]},
                            {"candidates", f.views[i].candidate}};
  }
  el.record = {{"decision", el.tip.decision},
               {"bouncer", f.bouncer},
               {"camera_guard", f.guards},
               {"multiview_consensus", el.tip.consensus},
               {"diagnostics", diagnostics},
               {"timing", {{"stages_ms", f.stages}}}};
  return el;
}

// Confirmation, duplicates, the miss limit, the field and the round entry.
json accept(DuoEngine& e, DuoFrame& f, Election& el) {
  const json& decision = el.tip.decision;
  const std::string method = decision["method"];
  const Point2 point = pointFromJson(decision["point"]);
  json checks = json::object();
  int supported = 0;
  for (int i = 0; i < 2; ++i) {
    if (f.views[i].axis.is_null()) continue;
    const json local = checkLocalTipEvidence(e.cameras[i].backgroundFrame, f.frames[i], f.views[i].newSupport,
                                             e.cameras[i].boardToImage, f.views[i].axis["observations"], point);
    supported += local.value("supported", false);
    checks[name(i)] = local;
  }
  el.record["view_checks"] = checks;
  const bool strong = method == "TWO_VIEW_LINES" || method == "TWO_VIEW_POINT_CONSENSUS" ||
                      (method == "TWO_CAMERA_MONO_AGREEMENT" && supported > 0);
  const std::string nominal = classifyBoardPoint(point, 2.0)["nominal_field"];
  if (!strong) {
    e.pendingCandidate = {{"point", pointToJson(point)}, {"field", nominal}, {"time", f.time}};
    if (!confirmsSample(f.previousCandidate, point, nominal, f.time)) {
      return positionUnresolved(el.record, el.tip.singleCamera ? "ONE_CAMERA_NEEDS_FRESH_CONFIRMATION"
                                                           : "PAIR_NEEDS_FRESH_CONFIRMATION");
    }
  }
  for (const json& entry : e.entries) {
    if (distanceMm(pointFromJson(entry["board_xy_nominal_mm"]), point) < kConfirmDistanceMm) {
      return positionUnresolved(el.record, "NEAR_EXISTING_POINT");
    }
  }
  const double missRadius = missRadiusMm();
  if (std::hypot(point.x, point.y) > missRadius) {
    return {{"status", "BOUNCER_CANDIDATE"}, {"reason", "OUTSIDE_MISS_LIMIT"}, {"point", pointToJson(point)},
            {"limit_mm", missRadius}, {"bouncer", json::object()}};
  }
  const json& u = decision.contains("uncertainty_mm") ? decision["uncertainty_mm"] : json();
  const double uncertainty = u.is_number() ? std::max(1.0, u.get<double>()) : 2.0;
  json field = fieldRecord(point, uncertainty, method, "ACCEPTED_TWO_CAMERA_POINT", nullptr);
  std::array<Camera, 3> slots;
  for (int i = 0; i < 2; ++i) {
    for (const json& vote : el.tip.views[i]["votes"]) {
      if (vote.at("abstention").get<bool>() || !vote.is_object() || !vote.contains("point") || vote["point"].is_null()) {
        continue;
      }
      if (distanceMm(pointFromJson(vote["point"]), point) <= kAgreementMm) {
        slots[i] = e.cameras[i];
        break;
      }
    }
  }
  // Both cameras read the colour or it names nothing: near a wire one camera's tip patch a
  // pixel or two across it reads the neighbour's colour, and that alone would overrule the
  // crossing of both cameras' lines.
  applyBedColour(field, point, el.tip.views, slots, el.tip.homographies, uncertainty, 2);

  e.eventCounter += 1;
  const json entry = {{"id", e.entries.size() + 1},
                      {"event", e.eventCounter},
                      {"round", e.roundNumber},
                      {"board_xy_nominal_mm", pointToJson(point)},
                      {"score", nullptr},
                      {"status", "EXPERIMENTAL_DART_CANDIDATE"},
                      {"field", field},
                      {"method", method},
                      {"uncertainty_mm", uncertainty},
                      {"confidence", {{"level", strong ? "strong" : "weak"},
                                      {"cameras", el.tip.supporting},
                                      {"local_checks", supported},
                                      {"line_intersection", method == "TWO_VIEW_LINES"},
                                      {"policy", kPolicy}}}};
  e.entries.push_back(entry);
  // A second dart that landed with this one stays change for the next frame to judge. It is
  // seen by both cameras: a piece of this dart that one camera alone keeps goes with it.
  std::array<cv::Mat, 2> own;
  for (int i = 0; i < 2; ++i) {
    const Camera& c = e.cameras[i];
    if (f.views[i].changed) {
      const DuoViewAnalysis& v = f.views[i];
      own[i] = enteredDartRegion(v.wholeSupport.empty() ? v.newSupport : v.wholeSupport, c.boardToImage, point,
                                 variantMinPixels(c.boardToImage));
    }
  }
  if (own[0].empty() || own[1].empty()) own = {};
  ImagePair masks;
  for (int i = 0; i < 2; ++i) {
    Camera& c = e.cameras[i];
    const DuoViewAnalysis& v = f.views[i];
    masks[i] = v.newSupport.empty() ? zeroMaskOf(c) : v.newSupport.clone();
    if (!v.changed) continue;
    if (own[i].empty()) {
      c.backgroundFrame = f.frames[i].clone();
      c.dartReference = v.grey.clone();
      if (!v.eventDifference.empty()) c.referenceChangeMask = v.eventDifference;
    } else {
      masks[i] = maskAnd(masks[i], own[i]);
      c.backgroundFrame = copiedInside(c.backgroundFrame, f.frames[i], own[i]);
      c.dartReference = copiedInside(c.dartReference, v.grey, own[i]);
      if (!v.eventDifference.empty()) {
        c.referenceChangeMask = copiedInside(c.referenceChangeMask, v.eventDifference, own[i]);
      }
    }
  }
  e.supportMasks.push_back(masks);
  e.pendingCandidate = nullptr;
  e.gainsaidTips.clear();
  e.undecidedSupport = {};
  el.record["status"] = "DART_CANDIDATE";
  el.record["entry"] = entry;
  return std::move(el.record);
}

// How far the point lies from the nearest shaft line of a view's votes; infinite without one.
// A view's shaft line nearest the point, as a, b, c with a² + b² = 1, and its distance.
struct NearLine {
  std::array<double, 3> line;
  double offMm;
};
std::optional<NearLine> nearestLine(const json& view, Point2 p) {
  std::optional<NearLine> best;
  for (const json& vote : view.value("votes", json::array())) {
    if (!vote.is_object() || vote.value("abstention", true) || !vote.contains("line")) continue;
    const json& l = vote["line"];
    if (!l.is_array() || l.size() != 3 || !l[0].is_number() || !l[1].is_number() || !l[2].is_number()) continue;
    const double a = l[0].get<double>(), b = l[1].get<double>(), c = l[2].get<double>();
    const double norm = std::hypot(a, b);
    if (!(norm > 1e-12)) continue;
    const double off = std::abs(a * p.x + b * p.y + c) / norm;
    if (!best || off < best->offMm) best = NearLine{{a / norm, b / norm, c / norm}, off};
  }
  return best;
}

double offLinesMm(const json& view, Point2 p) {
  const std::optional<NearLine> nearest = nearestLine(view, p);
  return nearest ? nearest->offMm : std::numeric_limits<double>::infinity();
}

// Where the own view's line through a camera's point crosses the other view's line, when the
// other line misses the point by more than a witness's margin, the two cross at a clear angle
// and the crossing lies near the point; nothing otherwise.
std::optional<Point2> crossingNear(const json& own, const json& other, Point2 p) {
  const std::optional<NearLine> nearOwn = nearestLine(own, p), nearOther = nearestLine(other, p);
  if (!nearOwn || !nearOther) return std::nullopt;
  const std::array<double, 3>& a = nearOwn->line;
  const std::array<double, 3>& b = nearOther->line;
  if (std::abs(a[0] * p.x + a[1] * p.y + a[2]) > kWitnessedMm) return std::nullopt;
  if (std::abs(b[0] * p.x + b[1] * p.y + b[2]) <= kWitnessedMm) return std::nullopt;
  const double det = a[0] * b[1] - a[1] * b[0];  // the sine of the angle between them
  if (std::abs(det) < std::sin(kCrossingAngleDeg * kPi / 180.0)) return std::nullopt;
  const Point2 x{(a[1] * b[2] - b[1] * a[2]) / det, (b[0] * a[2] - a[0] * b[2]) / det};
  if (distanceMm(x, p) > kAgreementMm) return std::nullopt;
  return x;
}

// Whether one of a camera's own vote clusters names the field.
bool namesField(const json& election, const json& field) {
  for (const json& cluster : election.value("clusters", json::array())) {
    if (cluster.is_object() && cluster.value("field", json()) == field) return true;
  }
  return false;
}

// The longest of a camera's tip searches, length over width; 0 when none measured one.
double longestSearch(const json& candidates) {
  double longest = 0.0;
  if (!candidates.is_object()) return longest;
  for (const auto& [kind, search] : candidates.items()) {
    if (search.is_object() && search.value("status", "") == "CANDIDATE" && search.contains("elongation") &&
        search["elongation"].is_number()) {
      longest = std::max(longest, search["elongation"].get<double>());
    }
  }
  return longest;
}

// Per camera, whether it sees the dart end-on: a blob where the other camera sees a shaft.
std::array<bool, 2> endOnViews(const std::array<json, 2>& axes, const std::array<json, 2>& candidates) {
  const std::array<double, 2> longest{longestSearch(candidates[0]), longestSearch(candidates[1])};
  std::array<bool, 2> endOn{};
  for (int i = 0; i < 2; ++i) {
    if (axes[i].is_null() || axes[1 - i].is_null()) continue;
    endOn[i] = longest[i] > 0.0 && longest[i] < kEndOnElongation && longest[1 - i] >= kShaftElongation;
  }
  return endOn;
}

// Whether the other camera gainsays one camera's own tip: it sees the dart's shaft, and its
// line passes far from that tip. A camera that sees the dart end-on says nothing by its line,
// nor does one whose axis gave no line at all (its votes all abstained): having no line is
// not a line that passes far away.
bool otherLineGainsays(const DuoTipElection& el, const std::array<bool, 2>& endOn, int camera, Point2 p) {
  const int other = 1 - camera;
  if (el.supporting != 2 || endOn[other]) return false;
  const double off = offLinesMm(el.views[other], p);
  return std::isfinite(off) && off > kOtherLineMm;
}

// Whether the camera's tip lies where one of its gainsaid tips lies.
bool nearGainsaidTip(const DuoEngine& e, const std::string& camera, Point2 p) {
  return std::any_of(e.gainsaidTips.begin(), e.gainsaidTips.end(), [&](const GainsaidTip& tip) {
    return tip.camera == camera && distanceMm(tip.point, p) <= kConfirmDistanceMm;
  });
}

// The tips of this frame that the other camera's line passed far from, kept while the change
// stays undecided (each place once, however long it stays).
void rememberGainsaidTips(DuoEngine& e, const json& decision) {
  const json& mono = decision.value("mono", json::object());
  if (!mono.is_object() || !mono.contains("gainsaid")) return;
  for (const auto& [camera, off] : mono["gainsaid"].items()) {
    if (!off.is_number() || off.get<double>() <= kFarOffOtherLineMm || !mono.contains(camera)) continue;
    const json& own = mono[camera];
    if (!own.is_object() || !own.contains("point")) continue;
    const Point2 point = pointFromJson(own["point"]);
    if (!nearGainsaidTip(e, camera, point)) e.gainsaidTips.push_back({camera, point});
  }
}

// A single camera's tip where the other camera's line passed far from it on an earlier frame of
// the same undecided change: that tip is still the undecided change (a dart seen wrong), and
// the other camera's line now passing there belongs to a dart that came since, or to the two
// merged. Entering it would give the new dart the old one's wrong place.
bool standsOnGainsaidTip(const DuoEngine& e, const json& decision) {
  const std::string method = decision.value("method", "");
  if ((method != "BEST_CAM" && method != "ONE_OF_TWO_CAMERAS") || !decision.contains("point")) return false;
  return nearGainsaidTip(e, decision.value("camera", ""), pointFromJson(decision["point"]));
}

}  // namespace

DuoViewAnalysis measureDuoEventDifference(const Camera& camera, const cv::Mat& boardMask,
                                          const cv::Mat& missMask, const cv::Mat& frame,
                                          const json& entries, const std::vector<cv::Mat>& supportMasks,
                                          int32_t tipMode) {
  DuoViewAnalysis a;
  a.grey = toGray(frame);
  if (a.grey.size() != camera.emptyReference.size()) throw std::runtime_error("CAMERA_RESOLUTION_CHANGED");
  a.matchedGrey = matchBrightness(a.grey, camera.dartReference, boardMask);
  a.brightnessRatio = brightnessRatio(a.grey, camera.dartReference, boardMask);
  a.boardDifference = maskAnd(nativeDifferenceMask(camera.dartReference, a.matchedGrey), missMask);
  a.changed = pixels(a.boardDifference) >= kVariantEventPixels;
  a.guard = {{"ok", true}, {"skipped", true}};
  if (!a.changed) return a;
  a.guard = checkFixedCameraToneMatched(camera.features, a.grey);
  if (!a.guard.value("ok", false)) return a;
  a.eventDifference =
      camera.dartReference.data == camera.emptyReference.data
          ? a.boardDifference
          : maskAnd(nativeDifferenceMask(camera.emptyReference, matchBrightness(a.grey, camera.emptyReference, boardMask)),
                    missMask);
  const int eventPixels = pixels(a.eventDifference);
  a.globallyChanged = eventPixels > kGlobalChangeShare * pixels(missMask);
  if (a.globallyChanged) return a;
  a.masks = compareMasks(camera.referenceChangeMask, a.eventDifference, 3);
  a.minimumPixels = variantMinPixels(camera.boardToImage);
  // The first dart on an empty board is judged over the whole watched region: a camera
  // 30 to 60 degrees off the normal sees a dart near the rim with its barrel and flight out
  // beyond the board, and only its point's thin stroke on the board, which the erosion wipes.
  a.largestComponent = largestErodedComponent(a.eventDifference, entries.empty() ? missMask : boardMask);
  a.oldSupportDisplaced = !entries.empty() && a.masks.removedPixels() >= kVariantEventPixels &&
                          a.masks.stats.value("removed_fraction", 0.0) > 0.25;
  // Darts gone from a view that looks empty are gone too: the takeout must hear of them, or
  // a round whose darts were pulled while a new one landed waits for ever.
  if (a.oldSupportDisplaced) {
    const cv::Mat grown = dilateMask(a.eventDifference, 7, false);
    for (size_t k = 0; k < supportMasks.size(); ++k) {
      const int own = pixels(supportMasks[k]);
      if (own < kVariantEventPixels) continue;
      if (static_cast<double>(pixels(maskAnd(supportMasks[k], grown))) / own < 0.2) a.displacedEntries.push_back(k);
    }
  }
  a.empty = eventPixels < kVariantEventPixels || a.largestComponent < std::max(30, a.minimumPixels / 4);
  // A board whose entered darts' change is all still in place, with a dart's worth of change
  // added beside it, is no empty board however thin its darts look (a miss beyond the rim
  // and a dart far from the camera erode away): taken for empty, the round would end under
  // its darts and the new one become part of the empty board.
  if (a.empty && !entries.empty() && !a.oldSupportDisplaced && a.masks.removedPixels() < kVariantEventPixels &&
      pixels(camera.referenceChangeMask) >= kVariantEventPixels && a.masks.addedPixels() >= a.minimumPixels) {
    a.empty = false;
  }
  // A thin dart seen from afar (its point on the board, its barrel over the dark surround)
  // erodes away, so the view looks empty; yet a change as large as a dart's may be the dart the
  // other camera sees, so it is measured on for that camera's sake.
  if (a.empty && eventPixels < a.minimumPixels) return a;
  a.newPixels = a.masks.addedPixels();
  if (a.newPixels < kVariantEventPixels) return a;
  a.newSupport = maskAnd(a.boardDifference, a.masks.added);
  a.newSupportPixels = pixels(a.newSupport);
  if (a.newSupportPixels < kVariantEventPixels) return a;
  const int moved = pixels(maskAnd(a.boardDifference, dilateMask(camera.referenceChangeMask, 7, false)));
  const int total = a.newSupportPixels + moved;
  const double ratio = total > 0 ? static_cast<double>(a.newSupportPixels) / total : 0.0;
  a.rejected = a.oldSupportDisplaced ? (total < a.minimumPixels || ratio < 0.6) : a.newSupportPixels < a.minimumPixels;
  a.difference = {{"new", a.newSupportPixels}, {"moved_support", moved}, {"min_pixels", a.minimumPixels},
                  {"new_ratio", ratio}, {"old_support_displaced", a.oldSupportDisplaced}, {"rejected", a.rejected}};
  if (a.rejected) return a;
  const NewDartView view = searchNewDart(camera, frame, a.newSupport,
                                         static_cast<double>(eventPixels) / std::max(1, pixels(missMask)), tipMode);
  a.axis = view.axis;
  a.candidate = view.candidates;
  return a;
}

bool isViewEmpty(const std::array<DuoViewAnalysis, 2>& views, const std::array<Camera, 2>& cameras, int camera) {
  if (!views[camera].changed) return pixels(cameras[camera].referenceChangeMask) < kVariantEventPixels;
  return views[camera].empty;
}

json buildVariantEngineFlags(const DuoEngine& engine) {
  return {{"takeout", engine.takeoutLatch}, {"hand", engine.handSeen},
          {"darts", static_cast<unsigned>(engine.entries.size())}};
}

DuoTipElection electDuoTip(const std::array<json, 2>& axes, const std::array<json, 2>& candidates,
                           const std::array<Homography, 2>& homographies) {
  DuoTipElection el;
  el.homographies = {homographies[0], homographies[1], identityHomography()};
  el.views = {emptyViewRecord(), emptyViewRecord(), emptyViewRecord()};
  for (int i = 0; i < 2; ++i) {
    if (axes[i].is_null()) continue;
    el.views[i] = axes[i];
    ++el.supporting;
  }
  json& decision = el.decision;
  if (el.supporting == 2) {
    decision = reconstructTipFromViews(el.views, el.homographies, std::max(missRadiusMm(), 300.0));
    if (decision.value("method", "") == "CAM_PLUS_ONE" || decision.value("method", "") == "UNANIMOUS_CAM") {
      decision["method"] = "TWO_VIEW_LINES";
    }
  } else {
    decision = {{"method", "UNRESOLVED"}, {"reason", "ONE_CAMERA_ONLY"}};
  }
  const std::array<bool, 2> endOn = endOnViews(axes, candidates);
  // One camera's own tip stands only where the other camera's line lets it.
  if (decision.value("method", "") == "BEST_CAM" && decision.contains("point")) {
    const int camera = decision.value("camera", "") == name(1) ? 1 : 0;
    const Point2 p = pointFromJson(decision["point"]);
    if (endOn[camera] || otherLineGainsays(el, endOn, camera, p)) {
      decision = {{"method", "UNRESOLVED"},
                  {"reason", endOn[camera] ? "SINGLE_TIP_OF_END_ON_VIEW" : "SINGLE_TIP_OFF_OTHER_LINE"},
                  {"other_line_mm", offLinesMm(el.views[1 - camera], p)},
                  {"rejected", decision}};
    }
  }
  const auto unresolved = [&decision] { return decision.value("method", "UNRESOLVED") == "UNRESOLVED"; };
  if (unresolved() && el.supporting == 2) {
    const json intersections = electTwoViewLines(el.views, el.homographies);
    if (!intersections.empty()) {
      size_t best = 0;
      const auto sum = [&](size_t i) {
        return intersections[i]["distances"][0].get<double>() + intersections[i]["distances"][1].get<double>();
      };
      for (size_t i = 1; i < intersections.size(); ++i) {
        if (sum(i) < sum(best)) best = i;
      }
      const Point2 bestPoint = pointFromJson(intersections[best]["point"]);
      const bool agree = std::all_of(intersections.begin(), intersections.end(), [&](const json& x) {
        return x["field"] == intersections[best]["field"] && distanceMm(pointFromJson(x["point"]), bestPoint) <= kAgreementMm;
      });
      if (agree) {
        decision = {{"method", "TWO_VIEW_LINES"},
                    {"point", intersections[best]["point"]},
                    {"uncertainty_mm", intersections[best]["uncertainty_mm"]},
                    {"uncertainty_source", "TWO_LINE_COVARIANCE_PLUS_1MM_FLOOR"},
                    {"intersections", intersections},
                    {"line_election", "PAIR_INTERSECTION"}};
      } else {
        decision = {{"method", "UNRESOLVED"}, {"reason", "INTERSECTIONS_DISAGREE"}, {"intersections", intersections}};
      }
    }
  }

  json& consensus = el.consensus;
  consensus = buildMultiviewConsensus(json::array({candidates[0], candidates[1], json::object()}));
  consensus["used_for_decision"] = false;
  if (consensus.value("status", "") == "CONSENSUS") {
    const json& selected = consensus["selected"];
    const size_t cameras = selected.value("cameras", json::array()).size();
    if (!unresolved() && decision.contains("point")) {
      const Point2 p = pointFromJson(decision["point"]);
      const double apart = distanceMm(pointFromJson(selected["point"]), p);
      const bool agrees = classifyBoardPoint(p, 2.0)["nominal_field"] == selected["field"] && apart <= kAgreementMm;
      consensus["agrees_with_geometry"] = agrees;
      consensus["used_for_decision"] = agrees;
      // Both cameras' searches meet the crossing on the other side of a wire it touches: a
      // line that is a pixel off moves the crossing that far, a cluster of searches from both
      // cameras does not share one line's error, so it names the side.
      if (!agrees && cameras == 2 && apart <= kWireStraddleMm) {
        decision = {{"method", "TWO_VIEW_POINT_CONSENSUS"}, {"point", selected["point"]}, {"uncertainty_mm", 2.0},
                    {"line_decision", decision}};
        consensus["used_for_decision"] = true;
      }
    } else if (unresolved() && cameras == 2) {
      decision = {{"method", "TWO_VIEW_POINT_CONSENSUS"}, {"point", selected["point"]}, {"uncertainty_mm", 2.0}};
      consensus["used_for_decision"] = true;
    }
  }

  std::array<json, 2>& mono = el.mono;
  for (int i = 0; i < 2; ++i) {
    mono[i] = axes[i].is_null() ? json{{"method", "UNRESOLVED"}, {"reason", "NO_FRESH_SUPPORT"}}
                                : electSingleViewField(axes[i], candidates[i]);
  }
  if (unresolved()) {
    // A camera's election counts when it resolved, its view is no end-on blob and the other
    // camera's line does not gainsay its point.
    std::array<bool, 2> usable{};
    json gainsaid = json::object();
    for (int i = 0; i < 2; ++i) {
      usable[i] = mono[i].value("method", "UNRESOLVED") != "UNRESOLVED" && mono[i].contains("point");
      if (!usable[i]) continue;
      const Point2 p = pointFromJson(mono[i]["point"]);
      if (endOn[i]) {
        usable[i] = false;
        gainsaid[name(i)] = "END_ON_VIEW";
      } else if (otherLineGainsays(el, endOn, i, p)) {
        usable[i] = false;
        gainsaid[name(i)] = offLinesMm(el.views[1 - i], p);
      }
    }
    const bool r0 = usable[0];
    const bool r1 = usable[1];
    json both = {{name(0), mono[0]}, {name(1), mono[1]}};
    if (!gainsaid.empty()) both["gainsaid"] = gainsaid;
    if (!r0 && !r1 && !gainsaid.empty()) {
      const bool onlyEndOn = std::all_of(gainsaid.begin(), gainsaid.end(), [](const json& why) { return why.is_string(); });
      decision = {{"method", "UNRESOLVED"},
                  {"reason", onlyEndOn ? "TIP_OF_END_ON_VIEW" : "OTHER_LINE_GAINSAYS_TIP"},
                  {"mono", both}};
    } else if (r0 != r1) {
      const int k = r0 ? 0 : 1;
      decision = {{"method", "ONE_OF_TWO_CAMERAS"}, {"point", mono[k]["point"]}, {"camera", name(k)},
                  {"uncertainty_mm", 3.0}, {"mono", mono[k]}};
      // The other camera's line passes near but not through the point, and the camera's own
      // searches are split between the point's field and the field where that line crosses
      // its own: the tip lies on both lines, and a camera's searches err along its line
      // (stopping short of a point hidden behind its barrel), not across it.
      const Point2 p = pointFromJson(mono[k]["point"]);
      const std::optional<Point2> crossing = crossingNear(el.views[k], el.views[1 - k], p);
      if (crossing && namesField(mono[k], classifyBoardPoint(*crossing, 2.0)["nominal_field"])) {
        decision["point"] = pointToJson(*crossing);
        decision["own_point"] = mono[k]["point"];
      }
      el.singleCamera = true;
    } else if (r0 && r1 && mono[0]["field"] != mono[1]["field"]) {
      // Each camera's line is the other's witness: a point that the other camera's line runs
      // through is where both see the dart, while a camera whose own point that line misses
      // measured its tip wrong (its line ending beyond the board, its searches short of the
      // tip). Left undecided, the dart's change would stay new and mix into the next dart's.
      const std::array<double, 2> off{offLinesMm(el.views[1], pointFromJson(mono[0]["point"])),
                                      offLinesMm(el.views[0], pointFromJson(mono[1]["point"]))};
      const int k = off[0] <= off[1] ? 0 : 1;
      if (off[k] <= kWitnessedMm && off[1 - k] >= kUnwitnessedMm) {
        decision = {{"method", "ONE_OF_TWO_CAMERAS"}, {"point", mono[k]["point"]}, {"camera", name(k)},
                    {"uncertainty_mm", 3.0}, {"mono", mono[k]}, {"other_line_mm", off}};
        el.singleCamera = true;
      } else {
        decision = {{"method", "UNRESOLVED"}, {"reason", "CAMERAS_DISAGREE"}, {"mono", both}, {"other_line_mm", off}};
      }
    } else if (r0 && r1) {
      const Point2 p0 = pointFromJson(mono[0]["point"]);
      const Point2 p1 = pointFromJson(mono[1]["point"]);
      const double d = distanceMm(p0, p1);
      const auto scale = [&](int i, Point2 p) {
        const Point2 a = applyHomography(el.homographies[i], {p.x, p.y + 1.0});
        const Point2 b = applyHomography(el.homographies[i], {p.x, p.y - 1.0});
        return std::hypot(a.x - b.x, a.y - b.y);
      };
      const bool line0 = flagOf(mono[0], "line_in_cluster");
      const bool line1 = flagOf(mono[1], "line_in_cluster");
      int chosen = 0;
      if (line0 == line1) {
        chosen = scale(0, p0) < scale(1, p1) ? 1 : 0;
      } else {
        chosen = line1 ? 1 : 0;
      }
      decision = {{"method", d <= kAgreementMm ? "TWO_CAMERA_MONO_AGREEMENT" : "TWO_CAMERA_FIELD_AGREEMENT"},
                  {"point", mono[chosen]["point"]},
                  {"uncertainty_mm", std::max(d, 3.0)},
                  {"mono", both}};
    }
  }
  return el;
}

json evaluateDuoFrames(DuoEngine& e, const std::vector<cv::Mat>& frames, double time) {
  DuoFrame f(frames, time);
  const double startMs = monotonicMilliseconds();
  f.previousCandidate = e.pendingCandidate;
  e.pendingCandidate = nullptr;
  for (int i = 0; i < 2; ++i) {
    f.views[i] = measureDuoEventDifference(e.cameras[i], e.boardMasks[i], e.missMasks[i], frames[i], e.entries,
                                           collectPairFrames(e, i), e.tipMode);
  }
  f.stages["observe"] = since(startMs);
  f.guards = {{name(0), f.views[0].guard}, {name(1), f.views[1].guard}};

  for (int i = 0; i < 2; ++i) {
    if (f.views[i].changed && !f.views[i].guard.at("ok").get<bool>()) {
      return {{"status", "CALIBRATION_REJECTED"}, {"reason", "CAMERA_MOVED_OR_VIEW_OBSCURED"},
              {"camera", name(i)}, {"camera_guard", f.guards}};
    }
  }
  if (!f.views[0].changed && !f.views[1].changed) {
    e.emptyCount = 0;
    e.gainsaidTips.clear();
    e.undecidedSupport = {};
    e.pendingRemoval = nullptr;
    e.takeoutLatch = false;
    e.settlingLight = SettlingLight();
    return {{"status", e.entries.size() > 2 ? "ROUND_FULL" : "READY"}, {"unchanged", true},
            {"timing", {{"stages_ms", f.stages}}}};
  }
  if (f.views[0].globallyChanged || f.views[1].globallyChanged) {
    e.emptyCount = 0;
    // New light that has settled: the references follow it rather than waiting for ever.
    if (lightHasSettled(e.settlingLight, {frames[0], frames[1]}, {f.views[0].grey, f.views[1].grey},
                        {e.missMasks[0], e.missMasks[1]}, time, e.handSeen)) {
      renewReferencesForSettledLight(e.settlingLight, {&e.cameras[0], &e.cameras[1]}, {e.missMasks[0], e.missMasks[1]});
      return {{"status", "BACKGROUND_REFRESH"}, {"reason", "LIGHT_CHANGE_SETTLED"}};
    }
    return {{"status", "WAIT"}, {"reason", "LARGE_INTERACTION_OR_LIGHTING"},
            {"light_change", lightSettlingRecord(e.settlingLight, time, e.handSeen)},
            {"changed_pixels", {pixels(f.views[0].eventDifference), pixels(f.views[1].eventDifference)}},
            {"region_pixels", {pixels(e.missMasks[0]), pixels(e.missMasks[1])}}};
  }
  e.settlingLight = SettlingLight();
  if (json reply = emptyBoardAndTakeout(e, f); !reply.is_null()) return reply;

  if (e.entries.size() > 2) return {{"status", "ROUND_FULL"}};
  if (f.views[0].newPixels < kVariantEventPixels && f.views[1].newPixels < kVariantEventPixels) {
    return {{"status", "READY"}};
  }
  if (f.views[0].newSupportPixels < kVariantEventPixels && f.views[1].newSupportPixels < kVariantEventPixels) {
    return {{"status", "READY"}, {"reason", "INSUFFICIENT_FRESH_EVENT_PIXELS"}};
  }
  // A hand in view is no dart, whatever it covers.
  if (e.handSeen) return {{"status", "WAIT"}, {"reason", "HAND_SEEN"}};
  for (int i = 0; i < 2; ++i) {
    if (f.views[i].newSupportPixels > largestDartPixels(e.cameras[i].boardToImage)) {
      return {{"status", "WAIT"}, {"reason", "LARGE_INTERACTION_OR_LIGHTING"}, {"camera", name(i)},
              {"new_support_pixels", f.views[i].newSupportPixels},
              {"largest_dart_pixels", largestDartPixels(e.cameras[i].boardToImage)}};
    }
  }
  searchFaintView(e, f, frames);
  measureOneOfTwoDarts(e, f, frames);
  const ImagePair supports = {f.views[0].wholeSupport.empty() ? f.views[0].newSupport : f.views[0].wholeSupport,
                              f.views[1].wholeSupport.empty() ? f.views[1].newSupport : f.views[1].wholeSupport};
  separateFromUndecidedDart(e, f, frames);
  json reply = decideNewDart(e, f);
  if (reply.value("status", "") == "POSITION_UNRESOLVED" && e.undecidedSupport[0].empty() &&
      !supports[0].empty() && !supports[1].empty()) {
    e.undecidedSupport = {supports[0].clone(), supports[1].clone()};
  }
  return reply;
}

namespace {

// The new dart's election and, where it gives a point, its acceptance.
json decideNewDart(DuoEngine& e, DuoFrame& f) {
  f.bouncer = {{name(0), f.views[0].difference}, {name(1), f.views[1].difference}};
  if (f.views[0].axis.is_null() && f.views[1].axis.is_null()) {
    return {{"status", "BOUNCER_CANDIDATE"}, {"reason", "INSUFFICIENT_NEW_SUPPORT_BOTH_CAMERAS"}, {"bouncer", f.bouncer}};
  }
  Election el = electTip(e, f);
  rememberGainsaidTips(e, el.tip.decision);
  if (standsOnGainsaidTip(e, el.tip.decision)) return positionUnresolved(el.record, "TIP_GAINSAID_ON_EARLIER_FRAME");
  if (el.tip.decision.value("method", "UNRESOLVED") == "UNRESOLVED") {
    return positionUnresolved(el.record, el.tip.decision.value("reason", ""));
  }
  const json& consensus = el.record["multiview_consensus"];
  if (consensus.value("status", "") == "CONSENSUS" && consensus.contains("agrees_with_geometry") &&
      !consensus["agrees_with_geometry"].get<bool>() && !consensus.value("used_for_decision", false) &&
      consensus["selected"].value("cameras", json::array()).size() == 2) {
    return positionUnresolved(el.record, "MULTIVIEW_GEOMETRY_CONFLICT");
  }
  return accept(e, f, el);
}

}  // namespace

json armDuoEngine(DuoEngine& engine, const json& request, const std::vector<cv::Mat>& images) {
  engine.armed = false;
  if (images.size() != 2) throw std::runtime_error("TWO_CAMERAS_REQUIRED");
  const double missRadius = requestedMissRadius(request);
  // Everything is built aside: a failing arm changes neither this engine's references nor
  // the radii every engine path shares.
  DuoEngine armed;
  armed.tipMode = request.value("tip_mode", 0);
  json guards = json::object();
  json calibrations = json::array();
  for (int i = 0; i < 2; ++i) {
    const Homography h = matrix3x3FromJson(request.at("calibrations").at(i));
    armed.cameras[i] = armVariantCamera(images[i], h);
    armed.boardMasks[i] = getBoardRegionMask(images[i].size(), h, missRadius);
    armed.missMasks[i] = getBoardRegionMask(images[i].size(), h, std::max(300.0, missRadius) + 25.0);
    const json guard = checkFixedCameraToneMatched(armed.cameras[i].features, armed.cameras[i].emptyReference);
    guards[name(i)] = guard;
    if (!guard.at("ok").get<bool>()) throw std::runtime_error("CAMERA_REFERENCE_FEATURES_INSUFFICIENT: " + name(i));
    calibrations.push_back(matrix3x3ToJson(h));
  }
  installArmRadii(request, missRadius);
  // Kept frames of an earlier arming stay; where they are used they must fit the new
  // references and be recent.
  armed.backgroundImages = engine.backgroundImages;
  armed.backgroundGreys = engine.backgroundGreys;
  armed.backgroundTime = engine.backgroundTime;
  armed.armed = true;
  json reply = {{"status", "READY"},         {"armed", true},
                {"entries", armed.entries},  {"camera_guard", guards},
                {"calibrations", calibrations}, {"executionBackend", kBackend},
                {"byline", kByline}};
  armed.snapshot = buildHostEvent(reply);
  reply["state"] = armed.snapshot;
  reply["snapshot"] = armed.snapshot;
  engine = std::move(armed);
  return reply;
}

json processDuoFrames(DuoEngine& engine, const json& request, const std::vector<cv::Mat>& images) {
  if (!engine.armed) throw std::runtime_error("ENGINE_NOT_ARMED");
  if (images.size() != 2) throw std::runtime_error("TWO_CAMERAS_REQUIRED");
  double time = request.value("time", monotonicMilliseconds() / 1000.0);
  const auto times = request.find("times");
  if (times != request.end() && times->is_array() && !times->empty()) time = times->front().get<double>();
  const int32_t epoch = readEpoch(request);
  if (carriedStateLapses(epoch, engine.epoch, time, engine.lastTime)) {
    engine.emptyCount = 0;
    engine.pendingCandidate = nullptr;
    engine.pendingRemoval = nullptr;
    engine.gainsaidTips.clear();
    engine.undecidedSupport = {};
  }
  engine.lastTime = time;
  engine.epoch = epoch;
  engine.handSeen = request.value("hand_seen", false);
  if (engine.handSeen && !engine.entries.empty()) engine.takeoutLatch = true;

  const double startMs = monotonicMilliseconds();
  json reply = evaluateDuoFrames(engine, images, time);
  completeFrameReply(reply, engine.entries, engine.snapshot, engine.roundNumber, buildVariantEngineFlags(engine),
                     startMs, kBackend);
  return reply;
}

std::vector<cv::Mat> collectPairFrames(const DuoEngine& engine, int which) {
  std::vector<cv::Mat> frames;
  for (const ImagePair& pair : engine.supportMasks) frames.push_back(pair.at(which));
  return frames;
}

}  // namespace tarv
