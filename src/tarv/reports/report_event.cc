#include "tarv/reports/report_event.h"

namespace tarv {

uint64_t imageBytes(const cv::Mat& image) {
  return static_cast<uint64_t>(image.elemSize()) * image.total();
}

uint64_t motionSampleBytes(const MotionSample& sample) {
  uint64_t total = 0;
  for (const cv::Mat& frame : sample.frames) total += imageBytes(frame);
  return total;
}

MotionSample cloneMotionSample(const MotionSample& sample) {
  MotionSample copy = sample;
  for (std::size_t i = 0; i < copy.frames.size(); ++i) copy.frames[i] = sample.frames[i].clone();
  return copy;
}

}  // namespace tarv
