#include "tarv/views/sensor_grain.h"

#include <algorithm>
#include <vector>

#include <opencv2/imgproc.hpp>

namespace tarv {
namespace {

// Second differences across and along both axes: flat and linear changes give nothing, a
// pixel's own noise of spread s gives a spread of 6 s.
constexpr float kHighPassSpread = 6.0f;
constexpr double kGrainToLevel = 5.3;

}  // namespace

double differenceGrain(const cv::Mat& frame, const cv::Mat& reference, const cv::Mat& region) {
  if (frame.empty() || frame.size() != reference.size() || frame.type() != reference.type()) return 0.0;
  cv::Mat a, b;
  frame.convertTo(a, CV_32F);
  reference.convertTo(b, CV_32F);
  const cv::Mat kernel = (cv::Mat_<float>(3, 3) << 1, -2, 1, -2, 4, -2, 1, -2, 1);
  cv::Mat highPassed;
  cv::filter2D(a - b, highPassed, CV_32F, kernel, cv::Point(-1, -1), 0.0, cv::BORDER_REPLICATE);
  highPassed = cv::abs(highPassed);
  cv::Mat largest = highPassed;
  if (highPassed.channels() > 1) {
    std::vector<cv::Mat> channels;
    cv::split(highPassed, channels);
    largest = channels[0];
    for (size_t i = 1; i < channels.size(); ++i) largest = cv::max(largest, channels[i]);
  }
  const bool inRegion = !region.empty() && region.size() == frame.size();
  std::vector<float> values;
  values.reserve(largest.total());
  for (int y = 0; y < largest.rows; ++y) {
    const float* v = largest.ptr<float>(y);
    const uchar* m = inRegion ? region.ptr<uchar>(y) : nullptr;
    for (int x = 0; x < largest.cols; ++x) {
      if (m == nullptr || m[x] != 0) values.push_back(v[x]);
    }
  }
  if (values.empty()) return 0.0;
  const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
  std::nth_element(values.begin(), middle, values.end());
  return *middle / kHighPassSpread;
}

double grainChangeLevel(double grain, double fixedLevel) { return std::max(fixedLevel, kGrainToLevel * grain); }

}  // namespace tarv
