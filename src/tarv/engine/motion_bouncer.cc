#include "tarv/engine/motion_bouncer.h"
#include "tarv/core/json_fields.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <utility>

#include <opencv2/imgproc.hpp>

#include "tarv/core/board_geometry.h"
#include "tarv/core/board_projection.h"
#include "tarv/detector/throw_evaluation.h"
#include "tarv/detector/transient_stroke.h"
#include "tarv/engine/decision_window.h"
#include "tarv/engine/request_intake.h"
#include "tarv/board/host_event.h"
#include "tarv/engine/transient_probe.h"
#include "tarv/views/board_features.h"
#include "tarv/views/components.h"
#include "tarv/views/image_ops.h"
#include "tarv/views/surround_motion.h"

namespace tarv {
namespace {

constexpr const char* kRejected = "MOTION_BOUNCER_REJECTED";
constexpr double kDefaultFrameInterval = 1.0 / 30.0;
constexpr size_t kRoundEntries = 3;
// The current frames must follow the transient closely, or they may show a later throw.
constexpr double kStaleAfterSeconds = 1.5;
constexpr int kDartMaskMinPixels = 80;
constexpr double kDartRetainedFraction = 0.8;
constexpr int kSettledCamerasNeeded = 2;
constexpr int kMinViewWidth = 160;
constexpr int kMaxViewWidth = 1280;
constexpr int kMinViewHeight = 100;
constexpr double kScaleTolerance = 0.01;
// A transient view with more of its pixels changed shows a hand or a change of light.
constexpr double kGlobalChangeFraction = 0.08;

double frameIntervalOf(const json& request) {
  const auto it = request.find("frame_interval");
  if (it != request.end() && it->is_number() && std::isfinite(it->get<double>())) {
    return it->get<double>();
  }
  return kDefaultFrameInterval;
}

// A time far ahead of the clock (milliseconds, say) is refused before the review keeps it.
std::array<double, 3> threeTimes(const json& request, const char* key) {
  const json& times = request.at(key);
  const std::array<double, 3> read{times.at(0).get<double>(), times.at(1).get<double>(),
                                   times.at(2).get<double>()};
  for (double t : read) refuseFutureCaptureTime(t);
  return read;
}

bool allFinite(const std::array<double, 3>& times) {
  return std::all_of(times.begin(), times.end(), [](double t) { return std::isfinite(t); });
}

double newestOf(const std::array<double, 3>& times) {
  return *std::max_element(times.begin(), times.end());
}

cv::Mat resized(const cv::Mat& image, cv::Size size, int interpolation) {
  if (image.size() == size) return image;
  cv::Mat out;
  cv::resize(image, out, size, 0, 0, interpolation);
  return out;
}

int overlapCount(const cv::Mat& a, const cv::Mat& b) {
  cv::Mat both;
  cv::bitwise_and(a, b, both);
  return cv::countNonZero(both);
}

bool roundNotEligible(const Round& round, const json& request) {
  return round.recovery || round.takeout || round.reviewRequired ||
         round.entries.size() >= kRoundEntries || flagOf(request, "hand_seen");
}

bool decisionPending(const Round& round) {
  return !round.frameHistory.empty() || !round.pendingCandidate.is_null() ||
         !round.heldEventRecord.is_null() || !round.pendingConfirmation.is_null() ||
         round.decisionWindowStart >= 0.0;
}

// The checks of one current frame: a rejection reason, else nothing; fills its "after".
std::optional<const char*> checkCurrentFrame(const Round& round, int i, const cv::Mat& frame,
                                             double regionRadiusMm, json& after, bool& settled) {
  const Camera& camera = round.cameras[i];
  const cv::Mat grey = toGray(frame);
  if (grey.size() != camera.emptyReference.size()) return "RESOLUTION_CHANGED";
  if (!flagOf(checkFixedCameraToneMatched(camera.features, grey), "ok")) return "CAMERA_GUARD";

  const DetectionScale scale(projectedBoardHeight(camera.boardToImage));
  cv::Mat remaining = keepComponentsInBoardRegion(nativeDifferenceMask(camera.dartReference, grey),
                                                  camera.boardToImage, cv::Mat(), regionRadiusMm);
  cv::bitwise_and(remaining, ~dilateMask(camera.referenceChangeMask, 7, false), remaining);
  const int remainingPixels = cv::countNonZero(remaining);
  const int limit = remainingPixelLimit(scale);
  after[cameraIds[i]] = {{"remaining_pixels", remainingPixels}, {"limit", limit}};
  if (remainingPixels >= limit) return "NEW_OBJECT_REMAINS";

  const cv::Mat around = dilateMask(nativeDifferenceMask(camera.emptyReference, grey), 7, false);
  for (const ImageTriple& set : round.knownDartMasks) {
    if (set[i].empty()) continue;
    const cv::Mat dart = resized(set[i], around.size(), cv::INTER_NEAREST);
    const int pixels = cv::countNonZero(dart);
    if (pixels < kDartMaskMinPixels) continue;
    if (kDartRetainedFraction * pixels > overlapCount(dart, around)) return "EXISTING_DART_CHANGED";
  }
  settled = remainingPixels < scale.minPixels();
  return std::nullopt;
}

// The checks of one transient view and its stroke search: a rejection reason, else nothing.
std::optional<const char*> searchView(const Round& round, int i, const cv::Mat& frame,
                                      std::optional<TransientStroke>& stroke) {
  const Camera& camera = round.cameras[i];
  const int w = frame.cols;
  const int h = frame.rows;
  if (w < kMinViewWidth || w > kMaxViewWidth || h < kMinViewHeight) return "INVALID_TRANSIENT_SIZE";
  const double sx =
      camera.backgroundFrame.empty() ? 0.0 : static_cast<double>(w) / camera.backgroundFrame.cols;
  const double sy =
      camera.backgroundFrame.empty() ? 0.0 : static_cast<double>(h) / camera.backgroundFrame.rows;
  if (!(std::abs(sx - sy) <= kScaleTolerance) || sx <= 0.0) return "INVALID_TRANSIENT_SCALE";
  const Homography view = scaleHomography(camera.boardToImage, sx, sy);

  const cv::Mat reference = resized(camera.dartReference, frame.size(), cv::INTER_AREA);
  const cv::Mat change = nativeDifferenceMask(reference, toGray(frame));
  if (cv::countNonZero(change) > kGlobalChangeFraction * static_cast<double>(change.total())) {
    return "GLOBAL_CHANGE";
  }
  const cv::Mat onBoard = keepComponentsInBoardRegion(change, view, cv::Mat(), round.boardRadiusMm);
  const DetectionScale scale(projectedBoardHeight(view));
  stroke = findTransientStroke(onBoard, strokeExcludedPixels(camera, frame.size(), view), view, scale.value());
  return std::nullopt;
}

json missEntry(const Round& round, const StrokeCrossing& crossing) {
  return json{{"id", round.entries.size() + 1},
              {"event", round.eventNumber + 1},
              {"round", round.roundNumber},
              {"board_xy_nominal_mm",
               {roundToThousandths(crossing.point.x), roundToThousandths(crossing.point.y)}},
              {"score", nullptr},
              {"status", "EXPERIMENTAL_DART_CANDIDATE"},
              {"field",
               {{"nominal_field", "MISS"},
                {"selected_field", "MISS"},
                {"label", "MISS"},
                {"candidates", json::array({"MISS"})}}},
              {"method", "MOTION_BOUNCER"},
              {"uncertainty_mm", nullptr},
              {"bouncer", true},
              {"bouncer_views", {cameraIds[crossing.first], cameraIds[crossing.second]}}};
}

// Enters the bounce: everything is computed before the round changes.
json acceptBouncer(Round& round, json review, const StrokeCrossing& crossing, double countedUntil) {
  const json entry = missEntry(round, crossing);
  json entries = round.entries;
  entries.push_back(entry);
  ImageTriple emptyMasks;
  for (int i = 0; i < 3; ++i) {
    emptyMasks[i] = freshZeroMask(round.cameras[i].emptyReference.size());
  }

  const char* reason = "DART_TRANSIENT_WITHOUT_REMAINING_SUPPORT";
  review["status"] = "DART_CANDIDATE";
  json reply = {
      {"status", "DART_CANDIDATE"},
      {"reason", reason},
      {"entry", entry},
      {"entries", entries},
      {"motion_bouncer", setReplyReason(review, reason)},
      {"transient_geometry",
       {{"point", entry["board_xy_nominal_mm"]},
        {"cameras", entry["bouncer_views"]},
        {"sine", roundToThousandths(crossing.sine)}}},
      {"decision_window",
       {{"active", false}, {"started", -1.0}, {"deadline", -1.0}, {"review_required", false}}}};
  json event = buildHostEvent(reply);
  const bool newEvent = !event.is_null() && event != round.state;
  json flags = buildEngineFlags(round);

  round.bouncerReviewTime = countedUntil;
  round.eventNumber += 1;
  round.entries = std::move(entries);
  round.knownDartMasks.push_back(std::move(emptyMasks));
  round.pendingTransient = nullptr;
  if (newEvent) round.state = event;

  reply["state"] = newEvent ? event : json();
  reply["snapshot"] = round.state;
  reply["round"] = round.roundNumber;
  reply["engine_flags"] = std::move(flags);
  return reply;
}

}  // namespace

json setReplyReason(json& reply, const std::string& reason) {
  reply["reason"] = reason;
  return reply;
}

int remainingPixelLimit(const DetectionScale& scale) {
  const double limit = std::trunc(scale.value() * 160.0 / 400.0);
  if (!(limit < 2147483647.0)) return 2147483647;
  return std::max(1, static_cast<int>(limit));
}

json reviewMotionBouncer(Round& round, const json& request, const std::vector<cv::Mat>& images) {
  const std::vector<cv::Mat> frames = intakeFrames(round, images);
  json review = {{"status", kRejected}};
  if (!round.armed || frames.size() != 6) return setReplyReason(review, "INVALID_INPUT");
  if (roundNotEligible(round, request)) return setReplyReason(review, "STATE_NOT_ELIGIBLE");
  if (decisionPending(round)) return setReplyReason(review, "DECISION_PENDING");

  const std::array<double, 3> transientTimes = threeTimes(request, "times");
  const double transientTime = newestOf(transientTimes);
  const double oldest = *std::min_element(transientTimes.begin(), transientTimes.end());
  if (!allFinite(transientTimes) ||
      transientTime - oldest > std::max(1.1 * frameIntervalOf(request), 0.06)) {
    return setReplyReason(review, "TRANSIENT_UNSYNCED");
  }
  if (round.bouncerReviewTime >= transientTime) return setReplyReason(review, "ALREADY_COUNTED");
  const std::array<double, 3> currentTimes = threeTimes(request, "current_times");
  const double currentTime = newestOf(currentTimes);
  if (!allFinite(currentTimes) || !(currentTime > transientTime) ||
      currentTime - transientTime > kStaleAfterSeconds) {
    return setReplyReason(review, "STALE_TRANSIENT");
  }

  const double regionRadius = round.boardOnlyScope ? round.boardRadiusMm : missRadiusMm();
  json after = json::object();
  int settledCameras = 0;
  for (int i = 0; i < 3; ++i) {
    bool settled = false;
    const std::optional<const char*> failure =
        checkCurrentFrame(round, i, frames[3 + i], regionRadius, after, settled);
    review["after"] = after;
    if (failure) return setReplyReason(review, *failure);
    settledCameras += settled ? 1 : 0;
  }
  if (settledCameras < kSettledCamerasNeeded) return setReplyReason(review, "BOARD_NOT_SETTLED");

  std::array<std::optional<TransientStroke>, 3> strokes;
  json views = json::object();
  for (int i = 0; i < 3; ++i) {
    const std::optional<const char*> failure = searchView(round, i, frames[i], strokes[i]);
    if (failure) return setReplyReason(review, *failure);
    views[cameraIds[i]] = strokes[i] ? strokes[i]->record : json();
    review["transient_views"] = views;
  }
  const long found = std::count_if(strokes.begin(), strokes.end(),
                                   [](const std::optional<TransientStroke>& s) { return s.has_value(); });
  if (found < 2) return setReplyReason(review, "TRANSIENT_NOT_IN_TWO_VIEWS");

  const std::optional<StrokeCrossing> crossing = crossTransientStrokes(strokes, round.boardRadiusMm);
  if (!crossing) return setReplyReason(review, "TRANSIENT_GEOMETRY_INCONSISTENT");
  // The current frames show the board settled after the bounce, so every view of it was
  // taken before them: later reviews of the same bounce find it already counted.
  return acceptBouncer(round, review, *crossing, currentTime);
}

}  // namespace tarv
