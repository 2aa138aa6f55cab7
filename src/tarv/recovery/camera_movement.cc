#include "tarv/recovery/camera_movement.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>

#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

#include "tarv/core/engine_values.h"
#include "tarv/views/board_outline_mask.h"
#include "tarv/views/board_features.h"
#include "tarv/views/image_ops.h"

namespace tarv {
namespace {

constexpr int kMinCorners = 60;
constexpr double kCoarseTrackShare = 0.4;
constexpr double kVerifiedShare = 0.6;
constexpr int kMinDirections = 6;

Homography inverseOf(const Homography& h) {
  const cv::Matx33d m(h.data());
  const cv::Matx33d inv = m.inv();
  Homography out{};
  for (int i = 0; i < 9; ++i) out[i] = inv.val[i];
  return out;
}

cv::Point2f project(const Homography& h, cv::Point2f p) {
  const Point2 q = applyHomography(h, {p.x, p.y});
  return {static_cast<float>(q.x), static_cast<float>(q.y)};
}

double distance(Point2 a, Point2 b) { return std::hypot(a.x - b.x, a.y - b.y); }

cv::Mat halfSize(const cv::Mat& grey) {
  cv::Mat out;
  cv::resize(grey, out, cv::Size(), 0.5, 0.5, cv::INTER_AREA);
  return out;
}

// Shift of the board between the half-size images, by phase correlation.
cv::Point2d coarseShift(const cv::Mat& refHalf, const cv::Mat& curHalf, double& response) {
  cv::Mat a, b, window;
  refHalf.convertTo(a, CV_32F);
  curHalf.convertTo(b, CV_32F);
  cv::createHanningWindow(window, a.size(), CV_32F);
  return cv::phaseCorrelate(a, b, window, &response);
}

// ECC homography at half resolution, returned at full resolution; false when it failed.
bool refineByEcc(const cv::Mat& refHalf, const cv::Mat& curHalf, const cv::Mat& maskHalf,
                 cv::Point2d halfShift, cv::Matx33d& fullTransform, double& correlation) {
  cv::Mat warp = (cv::Mat_<float>(3, 3) << 1, 0, static_cast<float>(halfShift.x), 0, 1,
                  static_cast<float>(halfShift.y), 0, 0, 1);
  try {
    correlation = cv::findTransformECC(
        refHalf, curHalf, warp, cv::MOTION_HOMOGRAPHY,
        cv::TermCriteria(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 120, 1e-5), maskHalf, 5);
  } catch (const std::exception&) {
    return false;
  }
  cv::Matx33d w;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) w(r, c) = warp.at<float>(r, c);
  fullTransform = cv::Matx33d::diag({2.0, 2.0, 1.0}) * w * cv::Matx33d::diag({0.5, 0.5, 1.0});
  return true;
}

Homography toHomography(const cv::Matx33d& m) {
  Homography h{};
  for (int i = 0; i < 9; ++i) h[i] = m.val[i];
  return h;
}

}  // namespace

std::vector<cv::Point2f> detectBoardCorners(const cv::Mat& grey, const cv::Mat& mask) {
  std::vector<cv::Point2f> corners;
  cv::goodFeaturesToTrack(grey, corners, 250, 0.015, 12.0, mask, 3, false, 0.04);
  return corners;
}

