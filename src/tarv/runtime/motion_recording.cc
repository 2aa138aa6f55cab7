// The producer the motion-history thread runs on a scoring run's cameras: a reduced,
// rectified triplet whenever all three cameras have a newer motion mask, thinned while quiet.
#include <algorithm>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <system_error>

#include "tarv/runtime/runtime.h"
#include "tarv/tarv.h"

namespace tarv {

namespace {

struct MotionProducerState {
  Runtime* runtime = nullptr;
  std::array<int32_t, 3> lastSequences{};
  MotionState motion;
  std::array<cv::Mat, 3> masks;
  double lastMotionTime = -1e30;
  double lastSampleTime = -1e30;
  std::array<cv::Mat, 3> cachedFrames;
  double cachedFramesTime = -1e30;
};

// Reads only what the command thread leaves alone while this thread runs (sizes, masks,
// heights, lens maps) and the two atomics.
bool produceMotionSample(MotionProducerState& p, MotionSample& sample) {
  Runtime& rt = *p.runtime;
  const int w = rt.width, h = rt.height;
  std::array<MotionMeasure, 3> measures;
  int handCameras = 0;
  for (size_t i = 0; i < 3; ++i) {
    cv::Mat& mask = p.masks[i];
    mask.create(h / 4, w / 4, CV_8UC1);
    uint32_t sequence = 0;
    double seconds = 0.0;
    if (tarv_capture_peek_motion(static_cast<uint32_t>(i), p.lastSequences[i], mask.data,
                                 mask.total(), &sequence, &seconds) != 1) {
      return false;
    }
    sample.sequences[i] = static_cast<int32_t>(sequence);
    sample.captureTimes[i] = seconds;
    measures[i] = measureMotion(mask, rt.boardMasks[i], rt.watchMasks[i], rt.detectionHeights[i]);
    handCameras += measures[i].hand;
  }
  const double fps = rt.frameRate.load();
  const double start = sampleStart(sample), end = sampleEnd(sample);
  if (end - start > std::max(0.06, 1.1 / std::max(1.0, fps))) return false;
  if (tarv_monotonic_seconds() - start > frameFreshnessLimit(fps)) return false;
  const bool quiet = handCameras == 0 && measures[0].quiet && measures[1].quiet && measures[2].quiet;

  const int32_t stableRequired = framesForDuration(fps, rt.settleSeconds.load());
  const int32_t handRequired = std::max(framesForDuration(fps, 0.1), 2);
  const auto update = [&] {
    for (size_t i = 0; i < 3; ++i) {
      updateCameraMotionState(p.motion.cameras[i], sample.sequences[i], sample.captureTimes[i],
                              measures[i], stableRequired, false, handRequired);
    }
    classifyMotion(p.motion, false);
    p.lastSequences = sample.sequences;
  };

  if (quiet) {
    sample.moving = false;
    if (end - p.lastMotionTime > 0.5 && end - p.lastSampleTime < 0.25) {
      update();
      return false;
    }
  } else {
    sample.moving = true;
    p.lastMotionTime = end;
  }
  p.lastSampleTime = end;

  if (!sample.moving && !p.cachedFrames[0].empty() && p.cachedFramesTime > p.lastMotionTime &&
      end - p.cachedFramesTime < 2.0) {
    sample.frames = p.cachedFrames;
  } else {
    for (size_t i = 0; i < 3; ++i) {
      cv::Mat half(h / 2, w / 2, CV_8UC3);
      if (tarv_capture_copy_reduced(static_cast<uint32_t>(i), sample.sequences[i], 2, half.data,
                                    half.total() * 3) != 1) {
        return false;
      }
      sample.frames[i] = rt.lensMaps[i] ? undistortFrame(*rt.lensMaps[i], half, true) : half;
    }
    p.cachedFrames = sample.frames;
    p.cachedFramesTime = end;
  }
  update();
  sample.handSeen = handCameras >= 2;
  sample.handConfirmed = p.motion.confirmedHandCameras >= 2;
  return true;
}

}  // namespace

void startMotionRecording(Runtime& rt) {
  auto state = std::make_shared<MotionProducerState>();
  state->runtime = &rt;
  try {
    startMotionHistory(rt.history, [state](MotionSample& s) { return produceMotionSample(*state, s); },
                       rt.startThread);
  } catch (const std::system_error&) {
    throw std::runtime_error("MOTION_HISTORY_UNAVAILABLE");
  }
}

}  // namespace tarv
