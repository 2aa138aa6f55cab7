#include "tarv/recovery/registered_supports.h"

#include <algorithm>
#include <array>
#include <cmath>

#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

#include "tarv/views/board_outline_mask.h"
#include "tarv/views/components.h"
#include "tarv/views/image_ops.h"

namespace tarv {
namespace {

constexpr int kPresentEdges = 24;
constexpr int kRegistrationEdges = 20;
constexpr int kResidualPixels = 80;
constexpr float kMaxShiftPx = 16.0f;

int countBoth(const cv::Mat& a, const cv::Mat& b) { return cv::countNonZero(maskAnd(a, b)); }

cv::Mat excessBothWays(const cv::Mat& a, const cv::Mat& b) {
  cv::Mat out;
  cv::max(shiftTolerantExcess(a, b, 3), shiftTolerantExcess(b, a, 3), out);
  return out;
}

// Edges of the current image that the reference has nowhere near, where the two really differ.
cv::Mat novelEdges(const cv::Mat& reference, const cv::Mat& current, const cv::Mat& difference) {
  cv::Mat novel = maskAndNot(cannyEdges(current, 40, 100),
                         dilateMask(cannyEdges(reference, 40, 100), 3, false));
  return maskAnd(novel, dilateMask(thresholdBinary(difference, 16), 3, false));
}

cv::Mat warpedBy(const cv::Mat& image, const cv::Mat& warp, int interpolation) {
  cv::Mat out;
  cv::warpAffine(image, out, warp, image.size(), interpolation | cv::WARP_INVERSE_MAP,
                 cv::BORDER_CONSTANT, cv::Scalar(0));
  return out;
}

// The best ECC translation of current onto reference from a few starts; empty when none
// correlates well enough within the shift limit.
cv::Mat bestTranslation(const cv::Mat& reference, const cv::Mat& current) {
  static const std::array<cv::Point2f, 5> starts{
      cv::Point2f(0, 0), cv::Point2f(8, 0), cv::Point2f(-8, 0), cv::Point2f(0, 8),
      cv::Point2f(0, -8)};
  const cv::TermCriteria criteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 40, 1e-4);
  double best = -1.0;
  cv::Mat kept;
  for (const cv::Point2f& start : starts) {
    cv::Mat warp = (cv::Mat_<float>(2, 3) << 1, 0, start.x, 0, 1, start.y);
    double correlation = -1.0;
    try {
      correlation = cv::findTransformECC(reference, current, warp, cv::MOTION_TRANSLATION,
                                         criteria, cv::noArray(), 5);
    } catch (const cv::Exception&) {
      continue;
    }
    const float shift = std::hypot(warp.at<float>(0, 2), warp.at<float>(1, 2));
    if (correlation > best && shift <= kMaxShiftPx) {
      best = correlation;
      kept = warp;
    }
  }
  if (kept.empty() || !(best >= 0.8)) return cv::Mat();
  return kept;
}

}  // namespace

cv::Mat shiftTolerantExcess(const cv::Mat& a, const cv::Mat& b, int k) {
  const int size = std::max(1, k);
  cv::Mat low;
  cv::erode(a, low, cv::Mat::ones(size, size, CV_8UC1));
  cv::Mat above;
  cv::Mat below;
  cv::subtract(b, dilateMask(a, size, false), above);
  cv::subtract(low, b, below);
  cv::Mat out;
  cv::max(above, below, out);
  return out;
}

cv::Mat shiftTolerantChangeMask(const cv::Mat& a, const cv::Mat& b, int k) {
  cv::Mat d;
  cv::max(shiftTolerantExcess(b, a, k), shiftTolerantExcess(a, b, k), d);
  return nativeDifferenceMask(cv::Mat::zeros(d.size(), CV_8UC1), d);
}

