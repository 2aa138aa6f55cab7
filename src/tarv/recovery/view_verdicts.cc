#include "tarv/recovery/view_verdicts.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include <opencv2/imgproc.hpp>

#include "tarv/core/camera_worker_pool.h"
#include "tarv/views/board_outline_mask.h"
#include "tarv/recovery/change_masks.h"
#include "tarv/recovery/exposure_fit.h"
#include "tarv/recovery/unchanged_view.h"
#include "tarv/views/board_features.h"
#include "tarv/views/image_ops.h"

namespace tarv {
namespace {

constexpr int kMinSupport = 80;
constexpr int kMinOwn = 40;
constexpr double kClearDistance = 4.0;

bool isSet(const json& value, const char* key) {
  const auto it = value.find(key);
  return it != value.end() && it->is_boolean() && it->get<bool>();
}

double numberOr(const json& report, const char* key, double fallback) {
  if (!report.is_object()) return fallback;
  const auto it = report.find(key);
  return it != report.end() && it->is_number() ? it->get<double>() : fallback;
}

std::string verdictOf(const json& detail) {
  if (!detail.is_object()) return "";
  const auto it = detail.find("verdict");
  return it != detail.end() && it->is_string() ? it->get<std::string>() : "";
}

}  // namespace

double measureReferenceDistance(const DistanceContext& context, const cv::Mat& reference,
                                const cv::Mat& matched, cv::Mat& difference) {
  const cv::Mat& frameBox = context.frameBox;
  if (frameBox.empty() || reference.size() != frameBox.size() || context.own.empty() ||
      context.own.size() != frameBox.size() || cv::countNonZero(context.own) == 0) {
    return -1.0;
  }
  const Exposure exposure = fitExposure(reference, frameBox, context.surround, false, 100);
  const double gain = numberOr(exposure.report, "gain", 0.0);
  const double offset = numberOr(exposure.report, "offset", 0.0);
  const double residual = numberOr(exposure.report, "residual_median", 99.0);
  cv::Mat corrected;
  // Looser than the exposure fit's own limits: a local fit round one dart only has to bring
  // the frame near the reference's levels; NaN fails every test.
  if (gain >= 0.2 && gain <= 5.0 && residual <= 8.0 && std::isfinite(offset)) {
    frameBox.convertTo(corrected, CV_8U, 1.0 / gain, -offset / gain);
  } else {
    const cv::Rect whole(0, 0, matched.cols, matched.rows);
    if (matched.empty() || (context.box & whole) != context.box) return -1.0;
    corrected = matched(context.box).clone();
  }
  cv::Mat low;
  cv::Mat high;
  cv::erode(reference, low, context.kernel);
  cv::dilate(reference, high, context.kernel);
  cv::Mat darker;
  cv::Mat brighter;
  cv::subtract(low, corrected, darker);
  cv::subtract(corrected, high, brighter);
  // A clipped pixel cannot show how much darker or brighter it really is.
  darker.setTo(0, frameBox >= 250);
  brighter.setTo(0, frameBox <= 5);
  cv::max(darker, brighter, difference);
  return cv::mean(difference, context.own)[0];
}

bool judgeViewVerdict(const Camera& camera, const cv::Mat& dartMask, const cv::Mat& otherDartsMask,
                      const cv::Mat& frame, const cv::Mat& matchedToEmpty,
                      const cv::Mat& matchedToDart, const cv::Mat& changeMask, json& detail) {
  const int support = dartMask.empty() ? 0 : cv::countNonZero(dartMask);
  detail = {{"support", support}, {"verdict", "NO_VIEW"}};
  if (support < kMinSupport) return false;
  const cv::Size size = dartMask.size();
  if (frame.size() != size || camera.emptyReference.size() != size ||
      camera.dartReference.size() != size) {
    throw std::runtime_error("CAMERA_RESOLUTION_CHANGED");
  }

  const cv::Rect bounds = cv::boundingRect(dartMask);
  const cv::Rect box = cv::Rect(bounds.x - 40, bounds.y - 40, bounds.width + 80, bounds.height + 80) &
                       cv::Rect(0, 0, size.width, size.height);
  const cv::Mat roiMask = dartMask(box) != 0;

  int changed = 0;
  if (!changeMask.empty() && changeMask.size() == size) {
    changed = cv::countNonZero(maskAnd(changeMask(box) != 0, dilateMask(roiMask, 7, false)));
  }
  const int need = std::min(80, std::max(24, cvRound(0.1 * support)));
  detail["changed"] = changed;

  cv::Mat referenceDifference;
  cv::absdiff(camera.emptyReference(box), camera.dartReference(box), referenceDifference);
  const cv::Mat own = maskAnd(thresholdBinary(referenceDifference, 16), roiMask);
  const int ownPixels = cv::countNonZero(own);
  detail["own"] = ownPixels;

  const std::string verdictText = changed >= need ? "CHANGED" : "UNCHANGED";
  detail["verdict"] = verdictText;
  bool result = changed >= need;
  if (ownPixels < kMinOwn) return result;

  cv::Mat regionMask = roiMask.clone();
  if (!otherDartsMask.empty() && otherDartsMask.size() == size) {
    orMaskInPlace(regionMask, otherDartsMask(box) != 0);
  }
  DistanceContext context;
  context.surround = ~dilateMask(regionMask, 9, false);
  context.frameBox = frame(box).clone();
  context.box = box;
  context.kernel = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(3, 3));
  context.own = own;

