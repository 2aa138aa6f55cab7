#include "tarv/engine/transient_confirmation.h"
#include "tarv/core/json_fields.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <optional>

#include <opencv2/imgproc.hpp>

#include "tarv/core/board_projection.h"
#include "tarv/core/engine_values.h"
#include "tarv/detector/throw_evaluation.h"
#include "tarv/engine/request_intake.h"
#include "tarv/engine/transient_probe.h"
#include "tarv/views/board_features.h"
#include "tarv/views/components.h"
#include "tarv/views/image_ops.h"

namespace tarv {
namespace {

constexpr double kDecisionWindowSeconds = 3.0;
// The object must be seen gone soon after it was seen; later frames may show another throw.
constexpr double kConfirmWithinSeconds = 0.75;
constexpr size_t kRoundEntries = 3;
// Share of the transient area that may still be changed before the object counts as there.
constexpr double kStillThereFraction = 0.1;
constexpr double kWholeBoardChangeLimit = 0.15;
constexpr int kDartMaskMinPixels = 80;
constexpr double kDartRetainedFraction = 0.8;
constexpr int kPositiveCamerasNeeded = 2;


std::optional<int64_t> integerOf(const json& object, const char* key) {
  if (!object.is_object()) return std::nullopt;
  const auto it = object.find(key);
  if (it == object.end()) return std::nullopt;
  return wholeNumberOf(*it, INT64_MIN, INT64_MAX);
}

std::optional<std::array<double, 3>> threeTimesOf(const json& object, const char* key) {
  if (!object.is_object()) return std::nullopt;
  const auto it = object.find(key);
  if (it == object.end() || !it->is_array() || it->size() < 3) return std::nullopt;
  std::array<double, 3> times{};
  for (int i = 0; i < 3; ++i) {
    if (!(*it)[i].is_number()) return std::nullopt;
    times[i] = (*it)[i].get<double>();
  }
  return times;
}

json verifiedCamerasOf(const json& record) {
  const auto it = record.find("verified_cameras");
  if (it == record.end() || !it->is_array()) return json::array({0, 1, 2});
  return *it;
}

bool listsCamera(const json& cameras, int camera) {
  for (const json& c : cameras) {
    if (c.is_number_integer() && c.get<int64_t>() == camera) return true;
  }
  return false;
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

// The gates that need no image: the record must be a confirmed probe of this round and
// event, the request must ask for the confirmation, and nothing else may be going on.
bool recordApplies(const Round& round, const json& record, const json& request,
                   const std::array<double, 3>& times) {
  if (round.reviewRequired) return false;
  if (round.decisionWindowStart >= 0.0 &&
      times[0] - round.decisionWindowStart >= kDecisionWindowSeconds) {
    return false;
  }
  if (!record.is_object() || !flagOf(record, "confirmed")) return false;
  if (!flagOf(request, "confirm_transient") || flagOf(request, "hand_seen")) return false;
  if (round.recovery || round.takeout || round.entries.size() >= kRoundEntries) return false;

  const int64_t epoch = readEpoch(request);
  if (integerOf(record, "epoch") != epoch || integerOf(record, "event") != round.eventNumber ||
      integerOf(record, "round") != round.roundNumber) {
    return false;
  }
  const auto it = record.find("captured");
  if (it == record.end() || !it->is_number()) return false;
  const double captured = it->get<double>();
  // A bounce already entered (by the motion-bouncer review or an earlier confirmation) is
  // not entered twice.
  if (!(captured > round.bouncerReviewTime)) return false;
  const double newest = *std::max_element(times.begin(), times.end());
  return newest - captured <= kConfirmWithinSeconds;
}

enum class CameraVerdict { kRefuse, kNeutral, kObjectGone };

// One camera's view of the fresh frame against the transient it saw.
CameraVerdict judgeCamera(const Round& round, int i, const cv::Mat& frame, bool verified,
                          double regionRadiusMm) {
  const Camera& camera = round.cameras[i];
  const cv::Mat& transientMask = round.probeChangeMasks[i];
  if (transientMask.empty() || frame.empty()) return CameraVerdict::kRefuse;

  const cv::Mat grey = toGray(frame);
  if (!flagOf(checkFixedCameraToneMatched(camera.features, grey), "ok")) {
    return CameraVerdict::kRefuse;
  }

  const cv::Size size = transientMask.size();
  const cv::Mat background = toGray(resized(camera.backgroundFrame, size, cv::INTER_AREA));
  const cv::Mat current = toGray(resized(frame, size, cv::INTER_AREA));
  const cv::Mat change = nativeDifferenceMask(background, current);
  const cv::Mat explained =
      dilateMask(resized(camera.referenceChangeMask, size, cv::INTER_NEAREST), 9, false);

  const cv::Mat transientArea = maskAndNot(transientMask, explained);
  const int transientPixels = cv::countNonZero(transientArea);
  const Homography scaled =
      scaleHomography(camera.boardToImage, static_cast<double>(size.width) / frame.cols,
                      static_cast<double>(size.height) / frame.rows);
  const DetectionScale scale(projectedBoardHeight(scaled));
  const int minPixels = std::max(1, static_cast<int>(scale.value() * 80.0 / 400.0));

  CameraVerdict verdict = CameraVerdict::kNeutral;
  if (transientPixels >= minPixels) {
    const int stillSet = overlapCount(transientArea, dilateMask(change, 3, false));
    if (stillSet > kStillThereFraction * transientPixels) return CameraVerdict::kRefuse;
    if (verified) verdict = CameraVerdict::kObjectGone;
  }

  cv::Mat newChange;
  cv::bitwise_and(change, getBoardRegionMask(size, scaled, regionRadiusMm), newChange);
  if (cv::countNonZero(maskAndNot(newChange, explained)) >= minPixels) return CameraVerdict::kRefuse;

  const cv::Mat wholeChange = nativeDifferenceMask(camera.emptyReference, grey);
  const cv::Mat kept = keepComponentsInBoardRegion(wholeChange, camera.boardToImage,
                                                   camera.referenceChangeMask, regionRadiusMm);
  if (cv::countNonZero(kept) > kWholeBoardChangeLimit * static_cast<double>(kept.total())) {
    return CameraVerdict::kRefuse;
  }

  // The darts already in the board must still be where they were.
  const cv::Mat around = dilateMask(wholeChange, 7, false);
  for (const ImageTriple& set : round.knownDartMasks) {
    if (set[i].empty()) continue;
    const cv::Mat dart = resized(set[i], around.size(), cv::INTER_NEAREST);
    const int pixels = cv::countNonZero(dart);
    if (pixels < kDartMaskMinPixels) continue;
    if (overlapCount(dart, around) < kDartRetainedFraction * pixels) return CameraVerdict::kRefuse;
  }
  return verdict;
}

json bouncerEntry(const Round& round, const json& record) {
  json entry = record.value("entry", json::object());
  if (!entry.is_object()) entry = json::object();
  const bool single = flagOf(record, "single_observation");
  entry["id"] = static_cast<uint64_t>(round.entries.size() + 1);
  entry["event"] = round.eventNumber + 1;
  entry["round"] = round.roundNumber;
  entry["field"] = {{"nominal_field", "MISS"},
                    {"selected_field", "MISS"},
                    {"label", "MISS"},
                    {"candidates", json::array({"MISS"})}};
  entry["bouncer"] = true;
  entry["method"] = "TEMPORAL_THREE_CAMERA_BOUNCER";
  entry["bouncer_verified_cameras"] = verifiedCamerasOf(record);
  entry["bouncer_positive_observations"] = single ? 1 : 2;
  return entry;
}

// The confirmed entry, or nothing; reads the round only.
std::optional<json> findBouncer(const Round& round, const json& record, const json& request,
                                const std::vector<cv::Mat>& frames) {
  const std::optional<std::array<double, 3>> times = threeTimesOf(request, "times");
  if (!times || frames.size() < 3) return std::nullopt;
  if (!recordApplies(round, record, request, *times)) return std::nullopt;
  const std::optional<std::array<double, 3>> recordTimes = threeTimesOf(record, "times");
  if (!recordTimes) return std::nullopt;

  const json verified = verifiedCamerasOf(record);
  const double regionRadius = round.boardOnlyScope ? round.boardRadiusMm : missRadiusMm();
  int positive = 0;
  for (int i = 0; i < 3; ++i) {
    if (!((*times)[i] > (*recordTimes)[i])) return std::nullopt;
    switch (judgeCamera(round, i, frames[i], listsCamera(verified, i), regionRadius)) {
      case CameraVerdict::kRefuse:
        return std::nullopt;
      case CameraVerdict::kObjectGone:
        ++positive;
        break;
      case CameraVerdict::kNeutral:
        break;
    }
  }
  if (positive < kPositiveCamerasNeeded) return std::nullopt;
  return bouncerEntry(round, record);
}

}  // namespace

json confirmTransient(Round& round, const json& request, const std::vector<cv::Mat>& frames) {
  const std::optional<json> entry = findBouncer(round, round.pendingTransient, request, frames);
  if (!entry) {
    round.pendingTransient = nullptr;
    return nullptr;
  }

  ImageTriple emptyMasks;
  for (int i = 0; i < 3; ++i) {
    emptyMasks[i] = freshZeroMask(round.cameras[i].emptyReference.size());
  }
  const std::array<double, 3> times = *threeTimesOf(request, "times");
  const double seenGone = *std::max_element(times.begin(), times.end());

  round.pendingTransient = nullptr;
  round.eventNumber += 1;
  round.entries.push_back(*entry);
  round.knownDartMasks.push_back(std::move(emptyMasks));
  round.pendingCandidate = nullptr;
  round.heldEventRecord = nullptr;
  // Every view of this bounce was taken before the frames that show it gone, so a
  // motion-bouncer review of it finds it already counted.
  round.bouncerReviewTime = std::max(round.bouncerReviewTime, seenGone);
  return json{{"status", "DART_CANDIDATE"},
              {"entry", *entry},
              {"reason", "OBSERVED_DART_DISAPPEARED_WITHOUT_HAND"}};
}

}  // namespace tarv
