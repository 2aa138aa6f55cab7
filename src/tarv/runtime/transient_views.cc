#include "tarv/runtime/transient_views.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#include <opencv2/imgproc.hpp>

#include "tarv/runtime/motion_history.h"

namespace tarv {

namespace {

constexpr double kLevel = 24.0;
constexpr double kLargestFraction = 0.08;

cv::Mat grey(const cv::Mat& bgr) {
  cv::Mat g;
  cv::cvtColor(bgr, g, cv::COLOR_BGR2GRAY);
  return g;
}

cv::Mat changed(const cv::Mat& a, const cv::Mat& b) {
  cv::Mat d;
  cv::absdiff(a, b, d);
  return d > kLevel;
}

// Fraction of the image covered by small transient blobs; negative when one blob is too large
// to be a dart.
double transientFraction(const cv::Mat& transient, const cv::Mat& region) {
  cv::Mat labels, stats, centroids;
  const int count = cv::connectedComponentsWithStats(transient, labels, stats, centroids, 8, CV_32S);
  std::vector<uint8_t> counted(static_cast<size_t>(count), region.empty() ? 1 : 0);
  if (!region.empty()) {
    for (int y = 0; y < labels.rows; ++y) {
      const int32_t* l = labels.ptr<int32_t>(y);
      const uint8_t* r = region.ptr<uint8_t>(y);
      for (int x = 0; x < labels.cols; ++x) {
        if (r[x]) counted[static_cast<size_t>(l[x])] = 1;
      }
    }
  }
  const double pixels = static_cast<double>(transient.total());
  double sum = 0.0;
  for (int label = 1; label < count; ++label) {
    if (!counted[static_cast<size_t>(label)]) continue;
    const int area = stats.at<int32_t>(label, cv::CC_STAT_AREA);
    if (area > kLargestFraction * pixels) return -1.0;
    const int side = std::max(stats.at<int32_t>(label, cv::CC_STAT_WIDTH),
                              stats.at<int32_t>(label, cv::CC_STAT_HEIGHT));
    if (area >= 8 && side >= 8) sum += area;
  }
  return sum / pixels;
}

}  // namespace

std::vector<MotionSample> findTransientViews(const std::vector<MotionSample>& samples,
                                             const std::vector<cv::Mat>& regionMasks,
                                             double windowSeconds) {
  const size_t n = samples.size();
  if (n < 3) return {};
  if (sampleEnd(samples.back()) - sampleStart(samples.front()) > 1.25) return {};
  for (const MotionSample& s : samples) {
    if (s.handSeen) return {};
  }
  const bool masked = regionMasks.size() == 3;
  std::array<cv::Mat, 3> firstGrey, persistent;
  for (size_t c = 0; c < 3; ++c) {
    const cv::Size size = samples.front().frames[c].size();
    if (samples.front().frames[c].empty() || samples.back().frames[c].size() != size) return {};
    if (masked && (regionMasks[c].size() != size || regionMasks[c].type() != CV_8UC1)) return {};
    firstGrey[c] = grey(samples.front().frames[c]);
    cv::dilate(changed(firstGrey[c], grey(samples.back().frames[c])), persistent[c],
               cv::Mat::ones(3, 3, CV_8U));
  }
  std::vector<double> medians(n, -1.0);
  std::vector<std::pair<double, size_t>> candidates;
  for (size_t j = 1; j + 1 < n; ++j) {
    std::array<double, 3> fractions{};
    for (size_t c = 0; c < 3; ++c) {
      const cv::Mat& frame = samples[j].frames[c];
      if (frame.size() != firstGrey[c].size()) return {};
      cv::Mat transient = changed(firstGrey[c], grey(frame)) & ~persistent[c];
      const double f = transientFraction(transient, masked ? regionMasks[c] : cv::Mat());
      if (f < 0.0 || f > kLargestFraction) return {};
      fractions[c] = f;
    }
    std::sort(fractions.begin(), fractions.end());
    medians[j] = fractions[1];
    if (fractions[1] > 0.0) candidates.emplace_back(fractions[1], j);
  }
  std::sort(candidates.begin(), candidates.end(),
            [](const auto& a, const auto& b) { return a > b; });
  for (const auto& [m, j] : candidates) {
    const size_t k = j + 1;
    if (k + 1 < n && medians[k] >= 0.5 * m) {
      const double dt = sampleEnd(samples[k]) - sampleStart(samples[j]);
      if (dt >= 0.015 && dt <= windowSeconds) return {samples[j], samples[k]};
    }
  }
  if (!candidates.empty()) return {samples[candidates.front().second]};
  return {};
}

std::vector<MotionSample> pickReportSequence(const std::vector<MotionSample>& samples,
                                             const std::vector<MotionSample>& views) {
  const size_t n = samples.size();
  if (n < 3) return {};
  if (views.size() == 1) return {samples.front(), views[0], samples.back()};
  if (views.size() == 2) return {samples.front(), views[0], views[1], samples.back()};
  const size_t m = std::min<size_t>(n, 6);
  std::vector<MotionSample> out;
  for (size_t i = 0; i < m; ++i) out.push_back(samples[(n - 1) * i / (m - 1)]);
  return out;
}

}  // namespace tarv
