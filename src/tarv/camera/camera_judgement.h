// The one edge judgement that grades every candidate camera of the board fit road: the camera
// refined on the image's own ring and wire edges (refineCameraByEdges, as the landmark road's),
// the wires holding a camera seen low, and the landmark network's crossings gainsaying a camera
// that places too few of them.
#pragma once

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/autocal/camera_estimate.h"
#include "tarv/autocal/landmark_detection.h"

namespace tarv {

struct CameraJudgement {
  CameraEstimate camera;   // the camera the edges refined where they hold it, else the start
  bool confirmed = false;  // the edges confirm it and the crossings do not gainsay it
  double rmsPx = 99.0;     // the edges' rms about the refined camera
};

// grey: 8-bit single channel. report receives the edges' statistics ("edges",
// "edges_confirm", "wires_hold", and "wires_beside" or "crossings_matched" where they decided).
CameraJudgement judgeCameraOnEdges(const cv::Mat& grey, const CameraEstimate& start, const LandmarkSolution& landmark,
                                   nlohmann::json& report);

}  // namespace tarv
