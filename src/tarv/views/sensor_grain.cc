#include "tarv/views/sensor_grain.h"

#include <algorithm>
#include <array>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "tarv/views/image_ops.h"

namespace tarv {
namespace {

// Second differences across and along both axes: flat and linear changes give nothing, a
// pixel's own noise of spread s gives a spread of 6 s.
constexpr double kHighPassSpread = 6.0;
constexpr double kGrainToLevel = 5.3;

}  // namespace

double differenceGrain(const cv::Mat& frame, const cv::Mat& reference, const cv::Mat& region) {
  if (frame.empty() || frame.size() != reference.size() || frame.type() != reference.type() ||
      frame.depth() != CV_8U) {
    return 0.0;
  }
  const bool inRegion = !region.empty() && region.size() == frame.size() && region.type() == CV_8UC1;
  // Only the box round the region is measured; a pixel of margin keeps its edge's filter
  // inside the frame where the frame goes on.
  cv::Rect box(0, 0, frame.cols, frame.rows);
  if (inRegion) {
    const cv::Rect found = cv::boundingRect(region);
    if (found.area() == 0) return 0.0;
    box = cv::Rect(found.x - 1, found.y - 1, found.width + 2, found.height + 2) & box;
  }
  cv::Mat difference;
  cv::subtract(frame(box), reference(box), difference, cv::noArray(), CV_16S);
  const cv::Mat second = (cv::Mat_<short>(1, 3) << 1, -2, 1);
  cv::Mat highPassed;
  cv::sepFilter2D(difference, highPassed, CV_16S, second, second, cv::Point(-1, -1), 0.0, cv::BORDER_REPLICATE);
  // Magnitudes of 255 and more (over 42 grey levels of grain) all count as the largest.
  cv::Mat magnitude;
  cv::convertScaleAbs(highPassed, magnitude);
  cv::Mat largest = magnitude;
  if (magnitude.channels() > 1) {
    std::vector<cv::Mat> channels;
    cv::split(magnitude, channels);
    largest = channels[0];
    for (size_t i = 1; i < channels.size(); ++i) largest = cv::max(largest, channels[i]);
  }
  const MaskedHistogram h = histogramInMask(largest, inRegion ? region(box) : cv::Mat());
  const std::array<int, 256>& counts = h.counts;
  const int total = h.total;
  if (total == 0) return 0.0;
  int seen = 0;
  int median = 0;
  while (median < 255 && seen + counts[median] <= total / 2) seen += counts[median++];
  return median / kHighPassSpread;
}

double grainChangeLevel(double grain, double fixedLevel) { return std::max(fixedLevel, kGrainToLevel * grain); }

}  // namespace tarv