std::pair<int, int> registerDartSupport(const cv::Mat& reference, const Exposure& exposure,
                                        const cv::Mat& region, bool countStrong, bool refine) {
  const std::pair<int, int> failed{-1, -1};
  if (region.empty() || region.size() != reference.size() ||
      exposure.image.size() != reference.size()) {
    return failed;
  }
  const cv::Rect box = cv::boundingRect(region);
  if (box.area() == 0) return failed;
  const cv::Rect crop = cv::Rect(box.x - 32, box.y - 32, box.width + 64, box.height + 64) &
                        cv::Rect(0, 0, reference.cols, reference.rows);
  const cv::Mat refCrop = reference(crop).clone();
  const cv::Mat curCrop = exposure.image(crop).clone();
  const cv::Mat regionCrop = region(crop) != 0;

  const cv::Mat warp = bestTranslation(refCrop, curCrop);
  if (warp.empty()) return failed;

  cv::Mat warped = warpedBy(curCrop, warp, cv::INTER_LINEAR);
  if (refine) {
    const Exposure local = fitExposure(refCrop, warped, cv::Mat(), true, 100);
    if (local.applied) warped = local.image;
  }
  // The region must stay inside the part of the crop that the warp has a source for.
  const cv::Mat valid = warpedBy(cv::Mat(crop.size(), CV_8UC1, cv::Scalar(255)), warp, cv::INTER_NEAREST);
  cv::Mat regionBoth;
  cv::bitwise_or(regionCrop, warpedBy(regionCrop, warp, cv::INTER_NEAREST), regionBoth);
  const cv::Mat regionZone = dilateMask(regionBoth, 3, false);
  if (countBoth(regionZone, valid == 0) > 0) return failed;

  cv::Mat difference;
  cv::absdiff(refCrop, warped, difference);
  const cv::Mat novel = novelEdges(refCrop, warped, difference);
  int strong = 0;
  if (countStrong) {
    const cv::Mat d = refine ? excessBothWays(warped, refCrop) : difference;
    strong = countBoth(thresholdBinary(d, 32), regionZone);
  }
  const int edges = std::max(countBoth(novel, regionZone), strong);
  const int residual = countBoth(shiftTolerantChangeMask(refCrop, warped, 3), regionZone);
  return {edges, residual};
}

std::pair<bool, cv::Mat> findRegisteredDartSupports(const cv::Mat& emptyReference,
                                                    const cv::Mat& frame,
                                                    const Homography& boardToImage,
                                                    const std::vector<cv::Mat>& regions,
                                                    const std::vector<int>& zones, json& report,
                                                    double boardRadiusMm) {
  const cv::Mat board =
      buildBoardRegionMask(emptyReference.size(), boardToImage, boardRadiusMm + 5.0, 360);
  const Exposure exposure = fitExposure(emptyReference, frame, board, true, 1000);
  report = {{"exposure", exposure.report}, {"supports", json::array()}};
  if (!exposure.applied) return {false, cv::Mat()};
  const cv::Mat& corrected = exposure.image;

  const cv::Mat change = shiftTolerantChangeMask(emptyReference, corrected, 3);
  const cv::Mat remaining = maskAnd(change, board);
  const int remainingPixels = cv::countNonZero(remaining);
  report["board_remaining_pixels"] = remainingPixels;
  if (remainingPixels >= kResidualPixels) return {false, remaining};

  const cv::Mat novel = novelEdges(emptyReference, corrected, excessBothWays(corrected, emptyReference));
  const cv::Mat zone = dilateMask(board, 15, false);

  for (std::size_t k = 0; k < regions.size(); ++k) {
    const cv::Mat& r = regions[k];
    const int z = k < zones.size() ? zones[k] : -1;
    if (r.empty() || r.size() != emptyReference.size()) continue;
    const cv::Mat region = r != 0;
    cv::Mat working;
    if (z == 1) {
      working = componentsTouching(region, zone);
    } else {
      working = maskAnd(region, zone);
      // A region mostly off the zone is measured whole rather than by its last sliver.
      if (0.2 * cv::countNonZero(region) > cv::countNonZero(working)) working = region;
    }
    const int area = cv::countNonZero(working);
    if (area == 0) continue;

    const cv::Mat near = dilateMask(working, 3, false);
    int edges = countBoth(novel, near);
    int residual = countBoth(change, near);
    bool registered = false;
    if ((z == 0 || z == 2) && (edges >= kRegistrationEdges || residual >= kResidualPixels)) {
      const auto [e, res] = registerDartSupport(emptyReference, exposure, working, z == 2, false);
      if (e >= 0) {
        edges = e;
        residual = res;
        registered = true;
      }
    }
    const bool present = edges >= kPresentEdges || residual >= kResidualPixels;
    const bool strong = residual >= kResidualPixels;
    report["supports"].push_back({{"index", k},
                                  {"area", area},
                                  {"edges", edges},
                                  {"residual", residual},
                                  {"registered", registered},
                                  {"present", present},
                                  {"strong", strong},
                                  {"location", z}});
    if (present && z == 1) return {false, remaining};
  }
  return {true, remaining};
}

}  // namespace tarv
