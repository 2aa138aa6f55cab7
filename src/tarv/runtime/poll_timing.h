// The frame rate the poll turns its time rules into frame counts with, estimated per camera
// from the frames it takes in, so one camera delivering late now and then does not fool it.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

namespace tarv {

struct FrameRateEstimator {
  int32_t requested = 30;
  std::array<int32_t, 3> lastSequence{{-1, -1, -1}};
  std::array<int32_t, 3> slowOutliers{};
  std::array<double, 3> lastTime{{-1.0, -1.0, -1.0}};
  std::array<double, 3> estimate{{30.0, 30.0, 30.0}};
};

// Back to the configured rate, which is also published.
void resetFrameRate(FrameRateEstimator& estimator, int32_t fps, std::atomic<double>& published);
// Feeds one camera's new frame and publishes the smallest of the three estimates.
void estimateFrameRate(FrameRateEstimator& estimator, int camera, int32_t sequence, double time,
                       std::atomic<double>& published);

// Limits the poll, the motion history and the previews derive from the frame rate (a rate
// not above 1, NaN included, counts as 1).
double frameInterval(double fps);
double frameFreshnessLimit(double fps);
double shortFrameAgeLimit(double fps);
int32_t framesForDuration(double fps, double seconds);

}  // namespace tarv