CornerTracks trackCornersBothWays(const cv::Mat& reference, const cv::Mat& image,
                                  const std::vector<cv::Point2f>& corners,
                                  const CornerTrackingOptions& options) {
  CornerTracks out;
  out.consistent.assign(corners.size(), false);
  if (corners.empty()) return out;
  const cv::Size window(21, 21);
  const int levels = 3;
  const cv::TermCriteria stop(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 30, 0.01);

  std::vector<uchar> forwardFound, backFound;
  std::vector<float> forwardError, backError;
  int forwardFlags = 0;
  if (!options.initial.empty()) {
    out.tracked = options.initial;
    forwardFlags = cv::OPTFLOW_USE_INITIAL_FLOW;
  }
  cv::calcOpticalFlowPyrLK(reference, image, corners, out.tracked, forwardFound, forwardError,
                           window, levels, stop, forwardFlags, 1e-4);
  std::vector<cv::Point2f> back;
  int backFlags = 0;
  if (options.backFromCorners) {
    back = corners;
    backFlags = cv::OPTFLOW_USE_INITIAL_FLOW;
  }
  cv::calcOpticalFlowPyrLK(image, reference, out.tracked, back, backFound, backError, window,
                           levels, stop, backFlags, 1e-4);
  for (size_t i = 0; i < corners.size(); ++i) {
    const cv::Point2f t = out.tracked[i];
    const bool ok = forwardFound[i] && backFound[i] && std::isfinite(t.x) && std::isfinite(t.y) &&
                    std::hypot(back[i].x - corners[i].x, back[i].y - corners[i].y) < 0.5 &&
                    forwardError[i] < options.maxForwardError;
    out.consistent[i] = ok;
    out.consistentCount += ok;
  }
  return out;
}

TrackAgreement measureTrackAgreement(const CornerTracks& tracks,
                                     const std::vector<cv::Point2f>& corners,
                                     const std::vector<cv::Point2f>& expected,
                                     const Homography& boardToImage) {
  TrackAgreement out;
  const Homography imageToBoard = inverseOf(boardToImage);
  std::array<int, 8> sectors{};
  for (size_t i = 0; i < corners.size(); ++i) {
    if (!tracks.consistent[i]) continue;
    out.residuals.push_back(std::hypot(tracks.tracked[i].x - expected[i].x,
                                       tracks.tracked[i].y - expected[i].y));
    const Point2 board = applyHomography(imageToBoard, {corners[i].x, corners[i].y});
    const double angle = std::atan2(board.y, board.x);
    const int sector = static_cast<int>(std::floor((angle + CV_PI) / (CV_PI / 4.0)));
    sectors[((sector % 8) + 8) % 8] += 1;
  }
  out.directions = static_cast<int>(std::count_if(sectors.begin(), sectors.end(),
                                                  [](int n) { return n >= 3; }));
  return out;
}

bool hasToneDifference(const cv::Mat& reference, const cv::Mat& current, const cv::Mat& mask) {
  if (reference.empty() || reference.size() != current.size() || reference.type() != CV_8UC1 ||
      current.type() != CV_8UC1) {
    return false;
  }
  const bool masked = !mask.empty() && mask.size() == reference.size();
  std::vector<int> samples;
  for (int y = 0; y < reference.rows; y += 4) {
    const uchar* r = reference.ptr<uchar>(y);
    const uchar* c = current.ptr<uchar>(y);
    const uchar* m = masked ? mask.ptr<uchar>(y) : nullptr;
    for (int x = 0; x < reference.cols; x += 4) {
      if (m && m[x] == 0) continue;
      samples.push_back(std::abs(static_cast<int>(c[x]) - static_cast<int>(r[x])));
    }
  }
  if (samples.size() < 500) return false;
  const size_t middle = samples.size() / 2;
  std::nth_element(samples.begin(), samples.begin() + middle, samples.end());
  return samples[middle] >= 5;
}

