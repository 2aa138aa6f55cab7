// The one-camera engine: a round of its own beside the three-camera round.
#pragma once

#include <cstdint>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/core/round.h"
#include "tarv/variants/light_renewal.h"

namespace tarv {

struct MonoEngine {
  Camera camera;
  double shaftMinMm = 0.0;
  bool missRequiresStrong = false;
  cv::Mat boardMask;        // the scoring region: the miss radius round the bull
  cv::Mat eventRegionMask;  // max(300, miss radius) + 25 mm
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
  SettlingLight settlingLight;  // a large change that may be new light
};

// "arm" with one image: the calibration, the references and a fresh round. A failed arm
// leaves the engine unarmed and the process-wide radii as they were.
json armMonoEngine(MonoEngine& engine, const json& request, const cv::Mat& image);
// The per-frame command: timing, hand information, the frame evaluation and the common
// reply keys. Fails with "ENGINE_NOT_ARMED" before arming.
json processMonoFrame(MonoEngine& engine, const json& request, const cv::Mat& image);
// The frame evaluation against the engine's references; the reply's status and evidence.
json evaluateMonoFrame(MonoEngine& engine, const cv::Mat& frame, double time);
// {"takeout", "hand", "darts"}.
json buildVariantEngineFlags(const MonoEngine& engine);

}  // namespace tarv
