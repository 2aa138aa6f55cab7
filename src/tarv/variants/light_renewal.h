// New light that the brightness matching cannot cover: a large change of the whole view that
// stands still is taken as the board in new light, and the references follow it.
#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "tarv/core/round.h"

namespace tarv {

// A large change must stand still this long, without a hand reported, before it counts as
// light.
constexpr double kLightSettleS = 2.0;

struct SettlingLight {
  std::vector<cv::Mat> greys;  // per camera, the first frame of the still run
  double since = -1.0;
  // Per camera, the first frame of the new light (colour and grey): what the references
  // become, so that a dart landing while the light settles stays a change against them.
  std::vector<cv::Mat> lightFrames;
  std::vector<cv::Mat> lightGreys;
};

// Whether the views have stood still (fewer than 80 changed pixels inside each region
// against the first frame of the run) for kLightSettleS; a hand, a moving view or a new size
// starts the run again. A small change within the region (a dart landing) starts the still run
// again but keeps the light's first frames; anything larger starts the light afresh.
bool lightHasSettled(SettlingLight& settling, const std::vector<cv::Mat>& frames, const std::vector<cv::Mat>& greys,
                     const std::vector<cv::Mat>& regions, double time, bool handSeen);

// Why a large change still waits, for the host: a hand in view, or a change that must stand
// still for kLightSettleS before it is taken as light ("still_s" so far).
json lightSettlingRecord(const SettlingLight& settling, double time, bool handSeen);

// The change references become the frame. The empty references become the frame too, except
// under the darts (the stored change mask), where the old ones are re-lit locally to the new
// light. The stored change becomes the darts' change against the new empty reference inside
// the region.
void renewReferencesForLight(Camera& camera, const cv::Mat& frame, const cv::Mat& grey, const cv::Mat& region);
// Each camera's references renewed from the settled light's first frames; the settling starts
// afresh.
void renewReferencesForSettledLight(SettlingLight& settling, const std::vector<Camera*>& cameras,
                                    const std::vector<cv::Mat>& regions);

}  // namespace tarv