namespace {

// The whole-image shift between the half-size images by phase correlation, at full size.
cv::Point2f measureCoarseShift(const cv::Mat& refHalf, const cv::Mat& curHalf, cv::Point2d& half,
                               json& report) {
  double response = 0.0;
  half = coarseShift(refHalf, curHalf, response);
  const cv::Point2f coarse(static_cast<float>(2.0 * half.x), static_cast<float>(2.0 * half.y));
  report["coarse_shift_px"] = {coarse.x, coarse.y};
  report["coarse_response"] = response;
  return coarse;
}

// Enough corners are tracked both ways, from the coarse shift first; a wrong peak of the
// correlation falls back to no shift.
bool cornersFollowCoarseShift(const cv::Mat& reference, const cv::Mat& current,
                              const std::vector<cv::Point2f>& corners, cv::Point2f coarse,
                              json& report) {
  const int n = static_cast<int>(corners.size());
  int best = 0;
  for (const cv::Point2f d : {coarse, cv::Point2f(0.0f, 0.0f)}) {
    CornerTrackingOptions options;
    options.backFromCorners = true;
    options.maxForwardError = 30.0;
    for (const cv::Point2f& p : corners) options.initial.push_back(p + d);
    best = std::max(best, trackCornersBothWays(reference, current, corners, options).consistentCount);
    if (best >= kCoarseTrackShare * n || (d.x == 0.0f && d.y == 0.0f)) break;
  }
  report["features"] = n;
  report["features_seen"] = best;
  if (best < kCoarseTrackShare * n) {
    report["reason"] = "FEATURES_LOST";
    return false;
  }
  return true;
}

// The shift refined to a homography by ECC on the board region of the half-size images.
std::optional<Homography> refineShiftByEcc(const cv::Mat& refHalf, const cv::Mat& curHalf,
                                           const Homography& h, cv::Point2d half, json& report) {
  const Homography sh = scaleHomography(h, 0.5, 0.5);
  const cv::Mat maskHalf = buildBoardRegionMask(refHalf.size(), sh, 172.0, 360);
  cv::Matx33d t;
  double correlation = 0.0;
  if (!refineByEcc(refHalf, curHalf, maskHalf, half, t, correlation)) {
    report["reason"] = "ECC_FAILED";
    return std::nullopt;
  }
  report["correlation"] = correlation;
  bool finite = true;
  for (double v : t.val) finite = finite && std::isfinite(v);
  if (!std::isfinite(correlation) || correlation < 0.9 || !finite || std::abs(t(2, 2)) < 1e-9) {
    report["reason"] = "ECC_WEAK";
    return std::nullopt;
  }
  t *= 1.0 / t(2, 2);
  return toHomography(t);
}

// The outer ring must move like a board that was nudged, not like one that jumped or zoomed.
bool movesLikeANudgedBoard(const Homography& h, const Homography& tr, int imageWidth,
                           double movementLimit, json& report) {
  const Point2 centre = applyHomography(h, {0.0, 0.0});
  const Point2 centreMoved = applyHomography(tr, centre);
  double sumBefore = 0.0, sumAfter = 0.0, maxShift = 0.0;
  for (const Point2& p : circlePoints(170.0, 36)) {
    const Point2 q = applyHomography(h, p);
    const Point2 moved = applyHomography(tr, q);
    sumBefore += distance(q, centre);
    sumAfter += distance(moved, centreMoved);
    maxShift = std::max(maxShift, distance(moved, q));
  }
  report["board_shift_px"] = distance(centreMoved, centre);
  report["max_ring_shift_px"] = maxShift;
  report["scale_ratio"] = sumAfter / std::max(sumBefore, 1e-9);
  if (maxShift < movementLimit) {
    report["reason"] = "NO_MOVEMENT";
    return false;
  }
  // A ring that collapsed to a point gives no ratio at all; that is no plausible movement.
  const double ratio = sumBefore > 0.0 ? sumAfter / sumBefore : 0.0;
  if (!std::isfinite(maxShift) || !std::isfinite(ratio) || ratio <= 0.0 ||
      maxShift > 0.3 * imageWidth || ratio < 0.9 || ratio > 1.1) {
    report["reason"] = "IMPLAUSIBLE_MOVEMENT";
    return false;
  }
  return true;
}

// The corners tracked from where the transform puts them agree with it, in every direction.
bool cornersConfirmTransform(const cv::Mat& reference, const cv::Mat& current,
                             const std::vector<cv::Point2f>& corners, const Homography& h,
                             const Homography& tr, double residualLimit, json& report) {
  const int n = static_cast<int>(corners.size());
  std::vector<cv::Point2f> predicted;
  predicted.reserve(corners.size());
  for (const cv::Point2f& p : corners) predicted.push_back(project(tr, p));
  CornerTrackingOptions options;
  options.initial = predicted;
  options.backFromCorners = true;
  options.maxForwardError = 30.0;
  const CornerTracks tracks = trackCornersBothWays(reference, current, corners, options);
  const TrackAgreement agreement = measureTrackAgreement(tracks, corners, predicted, h);
  const int tracked = static_cast<int>(agreement.residuals.size());
  report["features"] = n;
  report["tracked"] = tracked;
  report["directions"] = agreement.directions;
  const double p95 = percentile(agreement.residuals, 95.0);
  report["residual_p95_px"] = tracked > 0 ? json(p95) : json(nullptr);
  return tracked >= kMinCorners && tracked >= kVerifiedShare * n &&
         agreement.directions >= kMinDirections && p95 <= residualLimit;
}

}  // namespace

