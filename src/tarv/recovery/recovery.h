// Round recovery after a takeout or disturbance, and realignment of moved cameras.
// Round::recover is declared with the Round.
#pragma once

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/engine/round.h"

namespace tarv {

bool realignReferenceImages(Camera& camera, const cv::Mat& toneMappedFrame, json& report);
bool measureRealignment(const Camera& camera, const cv::Mat& toneMappedFrame,
                        Homography& transform, json& report, double limitA, double limitB);
void applyCameraRealignment(Round& round, int camera, const cv::Mat& frame,
                            const Homography& transform);

}  // namespace tarv
