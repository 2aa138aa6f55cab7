#include "tarv/engine/transient_probe.h"
#include "tarv/core/json_fields.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>

#include <opencv2/imgproc.hpp>

#include "tarv/core/board_projection.h"
#include "tarv/core/engine_values.h"
#include "tarv/detector/throw_evaluation.h"
#include "tarv/engine/request_intake.h"
#include "tarv/views/board_features.h"
#include "tarv/views/components.h"
#include "tarv/views/image_ops.h"

namespace tarv {
namespace {

constexpr double kDefaultFrameInterval = 1.0 / 30.0;
constexpr size_t kRoundEntries = 3;
constexpr int kMinFrameWidth = 160;
constexpr int kMaxFrameWidth = 640;
constexpr int kMinFrameHeight = 100;
constexpr double kScaleTolerance = 0.01;
// A probe triplet with more of its pixels changed is a hand or a change of light.
constexpr double kDisturbedFraction = 0.08;
constexpr int kCamerasNeeded = 2;
// A new dart must mostly lie away from the darts already in the board.
constexpr double kContactOutsideFraction = 0.6;
constexpr double kMatchDistanceMm = 5.0;
constexpr double kSingleObservationUncertaintyMm = 3.0;


json memberOf(const json& object, const char* key) {
  if (!object.is_object()) return nullptr;
  const auto it = object.find(key);
  return it == object.end() ? json() : *it;
}

double frameIntervalOf(const json& request) {
  const json value = memberOf(request, "frame_interval");
  if (value.is_number() && std::isfinite(value.get<double>())) return value.get<double>();
  return kDefaultFrameInterval;
}

// Always new pixels: the probe round's evaluation may write into its images.
cv::Mat resizedCopy(const cv::Mat& image, cv::Size size, int interpolation) {
  if (image.size() == size) return image.clone();
  cv::Mat out;
  cv::resize(image, out, size, 0, 0, interpolation);
  return out;
}

json rejection(Round& round) {
  json reply;
  rejectTransient(round, reply);
  return reply;
}

json rejection(Round& round, const char* reason) {
  json reply = rejection(round);
  reply["reason"] = reason;
  return reply;
}

// Refusals that need no image.
bool mayProbe(const Round& round, const json& request, size_t frameCount) {
  return round.armed && !round.recovery && !round.takeout && round.entries.size() < kRoundEntries &&
         frameCount == 3 && !flagOf(request, "hand_seen");
}

bool timesAcceptable(const Round& round, const std::array<double, 3>& times, double frameInterval) {
  for (double t : times) {
    if (!std::isfinite(t)) return false;
  }
  const auto [oldest, newest] = std::minmax_element(times.begin(), times.end());
  if (*newest - *oldest > std::max(1.1 * frameInterval, 0.06)) return false;
  for (int i = 0; i < 3; ++i) {
    if (!(times[i] > round.lastCaptureTimes[i])) return false;
  }
  return true;
}

// The round's camera reduced to the probe frame's size; nothing when the frame does not fit
// the camera or shows too much change to be about one dart.
std::optional<Camera> probeCamera(const Camera& camera, const cv::Mat& frame, double boardRadiusMm,
                                  double regionRadiusMm) {
  const int w = frame.cols;
  const int h = frame.rows;
  if (w < kMinFrameWidth || w > kMaxFrameWidth || h < kMinFrameHeight) return std::nullopt;
  if (camera.backgroundFrame.empty()) return std::nullopt;
  const double sx = static_cast<double>(w) / camera.backgroundFrame.cols;
  const double sy = static_cast<double>(h) / camera.backgroundFrame.rows;
  if (std::abs(sx - sy) > kScaleTolerance) return std::nullopt;

  Camera probe;
  probe.emptyReferenceColour = resizedCopy(camera.backgroundFrame, frame.size(), cv::INTER_AREA);
  probe.backgroundFrame = probe.emptyReferenceColour;
  probe.emptyReference = toGray(probe.emptyReferenceColour);
  if (probe.emptyReference.data == probe.emptyReferenceColour.data) {
    probe.emptyReference = probe.emptyReference.clone();
  }
  probe.dartReference = probe.emptyReference;
  probe.referenceChangeMask = freshZeroMask(frame.size());
  probe.boardToImage = scaleHomography(camera.boardToImage, sx, sy);
  probe.imageNormal = {camera.imageNormal[0] * sx, camera.imageNormal[1] * sy,
                       camera.imageNormal[2]};
  probe.boardRadiusMm = boardRadiusMm;
  probe.features = collectBoardFeatures(probe.emptyReference, probe.boardToImage);

  const cv::Mat change =
      keepComponentsInBoardRegion(nativeDifferenceMask(probe.emptyReference, toGray(frame)),
                                  probe.boardToImage, cv::Mat(), regionRadiusMm);
  if (cv::countNonZero(change) > kDisturbedFraction * static_cast<double>(change.total())) {
    return std::nullopt;
  }
  return probe;
}

// The new dart lies mostly away from the darts already in the board in this camera.
bool hasContact(const Camera& roundCamera, const Camera& probeCamera, const cv::Mat& dartMask) {
  const DetectionScale scale(projectedBoardHeight(probeCamera.boardToImage));
  const int minOutside = std::max(static_cast<int>(scale.value() * 80.0 / 400.0), 1);
  const cv::Size size = probeCamera.referenceChangeMask.size();
  if (dartMask.empty() || dartMask.size() != size) return false;
  cv::Mat existing;
  cv::resize(roundCamera.referenceChangeMask, existing, size, 0, 0, cv::INTER_NEAREST);
  existing = dilateMask(existing, 9, false);
  cv::Mat outside;
  cv::bitwise_and(dartMask, ~existing, outside);
  const int all = cv::countNonZero(dartMask);
  const int away = cv::countNonZero(outside);
  return away >= minOutside && away >= kContactOutsideFraction * all;
}

bool cameraVerified(const json& crosscheck, const std::string& id) {
  const json detail = memberOf(memberOf(memberOf(crosscheck, "cameras"), id.c_str()), "detail");
  return flagOf(detail, "tip_confirmed") && flagOf(detail, "agrees");
}

double distanceMm(const json& a, const json& b) {
  const Point2 p = pointFromJson(a);
  const Point2 q = pointFromJson(b);
  return std::hypot(p.x - q.x, p.y - q.y);
}

// The earlier observation is of the same dart, seen again by two of the same cameras.
// A malformed earlier record is a failure, not a mismatch.
bool matchesEarlier(const Round& round, const json& earlier, int64_t epoch,
                    const std::array<double, 3>& times, double frameInterval, const json& entry,
                    const json& verified) {
  if (earlier.is_null()) return false;
  const int64_t earlierEpoch = earlier.at("epoch").get<int64_t>();
  const int64_t earlierEvent = earlier.at("event").get<int64_t>();
  const int64_t earlierRound = earlier.at("round").get<int64_t>();
  const double captured = earlier.at("captured").get<double>();
  const json& earlierTimes = earlier.at("times");
  const json& earlierPoint = earlier.at("entry").at("board_xy_nominal_mm");
  const json& earlierVerified = earlier.at("verified_cameras");

  if (earlierEpoch != epoch || earlierEvent != round.eventNumber ||
      earlierRound != round.roundNumber) {
    return false;
  }
  const double newest = *std::max_element(times.begin(), times.end());
  if (newest - captured > std::max(2.5 * frameInterval, 0.15)) return false;
  if (distanceMm(earlierPoint, entry.at("board_xy_nominal_mm")) > kMatchDistanceMm) return false;
  for (int i = 0; i < 3; ++i) {
    if (!(times[i] > earlierTimes.at(i).get<double>())) return false;
  }
  int shared = 0;
  for (const json& camera : verified) {
    if (std::find(earlierVerified.begin(), earlierVerified.end(), camera) !=
        earlierVerified.end()) {
      ++shared;
    }
  }
  return shared >= kCamerasNeeded;
}

bool singleObservationHolds(const json& request, const json& entry) {
  if (!flagOf(request, "single_observation")) return false;
  const json method = memberOf(entry, "method");
  if (method != "THREE_VIEW_LINES" && method != "CAM_PLUS_ONE") return false;
  const json uncertainty = memberOf(entry, "uncertainty_mm");
  const double mm = uncertainty.is_number() ? uncertainty.get<double>() : 1e6;
  return std::isfinite(mm) && mm <= kSingleObservationUncertaintyMm;
}

}  // namespace

void rejectTransient(Round& round, json& reply) {
  round.pendingTransient = nullptr;
  reply = json{{"status", "TRANSIENT_REJECTED"}};
}

json probeTransient(Round& round, const json& request, const std::vector<cv::Mat>& images) {
  return probeTransient(round, request, images, evaluateRoundFrames);
}

namespace {

// A separate round on the probed frames: the round's cameras with the frames as their images.
std::optional<Round> buildProbeRound(const Round& round, const std::vector<cv::Mat>& frames) {
  Round probe;
  probe.armed = true;
  probe.probe = true;
  probe.boardOnlyScope = round.boardOnlyScope;
  probe.boardRadiusMm = round.boardRadiusMm;
  const double regionRadius = round.boardOnlyScope ? round.boardRadiusMm : missRadiusMm();
  for (int i = 0; i < 3; ++i) {
    std::optional<Camera> camera =
        probeCamera(round.cameras[i], frames[i], round.boardRadiusMm, regionRadius);
    if (!camera) return std::nullopt;
    probe.cameras[i] = std::move(*camera);
  }
  return probe;
}

struct CameraFlags {
  std::array<bool, 3> flags{};
  int count = 0;
};

CameraFlags supportingCameras(const json& evaluation) {
  const json viewChecks = memberOf(evaluation, "view_checks");
  CameraFlags out;
  for (int i = 0; i < 3; ++i) {
    out.flags[i] = flagOf(memberOf(viewChecks, cameraIds[i].c_str()), "supported");
    out.count += out.flags[i] ? 1 : 0;
  }
  return out;
}

CameraFlags camerasInContact(const Round& round, const Round& probe, const ImageTriple& dartMasks) {
  CameraFlags out;
  for (int i = 0; i < 3; ++i) {
    out.flags[i] = hasContact(round.cameras[i], probe.cameras[i], dartMasks[i]);
    out.count += out.flags[i] ? 1 : 0;
  }
  return out;
}

json verifiedCameras(const CameraFlags& contact, const CameraFlags& supported, const json& crosscheck) {
  json verified = json::array();
  for (int i = 0; i < 3; ++i) {
    if (contact.flags[i] && supported.flags[i] && cameraVerified(crosscheck, cameraIds[i])) {
      verified.push_back(i);
    }
  }
  return verified;
}

}  // namespace

json probeTransient(Round& round, const json& request, const std::vector<cv::Mat>& images,
                    const ProbeEvaluation& evaluate) {
  const int32_t epoch = readEpoch(request);
  const std::vector<cv::Mat> frames = intakeFrames(round, images);
  if (!mayProbe(round, request, frames.size())) return rejection(round);
  const std::array<double, 3> times = readCaptureTimes(request, TimeFloor::kAnyFinite);
  const double frameInterval = frameIntervalOf(request);
  if (!timesAcceptable(round, times, frameInterval)) return rejection(round);
  const double newest = *std::max_element(times.begin(), times.end());

  std::optional<Round> probe = buildProbeRound(round, frames);
  if (!probe) return rejection(round);
  const json evaluation = evaluate(*probe, frames, newest);
  if (memberOf(evaluation, "status") != "DART_CANDIDATE") {
    json reply = rejection(round, "TRANSIENT_GEOMETRY_NOT_PROVEN");
    reply["observation"] = evaluation;
    return reply;
  }
  const CameraFlags supported = supportingCameras(evaluation);
  if (supported.count < kCamerasNeeded) return rejection(round, "TRANSIENT_CONTACTS_INSUFFICIENT");
  const ImageTriple dartMasks =
      probe->knownDartMasks.empty() ? ImageTriple{} : probe->knownDartMasks.back();
  const CameraFlags contact = camerasInContact(round, *probe, dartMasks);
  if (contact.count < kCamerasNeeded) return rejection(round, "TRANSIENT_OVERLAPS_EXISTING_DART");

  const json crosscheck = memberOf(evaluation, "crosscheck");
  const json verified = verifiedCameras(contact, supported, crosscheck);
  const json agreeing = memberOf(crosscheck, "agreeing_cameras");
  const size_t agreeingCount = agreeing.is_array() ? agreeing.size() : 0;
  if (verified.size() < kCamerasNeeded || agreeingCount < kCamerasNeeded) {
    json reply = rejection(round, "TRANSIENT_LOCAL_EVIDENCE_INSUFFICIENT");
    reply["supported"] = supported.count;
    reply["crosscheck"] = crosscheck;
    return reply;
  }

  const json entry = memberOf(evaluation, "entry");
  const bool matched =
      matchesEarlier(round, round.pendingTransient, epoch, times, frameInterval, entry, verified);
  const bool single = singleObservationHolds(request, entry);
  const bool confirmed = matched || single;

  ImageTriple kept;
  for (int i = 0; i < 3; ++i) kept[i] = dartMasks[i].clone();
  round.pendingTransient = json{{"epoch", epoch},
                                {"event", round.eventNumber},
                                {"round", round.roundNumber},
                                {"captured", newest},
                                {"times", times},
                                {"entry", entry},
                                {"verified_cameras", verified},
                                {"confirmed", confirmed},
                                {"single_observation", single}};
  round.probeChangeMasks = std::move(kept);
  return json{{"status", confirmed ? "TRANSIENT_CONFIRMED" : "TRANSIENT_PENDING"},
              {"positive_observations", single ? 1 : (matched ? 2 : 1)}};
}

}  // namespace tarv
