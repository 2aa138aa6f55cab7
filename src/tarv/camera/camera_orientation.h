// The orientation of a camera found without one: the beds' colours fix the parity, the printed
// numbers' widths the turn, a sure 20 of a landmark camera its edges confirm names it as well;
// and where none is sure, the user's click on the 20.
#pragma once

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/autocal/camera_estimate.h"
#include "tarv/autocal/landmark_detection.h"
#include "tarv/core/board_geometry.h"

namespace tarv {

struct CameraOrientation {
  CameraEstimate camera;  // turned so that its 20 is the one read
  bool twentySure = false;
  double colourScore = 0.0;  // share of the expected sides where the beds' colours agree
};

// The sector turn that puts a camera's board nearest where a known camera of the same image
// puts it, and how near (the mean distance of their 170 mm rings) against the next turn.
struct TurnToward {
  int sectors = 0;
  double distancePx = 1e300, runnerUpPx = 1e300;
  // Only a turn the known camera tells apart from the next one names the 20.
  bool unambiguous() const { return distancePx < 0.25 * runnerUpPx; }
};
TurnToward turnToward(const CameraEstimate& camera, const CameraEstimate& known);

// image: 8-bit BGR, grey: the same image in one channel. The numbers are read only on a camera
// its edges confirm. report receives "numbers" and "orientation_from_landmarks" where they
// decided.
CameraOrientation orientOnTheBoard(const cv::Mat& image, const cv::Mat& grey, const CameraEstimate& camera, bool confirmed,
                                   const LandmarkSolution& landmark, nlohmann::json& report);

// The clicked field's place in the sectors' order counted from the 20 (0 for the 20 itself):
// the sectors a camera turns by to make it the 20. board: the click's engine board point.
int sectorsFromTwenty(Point2 board);

// A homography whose board frame is turned clockwise by the sectors (18 degrees each), so
// that the field that many sectors from the 20 becomes the 20.
Homography turnedBySectors(const Homography& h, int sectors);

}  // namespace tarv
