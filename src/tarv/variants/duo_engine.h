// The two-camera engine: a round of its own beside the three-camera round.
#pragma once

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/core/round.h"

namespace tarv {

using ImagePair = std::array<cv::Mat, 2>;

struct DuoEngine {
  std::array<Camera, 2> cameras;
  ImagePair boardMasks;
  ImagePair missMasks;
  ImagePair backgroundImages;
  ImagePair backgroundGreys;
  double backgroundTime = -1.0;
  json entries = json::array();
  json snapshot;  // last host event
  std::vector<ImagePair> supportMasks;
  int32_t roundNumber = 1;
  int32_t eventCounter = 0;
  int32_t emptyCount = 0;
  int32_t tipMode = 0;
  json pendingCandidate;
  json pendingRemoval;
  double lastTime = -1.0;
  int32_t epoch = -1;
  bool armed = false;
  bool takeoutLatch = false;
  bool handSeen = false;
};

json armDuoEngine(DuoEngine& engine, const json& request, const std::vector<cv::Mat>& images);
json processDuoFrames(DuoEngine& engine, const json& request, const std::vector<cv::Mat>& images);
// The first (which = 0) or second image of each stored support pair, sharing pixels.
std::vector<cv::Mat> collectPairFrames(const DuoEngine& engine, int which);

}  // namespace tarv
