#include "tarv/views/board_features.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

namespace tarv {
namespace {

constexpr int kReducedWidth = 320;
constexpr int kMinFeatures = 20;
// A board that moved by more than this many full-image pixels is not where it was.
constexpr double kFixedShiftLimitPx = 1.5;

cv::Mat reduced(const cv::Mat& grey) {
  const double scale = static_cast<double>(kReducedWidth) / grey.cols;
  const int height = std::max(1, static_cast<int>(std::lround(grey.rows * scale)));
  cv::Mat out;
  cv::resize(grey, out, cv::Size(kReducedWidth, height), 0, 0, cv::INTER_AREA);
  return out;
}

json trackFeatures(const BoardFeatures& features, const cv::Mat& current) {
  std::vector<cv::Point2f> moved;
  std::vector<uchar> found;
  std::vector<float> error;
  cv::calcOpticalFlowPyrLK(features.grey, current, features.points, moved, found, error,
                           cv::Size(15, 15), 2,
                           cv::TermCriteria(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 20, 0.03));
  std::vector<double> shifts;
  for (size_t i = 0; i < moved.size(); ++i) {
    if (!found[i]) continue;
    shifts.push_back(std::hypot(moved[i].x - features.points[i].x, moved[i].y - features.points[i].y));
  }
  const int tracked = static_cast<int>(shifts.size());
  const double shift = percentile(shifts, 50.0) * features.scale;
  const bool ok = tracked >= kMinFeatures && shift <= kFixedShiftLimitPx;
  return {{"ok", ok},
          {"features", static_cast<int>(features.points.size())},
          {"tracked", tracked},
          {"median_shift_px", roundTo(shift, 2)},
          {"limit_px", kFixedShiftLimitPx},
          {"reason", ok ? "BOARD_FIXED" : (tracked < kMinFeatures ? "BOARD_FEATURES_LOST" : "BOARD_MOVED")}};
}

}  // namespace

BoardFeatures collectBoardFeatures(const cv::Mat& grey, const Homography& boardToImage) {
  BoardFeatures features;
  if (grey.empty()) return features;
  features.grey = reduced(grey);
  features.scale = static_cast<double>(grey.cols) / kReducedWidth;
  const Homography h = scaleHomography(boardToImage, 1.0 / features.scale, 1.0 / features.scale);
  const cv::Mat region = getBoardRegionMask(features.grey.size(), h, 165.0);
  cv::goodFeaturesToTrack(features.grey, features.points, 100, 0.03, 9, region);
  return features;
}

json checkFixedCameraToneMatched(const BoardFeatures& features, const cv::Mat& grey) {
  if (features.points.size() < static_cast<size_t>(kMinFeatures) || features.grey.empty() ||
      grey.empty()) {
    return {{"ok", false}, {"reason", "INSUFFICIENT_BOARD_FEATURES"},
            {"features", static_cast<int>(features.points.size())}};
  }
  if (std::lround(grey.cols / features.scale) != kReducedWidth) {
    return {{"ok", false}, {"reason", "CAMERA_RESOLUTION_CHANGED"}};
  }
  const cv::Mat current = reduced(grey);
  if (current.size() != features.grey.size()) return {{"ok", false}, {"reason", "CAMERA_RESOLUTION_CHANGED"}};
  json report = trackFeatures(features, current);
  report["tone_matched"] = false;
  if (report["ok"].get<bool>()) return report;
  // A change of light can defeat the tracker where the board did not move.
  const cv::Mat matched = matchHistogramToReference(features.grey, current);
  if (matched.empty()) return report;
  json retried = trackFeatures(features, matched);
  retried["tone_matched"] = true;
  return retried["ok"].get<bool>() ? retried : report;
}

bool buildHistogramMatchingLut(const cv::Mat& image, const cv::Mat& reference, const cv::Mat& mask,
                               cv::Mat& table) {
  if (image.empty() || image.size() != reference.size() || image.type() != CV_8UC1 ||
      reference.type() != CV_8UC1 || (!mask.empty() && mask.size() != image.size())) {
    return false;
  }
  double imageCount[256] = {0};
  double referenceCount[256] = {0};
  int samples = 0;
  for (int y = 0; y < image.rows; y += 2) {
    const uchar* a = image.ptr<uchar>(y);
    const uchar* b = reference.ptr<uchar>(y);
    const uchar* m = mask.empty() ? nullptr : mask.ptr<uchar>(y);
    for (int x = 0; x < image.cols; x += 2) {
      if (m && !m[x]) continue;
      ++imageCount[a[x]];
      ++referenceCount[b[x]];
      ++samples;
    }
  }
  if (samples < 2000) return false;
  table.create(1, 256, CV_8UC1);
  double imageSum = 0.0;
  double referenceSum = 0.0;
  int j = 0;
  for (int i = 0; i < 256; ++i) {
    imageSum += imageCount[i];
    while (j < 255 && referenceSum + referenceCount[j] < imageSum) referenceSum += referenceCount[j++];
    table.at<uchar>(0, i) = static_cast<uchar>(j);
  }
  return true;
}

cv::Mat matchHistogramToReference(const cv::Mat& reference, const cv::Mat& image, const cv::Mat& mask) {
  cv::Mat table;
  if (!buildHistogramMatchingLut(image, reference, mask, table)) return cv::Mat();
  cv::Mat out;
  cv::LUT(image, table, out);
  return out;
}

}  // namespace tarv
