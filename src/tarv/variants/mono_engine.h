// The one-camera engine: a round of its own beside the three-camera round.
#pragma once

#include <cstdint>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/core/round.h"

namespace tarv {

struct MonoEngine {
  Camera camera;
  double shaftMinMm = 0.0;
  bool missRequiresStrong = false;
  cv::Mat boardMask;
  cv::Mat eventRegionMask;
  cv::Mat pendingEmptyColour;
  cv::Mat pendingEmptyGrey;
  double pendingEmptyTime = -1.0;
  json entries = json::array();
  json state;  // last host event
  std::vector<cv::Mat> dartMasks;
  int32_t roundNumber = 1;
  int32_t eventCounter = 0;
  int32_t emptyFrameCounter = 0;
  json pendingWeakSample;
  json pendingMissing;
  double lastTime = -1.0;
  int32_t epoch = -1;
  bool armed = false;
  bool takeoutLatch = false;
  bool handSeen = false;
};

json armMonoEngine(MonoEngine& engine, const json& request, const cv::Mat& image);
// Fails with "ENGINE_NOT_ARMED" before arming.
json processMonoFrame(MonoEngine& engine, const json& request, const cv::Mat& image);

}  // namespace tarv
