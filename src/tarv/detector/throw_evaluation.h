// The three-camera throw evaluation of one frame triplet against the round.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/engine/round.h"

namespace tarv {

json evaluateRoundFrames(Round& round, const std::vector<cv::Mat>& frames, double now);
// Refines the last published dart; null when there is nothing to refine.
json refinePublishedDart(Round& round, const std::vector<cv::Mat>& frames, int epoch);
void beginTipSampling(Round& round, const json& reply, int epoch);

// Process-wide miss radius: "miss_radius_mm" when finite and within 170..600, else 240.
void setMissRadius(const json& request);
double missRadiusMm();

bool hasFreshChangeInTwoCameras(const Round& round, const std::vector<cv::Mat>& frames);
// False for decision paths named in TARV_DISABLE_PATHS (read once).
bool isPathEnabled(const std::string& path);

}  // namespace tarv
