#include "tarv/recovery/calibration_transfer.h"

#include <cmath>
#include <stdexcept>
#include <vector>

#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

#include "tarv/views/board_outline_mask.h"
#include "tarv/recovery/camera_movement.h"
#include "tarv/recovery/exposure_fit.h"
#include "tarv/views/image_ops.h"

namespace tarv {
namespace {

constexpr double kTrustedCorrelation = 0.98;
constexpr double kMaxShiftPx = 4.0;
constexpr double kOutlierShare = 0.03;
constexpr int kMinCorners = 60;

bool residualChangeIsSmall(const cv::Mat& oldGrey, const cv::Mat& corrected) {
  cv::Mat difference;
  cv::absdiff(oldGrey, corrected, difference);
  return cv::countNonZero(thresholdBinary(medianBlurred(difference, 5), 16)) < 80;
}

Exposure exposureOf(const cv::Mat& oldGrey, const cv::Mat& newGrey) {
  return fitExposure(oldGrey, newGrey, cv::Mat(), false, 1000);
}

}  // namespace

EccShift measureTranslationEcc(const cv::Mat& a, const cv::Mat& b) {
  EccShift result;
  cv::Scalar meanA, stdA, meanB, stdB;
  cv::meanStdDev(a, meanA, stdA);
  cv::meanStdDev(b, meanB, stdB);
  if (std::min(a.rows, a.cols) <= 16 || std::min(stdA[0], stdB[0]) < 5.0) return result;

  cv::Mat warp = cv::Mat::eye(2, 3, CV_32F);
  cv::Mat mask = cv::Mat::zeros(a.size(), CV_8UC1);
  mask(cv::Rect(8, 8, a.cols - 16, a.rows - 16)).setTo(255);
  double correlation = 0.0;
  try {
    correlation = cv::findTransformECC(
        a, b, warp, cv::MOTION_TRANSLATION,
        cv::TermCriteria(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 100, 1e-4), mask, 5);
  } catch (const std::exception&) {
    return result;
  }
  const double dx = warp.at<float>(0, 2);
  const double dy = warp.at<float>(1, 2);
  result.correlation = correlation;
  result.dx = dx;
  result.dy = dy;
  if (!std::isfinite(correlation) || std::hypot(dx, dy) > kMaxShiftPx || correlation < 0.75) {
    return result;
  }

  cv::Mat warpedB, valid;
  cv::warpAffine(b, warpedB, warp, a.size(), cv::INTER_LINEAR | cv::WARP_INVERSE_MAP,
                 cv::BORDER_CONSTANT, cv::Scalar(0));
  cv::warpAffine(cv::Mat::ones(b.size(), CV_8UC1), valid, warp, a.size(),
                 cv::INTER_NEAREST | cv::WARP_INVERSE_MAP, cv::BORDER_CONSTANT, cv::Scalar(0));
  std::vector<double> residuals;
  for (int y = 0; y < a.rows; ++y) {
    const uchar* pa = a.ptr<uchar>(y);
    const uchar* pb = warpedB.ptr<uchar>(y);
    const uchar* pv = valid.ptr<uchar>(y);
    const uchar* pm = mask.ptr<uchar>(y);
    for (int x = 0; x < a.cols; ++x) {
      if (pv[x] && pm[x]) residuals.push_back(static_cast<double>(pb[x]) - pa[x]);
    }
  }
  const double median = percentile(residuals, 50.0);
  size_t outliers = 0;
  for (double r : residuals) outliers += std::abs(r - median) > 20.0;
  result.outlierFraction = residuals.empty() ? 1.0 : static_cast<double>(outliers) / residuals.size();
  result.ok = std::abs(median) <= 25.0 && result.outlierFraction <= 0.15;
  return result;
}

bool trackBoardFeatures(const cv::Mat& reference, const cv::Mat& image, const Homography& h,
                        cv::Point2d translation) {
  const cv::Mat mask = buildBoardRegionMask(reference.size(), h, 165.0, 180);
  const std::vector<cv::Point2f> corners = detectBoardCorners(reference, mask);
  if (static_cast<int>(corners.size()) < kMinCorners) return false;
  const CornerTracks tracks = trackCornersBothWays(reference, image, corners, {});
  std::vector<cv::Point2f> expected;
  expected.reserve(corners.size());
  const cv::Point2f shift(static_cast<float>(translation.x), static_cast<float>(translation.y));
  for (const cv::Point2f& p : corners) expected.push_back(p + shift);
  const TrackAgreement agreement = measureTrackAgreement(tracks, corners, expected, h);
  const double good = static_cast<double>(agreement.residuals.size());
  return good >= kMinCorners && good >= 0.8 * corners.size() && agreement.directions >= 6 &&
         percentile(agreement.residuals, 95.0) <= 1.25;
}

bool checkBoardStructure(const cv::Mat& oldGrey, const cv::Mat& newGrey, const Homography& h,
                         cv::Point2d t) {
  if (!std::isfinite(t.x) || !std::isfinite(t.y) || std::hypot(t.x, t.y) > kMaxShiftPx) return false;
  if (trackBoardFeatures(oldGrey, newGrey, h, t)) return true;
  const Exposure exposure = exposureOf(oldGrey, newGrey);
  return exposure.applied && trackBoardFeatures(oldGrey, exposure.image, h, t);
}

Homography transferCalibrationToReference(const cv::Mat& oldReference, const cv::Mat& newReference,
                                          const Homography& h) {
  const cv::Mat oldGrey = toGray(oldReference);
  const cv::Mat newGrey = toGray(newReference);
  if (oldGrey.size() != newGrey.size()) {
    throw std::runtime_error("CALIBRATION_REFERENCE_RESOLUTION_CHANGED");
  }

  const EccShift first = measureTranslationEcc(oldGrey, newGrey);
  cv::Point2d translation;
  double outliers = 1.0;
  if (first.ok && first.correlation >= kTrustedCorrelation) {
    translation = {first.dx, first.dy};
    outliers = first.outlierFraction;
  } else {
    // A change of light between the references can defeat the first look.
    const Exposure exposure = exposureOf(oldGrey, newGrey);
    const EccShift second = measureTranslationEcc(oldGrey, exposure.image);
    const bool tracked = exposure.applied && second.ok && second.correlation >= kTrustedCorrelation &&
                         residualChangeIsSmall(oldGrey, exposure.image) &&
                         trackBoardFeatures(oldGrey, newGrey, h, {second.dx, second.dy});
    if (!tracked) {
      const EccShift& chosen = second.correlation > 0.0 ? second : first;
      translation = {chosen.dx, chosen.dy};
      if (!checkBoardStructure(oldGrey, newGrey, h, translation)) {
        throw std::runtime_error("CALIBRATION_TRANSFER_REJECTED");
      }
      outliers = 0.0;  // the structure check has already decided
    } else {
      translation = {second.dx, second.dy};
      outliers = second.outlierFraction;
    }
  }
  if (outliers > kOutlierShare && !checkBoardStructure(oldGrey, newGrey, h, translation)) {
    throw std::runtime_error("CALIBRATION_BOARD_STRUCTURE_REJECTED");
  }

  const cv::Matx33d t(1, 0, translation.x, 0, 1, translation.y, 0, 0, 1);
  const cv::Matx33d moved = t * cv::Matx33d(h.data());
  Homography out{};
  for (int i = 0; i < 9; ++i) out[i] = moved.val[i];
  return out;
}

}  // namespace tarv
