#include "tarv/detector/watched_change.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "tarv/core/engine_values.h"

namespace tarv {
namespace {

// A light patch changes the brightness by at least this ratio...
constexpr double kPatchMinChange = 0.08;
// ...alike at every pixel (spread of the ratio against its median)...
constexpr double kPatchMaxSpread = 0.12;
// ...and alike in the three colour channels.
constexpr double kPatchMaxChannelSpread = 0.08;
constexpr int kPatchMinPixels = 20;
constexpr int kSaturated = 250;
constexpr int kDark = 24;

double median(std::vector<double> values) {
  const size_t mid = values.size() / 2;
  std::nth_element(values.begin(), values.begin() + mid, values.end());
  return values[mid];
}

// The per-pixel ratio of frame to background in one channel, inside the mask.
std::vector<double> ratios(const cv::Mat& frame, const cv::Mat& background, const cv::Mat& mask, int channel) {
  std::vector<double> r;
  for (int y = 0; y < mask.rows; ++y) {
    const uchar* m = mask.ptr<uchar>(y);
    const cv::Vec3b* f = frame.ptr<cv::Vec3b>(y);
    const cv::Vec3b* b = background.ptr<cv::Vec3b>(y);
    for (int x = 0; x < mask.cols; ++x) {
      // A saturated or nearly black pixel says nothing about the ratio.
      if (m[x] == 0 || f[x][channel] >= kSaturated || b[x][channel] >= kSaturated || b[x][channel] < kDark ||
          f[x][channel] < kDark) {
        continue;
      }
      r.push_back(static_cast<double>(f[x][channel]) / b[x][channel]);
    }
  }
  return r;
}

enum class Flatness { kFlat, kNotFlat, kUnknown };

Flatness flatInCamera(const cv::Mat& frame, const cv::Mat& background, const cv::Mat& mask) {
  std::array<double, 3> level{};
  for (int channel = 0; channel < 3; ++channel) {
    std::vector<double> r = ratios(frame, background, mask, channel);
    // Too few pixels that are neither saturated nor black: this camera cannot tell.
    if (static_cast<int>(r.size()) < kPatchMinPixels) return Flatness::kUnknown;
    level[channel] = median(r);
    std::vector<double> spread;
    spread.reserve(r.size());
    for (double v : r) spread.push_back(std::abs(v - level[channel]) / level[channel]);
    // Most pixels follow the one ratio; a dart's pixels scatter widely.
    if (median(spread) > kPatchMaxSpread) return Flatness::kNotFlat;
  }
  const double lo = std::min({level[0], level[1], level[2]});
  const double hi = std::max({level[0], level[1], level[2]});
  const double mid = (level[0] + level[1] + level[2]) / 3.0;
  return std::abs(mid - 1.0) >= kPatchMinChange && (hi - lo) / mid <= kPatchMaxChannelSpread ? Flatness::kFlat
                                                                                               : Flatness::kNotFlat;
}

}  // namespace

void recordWatchedChange(Round& round, const std::vector<cv::Mat>& frames, const std::array<cv::Mat, 3>& masks,
                         const json& reply, double now) {
  json pixels = json::object();
  for (int i = 0; i < 3; ++i) {
    round.frameHistory.push_back(masks[i].empty() ? cv::Mat() : masks[i].clone());
    pixels[cameraIds[i]] = masks[i].empty() ? 0 : cv::countNonZero(masks[i]);
    if (i < static_cast<int>(frames.size())) round.heldFrames[i] = frames[i].clone();
  }
  while (round.frameHistory.size() > kFrameHistoryLimit) round.frameHistory.erase(round.frameHistory.begin());
  const json& decision = reply.value("decision", json());
  round.historyRecord2 = round.historyRecord1;
  round.historyRecord1 = {{"time", now},
                          {"status", reply.value("status", "")},
                          {"reason", reply.value("reason", "")},
                          {"pixels", pixels},
                          {"point", decision.is_object() ? decision.value("point", json()) : json()}};
  round.historyTime = now;
}

bool isFlatLightPatch(const std::array<cv::Mat, 3>& frames, const std::array<cv::Mat, 3>& backgrounds,
                      const std::array<cv::Mat, 3>& masks) {
  int seen = 0;
  for (int i = 0; i < 3; ++i) {
    if (masks[i].empty() || cv::countNonZero(masks[i]) == 0) continue;
    if (frames[i].type() != CV_8UC3 || backgrounds[i].type() != CV_8UC3 || frames[i].size() != masks[i].size() ||
        backgrounds[i].size() != masks[i].size()) {
      return false;
    }
    const Flatness flat = flatInCamera(frames[i], backgrounds[i], masks[i]);
    if (flat == Flatness::kNotFlat) return false;
    seen += flat == Flatness::kFlat;
  }
  return seen > 0;
}

}  // namespace tarv
