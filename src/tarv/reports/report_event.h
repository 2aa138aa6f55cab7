// What the recorder queues for one runtime result, and the motion frame sets it may carry.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

namespace tarv {

using json = nlohmann::json;

// One synchronised triplet of the motion history: reduced, rectified BGR frames.
struct MotionSample {
  std::array<double, 3> captureTimes{};   // monotonic seconds
  std::array<int32_t, 3> sequences{};
  std::array<cv::Mat, 3> frames;
  bool handSeen = false;
  bool handConfirmed = false;
  bool moving = false;
};

struct ReportEvent {
  json document;
  std::vector<cv::Mat> images;         // rectified camera images, CAM_1 first
  std::vector<MotionSample> motion;    // at most six
  uint64_t estimate = 0;               // bytes this event adds to the queue's budget
};

// Pixel buffer bytes: element size times channels times pixels.
uint64_t imageBytes(const cv::Mat& image);
uint64_t motionSampleBytes(const MotionSample& sample);

// A deep copy of the sample (times, sequences, flags and frames).
MotionSample cloneMotionSample(const MotionSample& sample);

}  // namespace tarv
