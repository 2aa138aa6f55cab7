#include "tarv/autocal/colour_free.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include <opencv2/imgproc.hpp>

namespace tarv {
namespace {

// A pixel whose channels sum to less than this is left out: its chromaticity is mostly the
// sensor's noise, which would call a grey image coloured.
constexpr int kMinChannelSum = 90;
// Every pixel of an image up to this many; a larger image is sampled on a grid of that many.
constexpr double kMaxSamples = 1.0e6;
// An image with fewer bright enough pixels than this share is too dark to be judged and is
// read as a coloured one, as every image was before.
constexpr double kMinJudgedShare = 0.05;

}  // namespace

double offTintShare(const cv::Mat& image) {
  if (image.empty() || image.type() != CV_8UC3) return 1.0;
  // The red and green beds of a small board are a few pixels wide: the grid stays dense.
  const int step = std::max(1, static_cast<int>(std::ceil(std::sqrt(image.total() / kMaxSamples))));
  std::vector<cv::Point2f> chroma;
  chroma.reserve(image.total() / (step * step) + 1);
  double xx = 0.0, xy = 0.0, yy = 0.0;
  size_t samples = 0;
  for (int y = 0; y < image.rows; y += step) {
    const cv::Vec3b* row = image.ptr<cv::Vec3b>(y);
    for (int x = 0; x < image.cols; x += step) {
      const cv::Vec3b& p = row[x];
      ++samples;
      const int sum = p[0] + p[1] + p[2];
      if (sum < kMinChannelSum) continue;
      const cv::Point2f d(static_cast<float>(p[2]) / sum - 1.0f / 3.0f, static_cast<float>(p[1]) / sum - 1.0f / 3.0f);
      chroma.push_back(d);
      xx += d.x * d.x;
      xy += d.x * d.y;
      yy += d.y * d.y;
    }
  }
  if (chroma.empty() || chroma.size() < kMinJudgedShare * samples) return 1.0;
  // The principal direction of the chromaticities about the grey point, turned towards them.
  const double angle = 0.5 * std::atan2(2.0 * xy, xx - yy);
  cv::Point2d along(std::cos(angle), std::sin(angle));
  double mean = 0.0;
  for (const cv::Point2f& d : chroma) mean += d.x * along.x + d.y * along.y;
  if (mean < 0.0) along = -along;
  const cv::Point2d beside(-along.y, along.x);
  const double limit = kOffTintChromaticity;
  size_t off = 0;
  for (const cv::Point2f& d : chroma) {
    const double a = d.x * along.x + d.y * along.y;
    const double b = d.x * beside.x + d.y * beside.y;
    off += (a >= 0.0 ? std::abs(b) : std::hypot(a, b)) > limit;
  }
  return static_cast<double>(off) / static_cast<double>(chroma.size());
}

bool isColourFree(const cv::Mat& image) {
  return offTintShare(image) < kColourFreeShare;
}

cv::Mat greyCopy(const cv::Mat& image) {
  cv::Mat grey, out;
  cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
  cv::cvtColor(grey, out, cv::COLOR_GRAY2BGR);
  return out;
}

}  // namespace tarv
