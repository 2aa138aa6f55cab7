// The board fit road's candidate cameras. The board fit (coloured beds, wires, ring edges) on
// the image rectified with the landmark road's lens and started from its plane, and on the image
// as taken exactly as the engine's "calibrate" fits it (a landmark camera can be wrong in lens
// and plane both). Each fitted homography becomes a camera model (focal length and pose; k1
// where a lens is known) for the one edge judgement to grade.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/autocal/camera_estimate.h"
#include "tarv/autocal/landmark_detection.h"

namespace tarv {

struct FitCamera {
  std::optional<CameraEstimate> camera;  // none: the fit found no board, or no camera for it
  std::string reason;                    // why there is none ("BOARD_FIT: ...")
  // "start" ("LANDMARK_PLANE", "RECTIFIED_COLOURS", "COLOURS" or "AS_TAKEN"), the fit's road,
  // acceptance and summary, or its "error".
  nlohmann::json report = nlohmann::json::object();
};

// The camera recorded from a fit may lie this far from the fit's own homography and still be
// the fit's camera (pixels, the farthest of the board points it is fitted to).
constexpr double kMaxCameraOffFitPx = 1.0;

// The fit started from the landmark road: where it has a camera, on the image rectified with
// its lens, the fit refining its board plane on the ring edges (the marker road); where it has
// none, or the edges refuse that plane, the fit finding the board from its colours and wires.
// road receives "rectified" and, where the marker road was refused, "marker_road".
FitCamera fitFromLandmarkStart(const cv::Mat& image, const LandmarkSolution& landmark, nlohmann::json& road);

// The board fit exactly as the engine's "calibrate" runs it on this image: the same reduction
// to its working size, the same fit and limits, no lens and no plane from the landmark road;
// only the orientation is left open, for the beds, the numbers or a click to decide.
FitCamera fitAsTaken(const cv::Mat& image);

}  // namespace tarv
