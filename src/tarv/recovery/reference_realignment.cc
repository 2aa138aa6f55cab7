#include "tarv/recovery/reference_realignment.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

#include "tarv/core/engine_values.h"
#include "tarv/views/board_outline_mask.h"
#include "tarv/recovery/camera_movement.h"
#include "tarv/views/board_features.h"
#include "tarv/views/image_ops.h"

namespace tarv {
namespace {

constexpr double kMinCorrelation = 0.995;
constexpr double kMaxBoardShiftPx = 4.0;
constexpr double kMaxLinearChange = 0.015;
constexpr int kMinCorners = 60;
constexpr double kTrackedShare = 0.8;
constexpr int kMinDirections = 6;
constexpr double kMaxResidualPx = 1.0;

Homography affineAsHomography(const cv::Mat& affine) {
  Homography m{};
  for (int r = 0; r < 2; ++r)
    for (int c = 0; c < 3; ++c) m[r * 3 + c] = affine.at<float>(r, c);
  m[8] = 1.0;
  return m;
}

bool nearTranslation(const Homography& m) {
  for (double v : m)
    if (!std::isfinite(v)) return false;
  return std::abs(m[0] - 1.0) <= kMaxLinearChange && std::abs(m[4] - 1.0) <= kMaxLinearChange &&
         std::abs(m[1]) <= kMaxLinearChange && std::abs(m[3]) <= kMaxLinearChange;
}

Homography product(const Homography& a, const Homography& b) {
  const cv::Matx33d m = cv::Matx33d(a.data()) * cv::Matx33d(b.data());
  Homography out{};
  for (int i = 0; i < 9; ++i) out[i] = m.val[i];
  return out;
}

}  // namespace

bool estimateBoardShift(BoardShiftContext& context, const cv::Mat& image) {
  json& report = *context.report;
  const Homography& h = context.camera->boardToImage;
  context.affine = cv::Mat::eye(2, 3, CV_32F);
  double correlation = 0.0;
  try {
    correlation = cv::findTransformECC(
        context.reference, image, context.affine, cv::MOTION_AFFINE,
        cv::TermCriteria(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 60, 1e-4), context.mask, 5);
  } catch (const std::exception&) {
    return false;
  }
  const Homography m = affineAsHomography(context.affine);
  context.transform = m;

  double maxShift = 0.0;
  for (const Point2& p : circlePoints(175.0, 100)) {
    const Point2 q = applyHomography(h, p);
    const Point2 moved = applyHomography(m, q);
    maxShift = std::max(maxShift, std::hypot(moved.x - q.x, moved.y - q.y));
  }
  report["correlation"] = correlation;
  report["max_board_shift_px"] = maxShift;
  if (!std::isfinite(correlation) || correlation < kMinCorrelation || !nearTranslation(m) ||
      !(maxShift <= kMaxBoardShiftPx)) {
    return false;
  }

  const std::vector<cv::Point2f> corners = detectBoardCorners(context.reference, context.mask);
  if (static_cast<int>(corners.size()) < kMinCorners) return false;
  const CornerTracks tracks = trackCornersBothWays(context.reference, image, corners, {});
  std::vector<cv::Point2f> expected;
  expected.reserve(corners.size());
  for (const cv::Point2f& p : corners) {
    const Point2 q = applyHomography(m, {p.x, p.y});
    expected.emplace_back(static_cast<float>(q.x), static_cast<float>(q.y));
  }
  const TrackAgreement agreement = measureTrackAgreement(tracks, corners, expected, h);
  const int tracked = static_cast<int>(agreement.residuals.size());
  report["tracked"] = tracked;
  return tracked >= kMinCorners && tracked >= kTrackedShare * static_cast<double>(corners.size()) &&
         agreement.directions >= kMinDirections &&
         percentile(agreement.residuals, 95.0) <= kMaxResidualPx;
}

bool realignReferenceImages(Camera& camera, const cv::Mat& frame, json& report) {
  const cv::Mat reference = camera.emptyReference;
  const cv::Mat current = frame.empty() ? cv::Mat() : toGray(frame);
  report = json{{"accepted", false}};
  if (reference.empty() || current.empty() || reference.size() != current.size()) return false;

  BoardShiftContext context;
  context.reference = reference;
  context.mask = buildBoardRegionMask(reference.size(), camera.boardToImage, 165.0, 360);
  context.camera = &camera;
  context.report = &report;

  bool ok = estimateBoardShift(context, current);
  if (!ok) {
    cv::Mat matched;
    if (hasToneDifference(reference, current, context.mask)) {
      matched = matchHistogramToReference(reference, current, context.mask);
    }
    if (!matched.empty() && cv::norm(current, matched, cv::NORM_INF) > 6.0) {
      ok = estimateBoardShift(context, matched);
      report["tone_matched"] = true;
    }
  }
  if (!ok) return false;

  // New images throughout: copies of the round may still hold the old ones.
  const cv::Mat& source = camera.emptyReferenceColour.empty() ? reference : camera.emptyReferenceColour;
  cv::Mat warped;
  cv::warpAffine(source, warped, context.affine, reference.size(),
                 cv::INTER_LINEAR, cv::BORDER_REPLICATE);
  camera.emptyReferenceColour = warped;
  camera.backgroundFrame = warped;
  camera.emptyReference = warped.channels() > 1 ? toGray(warped) : warped;
  camera.dartReference = camera.emptyReference;
  camera.referenceChangeMask = freshZeroMask(reference.size());
  camera.residualMask.release();
  camera.reducedReferences = {};

  const Homography& m = context.transform;
  camera.boardToImage = product(m, camera.boardToImage);
  const cv::Vec3d p = cv::Matx33d(m.data()) *
                      cv::Vec3d(camera.imageNormal[0], camera.imageNormal[1], camera.imageNormal[2]);
  camera.imageNormal = {p[0], p[1], p[2]};
  camera.features = BoardFeatures{};
  camera.features = collectBoardFeatures(camera.emptyReference, camera.boardToImage);

  report["accepted"] = true;
  report["transform"] = matrix3x3ToJson(m);
  return true;
}

}  // namespace tarv