  cv::Mat diffDart;
  cv::Mat diffEmpty;
  const double distDart =
      measureReferenceDistance(context, camera.dartReference(box).clone(), matchedToDart, diffDart);
  const double distEmpty =
      measureReferenceDistance(context, camera.emptyReference(box).clone(), matchedToEmpty, diffEmpty);
  detail["distance_dart"] = distDart;
  detail["distance_empty"] = distEmpty;
  detail["verdict"] = verdictText;

  if (distDart >= 0.0 && distEmpty >= 0.0 && std::max(distDart, distEmpty) >= kClearDistance) {
    cv::Mat nearerDart;
    cv::subtract(diffEmpty, diffDart, nearerDart);
    const int dartPixels = cv::countNonZero(maskAnd(thresholdBinary(nearerDart, 10), own));
    detail["dart_pixels"] = dartPixels;
    if (distDart > 2.0 * distEmpty && dartPixels < std::max(24, cvRound(0.15 * ownPixels))) {
      detail["verdict"] = "EMPTY_VIEW";
      result = false;
    } else if (distEmpty > 2.0 * distDart) {
      detail["verdict"] = "DART_VIEW";
      result = true;
    }
  }
  return result;
}

std::vector<Verdict> judgeCameraVerdicts(const VerdictInputs& inputs, int camera) {
  const Round& round = *inputs.round;
  const std::size_t darts = round.knownDartMasks.size();
  std::vector<Verdict> verdicts(darts);
  if (darts == 0) return verdicts;
  const Camera& cam = round.cameras[camera];
  const cv::Mat frame = toGray(inputs.greys[camera]);
  const cv::Size size = frame.size();

  const double radius = std::max(175.0, round.boardRadiusMm);
  const cv::Mat board = buildBoardRegionMask(size, cam.boardToImage, radius, 360);
  const cv::Mat matchedToEmpty = matchHistogramToReference(cam.emptyReference, frame, board);
  const cv::Mat matchedToDart = matchHistogramToReference(cam.dartReference, frame, board);
  const cv::Mat changeMask =
      matchedToEmpty.empty() ? cv::Mat() : tolerantDifferenceMask(cam.emptyReference, matchedToEmpty, 24);
  const std::vector<cv::Mat> regions = collectDartRegions(round, inputs.greys, camera);

  cv::Mat others = cv::Mat::zeros(size, CV_8UC1);
  for (const ImageTriple& masks : round.knownDartMasks) {
    const cv::Mat& mask = masks[camera];
    if (!mask.empty() && mask.size() == size) orMaskInPlace(others, mask);
  }

  for (std::size_t i = 0; i < darts && i < regions.size(); ++i) {
    cv::Mat mask = regions[i];
    if (mask.empty() || mask.size() != size) continue;
    if (i < inputs.dartZones.size() && inputs.dartZones[i] == 1) {
      // An on-board dart is judged by its pixels on the board when it has enough of them.
      const cv::Mat clipped = maskAnd(mask, board);
      if (cv::countNonZero(clipped) >= kMinSupport) mask = clipped;
    }
    Verdict& verdict = verdicts[i];
    verdict.viewResult = judgeViewVerdict(cam, mask, others, frame, matchedToEmpty, matchedToDart,
                                          changeMask, verdict.detail);
  }
  return verdicts;
}

void VerdictCache::fill() {
  if (computed_) return;
  computed_ = true;
  auto job = [this](int camera) { return judgeCameraVerdicts(inputs_, camera); };
  verdicts_ = runOnCameraWorkers(job);
}

bool VerdictCache::lookupVerdict(std::size_t dart, int camera, json& detail) {
  fill();
  detail = nullptr;
  const std::vector<Verdict>& list = verdicts_[camera];
  if (dart >= list.size()) return false;
  detail = list[dart].detail;
  return list[dart].viewResult;
}

bool VerdictCache::provesKnownDartsGone() {
  const Round& round = *inputs_.round;
  int proven = 0;
  for (std::size_t i = 0; i < round.knownDartMasks.size(); ++i) {
    int empties = 0;
    int visible = 0;
    for (int c = 0; c < 3; ++c) {
      fill();
      json detail;
      if (i < verdicts_[c].size()) {
        if (verdicts_[c][i].viewResult) return false;
        detail = verdicts_[c][i].detail;
      }
      const cv::Mat& mask = round.knownDartMasks[i][c];
      if (!mask.empty() && cv::countNonZero(mask) >= kMinSupport) ++visible;
      if (verdictOf(detail) == "EMPTY_VIEW") ++empties;
    }
    if (visible > 0) {
      if (empties == 0) return false;
      ++proven;
    }
  }
  return proven > 0;
}

json checkCameraFixedWithExposure(const Round& round, const ImageTriple& greys, int camera) {
  const Camera& cam = round.cameras[camera];
  const cv::Mat frame = toGray(greys[camera]);
  json result = checkFixedCameraToneMatched(cam.features, frame);
  if (isSet(result, "ok")) return result;
  const cv::Mat board = buildBoardRegionMask(frame.size(), cam.boardToImage, 175.0, 360);
  const Exposure exposure = fitExposure(cam.emptyReference, frame, board, true, 1000);
  if (exposure.applied) {
    result = checkFixedCameraToneMatched(cam.features, exposure.image);
    result["exposure_corrected"] = true;
  }
  return result;
}

}  // namespace tarv