bool measureCameraShift(const Camera& camera, const cv::Mat& reference, const cv::Mat& current,
                        Homography& transform, json& report, double movementLimit,
                        double residualLimit) {
  const Homography& h = camera.boardToImage;
  // Too small to hold a board's worth of corners 12 px apart, and too small to halve.
  if (std::min(reference.rows, reference.cols) < 16) {
    report["reason"] = "FEW_BOARD_FEATURES";
    return false;
  }
  const cv::Mat refHalf = halfSize(reference);
  const cv::Mat curHalf = halfSize(current);
  cv::Point2d half;
  const cv::Point2f coarse = measureCoarseShift(refHalf, curHalf, half, report);

  const cv::Mat mask = buildBoardRegionMask(reference.size(), h, 165.0, 360);
  const std::vector<cv::Point2f> corners = detectBoardCorners(reference, mask);
  if (static_cast<int>(corners.size()) < kMinCorners) {
    report["reason"] = "FEW_BOARD_FEATURES";
    return false;
  }
  if (!cornersFollowCoarseShift(reference, current, corners, coarse, report)) return false;

  const std::optional<Homography> tr = refineShiftByEcc(refHalf, curHalf, h, half, report);
  if (!tr || !movesLikeANudgedBoard(h, *tr, reference.cols, movementLimit, report)) return false;
  if (!cornersConfirmTransform(reference, current, corners, h, *tr, residualLimit, report)) {
    report["reason"] = "FEATURES_DISAGREE";
    return false;
  }
  transform = *tr;
  report["accepted"] = true;
  report["transform"] = matrix3x3ToJson(*tr);
  return true;
}

bool measureRealignment(const Camera& camera, const cv::Mat& frame, Homography& transform,
                        json& report, double movementLimit, double residualLimit) {
  report = json{{"accepted", false}};
  const cv::Mat reference = camera.emptyReference;
  const cv::Mat current = frame.empty() ? cv::Mat() : toGray(frame);
  if (reference.empty() || current.empty() || reference.size() != current.size()) {
    report["reason"] = "SIZE";
    return false;
  }
  if (measureCameraShift(camera, reference, current, transform, report, movementLimit,
                         residualLimit)) {
    return true;
  }

  // Only failures that a change of light can explain are worth a tone-matched retry.
  const auto reason = report.find("reason");
  const std::string why = reason != report.end() && reason->is_string() ? reason->get<std::string>() : "";
  if (why != "FEATURES_DISAGREE" && why != "ECC_WEAK" && why != "ECC_FAILED" &&
      why != "FEATURES_LOST") {
    return false;
  }
  const cv::Mat mask = buildBoardRegionMask(reference.size(), camera.boardToImage, 172.0, 360);
  if (!hasToneDifference(reference, current, mask)) return false;
  const cv::Mat matched = matchHistogramToReference(reference, current, mask);
  if (matched.empty()) return false;
  if (cv::norm(current, matched, cv::NORM_INF) <= 6.0) return false;

  json retry{{"accepted", false}};
  const bool accepted = measureCameraShift(camera, reference, matched, transform, retry,
                                           movementLimit, residualLimit);
  retry["tone_matched"] = true;
  report = std::move(retry);
  return accepted;
}

}  // namespace tarv
