// The one-camera engine: arming, the per-frame command and the frame evaluation.
#include "tarv/variants/mono_engine.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include <opencv2/imgproc.hpp>

#include "tarv/board/board_layout.h"
#include "tarv/detector/throw_evaluation.h"
#include "tarv/core/engine_values.h"
#include "tarv/core/json_fields.h"
#include "tarv/board/host_event.h"
#include "tarv/views/board_features.h"
#include "tarv/views/image_ops.h"
#include "tarv/views/tip_evidence.h"
#include "tarv/variants/light_renewal.h"
#include "tarv/variants/single_view_election.h"
#include "tarv/variants/variant_views.h"

namespace tarv {
namespace {

constexpr const char* kBackend = "CPP_MONO_ONE_CAMERA";
constexpr const char* kByline = "tarv one-camera engine";
constexpr const char* kPolicy = "ONE_CAMERA_FOUR_SEARCHES_PLUS_LINE; WEAK_NEEDS_FRESH_SAMPLE";
// A single view estimates the dart's lean while it searches its tip.
constexpr int32_t kMonoTipMode = 1;
constexpr double kLargeChangeShare = 0.15;
constexpr double kTakeoutRemovedFraction = 0.25;
constexpr double kGoneShare = 0.2;
constexpr double kDuplicateMm = 3.0;

int pixels(const cv::Mat& mask) { return mask.empty() ? 0 : cv::countNonZero(mask); }

double since(double startMs) { return monotonicMilliseconds() - startMs; }

double distanceFromBull(Point2 p) { return std::hypot(p.x, p.y); }

void resetRound(MonoEngine& e) {
  e.entries = json::array();
  e.dartMasks.clear();
  e.emptyFrameCounter = 0;
  e.pendingMissing = nullptr;
  e.pendingWeakSample = nullptr;
  e.takeoutLatch = false;
}

json positionUnresolved(json evidence, const std::string& reason) {
  evidence["status"] = "POSITION_UNRESOLVED";
  evidence["reason"] = reason;
  return evidence;
}

// The evaluation's working state of one frame.
struct MonoFrame {
  MonoFrame(const cv::Mat& f, double t) : frame(f), time(t), startMs(monotonicMilliseconds()) {}
  const cv::Mat& frame;
  double time;
  double startMs;
  cv::Mat grey;
  cv::Mat eventMask;
  cv::Mat sinceEmpty;
  Masks masks;
  int minPixels = 1;
  json guard;
  json stages = json::object();
  json previousWeak;
};

// Steps past the gates: a new object that may be a dart.
json decideDart(MonoEngine& e, MonoFrame& f) {
  Camera& c = e.camera;
  const cv::Mat fresh = maskAnd(f.eventMask, f.masks.added);
  const int freshPixels = pixels(fresh);
  if (freshPixels < kVariantEventPixels) {
    return {{"status", "READY"}, {"reason", "INSUFFICIENT_FRESH_EVENT_PIXELS"}};
  }
  const int moved = pixels(maskAnd(f.eventMask, dilateMask(c.referenceChangeMask, 7, false)));
  const double newRatio = freshPixels + moved > 0 ? static_cast<double>(freshPixels) / (freshPixels + moved) : 0.0;
  const json bouncer = {{"new", freshPixels},         {"moved_support", moved},
                        {"min_pixels", f.minPixels},  {"new_ratio", newRatio},
                        {"old_support_displaced", false}, {"rejected", freshPixels < f.minPixels}};
  if (freshPixels < f.minPixels) {
    return {{"status", "BOUNCER_CANDIDATE"}, {"reason", "INSUFFICIENT_NEW_SUPPORT"}, {"bouncer", bouncer}};
  }

  double stageStart = monotonicMilliseconds();
  const double region = std::max(1, pixels(e.eventRegionMask));
  const NewDartView view = searchNewDart(c, f.frame, fresh, pixels(f.sinceEmpty) / region, kMonoTipMode);
  f.stages["points_and_axes"] = since(stageStart);
  f.stages["candidates"] = since(stageStart);
  const json decision = electSingleViewField(view.axis, view.candidates);
  f.stages["election"] = since(f.startMs);
  json evidence = {{"decision", decision},
                   {"bouncer", bouncer},
                   {"camera_guard", f.guard},
                   {"diagnostics", {{"CAM_1", {{"votes", view.axis["votes"]},
                                               {"observations", view.axis["observations"]},
                                               {"candidates", view.candidates}}}}},
                   {"timing", {{"stages_ms", f.stages}}}};
  const std::string method = decision.value("method", "UNRESOLVED");
  if (method == "UNRESOLVED") return positionUnresolved(evidence, decision.value("reason", ""));

  const Point2 p0 = pointFromJson(decision["point"]);
  const json local = checkLocalTipEvidence(c.backgroundFrame, f.frame, fresh, c.boardToImage,
                                           view.axis["observations"], p0);
  evidence["view_checks"] = {{"CAM_1", local}};
  const bool strong = method != "MONO_SINGLE_VIEW" &&
                      (local.value("supported", false) || decision.value("members", 0) >= 3);
  if (!strong) {
    const std::string field = classifyBoardPoint(p0, 2.0)["nominal_field"];
    e.pendingWeakSample = {{"point", pointToJson(p0)}, {"field", field}, {"time", f.time}};
    if (!confirmsSample(f.previousWeak, p0, field, f.time)) {
      return positionUnresolved(evidence, "SINGLE_VIEW_NEEDS_FRESH_CONFIRMATION");
    }
  }

  const double shaft = shaftLengthMm(view.axis, c.boardToImage);
  evidence["shaft_mm"] = shaft;
  if (e.shaftMinMm > 0.0 && shaft < e.shaftMinMm) return positionUnresolved(evidence, "NO_DART_SHAFT");
  if (e.missRequiresStrong && distanceFromBull(p0) > 170.0 &&
      !(strong && decision.value("line_in_cluster", false))) {
    return positionUnresolved(evidence, "MISS_NEEDS_STRONG_LINE");
  }
  for (const json& entry : e.entries) {
    const Point2 q = pointFromJson(entry["board_xy_nominal_mm"]);
    if (std::hypot(q.x - p0.x, q.y - p0.y) < kDuplicateMm) return positionUnresolved(evidence, "NEAR_EXISTING_POINT");
  }
  const double missRadius = missRadiusMm();
  if (distanceFromBull(p0) > missRadius) {
    return {{"status", "BOUNCER_CANDIDATE"}, {"reason", "OUTSIDE_MISS_LIMIT"}, {"point", pointToJson(p0)},
            {"limit_mm", missRadius}, {"bouncer", json::object()}};
  }

  const double uncertainty = method == "MONO_SINGLE_VIEW" ? 3.0 : std::max(decision.value("spread_mm", 0.0), 1.0);
  json field = fieldRecord(p0, uncertainty, method, "ACCEPTED_SINGLE_CAMERA_POINT", decision["clusters"]);
  const TipChecks tip = checkTipVotes(view.axis["votes"], p0, fresh);
  if (tip.onDartBody) {
    field["bed_colour"] = {{"applied", false}, {"reason", "TIP_ON_DART_BODY"}, {"selected", nullptr}};
  } else if (!tip.precise) {
    field["bed_colour"] = {{"applied", false}, {"reason", "TIP_NOT_PRECISE_ENOUGH"}, {"selected", nullptr}};
  } else {
    applyBedColour(field, p0, {view.axis, emptyViewRecord(), emptyViewRecord()}, {c, Camera(), Camera()},
                   {c.boardToImage, identityHomography(), identityHomography()}, uncertainty, 1);
  }

  e.eventCounter += 1;
  const auto eyes = decision["eyes"];
  const json entry = {
      {"id", e.entries.size() + 1},
      {"event", e.eventCounter},
      {"round", e.roundNumber},
      {"board_xy_nominal_mm", pointToJson(p0)},
      {"score", nullptr},
      {"status", "EXPERIMENTAL_DART_CANDIDATE"},
      {"field", field},
      {"method", method},
      {"uncertainty_mm", uncertainty},
      {"confidence", {{"level", strong ? "strong" : "weak"},
                      {"eyes", decision["members"]},
                      {"of", eyes.value("candidates", 0) + eyes.value("lines", 0)},
                      {"line", decision.value("line_in_cluster", false)},
                      {"local_check", local.value("supported", false)},
                      {"cameras", 1},
                      {"policy", kPolicy}}}};
  e.entries.push_back(entry);
  e.dartMasks.push_back(fresh.clone());
  c.backgroundFrame = f.frame.clone();
  c.dartReference = f.grey.clone();
  c.referenceChangeMask = f.sinceEmpty;
  e.pendingWeakSample = nullptr;
  evidence["status"] = "DART_CANDIDATE";
  evidence["entry"] = entry;
  return evidence;
}

// Darts seen missing while the board is not empty: a takeout under way, or one dart gone.
json auditTakeout(MonoEngine& e, MonoFrame& f) {
  Camera& c = e.camera;
  const cv::Mat grown = dilateMask(f.sinceEmpty, 7, false);
  json missing = json::array();
  int present = 0, gone = 0;
  for (size_t i = 0; i < e.dartMasks.size(); ++i) {
    const int own = pixels(e.dartMasks[i]);
    if (own < kVariantEventPixels) continue;
    ++present;
    if (static_cast<double>(pixels(maskAnd(e.dartMasks[i], grown))) / own < kGoneShare) {
      ++gone;
      missing.push_back(i);
    }
  }
  // Whether or not a takeout is latched, every dart gone with something new on the board ends
  // the round: a dart thrown before the board was seen empty must not keep it waiting.
  if (present > 0 && gone == present && f.masks.addedPixels() >= f.minPixels) {
    const int32_t round = e.roundNumber + 1;
    resetRound(e);
    e.roundNumber = round;
    std::string reason = "ALL_DARTS_GONE_NEW_OBJECT_PRESENT_OLD_REFERENCE";
    if (pendingReferenceUsable(e.pendingEmptyGrey, e.pendingEmptyTime, c.emptyReference, f.time) &&
        e.pendingEmptyColour.size() == e.pendingEmptyGrey.size()) {
      c.emptyReferenceColour = e.pendingEmptyColour;
      c.emptyReference = e.pendingEmptyGrey;
      reason = "ALL_DARTS_GONE_NEW_OBJECT_PRESENT";
    }
    c.backgroundFrame = c.emptyReferenceColour;
    c.dartReference = c.emptyReference;
    c.referenceChangeMask = freshZeroMask(c.emptyReference.size());
    return {{"status", "EMPTY_RESET"}, {"reason", reason}, {"round_advanced", true}};
  }

  // Once a takeout is latched, single removals stop: the round ends by a reset.
  if (e.takeoutLatch) missing = json::array();
  const json previous = e.pendingMissing;
  e.pendingMissing = missing.empty() ? json() : json{{"missing", missing}, {"time", f.time}};
  if (missing.size() != 1) {
    return {{"status", "WAIT"}, {"reason", "OLD_OBJECT_MOVED_OR_PARTLY_REMOVED"},
            {"takeout", {{"present", present}, {"gone", gone}, {"missing", missing}, {"masks", f.masks.stats}}}};
  }
  if (!confirmsMissing(previous, missing, f.time)) {
    return {{"status", "REMOVAL_PENDING"}, {"reason", "CONFIRM_MISSING_DART_SUPPORT"}};
  }
  const size_t k = missing[0].get<size_t>();
  e.entries.erase(k);
  e.dartMasks.erase(e.dartMasks.begin() + static_cast<long>(k));
  for (size_t i = 0; i < e.entries.size(); ++i) e.entries[i]["id"] = i + 1;
  cv::Mat occupancy = cv::Mat::zeros(c.emptyReference.size(), CV_8UC1);
  for (const cv::Mat& m : e.dartMasks) orMaskInPlace(occupancy, m);
  c.referenceChangeMask = occupancy;
  if (f.masks.addedPixels() < kVariantEventPixels) {
    c.backgroundFrame = f.frame.clone();
    c.dartReference = f.grey.clone();
  }
  e.pendingMissing = nullptr;
  e.takeoutLatch = true;
  return {{"status", "DART_REMOVED"}, {"reason", "CONFIRMED_DISAPPEARANCE_WITHOUT_HAND"}};
}

json evaluate(MonoEngine& e, const cv::Mat& frame, double time) {
  Camera& c = e.camera;
  MonoFrame f(frame, time);
  f.previousWeak = e.pendingWeakSample;
  e.pendingWeakSample = nullptr;

  f.grey = toGray(frame);
  if (f.grey.size() != c.emptyReference.size()) {
    return {{"status", "CALIBRATION_REJECTED"}, {"reason", "CAMERA_RESOLUTION_CHANGED"}};
  }
  const cv::Mat matchedEvent = matchBrightness(f.grey, c.dartReference, e.boardMask);
  const cv::Mat matchedEmpty = matchBrightness(f.grey, c.emptyReference, e.boardMask);
  f.stages["exposure_gain"] = brightnessRatio(f.grey, c.dartReference, e.boardMask);
  f.eventMask = maskAnd(nativeDifferenceMask(c.dartReference, matchedEvent), e.eventRegionMask);
  f.stages["event_difference"] = since(f.startMs);

  if (pixels(f.eventMask) < kVariantEventPixels) {
    e.emptyFrameCounter = 0;
    e.pendingMissing = nullptr;
    e.takeoutLatch = false;
    e.settlingLight = SettlingLight();
    return {{"status", e.entries.size() > 2 ? "ROUND_FULL" : "READY"}, {"unchanged", true},
            {"timing", {{"stages_ms", f.stages}}}};
  }
  f.guard = checkFixedCameraToneMatched(c.features, f.grey);
  if (!f.guard.value("ok", false)) {
    return {{"status", "CALIBRATION_REJECTED"}, {"reason", "CAMERA_MOVED_OR_VIEW_OBSCURED"}, {"camera_guard", f.guard}};
  }
  f.stages["camera_guard"] = since(f.startMs);

  f.sinceEmpty = c.dartReference.data == c.emptyReference.data
                     ? f.eventMask.clone()
                     : maskAnd(nativeDifferenceMask(c.emptyReference, matchedEmpty), e.eventRegionMask);
  if (pixels(f.sinceEmpty) > kLargeChangeShare * pixels(e.eventRegionMask)) {
    e.emptyFrameCounter = 0;
    // New light that has settled: the references follow it rather than waiting for ever.
    if (lightHasSettled(e.settlingLight, {frame}, {f.grey}, {e.eventRegionMask}, time, e.handSeen)) {
      renewReferencesForSettledLight(e.settlingLight, {&c}, {e.eventRegionMask});
      return {{"status", "BACKGROUND_REFRESH"}, {"reason", "LIGHT_CHANGE_SETTLED"}};
    }
    return {{"status", "WAIT"}, {"reason", "LARGE_INTERACTION_OR_LIGHTING"},
            {"light_change", lightSettlingRecord(e.settlingLight, time, e.handSeen)}};
  }
  e.settlingLight = SettlingLight();
  f.masks = compareMasks(c.referenceChangeMask, f.sinceEmpty, 3);
  f.minPixels = variantMinPixels(c.boardToImage);

  const bool looksEmpty = pixels(f.sinceEmpty) < kVariantEventPixels ||
                          largestErodedComponent(f.sinceEmpty, e.boardMask) < std::max(30, f.minPixels / 4);
  f.stages["masks"] = since(f.startMs);
  if (looksEmpty) {
    if (e.entries.empty()) return {{"status", "READY"}};
    e.emptyFrameCounter += 1;
    if (e.emptyFrameCounter < 2) {
      e.pendingEmptyColour = frame.clone();
      e.pendingEmptyGrey = f.grey.clone();
      e.pendingEmptyTime = time;
      return {{"status", "EMPTY_PENDING"}, {"outside_noise_tolerated", false}};
    }
    const int32_t round = e.roundNumber + 1;
    resetRound(e);
    e.roundNumber = round;
    // Seen empty twice in a row: events are judged against this frame from now on. The empty
    // references stay: a frame that merely looks empty may still hold what a takeout left
    // outside the board, and that must never become part of the empty board.
    c.backgroundFrame = frame.clone();
    c.dartReference = f.grey.clone();
    c.referenceChangeMask = freshZeroMask(f.grey.size());
    return {{"status", "EMPTY_RESET"}, {"outside_noise_tolerated", false}};
  }
  e.emptyFrameCounter = 0;
  const double removedFraction = f.masks.stats.value("removed_fraction", 0.0);
  if (!e.entries.empty() && f.masks.removedPixels() >= kVariantEventPixels &&
      removedFraction > kTakeoutRemovedFraction) {
    return auditTakeout(e, f);
  }
  if (e.entries.size() > 2) return {{"status", "ROUND_FULL"}};
  if (f.masks.addedPixels() < kVariantEventPixels) return {{"status", "READY"}};
  // A hand in view is no dart, whatever it covers.
  if (e.handSeen) return {{"status", "WAIT"}, {"reason", "HAND_SEEN"}};
  if (f.masks.addedPixels() > largestDartPixels(c.boardToImage)) {
    return {{"status", "WAIT"}, {"reason", "LARGE_INTERACTION_OR_LIGHTING"}};
  }
  return decideDart(e, f);
}

}  // namespace

json buildVariantEngineFlags(const MonoEngine& engine) {
  return {{"takeout", engine.takeoutLatch}, {"hand", engine.handSeen},
          {"darts", static_cast<unsigned>(engine.entries.size())}};
}

json evaluateMonoFrame(MonoEngine& engine, const cv::Mat& frame, double time) {
  return evaluate(engine, frame, time);
}

json armMonoEngine(MonoEngine& engine, const json& request, const cv::Mat& image) {
  engine.armed = false;
  const Homography h = matrix3x3FromJson(request.at("calibration"));
  const double missRadius = requestedMissRadius(request);
  // Everything is built aside: a failing arm changes neither this engine's references nor
  // the radii every engine path shares.
  MonoEngine armed;
  armed.shaftMinMm = request.value("shaft_min_mm", 0.0);
  armed.missRequiresStrong = request.value("miss_requires_strong", false);
  armed.camera = armVariantCamera(image, h);
  armed.boardMask = getBoardRegionMask(image.size(), h, missRadius);
  armed.eventRegionMask = getBoardRegionMask(image.size(), h, std::max(300.0, missRadius) + 25.0);
  const json guard = checkFixedCameraToneMatched(armed.camera.features, armed.camera.emptyReference);
  if (!guard.at("ok").get<bool>()) throw std::runtime_error("CAMERA_REFERENCE_FEATURES_INSUFFICIENT");
  installArmRadii(request, missRadius);

  armed.armed = true;
  json reply = {{"status", "READY"},
                {"armed", true},
                {"entries", armed.entries},
                {"camera_guard", guard},
                {"calibration", matrix3x3ToJson(h)},
                {"executionBackend", kBackend},
                {"byline", kByline}};
  armed.state = buildHostEvent(reply);
  reply["state"] = armed.state;
  reply["snapshot"] = armed.state;
  engine = std::move(armed);
  return reply;
}

json processMonoFrame(MonoEngine& engine, const json& request, const cv::Mat& image) {
  if (!engine.armed) throw std::runtime_error("ENGINE_NOT_ARMED");
  const double time = request.value("time", monotonicMilliseconds() / 1000.0);
  const int32_t epoch = readEpoch(request);
  if (carriedStateLapses(epoch, engine.epoch, time, engine.lastTime)) {
    engine.emptyFrameCounter = 0;
    engine.pendingWeakSample = nullptr;
    engine.pendingMissing = nullptr;
  }
  engine.lastTime = time;
  engine.epoch = epoch;
  engine.handSeen = request.value("hand_seen", false);
  if (engine.handSeen && !engine.entries.empty()) engine.takeoutLatch = true;

  const double startMs = monotonicMilliseconds();
  json reply = evaluateMonoFrame(engine, image, time);
  completeFrameReply(reply, engine.entries, engine.state, engine.roundNumber, buildVariantEngineFlags(engine),
                     startMs, kBackend);
  return reply;
}

}  // namespace tarv
